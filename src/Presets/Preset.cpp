#include "Presets/Preset.h"

#include "FractalCore/BigFixed.h"
#include "FractalCore/CoreJson.h"
#include "Platform/Json/JsonFields.h"

#include <algorithm>
#include <cmath>

namespace veltrane {

namespace {

constexpr std::string_view what = "Preset";

// Missing or null: the fallback. Present: must be of the field's type.
double optionalNumberOr(const Json::Value& json, const char* key, double fallback)
{
    return Json::optionalNumber(json, key, what).value_or(fallback);
}

std::string optionalTextOr(const Json::Value& json, const char* key, std::string fallback)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) return fallback;
    if (!it->is_string()) throw Json::wrongType(key, what, "a text");
    return it->get<std::string>();
}

std::optional<std::int64_t> optionalInteger(const Json::Value& json, const char* key)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) return std::nullopt;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned() && it->get<std::uint64_t>() > INT64_MAX)
            throw Json::wrongType(key, what, "a signed 64-bit integer");
        return it->get<std::int64_t>();
    }
    // A whole number written with a point or an exponent ("128.0", "1e3") is still that integer.
    if (it->is_number_float()) {
        const double v = it->get<double>();
        if (std::isfinite(v) && v == std::trunc(v) && v >= -0x1p63 && v < 0x1p63) return static_cast<std::int64_t>(v);
    }
    throw Json::wrongType(key, what, "a signed 64-bit integer");
}

// Any problem at all gives the fallback: these fields never fail a preset.
template <TextEnum E>
std::optional<E> forgivingEnum(const Json::Value& json, const char* key)
{
    const auto it = json.find(key);
    if (it == json.end() || !it->is_string()) return std::nullopt;
    return fromText<E>(it->get_ref<const std::string&>());
}

template <class T>
std::optional<T> optionalValue(const Json::Value& json, const char* key)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) return std::nullopt;
    return it->get<T>();
}

} // namespace

double Preset::effectiveLog2Zoom() const noexcept
{
    if (log2Zoom) return *log2Zoom;
    return std::log2(std::isnan(zoom) ? 1e-300 : std::max(zoom, 1e-300));
}

double Preset::effectiveZoom() const noexcept
{
    if (!log2Zoom) return zoom;
    if (zoom > 0 && std::isfinite(zoom) && std::fabs(std::log2(zoom) - *log2Zoom) < 1e-9) return zoom;
    return std::exp2(*log2Zoom);
}

BigComplex Preset::exactCentre() const
{
    const int limbs = BigFixed::limbsForLog2Zoom(effectiveLog2Zoom(), guardBits);
    if (centre) {
        auto x = BigFixed::fromDecimal(centre->x, limbs);
        auto y = BigFixed::fromDecimal(centre->y, limbs);
        if (x && y) return BigComplex(*x, *y);
    }
    return BigComplex(BigFixed(centerX, limbs), BigFixed(centerY, limbs));
}

void Preset::setView(const BigComplex& c, double z)
{
    const Complex d = c.doubles();
    centerX = d.x;
    centerY = d.y;
    zoom = z;
    log2Zoom = std::log2(z);
    if (z > decimalCentreZoom)
        centre = DecimalCentre{c.x().decimal(), c.y().decimal()};
    else
        centre.reset();
}

void to_json(Json::Value& json, const Preset::DecimalCentre& centre)
{
    json = Json::Value{{"x", centre.x}, {"y", centre.y}};
}

void from_json(const Json::Value& json, Preset::DecimalCentre& centre)
{
    centre = Preset::DecimalCentre{Json::requiredText(json, "x", "Preset centre"),
                                   Json::requiredText(json, "y", "Preset centre")};
}

void to_json(Json::Value& out, const Preset& p)
{
    // Built aside (see AudioParams' to_json): `audioParams` may throw.
    Json::Value json = Json::Value::object();
    json["id"] = p.id;
    json["name"] = p.name;
    json["centerX"] = p.centerX;
    json["centerY"] = p.centerY;
    // NaN stays NaN (and fails in the writer); +inf becomes the cap.
    json["zoom"] = std::isnan(p.zoom) ? p.zoom : std::min(p.zoom, Preset::maxWrittenZoom);
    json["rotation"] = p.rotation;
    json["maxIterations"] = p.maxIterations;
    json["fractalType"] = p.fractalType;
    if (p.juliaC) json["juliaC"] = *p.juliaC;
    json["audioParams"] = p.audioParams;
    json["colorPalette"] = p.colorPalette;
    json["thumbnail"] = p.thumbnail;
    json["createdAt"] = p.createdAt;
    if (p.scale) json["scale"] = *p.scale;
    if (p.rootNote) json["rootNote"] = *p.rootNote;
    if (p.centre) json["centre"] = *p.centre;
    if (p.log2Zoom) json["log2Zoom"] = *p.log2Zoom;
    out = std::move(json);
}

void from_json(const Json::Value& json, Preset& preset)
{
    if (!json.is_object()) throw Json::Error("Preset: expected an object");
    Preset p;
    p.id = Json::requiredText(json, "id", what);
    p.name = optionalTextOr(json, "name", p.name);
    p.centerX = optionalNumberOr(json, "centerX", p.centerX);
    p.centerY = optionalNumberOr(json, "centerY", p.centerY);
    p.zoom = optionalNumberOr(json, "zoom", p.zoom);
    p.rotation = optionalNumberOr(json, "rotation", p.rotation);
    p.maxIterations = optionalInteger(json, "maxIterations").value_or(p.maxIterations);
    p.thumbnail = optionalTextOr(json, "thumbnail", p.thumbnail);
    p.createdAt = optionalTextOr(json, "createdAt", p.createdAt);
    p.fractalType = forgivingEnum<FractalType>(json, "fractalType").value_or(FractalType::mandelbrot);
    p.colorPalette = forgivingEnum<Palette>(json, "colorPalette").value_or(Palette::obsidian);
    p.scale = forgivingEnum<Scale>(json, "scale");
    p.juliaC = optionalValue<Complex>(json, "juliaC");
    p.audioParams = optionalValue<AudioParams>(json, "audioParams").value_or(AudioParams::defaults());
    p.rootNote = optionalInteger(json, "rootNote");
    p.centre = optionalValue<Preset::DecimalCentre>(json, "centre");
    p.log2Zoom = Json::optionalNumber(json, "log2Zoom", what);
    preset = std::move(p);
}

} // namespace veltrane
