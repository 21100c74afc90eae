#include "Platform/Queues/MainQueue.h"

#include "Platform/Queues/RunAndWait.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>

namespace veltrane {

namespace {

void runTask(const std::function<void()>& task)
{
    try {
        task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "main queue: task failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "main queue: task failed\n");
    }
}

} // namespace

MainQueue::MainQueue(const Clock& clock) : clock_(clock), mainThread_(std::this_thread::get_id()) {}

MainQueue& MainQueue::main()
{
    static MainQueue queue;
    return queue;
}

void MainQueue::post(std::function<void()> task)
{
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
}

void MainQueue::postAfter(double seconds, std::function<void()> task)
{
    const double due = clock_.now() + std::max(seconds, 0.0);
    std::lock_guard lock(mutex_);
    delayed_.push_back({due, nextOrder_++, std::move(task)});
}

MainQueue::TimerId MainQueue::addTimer(double interval, std::function<void()> task)
{
    const double due = clock_.now() + std::max(interval, 0.0);
    std::lock_guard lock(mutex_);
    const TimerId id = nextTimer_++;
    timers_.push_back({id, std::max(interval, 0.0), due, std::move(task)});
    return id;
}

void MainQueue::cancelTimer(TimerId id)
{
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
}

void MainQueue::invokeSync(const std::function<void()>& task)
{
    if (isMainThread()) {
        task();
        return;
    }
    detail::runAndWait([this](std::function<void()> wrapped) { post(std::move(wrapped)); }, task);
}

std::size_t MainQueue::pump()
{
    mainThread_.store(std::this_thread::get_id());
    const double now = clock_.now();

    std::vector<std::function<void()>> batch;
    std::vector<TimerId> dueTimers;
    {
        std::lock_guard lock(mutex_);
        batch.swap(ready_);
        std::vector<Delayed> due;
        for (auto it = delayed_.begin(); it != delayed_.end();) {
            if (it->due <= now) {
                due.push_back(std::move(*it));
                it = delayed_.erase(it);
            } else {
                ++it;
            }
        }
        std::sort(due.begin(), due.end(), [](const Delayed& a, const Delayed& b) {
            return a.due < b.due || (a.due == b.due && a.order < b.order);
        });
        for (auto& d : due) batch.push_back(std::move(d.task));
        for (auto& t : timers_) {
            if (t.due <= now) {
                dueTimers.push_back(t.id);
                t.due += t.interval;
                if (t.due <= now) t.due = now + t.interval;
            }
        }
    }

    std::size_t ran = 0;
    for (auto& task : batch) {
        runTask(task);
        ++ran;
    }
    for (TimerId id : dueTimers) {
        // Look the timer up again: an earlier task may have cancelled it. Copy the task so the
        // timer can cancel itself while it runs.
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
            if (it == timers_.end()) continue;
            task = it->task;
        }
        runTask(task);
        ++ran;
    }
    return ran;
}

double MainQueue::secondsUntilDue() const
{
    std::lock_guard lock(mutex_);
    if (!ready_.empty()) return 0;
    double earliest = -1;
    auto consider = [&](double due) {
        if (earliest < 0 || due < earliest) earliest = due;
    };
    for (const auto& d : delayed_) consider(d.due);
    for (const auto& t : timers_) consider(t.due);
    if (earliest < 0) return -1;
    return std::max(earliest - clock_.now(), 0.0);
}

} // namespace veltrane
