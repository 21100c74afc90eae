#pragma once
// Shared by the queues' synchronous calls: hand a task to a queue and block until it has run.
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

namespace veltrane::detail {

// `enqueue` posts a callable to the queue; the calling thread waits for it and rethrows what the
// task threw, so a synchronous call fails the way a direct call would.
template <class Enqueue>
void runAndWait(Enqueue&& enqueue, const std::function<void()>& task)
{
    std::exception_ptr error;
    bool done = false;
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    enqueue([&] {
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
    if (error) std::rethrow_exception(error);
}

} // namespace veltrane::detail
