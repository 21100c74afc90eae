#include "FractalCore/CoreJson.h"

#include "Platform/Json/JsonFields.h"
#include "Support/EnumTextJson.h"

namespace veltrane {

void to_json(Json::Value& json, const Complex& value) { json = Json::Value{{"x", value.x}, {"y", value.y}}; }

void from_json(const Json::Value& json, Complex& value)
{
    Complex parsed;
    parsed.x = Json::requiredNumber(json, "x", "Complex");
    parsed.y = Json::requiredNumber(json, "y", "Complex");
    value = parsed;
}

void to_json(Json::Value& json, const FractalTarget& value)
{
    json = Json::Value{
        {"centerX", value.centerX}, {"centerY", value.centerY}, {"zoom", value.zoom}, {"rotation", value.rotation}};
}

void from_json(const Json::Value& json, FractalTarget& value)
{
    FractalTarget parsed;
    parsed.centerX = Json::requiredNumber(json, "centerX", "FractalTarget");
    parsed.centerY = Json::requiredNumber(json, "centerY", "FractalTarget");
    parsed.zoom = Json::requiredNumber(json, "zoom", "FractalTarget");
    parsed.rotation = Json::requiredNumber(json, "rotation", "FractalTarget");
    value = parsed;
}

void to_json(Json::Value& json, FractalType value) { enumToJson(json, value); }
void from_json(const Json::Value& json, FractalType& value) { enumFromJson(json, value, "FractalType"); }

void to_json(Json::Value& json, Palette value) { enumToJson(json, value); }
void from_json(const Json::Value& json, Palette& value) { enumFromJson(json, value, "Palette"); }

} // namespace veltrane
