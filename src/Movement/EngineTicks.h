#pragma once
// How the rate-driven engines count clock ticks towards their next step.
#include <cmath>
#include <cstdint>

namespace veltrane {

// The most points a figure or rhythm holds, whatever its settings ask for: far more than a view can
// show, few enough that settings read from a file cannot exhaust memory.
inline constexpr std::int64_t maxFigureSteps = 4096;

// True when a step is due: `ticks` are gathered into `accumulator`, and once it holds a step's length
// of 1/rate that length is taken off, once, so an engine steps at most once per call however high the
// rate. A rate that is not a positive finite number never steps and gathers nothing (1/rate would be
// infinite, zero or NaN); neither do 0 ticks.
inline bool stepDue(double& accumulator, std::int64_t ticks, double rate) noexcept
{
    if (ticks == 0 || !(rate > 0) || !std::isfinite(rate)) return false;
    accumulator += static_cast<double>(ticks);
    const double length = 1 / rate;
    if (accumulator < length) return false;
    accumulator -= length;
    return true;
}

} // namespace veltrane
