#include "FractalRender/DeferredPipelines.h"

namespace veltrane {

DeferredPipelines::DeferredPipelines(std::vector<Make> makers, bool ahead, std::chrono::milliseconds delay,
                                     std::function<void()> whenAllMade) {
  slots_.reserve(makers.size());
  for (Make& make : makers) slots_.push_back(Slot{std::move(make)});
  if (ahead) thread_ = std::thread([this, delay, done = std::move(whenAllMade)] { background(delay, done); });
}

DeferredPipelines::~DeferredPipelines() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DeferredPipelines::makeLocked(Slot& slot, std::unique_lock<std::mutex>& lock) {
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

std::shared_ptr<GpuPipeline> DeferredPipelines::get(std::size_t index) {
  std::unique_lock lock(mutex_);
  Slot& slot = slots_.at(index);
  if (slot.state == State::pending) makeLocked(slot, lock);
  changed_.wait(lock, [&] { return slot.state != State::making; });
  if (slot.state == State::failed) std::rethrow_exception(slot.error);
  return slot.pipeline;
}

void DeferredPipelines::background(std::chrono::milliseconds delay, std::function<void()> whenAllMade) {
  std::unique_lock lock(mutex_);
  if (changed_.wait_for(lock, delay, [&] { return stopping_; })) return;
  for (Slot& slot : slots_) {
    if (stopping_) return;
    if (slot.state == State::pending) makeLocked(slot, lock);
  }
  // One that a caller is still making reaches its user soon enough; nothing here waits for it.
  lock.unlock();
  if (whenAllMade) whenAllMade();
}

}  // namespace veltrane
