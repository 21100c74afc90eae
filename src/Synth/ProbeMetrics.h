#pragma once
// Measurements of a stereo render for the audio probe: level, peak, spectral centroid, octave-band
// balance, side level, sample jumps and a loudness envelope; distances between two measurements and
// the residual between two renders. Pure computations; safe on several threads at once.
//
// Inputs outside what the measurements are defined for are refused with std::invalid_argument:
// empty arrays, a start at or past the end of the render, a right channel shorter than the left,
// sample rates where the envelope window holds no frame (below 20 Hz) or the lowest octave band no
// bin (above 44 x 8192 Hz), and a residual start beyond the shorter render. A NaN sample is not
// floored away as silence: it makes the level, spectrum, envelope and residual it touches NaN.

#include <span>
#include <utility>
#include <vector>

#include "Platform/Json/JsonFwd.h"

namespace veltrane {

struct AudioMetrics {
    static constexpr int fftSize = 8192;
    static constexpr int bands = 10;
    static constexpr double maxSampleRate = 44.0 * fftSize;

    double rmsDB = 0;             // mid level, dB full scale, floor -180
    double peak = 0;              // largest |sample| of either channel
    double centroidHz = 0;        // spectral centroid of mid
    std::vector<double> octaveDB; // ten octave bands from 22 Hz, dB relative to the whole spectrum
    double sideToMidDB = 0;
    double jumpRatio = 0; // largest left-channel jump over its 99.9th-percentile jump
    double firstSample = 0;
    double lastSample = 0;

    static AudioMetrics measure(std::span<const float> left, std::span<const float> right, double sampleRate);

    // Bins lo..hi-1 of octave band i (22 x 2^i to 44 x 2^i Hz) in the 8192-point spectrum.
    static std::pair<int, int> octaveBins(int band, double sampleRate);

    // Mean absolute dB difference over the bands both have, divided by this record's band count.
    double bandDistance(const AudioMetrics& other) const;

    friend bool operator==(const AudioMetrics&, const AudioMetrics&) = default;
};

struct ProbeMetrics {
    static constexpr double envelopeWindowSeconds = 0.05;

    // As in AudioMetrics, measured from the start second on.
    double rmsDB = 0;
    double peak = 0;
    double centroidHz = 0;
    std::vector<double> octaveDB;
    double sideToMidDB = 0;
    // Mean mid power in dB of each whole 50 ms window of the entire render (floor -140).
    std::vector<double> envelopeDB;

    static ProbeMetrics measure(std::span<const float> left, std::span<const float> right, double sampleRate,
                                double from);

    // Mean |a - b| over the bands where the louder of the two is above -60 dB; 0 when none is.
    double bandDistance(const ProbeMetrics& other) const;
    // Mean |a - b| over the windows where the louder is above -70 dB, both first raised to -90.
    double envelopeDistance(const ProbeMetrics& other) const;

    friend bool operator==(const ProbeMetrics&, const ProbeMetrics&) = default;
};

// Energy of (test - reference) relative to the reference's, in dB, over frames start...n-1 of the
// shorter array; 0 dB when start equals that length.
double residualDB(std::span<const float> test, std::span<const float> reference, long start);

void to_json(Json::Value& json, const AudioMetrics& metrics);
void from_json(const Json::Value& json, AudioMetrics& metrics);
void to_json(Json::Value& json, const ProbeMetrics& metrics);
void from_json(const Json::Value& json, ProbeMetrics& metrics);

} // namespace veltrane
