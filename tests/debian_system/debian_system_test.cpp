// The arm64 package on Debian 12 with systemd as PID 1, booted on the kernel
// board: installed with apt from local sources, used, its service watched,
// then purged. One boot runs tests/debian_system/scenario.sh, whose sections
// the tests below judge one by one.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "board_run.h"
#include "core/process.h"
#include "isolated.h"
#include "relay_lines.h"
#include "sequence_log.h"

namespace {

const std::string kSource = KIT_SOURCE_DIR;
const std::string kArm = KIT_AARCH64_BUILD_DIR;
const std::string kPackage = kArm + "/" + KIT_PACKAGE_FILE;
const std::string kStartUp = "Starting tests!\r\nopen: 3\r\n/dev/ttyRPMSG successfully initialized\r\n";
const std::string kHeld = expect::heldRelayLines();

struct SystemRun {
    int status = -1;  // the scenario's exit status; -2 when its time limit ended the board
    std::string out;
    std::map<std::string, std::string> sections;  // "== NAME" to the lines after it
};

std::map<std::string, std::string> sectionsOf(const std::string& out) {
    std::map<std::string, std::string> sections;
    std::string* current = nullptr;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string line = out.substr(pos, end - pos);
        if (line.rfind("== ", 0) == 0) {
            current = &sections[line.substr(3, line.size() - 4)];
        } else if (current != nullptr) {
            *current += line;
        }
        pos = end;
    }
    return sections;
}

// What the Debian system needs beyond the tests' own build.
std::string missingPart() {
    if (access(kPackage.c_str(), R_OK) != 0) return kPackage + " (./kit package)";
    if (access((kArm + "/testbed/echofw/echofw").c_str(), X_OK) != 0) return "echofw (./kit build aarch64)";
    if (geteuid() != 0) return "root (the system's image is built with chroot and file owners)";
    for (const char* tool : {"qemu-system-aarch64", "mmdebstrap", "mkfs.ext4"}) {
        if (system((std::string("command -v ") + tool + " > /dev/null").c_str()) != 0) {
            return std::string(tool) + " (./kit deps)";
        }
    }
    return "";
}

class DebianSystem : public ::testing::Test {
protected:
    static SystemRun* run;

    static void SetUpTestSuite() {
        if (!missingPart().empty()) return;
        std::vector<std::string> cmd = boardCommand({kSource + "/virtual-board/run", "--kernel"}, {},
                                                    {"sh", kSource + "/tests/debian_system/scenario.sh", kPackage});
        std::vector<std::string> env = {"KIT_BOARD_SYSTEM=debian", "KIT_BUILD_DIR=" + kArm,
                                        std::string("KIT_HOST_BUILD_DIR=") + KIT_BUILD_DIR};
        BoardRun r = runBoard(cmd, env, 540000);
        run = new SystemRun{r.status, r.out, sectionsOf(r.out)};
    }
    static void TearDownTestSuite() {
        // The system's times, for BENCHMARKS.md.
        if (run != nullptr) {
            for (const char* name : {"ready", "install", "restart", "chip"}) {
                std::smatch m;
                const std::string& s = run->sections[name];
                if (std::regex_search(s, m, std::regex("(up|installed at|back after|after) [0-9.]+"))) {
                    std::printf("debian system: %s: %s s\n", name, m[0].str().c_str());
                }
            }
        }
        delete run;
        run = nullptr;
    }
    void SetUp() override {
        if (std::string missing = missingPart(); !missing.empty()) {
            GTEST_SKIP() << "the Debian system cannot be built here: missing " << missing;
        }
        ASSERT_EQ(run->status, 0) << run->out;
    }
    static const std::string& section(const char* name) { return run->sections[name]; }
};
SystemRun* DebianSystem::run = nullptr;

TEST_F(DebianSystem, AptInstallsThePackageWithLibgpiod3FromBackports) {
    EXPECT_EQ(section("before"), "libgpiod3 absent\n");
    const std::string& s = section("install");
    EXPECT_TRUE(
        std::regex_search(s, std::regex("^status 0\nfactory-test-kit " KIT_PACKAGE_VERSION " install ok installed\n"
                                        "libgpiod3 2\\.[0-9.]+-[0-9]+~bpo12\\+[0-9]+ install ok installed\n"
                                        "policy 2\\.[0-9.]+-[0-9]+~bpo12\\+[0-9]+\ninstalled at ")))
        << s;
}

