#include "task_slot.h"

#include <unistd.h>

#include <cstdio>

#include "log.h"

namespace {
constexpr useconds_t kPollMicros = 100000;
}

void finishSlot(TaskSlot& slot, bool passed) {
    slot.ok.store(passed, std::memory_order_relaxed);
    slot.done.store(true, std::memory_order_release);
}

bool startWorker(TaskSlot& slot, void* (*body)(void*)) {
    return pthread_create(&slot.worker, nullptr, body, &slot) == 0;
}

bool waitForWorker(TaskSlot& slot, int32_t polls, const char* tag, bool endPromptLine) {
    for (int32_t i = 0; i < polls; ++i) {
        usleep(kPollMicros);
        if (slot.done.load(std::memory_order_acquire)) {
            // Joining a thread we started and never detached cannot fail.
            (void)pthread_join(slot.worker, nullptr);
            return slot.ok.load(std::memory_order_relaxed);
        }
    }
    if (endPromptLine) putchar('\n');
    logErrorLine(tag, "Task timed-out");
    pthread_cancel(slot.worker);
    pthread_detach(slot.worker);
    return false;
}

bool executionWait(TaskSlot* slot, int32_t polls) { return waitForWorker(*slot, polls, "executionWait", false); }
