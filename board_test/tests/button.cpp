#include "button.h"

#include <linux/input.h>

#include <cstdio>
#include <cstring>

#include "../log/log.h"
#include "../log/task_slot.h"

static_assert(sizeof(input_event) == 24, "the board's event records are 24 bytes");

namespace {

constexpr int32_t kPolls = 30;
constexpr int32_t kPress = 1;
constexpr int32_t kRelease = 0;

// Copies of the caller's texts, so that a worker that outlives a time-out
// never reads the caller's memory after executeAndWait has returned.
struct ButtonData {
    ButtonDef def;
    char path[128];
    char name[128];
};
using ButtonTask = SharedTask<ButtonData>;

// Closes the device on every way out of the worker, cancellation included.
struct EventFile {
    FILE* file;
    explicit EventFile(FILE* f) : file(f) {}
    EventFile(const EventFile&) = delete;
    EventFile& operator=(const EventFile&) = delete;
    ~EventFile() {
        CancelGuard guard;
        if (file != nullptr) fclose(file);
    }
};

// Reads the first record after an opening. The buffer is zeroed first, and
// what a short read left in it is not used.
KeyEvent readKeyEvent(EventFile& device) {
    unsigned char record[sizeof(input_event)] = {};
    size_t got = fread(record, 1, sizeof record, device.file);
    return decodeKeyRecord(std::span<const unsigned char>(record, got));
}

void wrongCode(const KeyEvent& event, int32_t keyCode) {
    logError("testKeyThread", "Wrong button code [%d] != [%d]\n", static_cast<int32_t>(event.code), keyCode);
}

void failedOpen(TaskSlot& slot, const char* path) {
    finishSlot(slot, false);
    logError("testKeyThread", "Failed to open [%s] event file\n", path);
}

bool copyText(std::span<char> buf, const char* text) {
    size_t n = strlen(text);
    if (n >= buf.size()) {
        logError("executeAndWait", "Button text too long [%s]\n", text);
        return false;
    }
    memcpy(buf.data(), text, n + 1);
    return true;
}

// Arms a new slot for the button and starts its worker; null (reported) when
// the button's texts do not fit or no thread could be made.
ButtonTask* startButton(const ButtonDef& button) {
    ButtonTask* task = newSharedTask<ButtonData>();
    if (task == nullptr) {
        logErrorLine("executeAndWait", "Memory allocation error");
        return nullptr;
    }
    if (!copyText(task->data.path, button.eventPath) || !copyText(task->data.name, button.buttonName)) {
        delete task;
        return nullptr;
    }
    task->data.def = ButtonDef{task->data.path, task->data.name, button.keyCode};
    task->slot.target = &task->data.def;
    if (!startWorker(task->slot, testKeyThread)) {
        logError("executeAndWait", "Can't start worker for button [%s]\n", button.buttonName);
        delete task;
        return nullptr;
    }
    return task;
}

bool testButton(const ButtonDef& button) {
    ButtonTask* task = startButton(button);
    if (task == nullptr) return false;
    bool passed = waitForWorker(task->slot, kPolls, "executeAndWait", true);
    letGo(task);
    return passed;
}

}  // namespace

KeyEvent decodeKeyRecord(std::span<const unsigned char> bytes) {
    KeyEvent event{false, 0, 0};
    if (bytes.size() != sizeof(input_event)) return event;
    input_event raw;
    memcpy(&raw, bytes.data(), sizeof raw);
    event.whole = true;
    event.code = raw.code;
    event.value = raw.value;
    return event;
}

bool isKeyEvent(const KeyEvent& event, int32_t keyCode, int32_t value) {
    return event.whole && static_cast<int32_t>(event.code) == keyCode && event.value == value;
}

void* testKeyThread(void* arg) {
    auto* slot = static_cast<TaskSlot*>(arg);
    WorkerHold<ButtonData> hold(slot);
    const ButtonDef& button = *static_cast<const ButtonDef*>(slot->target);
    logInfo("testKeyThread", "Button test [%s] [%s] [%d]\n", button.buttonName, button.eventPath, button.keyCode);

    KeyEvent press;
    {
        EventFile device(fopen(button.eventPath, "r"));
        if (device.file == nullptr) {
            failedOpen(*slot, button.eventPath);
            return nullptr;
        }
        printf("\033[34mPress [%s] button ... ", button.buttonName);
        printf("\033[0m");
        fflush(stdout);
        press = readKeyEvent(device);
    }
    if (!isKeyEvent(press, button.keyCode, kPress)) {
        putchar('\n');
        wrongCode(press, button.keyCode);
        finishSlot(*slot, false);
        return nullptr;
    }

    KeyEvent release;
    {
        EventFile device(fopen(button.eventPath, "r"));
        if (device.file == nullptr) {
            putchar('\n');
            failedOpen(*slot, button.eventPath);
            return nullptr;
        }
        printf("\033[34mRelease [%s] button\n", button.buttonName);
        printf("\033[0m");
        release = readKeyEvent(device);
    }
    if (!isKeyEvent(release, button.keyCode, kRelease)) {
        wrongCode(release, button.keyCode);
        finishSlot(*slot, false);
        return nullptr;
    }
    finishSlot(*slot, true);
    return nullptr;
}

bool executeAndWait(const ButtonDef* buttons, int32_t count) {
    bool result = true;
    for (int32_t i = 0; i < count; ++i) {
        if (!testButton(buttons[i])) result = false;
    }
    return result;
}
