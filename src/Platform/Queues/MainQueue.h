#pragma once
// The main thread's queue: work posted from any thread, run by the thread that pumps it.
//
// The application pumps the one main queue (`MainQueue::main()`) once per display frame; whatever
// is due at that moment runs then, in order: tasks posted earlier, delayed tasks whose time has
// come (earliest first), and repeating timers (at most one firing per timer per pump; a timer that
// fell behind is not fired repeatedly to catch up). Work posted while a pump runs waits for the
// next pump, so a task that re-posts itself cannot starve the frame.
//
// `invokeSync` runs a task on the pumping thread and waits for it (running it at once when called
// from that thread); it blocks until the next pump, so never call it from a thread the main thread
// waits for. Time comes from a `Clock`, which tests replace with a `ManualClock`.
// Not for the audio thread: posting allocates and locks.
#include "Platform/Clock/Clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace veltrane {

class MainQueue {
public:
    using TimerId = std::uint64_t;

    explicit MainQueue(const Clock& clock = Clock::steady());
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // The program's one main queue, on the steady clock.
    static MainQueue& main();

    void post(std::function<void()> task);
    void postAfter(double seconds, std::function<void()> task);

    // Repeating timer: first fires `interval` seconds from now, then every `interval` seconds.
    TimerId addTimer(double interval, std::function<void()> task);
    // Cancelling from inside the timer's own task is allowed; an unknown id is ignored.
    void cancelTimer(TimerId id);

    void invokeSync(const std::function<void()>& task);

    // Runs what is due now on the calling thread, which becomes the main thread; returns how many
    // tasks ran. Exceptions escaping a task are written as one line on standard error.
    std::size_t pump();

    // Seconds until the earliest delayed task or timer is due (0 when something is ready now),
    // or a negative value when nothing is waiting; for a caller that wants to sleep between pumps.
    double secondsUntilDue() const;

    bool isMainThread() const { return std::this_thread::get_id() == mainThread_.load(); }

private:
    struct Delayed {
        double due;
        std::uint64_t order;
        std::function<void()> task;
    };
    struct Timer {
        TimerId id;
        double interval;
        double due;
        std::function<void()> task;
    };

    const Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<std::function<void()>> ready_;
    std::vector<Delayed> delayed_;
    std::vector<Timer> timers_;
    std::uint64_t nextOrder_ = 0;
    TimerId nextTimer_ = 1;
    std::atomic<std::thread::id> mainThread_;
};

} // namespace veltrane
