#pragma once
// Monotonic time in seconds, as a value a caller can swap for a hand-driven clock in tests.
//
// `Clock::steady()` reads std::chrono::steady_clock (CLOCK_MONOTONIC: it never jumps with the wall
// clock and does not start at 0). `ManualClock` moves only when told to. Both are safe to read from
// any thread; neither allocates or locks when read, so the audio thread may read them.
#include <atomic>

namespace veltrane {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since an arbitrary fixed origin; never decreases.
    virtual double now() const noexcept = 0;

    // The process-wide steady clock.
    static const Clock& steady() noexcept;
};

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1000.0) noexcept : seconds_(start) {}
    double now() const noexcept override { return seconds_.load(std::memory_order_acquire); }
    void set(double seconds) noexcept { seconds_.store(seconds, std::memory_order_release); }
    void advance(double seconds) noexcept;

private:
    std::atomic<double> seconds_;
};

} // namespace veltrane
