#include "FractalCore/ZoomRules.h"

#include <algorithm>
#include <cmath>

namespace veltrane::ZoomRules {

double clampZoom(double zoom, double max) noexcept
{
    const double capped = zoom < max ? zoom : max; // NaN fails the test and takes max
    return capped > minZoom ? capped : minZoom;
}

int autoIterations(double zoom, int cap) noexcept
{
    const double z = zoom >= 1 ? zoom : 1;
    const double v = std::floor(64 * std::log2(z) + 160 + 0.5);
    // Compared as doubles: v is +∞ for an infinite zoom and must not be converted before the cap.
    if (v >= 128) return v < static_cast<double>(cap) ? static_cast<int>(v) : cap;
    return std::min(128, cap);
}

} // namespace veltrane::ZoomRules
