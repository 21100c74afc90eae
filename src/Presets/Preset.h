#pragma once
// A saved place and sound: the view (formula, centre, zoom, rotation, iterations, Julia constant,
// palette), the complete synthesizer parameters, the quantiser's scale and root, a name, a thumbnail
// and a creation time. Deep views carry their exact centre as decimal texts.
//
// JSON, one object per preset (keys are the field names):
// - writing: every field under its key, the optionals only when present (never null); the zoom is
//   written as min(zoom, 1e300); a non-finite number fails with Json::Error;
// - reading: "id" is required and must be a text. A missing or null key takes its default; a value
//   of the wrong type fails the whole preset, except that an unknown or malformed "fractalType" or
//   "colorPalette" reads as mandelbrot or obsidian and a malformed "scale" reads as none. Keys not
//   listed are ignored. Inside "audioParams" the per-key leniency of AudioParams holds.
//
// Plain value; any thread.
#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "Music/AudioParams.h"
#include "Music/Scale.h"
#include "Platform/Json/JsonFwd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

struct Preset {
    // The exact centre of a deep view as BigFixed::decimal texts; both required when present.
    struct DecimalCentre {
        std::string x;
        std::string y;
        friend bool operator==(const DecimalCentre&, const DecimalCentre&) = default;
    };

    static constexpr std::string_view factoryPrefix = "factory-";
    // Above this zoom a view keeps its exact centre (exactly this zoom is not deeper).
    static constexpr double decimalCentreZoom = 1e12;
    static constexpr double maxWrittenZoom = 1e300;
    static constexpr int guardBits = 64;

    std::string id;
    std::string name = "Untitled";
    double centerX = -0.5;
    double centerY = 0;
    double zoom = 1;
    double rotation = 0;
    std::int64_t maxIterations = 128;
    FractalType fractalType = FractalType::mandelbrot;
    std::optional<Complex> juliaC;
    AudioParams audioParams = AudioParams::defaults();
    Palette colorPalette = Palette::obsidian;
    std::string thumbnail; // a PNG data URL or empty; opaque here
    std::string createdAt; // ISO 8601 text; opaque here
    std::optional<Scale> scale;
    std::optional<std::int64_t> rootNote;
    std::optional<DecimalCentre> centre;
    std::optional<double> log2Zoom; // the authority on depth when present

    bool isFactory() const noexcept { return std::string_view(id).starts_with(factoryPrefix); }
    // log2Zoom, else log2(max(zoom, 1e-300)) with a NaN zoom counting as 1e-300.
    double effectiveLog2Zoom() const noexcept;
    // The zoom to apply: the stored zoom unless log2Zoom disagrees with it (by 1e-9 or more in
    // log2) or it is not positive and finite, in which case 2^log2Zoom.
    double effectiveZoom() const noexcept;
    // The centre at the precision the depth needs: the decimal centre when both texts read, else
    // the doubles.
    BigComplex exactCentre() const;
    // Stores a centre and zoom: the doubles, the zoom, log2Zoom (always), and the decimal centre
    // only above decimalCentreZoom (an earlier one is dropped otherwise).
    void setView(const BigComplex& centre, double zoom);

    friend bool operator==(const Preset&, const Preset&) = default;
};

void to_json(Json::Value& json, const Preset::DecimalCentre& centre);
void from_json(const Json::Value& json, Preset::DecimalCentre& centre);
void to_json(Json::Value& json, const Preset& preset);
void from_json(const Json::Value& json, Preset& preset);

} // namespace veltrane
