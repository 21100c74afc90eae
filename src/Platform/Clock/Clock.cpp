#include "Platform/Clock/Clock.h"

#include <ctime>

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
    while (!seconds_.compare_exchange_weak(v, v + seconds, std::memory_order_acq_rel)) {}
}

std::string internetDateTime(std::chrono::system_clock::time_point moment)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, n);
}

namespace {

std::int64_t processorNanos(clockid_t clock) noexcept
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

std::int64_t threadProcessorNanos() noexcept { return processorNanos(CLOCK_THREAD_CPUTIME_ID); }

std::int64_t processProcessorNanos() noexcept { return processorNanos(CLOCK_PROCESS_CPUTIME_ID); }

} // namespace veltrane
