#pragma once
// Host time: nanoseconds of the steady clock (std::chrono::steady_clock, CLOCK_MONOTONIC), the time
// base of every timed MIDI send. Conversions saturate instead of overflowing: a delay beyond the
// 64-bit range gives the largest (or smallest) host time, and a delay that is not a number counts as 0.
#include <cstdint>

namespace veltrane::HostTime {

std::uint64_t now() noexcept;
// Seconds to host-time units, truncated towards zero.
std::int64_t seconds(double s) noexcept;
double toSeconds(std::int64_t t) noexcept;
// now + seconds(max(s, 0)): a negative delay means now.
std::uint64_t fromNow(double s) noexcept;
// t + d without wrapping past either end.
std::uint64_t add(std::uint64_t t, std::int64_t d) noexcept;

} // namespace veltrane::HostTime
