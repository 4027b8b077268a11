#include "board.h"

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/isolate.h"
#include "core/process.h"
#include "gpiosim/sim_env.h"
#include "rtcsim/rtcsim.h"

namespace board {
namespace {

constexpr int kStartMs = 5000;
const std::string kState = "/run/kit";

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "virtual-board: %s\n", why.c_str());
    exit(kNoBoard);
}

void need(const std::string& path) {
    if (access(path.c_str(), X_OK) != 0) die("missing " + path + " (build first: ./kit build)");
}

void makeDirs(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) die("cannot make " + dir + ": " + ec.message());
}

void mountOrDie(const char* source, const std::string& target, const char* type, unsigned long flags,
                const char* options) {
    if (mount(source, target.c_str(), type, flags, options) != 0)
        die("cannot mount " + target + ": " + strerror(errno));
}

// The stand-ins started for the board; they end with it.
testbed::Process standIns[8];
int standInCount = 0;

testbed::Process& nextStandIn() {
    if (standInCount == static_cast<int>(std::size(standIns))) die("too many stand-ins");
    return standIns[standInCount++];
}

// Starts a stand-in and waits for its "ready" line. Its stderr is the
// board's; its stdout is let go after that line, so that what it prints
// later (echofw's "rx" lines) cannot fill a pipe nobody reads and stop it.
void startReady(const std::vector<std::string>& argv) {
    testbed::Process& p = nextStandIn();
    testbed::StartOptions options;
    options.captureOut = true;
    std::string line;
    if (!testbed::start(p, argv, options) || !testbed::waitLine(p, "ready", line, kStartMs))
        die(argv[0] + " did not start" + (p.out.empty() ? "" : ": " + p.out));
    p.outPipe.release();
}

// The Ethernet cable, and the USB gadget link whose far end is the PC, in a
// network namespace of its own.
void network(const FaultSet& faults) {
    testbed::freshNetwork();
    testbed::ethernetCable(!faults.has("eth-unplugged"), !faults.has("eth1-no-address"));
    testbed::must("ip link add usb0 address 02:00:00:00:00:10 type veth peer name usbpc");
    testbed::must("ip netns add pc && ip link set usbpc netns pc && ip link set usb0 up");
    if (!faults.has("usb0-peer-down")) testbed::must("ip -n pc link set usbpc up");
}

void put(const std::string& path, const std::string& text) { testbed::writeFixture(path, text); }

// The fake sysfs entries, in overlays over /sys/bus, /sys/class and
// /sys/kernel/irq: ADC, RTC, the CAN links' state and the RTC's interrupt.
void sysfs(const FaultSet& faults) {
    testbed::FixtureLayer bus = testbed::newFixtureLayer(kState);
    std::string iio = bus.upper + "/iio/devices/iio:device0";
    if (faults.has("adc-missing")) {
        makeDirs(bus.upper + "/iio/devices");
    } else {
        makeDirs(iio);
        // 10 raw x 0.25 mV = 2.5 mV, in the middle of the 2..3 mV window.
        put(iio + "/in_voltage0_scale", faults.has("adc-scale-zero") ? "0\n" : "0.250000000\n");
        put(iio + "/in_voltage0_raw", faults.has("adc-out-of-range") ? "40\n" : "10\n");
    }
    testbed::FixtureLayer cls = testbed::newFixtureLayer(kState);
    makeDirs(cls.upper + "/rtc/rtc0");
    put(cls.upper + "/rtc/rtc0/name", "rtc-sim\n");
    put(cls.upper + "/rtc/rtc0/time", "00:00:00\n");
    put(cls.upper + "/rtc/rtc0/wakealarm", "");
    for (const char* can : {"can0", "can1"}) {
        makeDirs(cls.upper + "/net/" + can);
        put(cls.upper + "/net/" + can + "/operstate", "up\n");
    }
    testbed::FixtureLayer irq = testbed::newFixtureLayer(kState);
    makeDirs(irq.upper + "/200");
    put(irq.upper + "/200/per_cpu_count", "0,0\n");
    testbed::mountFixtureLayer(bus, "/sys/bus");
    // Nothing of the host's own IIO devices may show either.
    if (faults.has("adc-missing")) mountOrDie("tmpfs", "/sys/bus/iio/devices", "tmpfs", 0, nullptr);
    testbed::mountFixtureLayer(cls, "/sys/class");
    testbed::mountFixtureLayer(irq, "/sys/kernel/irq");
}

void usbStick(const FaultSet& faults) {
    if (faults.has("usb-stick-missing")) return;
    makeDirs("/run/media/usb0");
    const char* text = faults.has("fixture-wrong") ? "TESTFILE\n" : faults.has("fixture-short") ? "test" : "testfile\n";
    put("/run/media/usb0/testfile.txt", text);
}

