#pragma once
// Monotonic time in seconds, as a value a caller can swap for a hand-driven clock in tests.
//
// `Clock::steady()` reads std::chrono::steady_clock (CLOCK_MONOTONIC: it never jumps with the wall
// clock and does not start at 0). `ManualClock` moves only when told to. Both are safe to read from
// any thread; neither allocates or locks when read, so the audio thread may read them.
//
// `internetDateTime` writes a wall-clock moment the way files carry it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

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

// Processor time used so far, in nanoseconds: by the calling thread, or by the whole process (all its
// threads). System calls that neither block nor allocate, so the audio thread may read them.
std::int64_t threadProcessorNanos() noexcept;
std::int64_t processProcessorNanos() noexcept;

// ISO 8601 internet date-time in UTC without fractional seconds: "2024-05-01T12:00:00Z".
std::string internetDateTime(std::chrono::system_clock::time_point moment = std::chrono::system_clock::now());

} // namespace veltrane
