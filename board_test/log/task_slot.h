#pragma once
// The record between a waiting test and one worker thread, and the wait on it.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

struct TaskSlot {
    void* target;            // what the worker works on
    std::atomic<bool> done;  // set by the worker at its end, after ok
    std::atomic<bool> ok;    // the worker's check passed; valid once done is seen
    pthread_t worker;
};

// A slot with the data its worker uses, owned jointly by the waiting side and
// the worker: whichever lets go last frees it, so a worker that outlives a
// time-out never touches freed memory.
template <class Data>
struct SharedTask {
    TaskSlot slot{};
    std::atomic<int> holders{2};
    Data data{};
};

template <class Data>
SharedTask<Data>* newSharedTask() {
    static_assert(std::is_standard_layout_v<SharedTask<Data>>, "the slot must stand first");
    return new (std::nothrow) SharedTask<Data>();
}

template <class Data>
SharedTask<Data>* taskOfSlot(TaskSlot* slot) {
    return reinterpret_cast<SharedTask<Data>*>(slot);
}

template <class Data>
void letGo(SharedTask<Data>* task) {
    if (task->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete task;
}

// Drops the worker's hold when the worker ends, normally or by cancellation.
template <class Data>
struct WorkerHold {
    SharedTask<Data>* task;
    explicit WorkerHold(TaskSlot* slot) : task(taskOfSlot<Data>(slot)) {}
    WorkerHold(const WorkerHold&) = delete;
    WorkerHold& operator=(const WorkerHold&) = delete;
    ~WorkerHold() { letGo(task); }
};

// Holds off cancellation while it lives. A worker's destructors close its
// device; close is a cancellation point, and a cancellation acted on inside a
// destructor cannot unwind out of it (std::terminate ends the whole program).
struct CancelGuard {
    int previous = 0;
    CancelGuard() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous); }
    CancelGuard(const CancelGuard&) = delete;
    CancelGuard& operator=(const CancelGuard&) = delete;
    ~CancelGuard() { pthread_setcancelstate(previous, nullptr); }
};

// Writes the worker's verdict: ok first, then done, so a waiter that sees done sees ok.
void finishSlot(TaskSlot& slot, bool passed);

// Starts body on the slot; false (nothing to join or cancel) when no thread could be made.
bool startWorker(TaskSlot& slot, void* (*body)(void*));

// Polls done every 100 ms, sleeping first, at most polls times. When the
// worker finished it is joined and its ok returned. Otherwise reports "Task
// timed-out" under tag (first ending the prompt line a worker left open,
// when asked), requests cancellation of the worker and detaches it, so its
// thread is reclaimed whenever it ends; false.
bool waitForWorker(TaskSlot& slot, int32_t polls, const char* tag, bool endPromptLine);

// The wait of the port readers: waitForWorker under its own name.
bool executionWait(TaskSlot* slot, int32_t polls);