// The serial stand-ins, the button, the RTC's clock and the GPIO chip.
void devices(const std::string& build, const FaultSet& faults) {
    const char* rs485 = faults.has("rs485-silent")    ? "silent"
                        : faults.has("rs485-garbled") ? "garbage"
                        : faults.has("rs485-partial") ? "partial"
                                                      : "loopback";
    startReady({build + "/testbed/serialsim/serialsim", rs485, "/dev/ttymxc1"});

    std::vector<std::string> echo{build + "/testbed/echofw/echofw", "--link", "/dev/ttyRPMSG"};
    if (faults.has("echo-silent")) echo.push_back("--silent");
    if (faults.has("echo-corrupt"))
        echo.insert(echo.end(), {"--corrupt", std::to_string(faults.number("echo-corrupt", 3))});
    if (faults.has("echo-short"))
        echo.insert(echo.end(), {"--split", std::to_string(faults.number("echo-short", 0)) + ":20"});
    startReady(echo);

    // One press and release of key 0x100, fed whole records when read.
    startReady({build + "/testbed/eventfeed/eventfeed", "-t", "0", "/dev/input/event0", "1:256:1", "1:256:0"});

    testbed::RtcSimOptions clock;
    clock.dir = "/sys/class/rtc/rtc0";
    clock.irqFile = "/sys/kernel/irq/200/per_cpu_count";
    clock.limitMs = 86400000;
    if (!testbed::startRtcSim(nextStandIn(), clock)) die("the RTC's clock did not start");

    // The relay board (inputs 6,5,4,3 follow nothing until set; relays 8..11)
    // and a pin-pair fixture (outputs 16,17,18 wired to inputs 19,20,21).
    std::string ctl = build + "/testbed/gpiosim/gpiosim_ctl";
    std::string chip = kState + "/gpiochip0";
    testbed::must("'%s' %s create /dev/gpiochip0 32 > /dev/null", ctl.c_str(), chip.c_str());
    testbed::must("'%s' %s wire 16 19 wire 17 20 wire 18 21 > /dev/null", ctl.c_str(), chip.c_str());
    if (faults.has("gpio-pair-open")) testbed::must("'%s' %s unwire 21 > /dev/null", ctl.c_str(), chip.c_str());
    if (faults.has("gpio-input-stuck"))
        testbed::must("'%s' %s unwire 19 set 19 1 > /dev/null", ctl.c_str(), chip.c_str());
    put("/dev/gpiochip0", "");
    if (faults.has("relay-busy")) startReady({ctl, chip, "hold", "9", "other-consumer"});
}

// Tools this machine's hardware lacks, first in PATH, and the environment
// the stand-ins and the simulated chip read.
void tools(const BoardPaths& paths, const FaultSet& faults) {
    std::string bin = kState + "/bin";
    makeDirs(bin);
    for (const char* t : {"iw", "hcitool", "bluetoothctl", "cansend", "candump", "cangen"})
        if (symlink((paths.tools + "/" + t).c_str(), (bin + "/" + t).c_str()) != 0) die(std::string("link ") + t);
    for (const char* t : {"gpiosim/gpiosim_ctl", "eventfeed/eventfeed"})
        if (symlink((paths.build + "/testbed/" + t).c_str(), (bin + strrchr(t, '/')).c_str()) != 0)
            die(std::string("link ") + t);
    std::string radio = kState + "/radio", can = kState + "/can";
    makeDirs(radio + "/wlan/wlan0");
    makeDirs(radio + "/bt");
    // In range: another network only; an empty controller list.
    if (faults.has("wlan-ssid-missing")) put(radio + "/wlan/wlan0/ssids", "zelmo5\n");
    if (faults.has("bt-controller-missing")) put(radio + "/bt/controllers", "");
    makeDirs(can + "/can0");
    makeDirs(can + "/can1");
    put(can + "/can0/peer", "can1\n");
    put(can + "/can1/peer", "can0\n");
    setenv("KIT_RADIO_DIR", radio.c_str(), 1);
    setenv("KIT_CAN_DIR", can.c_str(), 1);
    testbed::prependPath(bin);
}

}  // namespace

int runBoard(const BoardPaths& paths, const FaultSet& faults, const std::vector<std::string>& command) {
    if (getpid() != 1) die("the board runs only as PID 1 of its own namespaces");
    testbed::exitOnSetupFailureWith(kNoBoard);
    for (const char* b :
         {"serialsim/serialsim", "echofw/echofw", "eventfeed/eventfeed", "gpiosim/gpiosim_ctl", "gpiosim/gpiosim.so"})
        need(paths.build + "/testbed/" + b);
    std::string preload = paths.build + "/testbed/gpiosim/gpiosim.so";

    // Mounts: nothing done here is seen outside.
    mountOrDie(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    mountOrDie("proc", "/proc", "proc", 0, nullptr);
    mountOrDie("tmpfs", "/run", "tmpfs", 0, "mode=0755");
    makeDirs(kState);
    network(faults);
    sysfs(faults);
    testbed::privateDev();
    usbStick(faults);
    devices(paths.build, faults);
    tools(paths, faults);

    if (chdir(paths.cwd.c_str()) != 0 && chdir("/run") != 0) die("no working directory");

    // The program starts as from an operator's shell: descriptors 0 to 2 only.
    testbed::Process program;
    testbed::StartOptions options;
    options.closeAbove2 = true;
    // The simulated chip preloaded, in sanitizer builds ahead of their runtime.
    options.env = simEnvironment(preload.c_str(), (kState + "/gpiochip0").c_str());
    if (!testbed::start(program, command, options)) die("cannot start " + command[0]);
    // PID 1 reaps every orphan of the board; the command's end ends the board.
    for (;;) {
        int status = 0;
        pid_t pid = wait(&status);
        if (pid < 0 && errno != EINTR) return kNoBoard;
        if (pid == program.pid) {
            program.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}

}  // namespace board
