#pragma once
// Renders probe cases in parallel and keeps a baseline of their measurements, so that any change
// to the kernel's sound shows up as named cases whose measurements moved. Shared by the probe tool
// and the baseline test.
//
// A baseline is a folder holding metrics.json ({"sampleRate": r, "cases": {id: ProbeMetrics}}) and
// excerpts.wav (24-bit, one channel per case in table order: `excerptFrames` frames of the left
// channel from `excerptStart`), from which a fresh render's residual is measured.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Synth/ProbeMetrics.h"
#include "Synth/ProbeTest.h"

namespace veltrane::probe {

inline constexpr double baselineRate = 48000;
inline constexpr int64_t excerptFrames = 2400;

struct Result {
    std::string id;
    ProbeMetrics metrics;
    std::vector<float> left, right; // empty unless the audio was kept
    std::vector<float> excerpt;
};

// Renders and measures every case on `jobs` threads (0: one per core); results in table order.
std::vector<Result> renderAll(const std::vector<ProbeTest>& cases, double sampleRate, int jobs, bool keepAudio);

// First frame of a case's excerpt: from its measurement start, but not before 0.1 s (where the
// impulse and burst inputs begin), and within the render.
int64_t excerptStart(const ProbeTest& test, double sampleRate, int64_t frames);

struct Baseline {
    double sampleRate = baselineRate;
    std::vector<std::string> ids; // table order
    std::map<std::string, ProbeMetrics> metrics;
    std::map<std::string, std::vector<float>> excerpts;
};

Baseline makeBaseline(const std::vector<Result>& results, double sampleRate);
void writeBaseline(const std::filesystem::path& folder, const Baseline& baseline);
// Throws std::runtime_error (or Json::Error) for a missing or unreadable baseline.
Baseline readBaseline(const std::filesystem::path& folder);

struct Deviation {
    std::string id;
    std::string measure; // "band", "envelope", "residual", "missing", ...
    double value = 0;
    double limit = 0;
    std::string text() const;
};

// What moved beyond its threshold, case by case (thresholds and their reasons in ProbeRun.cpp); also
// a baseline whose sample rate is not the rate the check renders at, and an excerpt whose length
// differs from the rendered one.
std::vector<Deviation> compare(const Baseline& baseline, const std::vector<Result>& results);

} // namespace veltrane::probe
