// Button test: events come from eventfeed through a FIFO standing in for the
// event device, with real blocking reads in the worker.

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "buttons.h"
#include "core/process.h"
#include "expect.h"
#include "isolated.h"
#include "tests/button.h"

#include <linux/input.h>

extern char** environ;

namespace {

constexpr int kFailed = 0;
constexpr int kPassed = 1;
constexpr int kWorkerLeft = 3;  // a worker or its open device outlived the test

using expect::buttonStarted;
using expect::kButtonTimedOut;
using expect::pressPrompt;
using expect::releasePrompt;
using expect::wrongButton;
std::string failedOpen(const std::string& path) {
    return expect::error("testKeyThread", "Failed to open [" + path + "] event file\n");
}

// One eventfeed process on one FIFO; stopped (and reaped) when the test ends.
struct Feeder {
    testbed::Process proc;

    void start(const std::string& fifo, const std::vector<std::string>& steps) {
        std::vector<std::string> argv{KIT_EVENTFEED, "-t", "20000", fifo};
        argv.insert(argv.end(), steps.begin(), steps.end());
        testbed::StartOptions options;
        options.captureOut = true;
        std::string ready;
        ASSERT_TRUE(testbed::start(proc, argv, options) && testbed::waitLine(proc, "ready ", ready, 10000));
        EXPECT_EQ(ready, "ready " + fifo);
    }

    // Exit status: 0 when every record was taken by a reader.
    int stop() {
        if (!proc.running() || !testbed::stop(proc, SIGTERM)) return -1;
        return WIFEXITED(proc.status) ? WEXITSTATUS(proc.status) : -1;
    }
};

int threadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

bool holdsOpen(const std::vector<std::string>& paths) {
    bool found = false;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            char target[512] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
            for (auto& p : paths) found = found || p == target;
        }
        closedir(d);
    }
    return found;
}

// Waits (bounded) until thread tid has left /proc/self/task. Under user-mode
// emulation a joined thread stays listed there for a moment after the join.
bool taskGone(pid_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(path.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Waits (bounded) until every worker has ended and no device is open.
bool workersGone(int threadsBefore, const std::vector<std::string>& paths) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (threadCount() != threadsBefore || holdsOpen(paths)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class ButtonTest : public ::testing::Test {
protected:
    TempDir dir;
    Feeder feeders[2];

    std::string fifo(int i) {
        std::string path = dir.path + "/event" + std::to_string(i);
        if (access(path.c_str(), F_OK) != 0) {
            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        }
        return path;
    }

    // Runs the buttons in a child with stdout captured; the child's exit code
    // is kPassed or kFailed, or kWorkerLeft when a worker or device outlived it.
    ChildResult run(const std::vector<ButtonDef>& buttons, const std::function<void()>& before = {}) {
        std::vector<std::string> paths;
        for (auto& b : buttons) paths.emplace_back(b.eventPath);
        auto result = runIsolated(0, [&] {
            // A sanitizer may add a helper thread with the first thread made; let it come now.
            pid_t warmUp = 0;
            std::thread([&warmUp] { warmUp = gettid(); }).join();
            if (!taskGone(warmUp)) return kWorkerLeft;
            if (before) before();
            int threads = threadCount();
            bool ok = executeAndWait(buttons.data(), static_cast<int32_t>(buttons.size()));
            if (!workersGone(threads, paths)) return kWorkerLeft;
            return ok ? kPassed : kFailed;
        });
        EXPECT_FALSE(result.timedOut);
        return result;
    }
};

}  // namespace

TEST_F(ButtonTest, PressThenReleasePassesWithBothPromptsOnOneLine) {
    std::string ev = fifo(0);
    feeders[0].start(ev, {"1:28:1", "1:28:0"});
    auto r = run({{ev.c_str(), "Enter", 28}});
    EXPECT_EQ(r.exitCode, kPassed);
    EXPECT_EQ(r.out, buttonStarted("Enter", ev, 28) + pressPrompt("Enter") + releasePrompt("Enter"));
    EXPECT_EQ(feeders[0].stop(), 0);
}

TEST_F(ButtonTest, EveryButtonOfTheListIsTestedInOrder) {
    std::string a = fifo(0), b = fifo(1);
    feeders[0].start(a, {"1:2:1", "1:2:0"});
    feeders[1].start(b, {"1:3:1", "1:3:0"});
    auto r = run({{a.c_str(), "One", 2}, {b.c_str(), "Two", 3}});
    EXPECT_EQ(r.exitCode, kPassed);
    EXPECT_EQ(r.out, buttonStarted("One", a, 2) + pressPrompt("One") + releasePrompt("One") +
                         buttonStarted("Two", b, 3) + pressPrompt("Two") + releasePrompt("Two"));
}

TEST_F(ButtonTest, OtherKeyPressedFailsShowingItsCodeAndTheNextButtonIsStillTested) {
    std::string a = fifo(0), b = fifo(1);
    feeders[0].start(a, {"1:48:1"});
    feeders[1].start(b, {"1:48:1", "1:48:0"});
    auto r = run({{a.c_str(), "Up", 30}, {b.c_str(), "Down", 48}});
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, buttonStarted("Up", a, 30) + pressPrompt("Up") + "\n" + wrongButton(48, 30) +
                         buttonStarted("Down", b, 48) + pressPrompt("Down") + releasePrompt("Down"));
}

// One button (Up, code 30) on one device, fed these records: each row
// fails and shows, after the press prompt, what it says.
TEST_F(ButtonTest, OneButtonFailsAsItsRecordsMakeIt) {
    const struct {
        const char* what;
        std::vector<std::string> steps;
        std::string after;  // what follows the press prompt
        int fed = 0;        // the feeder's status: 0 every record was taken, 1 one was left
    } cases[] = {
        {"a release as the first record shows two equal codes", {"1:30:0"}, "\n" + wrongButton(30, 30)},
        {"auto-repeat after the press fails without a newline",
         {"1:30:1", "1:30:2"},
         releasePrompt("Up") + wrongButton(30, 30)},
        // A sync record ahead of the key record fails the press although the key follows.
        {"only the first record after each opening is judged",
         {"0:0:0", "1:30:1", "1:30:0"},
         "\n" + wrongButton(0, 30),
         1},
        // 20 bytes hold the code but not the value; only a whole record counts.
        {"a short press record shows the code of a zeroed record",
         {"part:20:1:30:1", "close"},
         "\n" + wrongButton(0, 30)},
        {"a short release record fails",
         {"1:30:1", "part:23:1:30:0", "close"},
         releasePrompt("Up") + wrongButton(0, 30)},
        {"pressed but not released times out after an empty line", {"1:30:1"}, releasePrompt("Up") + kButtonTimedOut},
    };
    std::string ev = fifo(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Feeder feeder;
        feeder.start(ev, c.steps);
        auto r = run({{ev.c_str(), "Up", 30}});
        EXPECT_EQ(r.exitCode, kFailed);
        EXPECT_EQ(r.out, buttonStarted("Up", ev, 30) + pressPrompt("Up") + c.after);
        EXPECT_EQ(feeder.stop(), c.fed);
    }
}

TEST_F(ButtonTest, DeviceThatCannotBeOpenedFailsWithoutAPrompt) {
    std::string missing = dir.path + "/no-such-event";
    auto r = run({{missing.c_str(), "Up", 30}});
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, buttonStarted("Up", missing, 30) + failedOpen(missing));
}

