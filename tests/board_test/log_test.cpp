#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "child_checks.h"
#include "core/isolate.h"
#include "expect.h"
#include "log/log.h"
#include "main/runner.h"

using testbed::runIsolated;
using testbed::TempDir;

namespace {

testbed::ChildResult capture(const std::function<int()>& body) { return runIsolated(0, body); }

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

TEST(OpenAndRead, MissingFileReportsOpenFailureAndLeavesCountAlone) {
    auto r = capture([] {
        char buf[8] = {'a', 'b'};
        size_t count = 42;
        bool ok = openAndRead("/nonexistent/file", buf, count, sizeof buf);
        ChildChecks c;
        c.check(!ok, "a missing file is a failure");
        c.check(count == 42, "the count is left alone");
        c.check(buf[0] == 'a', "the buffer is left alone");
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::error("openAndRead", "Failed to open [/nonexistent/file] file\n"));
}

TEST(OpenAndRead, EmptyFileReportsReadFailureWithZeroedBuffer) {
    TempDir dir;
    std::string path = dir.path + "/empty";
    writeFile(path, "");
    auto r = capture([&] {
        char buf[8];
        memset(buf, 'x', sizeof buf);
        size_t count = 42;
        bool ok = openAndRead(path.c_str(), buf, count, sizeof buf);
        ChildChecks c;
        c.check(std::all_of(buf, buf + sizeof buf, [](char b) { return b == 0; }), "the buffer is zeroed");
        c.check(!ok, "an empty file is a failure");
        c.check(count == 0, "the count is 0");
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::error("openAndRead", "Failed to read [" + path + "] content\n"));
}

TEST(OpenAndRead, ReadsAtMostSizeBytesWithoutTerminator) {
    TempDir dir;
    std::string path = dir.path + "/long";
    writeFile(path, "0123456789abcdefghij");
    auto r = capture([&] {
        char buf[10];
        memset(buf, 'x', sizeof buf);
        size_t count = 0;
        bool ok = openAndRead(path.c_str(), buf, count, 8);
        // Only size bytes are cleared and filled; the byte after them is untouched.
        ChildChecks c;
        c.check(ok, "the read succeeds");
        c.check(count == 8, "the count is the size asked for");
        c.check(memcmp(buf, "01234567x", 9) == 0, "size bytes read, the next one untouched");
        return c.exitCode();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
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
    EXPECT_EQ(r.out, expect::info("systemCall", "Calling [true]\n") + expect::info("systemCall", "Calling [exit 3]\n") +
                         expect::error("systemCall", "System call [exit 3] failed\n"));
}

TEST(SystemCall, ChildOutputStaysInOrderWithTheLogWhenStdoutIsAPipe) {
    auto r = capture([] {
        logInfo("before", "one\n");
        systemCall("echo child");
        logInfo("after", "two\n");
        return 0;
    });
    EXPECT_EQ(r.out, expect::info("before", "one\n") + expect::info("systemCall", "Calling [echo child]\n") +
                         "child\n" + expect::info("after", "two\n"));
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

    auto r = capture([] {
        return (!checkShellWord("isEthActive", "eth0;id") && !checkShellWord("n", "") &&
                !checkShellWord("isWlan", "-e.") && checkShellWord("ok", "eth0-1"))
                   ? 0
                   : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::error("isEthActive", "Unsafe name refused [eth0;id]\n") +
                         expect::error("n", "Unsafe name refused []\n") +
                         expect::error("isWlan", "Unsafe name refused [-e.]\n"));
}
