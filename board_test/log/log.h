#pragma once
// Console log, file reader and shell-command runner shared by every test routine.

#include <cstddef>
#include <cstdint>
#include <span>

#define KIT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Info entry: colour reset, "LOG: <name> ", then the formatted message.
void logInfo(const char* name, const char* format, ...) KIT_PRINTF(2, 3);
// Error entry: red "ERR: <name> ", the formatted message, then the colour reset.
void logError(const char* name, const char* format, ...) KIT_PRINTF(2, 3);
// Entries whose message is a fixed text written as a line (puts).
void logInfoLine(const char* name, const char* text);
void logErrorLine(const char* name, const char* text);

// Reads at most size bytes of the file into buffer after zeroing size bytes.
// True when at least one byte was read; count is untouched when open fails.
bool openAndRead(const char* path, char* buffer, size_t& count, size_t size);

// Logs the command, runs it through the shell; true on status 0.
bool systemCall(const char* command);

// Runs a command line through the shell, stdout flushed first so the log
// and the child's output keep their order; true on status 0.
bool runShell(const char* command);

// Bounded formatting into buf. A text that would not fit is never used:
// an error entry under name shows the truncated text and the result is false.
bool formatPath(std::span<char> buf, const char* name, const char* format, ...) KIT_PRINTF(3, 4);
bool formatCommand(std::span<char> buf, const char* name, const char* format, ...) KIT_PRINTF(3, 4);

// True when text can stand inside a shell command line as one plain word.
bool isShellWord(const char* text);
// Refuses (error entry under name, false) a caller-given name that would
// change the meaning of a shell command line.
bool checkShellWord(const char* name, const char* text);