TEST_F(ButtonTest, NeverPressedTimesOutOnANewLineAndTheNextButtonIsStillTested) {
    std::string a = fifo(0), b = fifo(1);
    feeders[0].start(a, {});
    feeders[1].start(b, {"1:2:1", "1:2:0"});
    auto t0 = std::chrono::steady_clock::now();
    auto r = run({{a.c_str(), "Up", 30}, {b.c_str(), "Two", 2}});
    auto took = std::chrono::steady_clock::now() - t0;
    // kWorkerLeft here would mean the cancelled worker kept running or kept its device open.
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, buttonStarted("Up", a, 30) + pressPrompt("Up") + kButtonTimedOut + buttonStarted("Two", b, 2) +
                         pressPrompt("Two") + releasePrompt("Two"));
    EXPECT_GE(took, std::chrono::seconds(3));
}

TEST_F(ButtonTest, EmptyListPassesWithoutOutputOrThread) {
    auto r = runIsolated(0, [] {
        int threads = threadCount();
        bool ok = executeAndWait(nullptr, 0) && executeAndWait(nullptr, -1);
        return ok && threadCount() == threads ? kPassed : kFailed;
    });
    EXPECT_EQ(r.exitCode, kPassed);
    EXPECT_EQ(r.out, "");
}

TEST_F(ButtonTest, WorkerThatCannotStartFailsItsButtonAndTheNextIsStillTested) {
    std::string ev = fifo(0);
    auto r = run({{ev.c_str(), "Up", 30}, {ev.c_str(), "Down", 31}}, [] {
        // No thread gets a stack this large.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 50);
        pthread_setattr_default_np(&attr);
        pthread_attr_destroy(&attr);
    });
    if (r.out.find("LOG: testKeyThread") != std::string::npos) GTEST_SKIP() << "threads start here even so";
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, expect::error("executeAndWait", "Can't start worker for button [Up]\n") +
                         expect::error("executeAndWait", "Can't start worker for button [Down]\n"));
}

TEST_F(ButtonTest, ButtonTextTooLongIsRefused) {
    std::string ev = fifo(0);
    std::string name(200, 'n');
    auto r = run({{ev.c_str(), name.c_str(), 30}});
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, expect::error("executeAndWait", "Button text too long [" + name + "]\n"));
}

TEST(ButtonRecord, WholeRecordGivesItsCodeAndValue) {
    input_event ev{};
    ev.type = 1;
    ev.code = 0xFFFF;
    ev.value = -7;
    KeyEvent k = decodeKeyRecord({reinterpret_cast<const unsigned char*>(&ev), sizeof ev});
    EXPECT_TRUE(k.whole);
    EXPECT_EQ(k.code, 0xFFFF);
    EXPECT_EQ(k.value, -7);
}

TEST(ButtonRecord, ShortOrLongReadCountsAsAZeroedRecord) {
    unsigned char bytes[48];
    memset(bytes, 0x5A, sizeof bytes);
    for (size_t n : {size_t{0}, size_t{20}, size_t{23}, size_t{25}, size_t{48}}) {
        KeyEvent k = decodeKeyRecord({bytes, n});
        EXPECT_FALSE(k.whole) << n;
        EXPECT_EQ(k.code, 0) << n;
        EXPECT_EQ(k.value, 0) << n;
    }
}

TEST(ButtonRecord, KeyEventNeedsAWholeRecordWithTheCodeAndValue) {
    EXPECT_TRUE(isKeyEvent({true, 30, 1}, 30, 1));
    EXPECT_FALSE(isKeyEvent({true, 31, 1}, 30, 1));
    EXPECT_FALSE(isKeyEvent({true, 30, 2}, 30, 1));
    EXPECT_FALSE(isKeyEvent({false, 0, 0}, 0, 0));
    EXPECT_FALSE(isKeyEvent({true, 0xFFFF, 0}, -1, 0));
}
