#pragma once
// Small numeric helpers shared across the program.
#include <algorithm>
#include <cmath>

namespace veltrane {

// floor(x + 0.5): halves go towards +∞ (jsRound(-2.5) = -2), the way JavaScript's Math.round does.
inline double jsRound(double x) noexcept { return std::floor(x + 0.5); }

// min(max(x, lo), hi).
template <class T>
constexpr T clamp(T x, T lo, T hi) noexcept(noexcept(x < lo))
{
    return std::min(std::max(x, lo), hi);
}

} // namespace veltrane
