#pragma once
// A camera target: where the view looks, how far in, and how it is turned.
#include "Platform/Json/Json.h"

namespace veltrane {

struct FractalTarget {
    double centerX = 0;
    double centerY = 0;
    double zoom = 1;     // larger shows a smaller part of the plane
    double rotation = 0; // radians; flights interpolate it linearly

    friend constexpr bool operator==(const FractalTarget&, const FractalTarget&) = default;
};

// JSON: {"centerX", "centerY", "rotation", "zoom"}, all required numbers (Json::Error otherwise).
void to_json(Json::Value& json, const FractalTarget& value);
void from_json(const Json::Value& json, FractalTarget& value);

} // namespace veltrane
