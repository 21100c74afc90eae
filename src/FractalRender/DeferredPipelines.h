#pragma once
// A fixed set of pipelines made when first needed, and (when asked) made ahead by one background
// thread once a renderer has lived a moment.
//
// Why: on a CPU device each specialisation of the fractal kernel costs the driver about a tenth of a
// second, and a still or the first frame needs one of them. Making that one on demand puts the first
// picture on screen sooner, and asking for it early (prefetch) lets the background thread make it
// while the caller builds a reference orbit or textures. The background thread then spares the live
// canvas a stall the first time the user switches formula; it waits a little before making pipelines
// nobody asked for, so that a short-lived renderer (a still from the command line) neither shares the
// processor with builds it will never use nor waits for one at its end.
//
// A build that fails is remembered and its error thrown to every caller of get() for that pipeline.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Gpu/Gpu.h"

namespace veltrane {

class DeferredPipelines {
public:
    using Make = std::function<std::shared_ptr<GpuPipeline>()>;

    DeferredPipelines() = default;
    // With `ahead`, a background thread makes every pipeline not yet asked for, starting after `delay`,
    // and then calls `whenAllMade` on that thread.
    DeferredPipelines(std::vector<Make> makers, bool ahead, std::chrono::milliseconds delay = {},
                      std::function<void()> whenAllMade = {});
    // Stops the background thread: pipelines it has not started are dropped, the one it is making is
    // waited for (a driver call cannot be interrupted).
    ~DeferredPipelines();
    DeferredPipelines(const DeferredPipelines&) = delete;
    DeferredPipelines& operator=(const DeferredPipelines&) = delete;

    // The pipeline, made now on this thread when nobody has started it, or waited for when another
    // thread is making it. Throws the error its build ended with.
    std::shared_ptr<GpuPipeline> get(std::size_t index);
    // Has the background thread make the pipeline next, if nobody has started it. Without the
    // background thread, nothing happens and get() makes it.
    void prefetch(std::size_t index);
    std::size_t size() const { return slots_.size(); }

private:
    enum class State { pending, making, made, failed };
    struct Slot {
        Make make;
        State state = State::pending;
        std::shared_ptr<GpuPipeline> pipeline;
        std::exception_ptr error;
    };
    // Makes the slot's pipeline outside the lock; the lock is held on entry and on return.
    void makeLocked(Slot& slot, std::unique_lock<std::mutex>& lock);
    void background(std::chrono::milliseconds delay, std::function<void()> whenAllMade);
    // The next pipeline for the background thread: one asked for, else (once `ahead` is due) any.
    Slot* nextLocked(bool due);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> requests_; // prefetched, oldest first
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace veltrane
