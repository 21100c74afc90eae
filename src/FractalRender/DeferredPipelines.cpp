#include "FractalRender/DeferredPipelines.h"

namespace veltrane {

DeferredPipelines::DeferredPipelines(std::vector<Make> makers, bool ahead, std::chrono::milliseconds delay,
                                     std::function<void()> whenAllMade)
{
    slots_.reserve(makers.size());
    for (Make& make : makers) slots_.push_back(Slot{std::move(make)});
    if (ahead) thread_ = std::thread([this, delay, done = std::move(whenAllMade)] { background(delay, done); });
}

DeferredPipelines::~DeferredPipelines()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DeferredPipelines::makeLocked(Slot& slot, std::unique_lock<std::mutex>& lock)
{
    slot.state = State::making;
    lock.unlock();
    std::shared_ptr<GpuPipeline> pipeline;
    std::exception_ptr error;
    try {
        pipeline = slot.make();
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    slot.pipeline = std::move(pipeline);
    slot.error = error;
    slot.state = error ? State::failed : State::made;
    changed_.notify_all();
}

std::shared_ptr<GpuPipeline> DeferredPipelines::get(std::size_t index)
{
    std::unique_lock lock(mutex_);
    Slot& slot = slots_.at(index);
    if (slot.state == State::pending) makeLocked(slot, lock);
    changed_.wait(lock, [&] { return slot.state != State::making; });
    if (slot.state == State::failed) std::rethrow_exception(slot.error);
    return slot.pipeline;
}

void DeferredPipelines::prefetch(std::size_t index)
{
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        if (slots_.at(index).state != State::pending) return;
        requests_.push_back(index);
    }
    changed_.notify_all();
}

DeferredPipelines::Slot* DeferredPipelines::nextLocked(bool due)
{
    while (!requests_.empty()) {
        Slot& slot = slots_[requests_.front()];
        requests_.erase(requests_.begin());
        if (slot.state == State::pending) return &slot;
    }
    if (due)
        for (Slot& slot : slots_)
            if (slot.state == State::pending) return &slot;
    return nullptr;
}

void DeferredPipelines::background(std::chrono::milliseconds delay, std::function<void()> whenAllMade)
{
    const auto due = std::chrono::steady_clock::now() + delay;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait_until(lock, due, [&] { return stopping_ || !requests_.empty(); });
        if (stopping_) return;
        const bool isDue = std::chrono::steady_clock::now() >= due;
        if (Slot* slot = nextLocked(isDue)) {
            makeLocked(*slot, lock);
        } else if (isDue) {
            break; // every pipeline is made or being made by a caller
        }
    }
    lock.unlock();
    if (whenAllMade) whenAllMade();
}

} // namespace veltrane
