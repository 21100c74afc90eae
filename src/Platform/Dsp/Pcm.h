#pragma once
// Float samples as PCM integers, the one rounding rule of every 16- and 24-bit output (WAV files,
// movie sound).
#include <cmath>

namespace veltrane::dsp {

// The integer of a sample at a bit depth of 16 or 24: clamped to [-1, 1] (NaN counts as 1), times
// 2^(bits-1) - 1 so that +1 and -1 encode symmetrically, rounded half away from zero.
inline long pcmInteger(float x, int bits) noexcept
{
    const double scale = std::ldexp(1.0, bits - 1) - 1.0;
    const float clamped = x < 1.0f ? (x > -1.0f ? x : -1.0f) : 1.0f; // NaN fails x < 1: 1
    return std::lround(double(clamped) * scale);
}

} // namespace veltrane::dsp
