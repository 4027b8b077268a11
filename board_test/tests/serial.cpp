#include "serial.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "../log/log.h"
#include "../log/task_slot.h"

namespace {

constexpr const char* kProbe = "12 34 56";
constexpr size_t kProbeBytes = 8;
constexpr int kReadBytes = 64;
constexpr int32_t kPingPolls = 30;
constexpr int32_t kCrossPolls = 10;

// The reader's path, copied so that it outlives a caller that has returned.
struct PortData {
    const char* path;
    char text[128];
};
using PortTask = SharedTask<PortData>;

// Closes the port on every way out of the reader, cancellation included.
struct PortFd {
    int fd;
    explicit PortFd(int f) : fd(f) {}
    PortFd(const PortFd&) = delete;
    PortFd& operator=(const PortFd&) = delete;
    ~PortFd() {
        CancelGuard guard;
        if (fd >= 0) close(fd);
    }
};

// Arms a new reader for path and starts it; null (reported under who) when
// the path does not fit or no thread could be made.
PortTask* startReader(const char* who, const char* path) {
    PortTask* task = newSharedTask<PortData>();
    if (task == nullptr) {
        logErrorLine(who, "Memory allocation error");
        return nullptr;
    }
    if (!formatPath(task->data.text, who, "%s", path)) {
        delete task;
        return nullptr;
    }
    task->data.path = task->data.text;
    task->slot.target = &task->data.path;
    if (!startWorker(task->slot, testPortThread)) {
        logError(who, "Can't start reader for port %s\n", path);
        delete task;
        return nullptr;
    }
    return task;
}

// Waits for a started reader and lets go of it; a missing reader fails.
bool waitReader(PortTask* task, int32_t polls) {
    if (task == nullptr) return false;
    bool ok = executionWait(&task->slot, polls);
    letGo(task);
    return ok;
}

bool runPortCommand(const char* who, const char* what, const char* command) {
    logInfo(who, "%s [%s]\n", what, command);
    if (runShell(command)) return true;
    logError(who, "System call [%s] error\n", command);
    return false;
}

}  // namespace

void cutAtLastNewline(char* buffer, int32_t n) {
    for (int32_t i = n; i >= 0; --i) {
        if (buffer[i] == '\n') {
            buffer[i] = '\0';
            return;
        }
    }
}

bool isProbeEcho(const char* buffer, int32_t n) {
    return n >= static_cast<int32_t>(kProbeBytes) && memcmp(buffer, kProbe, kProbeBytes) == 0;
}

void* testPortThread(void* arg) {
    auto* slot = static_cast<TaskSlot*>(arg);
    WorkerHold<PortData> hold(slot);
    const char* path = *static_cast<const char* const*>(slot->target);
    logInfo("testPortThread", "Reading port [%s]\n", path);

    int32_t n = -1;
    char buffer[kReadBytes] = {};
    {
        PortFd port(open(path, O_RDWR | O_NOCTTY | O_SYNC));
        if (port.fd < 0) {
            logError("testPortThread", "Can't open port %s\n", path);
            finishSlot(*slot, false);
            return nullptr;
        }
        n = static_cast<int32_t>(read(port.fd, buffer, kReadBytes - 1));
    }
    if (n >= 0) cutAtLastNewline(buffer, n);
    logInfo("testPortThread", "Reading port content [%d] [%s]\n", n, buffer);
    if (isProbeEcho(buffer, n)) {
        finishSlot(*slot, true);
        return nullptr;
    }
    logError("testPortThread", "Port content mismatch [%d] [%s]\n", n, buffer);
    finishSlot(*slot, false);
    return nullptr;
}

bool testPortPing(const char* port) {
    char command[128] = {};
    if (!checkShellWord("testPortPing", port)) return false;
    if (!formatCommand(command, "testPortPing", "stty -F %s 9600 raw -echo -echoe -echok > /dev/null", port))
        return false;
    if (!runPortCommand("testPortPing", "Setup port", command)) return false;

    PortTask* reader = startReader("testPortPing", port);
    bool written = formatCommand(command, "testPortPing", "echo \"%s\"> %s", kProbe, port) &&
                   runPortCommand("testPortPing", "Writing port", command);
    // The reader is running: pause with nanosleep, which touches no process-wide state.
    const timespec pause{1, 0};
    nanosleep(&pause, nullptr);
    bool received = waitReader(reader, kPingPolls);
    return received && written;
}

bool testPort(const char* const* ports, uint64_t count) {
    char command[128] = {};
    for (uint64_t i = 0; i < count; ++i) {
        if (!checkShellWord("testPort", ports[i])) return false;
        if (!formatCommand(command, "testPort", "stty -F %s 115200 raw -echo -echoe -echok", ports[i])) return false;
        if (!runPortCommand("testPort", "Setup port", command)) return false;
    }
    if (count == 0) return true;

    // One reader per receiving port of a turn; a null entry is a reader that never started.
    PortTask** readers = new (std::nothrow) PortTask*[count]();
    if (readers == nullptr) {
        logErrorLine("testPort", "Memory allocation error");
        return false;
    }
    bool result = true;
    for (uint64_t j = 0; j < count; ++j) {
        for (uint64_t k = 0; k < count; ++k) {
            if (k != j) readers[k] = startReader("testPort", ports[k]);
        }
        if (!formatCommand(command, "testPort", "echo -n %s > %s", kProbe, ports[j]) ||
            !runPortCommand("testPort", "Writing port", command)) {
            result = false;
        }
        for (uint64_t l = 0; l < count; ++l) {
            if (l == j) continue;
            if (!waitReader(readers[l], kCrossPolls)) {
                logError("testPort", "Port [%s] rx failed\n", ports[l]);
                result = false;
            }
            readers[l] = nullptr;
        }
    }
    delete[] readers;
    return result;
}
