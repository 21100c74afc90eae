#pragma once
// A boolean shared between the main thread and one background worker, read and written only with
// its lock held: the main thread cancels a movie render, the render thread asks before every frame.
#include <mutex>

namespace veltrane {

class CancelFlag {
public:
    bool value() const
    {
        const std::lock_guard hold(lock_);
        return value_;
    }
    void set(bool value)
    {
        const std::lock_guard hold(lock_);
        value_ = value;
    }

private:
    mutable std::mutex lock_;
    bool value_ = false;
};

} // namespace veltrane