TEST_F(DebianSystem, EveryManualPageOpens) {
    const std::string& s = section("man");
    EXPECT_TRUE(std::regex_match(s, std::regex("corvane 0 corvane - \\w[^\n]* \n"
                                               "quillon2 0 quillon2 - \\w[^\n]* \n"
                                               "quillon1 0 quillon1 - \\w[^\n]* \n"
                                               "pylorn 0 pylorn - \\w[^\n]* \n")))
        << s;
}

TEST_F(DebianSystem, InstalledCorvanePassesAllFiveTests) {
    const std::string& s = section("corvane");
    const std::string tail = expect::verdicts(-1) + "status 0\n";
    ASSERT_GE(s.size(), tail.size()) << s;
    EXPECT_EQ(s.substr(s.size() - tail.size()), tail) << s;
}

TEST_F(DebianSystem, InstalledQuillon2PassesAndTheFirmwareReceivedEveryMessage) {
    EXPECT_EQ(section("quillon2"), kStartUp + "status 0\nreceived 40\n");
}

TEST_F(DebianSystem, ServiceRunsOnceInstalledAndHoldsItsLines) {
    EXPECT_EQ(section("started"), "state active\n" + kHeld);
}

TEST_F(DebianSystem, ServiceRunsAsADynamicUserWithOnlyTheGpioGroup) {
    const std::string& s = section("identity");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(s, m,
                         std::regex("uid ([0-9]+)\ngid ([0-9]+)\ngroups gpio( [0-9]+)?\ncapeff 0000000000000000\n"
                                    "user pylorn\n")))
        << s;
    // systemd's range for dynamic users.
    int uid = std::stoi(m[1]);
    EXPECT_GE(uid, 61184);
    EXPECT_LE(uid, 65519);
    EXPECT_EQ(m[1], m[2]);
    // Beside gpio, at most its own group, which has no name outside systemd.
    if (m[3].matched) {
        EXPECT_EQ(m[3].str(), " " + m[2].str());
    }
}

TEST_F(DebianSystem, RelaysFollowTheirInputsUnderTheService) { EXPECT_EQ(section("follow"), "10 10 10 10 \n"); }

TEST_F(DebianSystem, KilledServiceComesBackAfterItsBackOff) {
    const std::string& s = section("restart");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s, m, std::regex("restarts before 0\nback after ([0-9.]+)\nrestarts after 1\n([^]*)")))
        << s;
    // RestartSec=2s: not before it, and not much after it (by systemd's clock).
    double after = std::stod(m[1]);
    EXPECT_GE(after, 1.9);
    EXPECT_LE(after, 6.0);
    EXPECT_EQ(m[2], kHeld);
}

TEST_F(DebianSystem, StoppedServiceReleasesItsLines) {
    const std::string& s = section("stop");
    EXPECT_EQ(s.rfind("state inactive\n", 0), 0u) << s;
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 9) << s;
    EXPECT_EQ(s.find("consumer="), std::string::npos) << s;
}

TEST_F(DebianSystem, ServiceStartsByItselfWhenTheChipAppears) {
    const std::string& s = section("chip");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s, m, std::regex("without chip \nwith /dev/gpiochip0 active after [0-9.]+\n([^]*)")))
        << s;
    EXPECT_EQ(m[1], kHeld);
}

TEST_F(DebianSystem, PurgeStopsTheServiceAndLeavesNothingBehind) {
    const std::string& s = section("purge");
    EXPECT_EQ(s.rfind("status 0\nstate inactive\nload not-found\n", 0), 0u) << s;
    EXPECT_EQ(s.find("left: "), std::string::npos) << s;
    EXPECT_EQ(s.find("process"), std::string::npos) << s;
    EXPECT_EQ(s.find("consumer="), std::string::npos) << s;
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 11) << s;
}

}  // namespace
