#pragma once
// Small numeric helpers shared by the melody analysis and the melody flight.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace veltrane {

// The nearest integer, halves away from zero. Saturates at the range of int64 and gives 0 for NaN,
// so a value outside the analysis' domain cannot make the conversion undefined.
inline std::int64_t nearestInteger(double x) noexcept
{
    const double r = std::round(x);
    if (!(r == r)) return 0;
    if (r >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    if (r < -0x1p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

// Linear interpolation in a curve sampled `perBeat` times a beat from beat 0: the first sample
// before 0 (and for NaN), the last one past the end, 0 for an empty curve.
inline double sampleCurve(const std::vector<double>& curve, double perBeat, double beat) noexcept
{
    if (curve.empty()) return 0;
    const double s = beat > 0 ? beat * perBeat : 0;
    const double last = static_cast<double>(curve.size() - 1);
    if (!(s < last)) return curve.back();
    const double whole = std::floor(s);
    const auto i = static_cast<std::size_t>(whole);
    return curve[i] + (s - whole) * (curve[i + 1] - curve[i]);
}

} // namespace veltrane
