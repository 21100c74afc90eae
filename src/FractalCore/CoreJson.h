#pragma once
// JSON coding of the core value types that presets, takes and scripts store. Kept apart from the
// types themselves, so that the fractal mathematics compiles without the JSON library.
//   Complex        {"x", "y"}
//   FractalTarget  {"centerX", "centerY", "rotation", "zoom"}
//   FractalType    its text ("mandelbrot", …)
//   Palette        its text ("obsidian", …)
// Reading requires every key and a number for each (Json::Error otherwise); an enumeration's text
// must be one of its table's.
#include "FractalCore/Complex.h"
#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "Platform/Json/Json.h"

namespace veltrane {

void to_json(Json::Value& json, const Complex& value);
void from_json(const Json::Value& json, Complex& value);
void to_json(Json::Value& json, const FractalTarget& value);
void from_json(const Json::Value& json, FractalTarget& value);
void to_json(Json::Value& json, FractalType value);
void from_json(const Json::Value& json, FractalType& value);
void to_json(Json::Value& json, Palette value);
void from_json(const Json::Value& json, Palette& value);

} // namespace veltrane
