#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "child_checks.h"
#include "expect.h"
#include "isolated.h"
#include "log/log.h"
#include "main/runner.h"
#include "routine_entries.h"

namespace {

ChildResult capture(const std::function<int()>& body) { return runIsolated(0, body); }

void writeFile(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

}  // namespace

TEST(ConsoleLog, InfoAndErrorEntriesCarryPrefixColourAndClosingReset) {
    auto r = capture([] {
        logError("someRoutine", "Failed [%d]\n", 7);
        logInfo("other", "Value [%s]\n", "x");
        logErrorLine("lineRoutine", "Can't obtain ifaddr");
        logInfoLine("lineInfo", "Searching [hci0] device");
        return 0;
    });
    EXPECT_EQ(r.out, expect::error("someRoutine", "Failed [7]\n") + expect::info("other", "Value [x]\n") +
                         expect::error("lineRoutine", "Can't obtain ifaddr\n") +
                         expect::info("lineInfo", "Searching [hci0] device\n"));
}

TEST(VerdictLine, WordFollowsTheLabelDirectlyAndResetStartsTheNextLine) {
    auto r = capture([] {
        printResult("Testing RS485 ............", false);
        printResult("Testing %s ..............", true);  // a label is never a format
        return 0;
    });
    EXPECT_EQ(r.out, "Testing RS485 ............\033[31mFAILED\n\033[0mTesting %s ..............\033[32mOK\n\033[0m");
}

// openAndRead(path, buffer, count, 8) on a 10-byte buffer of 'x' with the
// count at 42: only the 8 bytes asked for are cleared and filled, nothing
// is terminated, and a failure leaves the count as the row says.
TEST(OpenAndRead, VerdictCountBufferAndLogFollowTheFile) {
    TempDir dir;
    struct Case {
        const char* what;
        const char* content;  // null: no file
        bool ok;
        size_t count;
        std::string buffer;  // all 10 bytes afterwards
        std::string log;
    } cases[] = {
        {"missing file reports the open failure and leaves count and buffer alone", nullptr, false, 42, "xxxxxxxxxx",
         expect::error("openAndRead", "Failed to open [" + dir.path + "/file] file\n")},
        {"empty file reports the read failure with a zeroed buffer", "", false, 0, std::string(8, '\0') + "xx",
         expect::error("openAndRead", "Failed to read [" + dir.path + "/file] content\n")},
        {"long file gives size bytes without a terminator", "0123456789abcdefghij", true, 8, "01234567xx", ""},
    };
    const std::string path = dir.path + "/file";
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        unlink(path.c_str());
        if (k.content != nullptr) writeFile(path, k.content);
        auto r = capture([&] {
            char buf[10];
            memset(buf, 'x', sizeof buf);
            size_t count = 42;
            bool ok = openAndRead(path.c_str(), buf, count, 8);
            ChildChecks c;
            c.check(ok == k.ok, "the verdict");
            c.check(count == k.count, "the count");
            c.check(std::string(buf, sizeof buf) == k.buffer, "the buffer's 10 bytes");
            return c.exitCode();
        });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, k.log);
    }
}

TEST(SystemCall, LogsTheCommandAndReportsANonZeroStatus) {
    auto r = capture([] {
        bool good = systemCall("true");
        bool bad = systemCall("exit 3");
        ChildChecks c;
        c.check(good, "status 0 is success");
        c.check(!bad, "status 3 is failure");
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::calling("true") + expect::calling("exit 3") + expect::callFailed("exit 3"));
}

TEST(SystemCall, ChildOutputStaysInOrderWithTheLogWhenStdoutIsAPipe) {
    auto r = capture([] {
        logInfo("before", "one\n");
        systemCall("echo child");
        logInfo("after", "two\n");
        return 0;
    });
    EXPECT_EQ(r.out, expect::info("before", "one\n") + expect::calling("echo child") + "child\n" +
                         expect::info("after", "two\n"));
}

TEST(BoundedFormatting, RefusesATextThatWouldNotFitAndNeverRunsIt) {
    TempDir dir;
    std::string marker = dir.path + "/ran";
    auto r = capture([&] {
        char small[16];
        bool fits = formatCommand(small, "caller", "echo %s", "hi");
        bool tooLong = formatCommand(small, "caller", "touch %s", marker.c_str());
        ChildChecks c;
        c.check(fits, "a text that fits is formatted");
        c.check(!tooLong, "a text that does not fit is refused");
        c.check(small[0] == '\0', "a refused text leaves an empty buffer");
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::error("caller", "Command too long [" + ("touch " + marker).substr(0, 15) + "]\n"));
    EXPECT_EQ(testbed::readFile(marker), "");
}

TEST(ShellWords, PlainNamesPassAndMetacharactersAreRefused) {
    for (const char* good :
         {"eth0", "usb0", "/dev/ttymxc1", "iio:device0", "can0", "wlan0", "eth0.5", "a-b_c+d@e,f=g%h"})
        EXPECT_TRUE(isShellWord(good)) << good;
    for (const char* bad : {"eth0; reboot", "a b", "x|y", "$(id)", "`id`", "a&", "a>b", "a<b", "'q'", "\"q\"", "a\\b",
                            "a\nb", "*", "~root"})
        EXPECT_FALSE(isShellWord(bad)) << bad;

    // checkShellWord logs each refusal under its caller's name, in call order.
    const struct {
        const char* caller;
        const char* name;
        bool accepted;
    } checked[] = {
        {"isEthActive", "eth0;id", false}, {"n", "", false}, {"isWlan", "-e.", false}, {"ok", "eth0-1", true}};
    std::string refusals;
    for (const auto& w : checked)
        if (!w.accepted) refusals += expect::error(w.caller, std::string("Unsafe name refused [") + w.name + "]\n");
    auto r = capture([&] {
        ChildChecks c;
        for (const auto& w : checked) {
            std::string what = std::string(w.accepted ? "accepts [" : "refuses [") + w.name + "]";
            c.check(checkShellWord(w.caller, w.name) == w.accepted, what.c_str());
        }
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0) << "checks failed in the child (see its stderr)";
    EXPECT_EQ(r.out, refusals);
}
