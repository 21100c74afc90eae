#pragma once
// A camera target: where the view looks, how far in, and how it is turned.

namespace veltrane {

struct FractalTarget {
    double centerX = 0;
    double centerY = 0;
    double zoom = 1;     // larger shows a smaller part of the plane
    double rotation = 0; // radians; flights interpolate it linearly

    friend constexpr bool operator==(const FractalTarget&, const FractalTarget&) = default;
};

} // namespace veltrane
