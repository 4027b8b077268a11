#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "child_checks.h"
#include "isolated.h"
#include "log/task_slot.h"

namespace {

std::atomic<bool> closedAndGoingOn{false};

// What a worker's device wrapper does on its way out: close in a destructor.
struct ClosingWrapper {
    int fd;
    ~ClosingWrapper() {
        CancelGuard guard;
        close(fd);
    }
};

void* closeWithCancellationPending(void*) {
    int fd = open("/dev/null", O_RDONLY);
    // A time-out's cancellation arrives after the worker's read returned.
    pthread_cancel(pthread_self());
    { ClosingWrapper device{fd}; }
    closedAndGoingOn = true;
    pthread_testcancel();  // the cancellation is acted on here, outside any destructor
    return nullptr;
}

}  // namespace

TEST(WorkerCancellation, PendingCancellationWaitsUntilTheDeviceIsClosed) {
    auto r = runIsolated(0, [] {
        pthread_t worker;
        if (pthread_create(&worker, nullptr, closeWithCancellationPending, nullptr) != 0) return 3;
        void* result = nullptr;
        pthread_join(worker, &result);
        ChildChecks checks;
        checks.check(result == PTHREAD_CANCELED, "the worker ends cancelled");
        checks.check(closedAndGoingOn, "the device was closed before the cancellation was acted on");
        return checks.exitCode();
    });
    EXPECT_EQ(r.signal, 0) << "the process ended by a signal (std::terminate aborts)";
    EXPECT_EQ(r.exitCode, 0);
}

TEST(WorkerCancellation, GuardRestoresTheCancelStateItFound) {
    int state = -1;
    {
        CancelGuard guard;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        EXPECT_EQ(state, PTHREAD_CANCEL_DISABLE);
    }
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);
}
