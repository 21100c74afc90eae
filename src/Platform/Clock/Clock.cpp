#include "Platform/Clock/Clock.h"

#include <chrono>

namespace veltrane {

namespace {

class SteadyClock final : public Clock {
public:
    double now() const noexcept override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

} // namespace

const Clock& Clock::steady() noexcept
{
    static const SteadyClock clock;
    return clock;
}

void ManualClock::advance(double seconds) noexcept
{
    double v = seconds_.load(std::memory_order_relaxed);
    while (!seconds_.compare_exchange_weak(v, v + seconds, std::memory_order_acq_rel)) {
    }
}

} // namespace veltrane
