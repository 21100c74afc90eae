#include "FractalCore/Complex.h"

#include "FractalCore/FractalTarget.h"
#include "FractalCore/JsonFields.h"

namespace veltrane {

void to_json(Json::Value& json, const Complex& value) {
    json = Json::Value{{"x", value.x}, {"y", value.y}};
}

void from_json(const Json::Value& json, Complex& value) {
    Complex parsed;
    parsed.x = detail::requiredNumber(json, "x", "Complex");
    parsed.y = detail::requiredNumber(json, "y", "Complex");
    value = parsed;
}

void to_json(Json::Value& json, const FractalTarget& value) {
    json = Json::Value{
        {"centerX", value.centerX}, {"centerY", value.centerY}, {"zoom", value.zoom}, {"rotation", value.rotation}};
}

void from_json(const Json::Value& json, FractalTarget& value) {
    FractalTarget parsed;
    parsed.centerX = detail::requiredNumber(json, "centerX", "FractalTarget");
    parsed.centerY = detail::requiredNumber(json, "centerY", "FractalTarget");
    parsed.zoom = detail::requiredNumber(json, "zoom", "FractalTarget");
    parsed.rotation = detail::requiredNumber(json, "rotation", "FractalTarget");
    value = parsed;
}

} // namespace veltrane
