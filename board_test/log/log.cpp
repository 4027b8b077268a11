#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kReset = "\033[0m";

bool formatBounded(std::span<char> buf, const char* name, const char* what, const char* format, va_list args)
    KIT_PRINTF(4, 0);

bool formatBounded(std::span<char> buf, const char* name, const char* what, const char* format, va_list args) {
    if (buf.empty()) return false;
    int n = vsnprintf(buf.data(), buf.size(), format, args);
    if (n >= 0 && static_cast<size_t>(n) < buf.size()) return true;
    logError(name, "%s too long [%s]\n", what, buf.data());
    buf[0] = '\0';
    return false;
}

}  // namespace

void logInfo(const char* name, const char* format, ...) {
    printf("%sLOG: %s ", kReset, name);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void logError(const char* name, const char* format, ...) {
    printf("\033[31mERR: %s ", name);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("%s", kReset);
}

void logInfoLine(const char* name, const char* text) {
    printf("%sLOG: %s ", kReset, name);
    puts(text);
}

void logErrorLine(const char* name, const char* text) {
    printf("\033[31mERR: %s ", name);
    puts(text);
    printf("%s", kReset);
}

bool openAndRead(const char* path, char* buffer, size_t& count, size_t size) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        logError("openAndRead", "Failed to open [%s] file\n", path);
        return false;
    }
    memset(buffer, 0, size);
    count = fread(buffer, 1, size, file);
    fclose(file);
    if (count == 0) {
        logError("openAndRead", "Failed to read [%s] content\n", path);
        return false;
    }
    return true;
}

bool runShell(const char* command) {
    fflush(stdout);
    return system(command) == 0;
}

bool systemCall(const char* command) {
    logInfo("systemCall", "Calling [%s]\n", command);
    if (runShell(command)) return true;
    logError("systemCall", "System call [%s] failed\n", command);
    return false;
}

bool formatPath(std::span<char> buf, const char* name, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = formatBounded(buf, name, "Path", format, args);
    va_end(args);
    return ok;
}

bool formatCommand(std::span<char> buf, const char* name, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = formatBounded(buf, name, "Command", format, args);
    va_end(args);
    return ok;
}

bool isShellWord(const char* text) {
    // Characters that never change a command's meaning in sh, even unquoted.
    static constexpr const char* kPlain = "._-/:+@,=%";
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && strchr(kPlain, c) == nullptr) return false;
    }
    return true;
}

bool checkShellWord(const char* name, const char* text) {
    // An empty name would drop an argument, and one that starts with '-' would
    // become an option of the tool: both change what the command does.
    if (text[0] != '\0' && text[0] != '-' && isShellWord(text)) return true;
    logError(name, "Unsafe name refused [%s]\n", text);
    return false;
}
