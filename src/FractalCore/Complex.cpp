#include "FractalCore/Complex.h"

#include "FractalCore/FractalTarget.h"
#include "Platform/Json/JsonFields.h"

namespace veltrane {

void to_json(Json::Value& json, const Complex& value) {
    json = Json::Value{{"x", value.x}, {"y", value.y}};
}

void from_json(const Json::Value& json, Complex& value) {
    Complex parsed;
    parsed.x = Json::requiredNumber(json, "x", "Complex");
    parsed.y = Json::requiredNumber(json, "y", "Complex");
    value = parsed;
}

void to_json(Json::Value& json, const FractalTarget& value) {
    json = Json::Value{
        {"centerX", value.centerX}, {"centerY", value.centerY}, {"zoom", value.zoom}, {"rotation", value.rotation}};
}

void from_json(const Json::Value& json, FractalTarget& value) {
    FractalTarget parsed;
    parsed.centerX = Json::requiredNumber(json, "centerX", "FractalTarget");
    parsed.centerY = Json::requiredNumber(json, "centerY", "FractalTarget");
    parsed.zoom = Json::requiredNumber(json, "zoom", "FractalTarget");
    parsed.rotation = Json::requiredNumber(json, "rotation", "FractalTarget");
    value = parsed;
}

} // namespace veltrane
