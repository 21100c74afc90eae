#pragma once
// Benchmark motion scripts: a camera path in time segments over one centre, read from JSON and
// sampled per frame by the render benchmarks and by the live benchmark of the instrument.
//
// A script is checked when it is decoded: at least one segment, every segment ending after it starts,
// zooms positive and finite, every number finite and a duration whose frame count fits an int. A
// script that breaks any of these is refused with Json::Error naming the field, instead of sampling
// to NaN or dividing by zero later.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "Platform/Json/JsonFwd.h"

namespace veltrane {

struct Motion {
    struct Segment {
        double from = 0; // seconds, inclusive
        double to = 1;   // seconds, exclusive
        double zoomFrom = 1;
        double zoomTo = 1;
        std::optional<double> circleRadiusViews; // radius of a circular pan, in view heights
        std::optional<double> rotationAmplitude; // peak rotation in radians during a circular pan

        friend bool operator==(const Segment&, const Segment&) = default;
    };

    double centerX = 0;
    double centerY = 0;
    double durationSec = 0;
    std::vector<Segment> segments;
    FractalType fractalType = FractalType::mandelbrot;
    Palette colorPalette = Palette::obsidian;
    std::vector<std::int64_t> canvasPixels; // the canvas the script was made for; carried, not used

    // Reads and decodes a script. A file that cannot be read throws std::filesystem::filesystem_error;
    // malformed JSON, a missing key, an unknown type or palette text and a refused value throw Json::Error.
    static Motion load(const std::filesystem::path& path);

    // Throws Json::Error when the script breaks one of the rules above.
    void validate() const;

    // The camera at time t: the first segment with from <= t < to (the last one when none is), zoom
    // interpolated geometrically, one full circle per segment when it has a radius. Throws Json::Error
    // for a script without segments.
    FractalTarget at(double t) const;

    // Frames of a run at 60 per second: durationSec x 60, truncated.
    int frameCount() const;

    friend bool operator==(const Motion&, const Motion&) = default;
};

void to_json(Json::Value& json, const Motion::Segment& segment);
void from_json(const Json::Value& json, Motion::Segment& segment);
// Decoding validates (see Motion::validate).
void to_json(Json::Value& json, const Motion& motion);
void from_json(const Json::Value& json, Motion& motion);

} // namespace veltrane
