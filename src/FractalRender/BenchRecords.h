#pragma once
// Result records of the render benchmarks and the arithmetic that summarises their frames. Records are
// written with their keys in this fixed order (ordered JSON) and read with every key required.

#include <cstdint>
#include <vector>

#include "FractalRender/Motion.h"
#include "Platform/Json/JsonFwd.h"

namespace veltrane {

// One frame of a motion run.
struct BenchFrame {
    double t = 0;           // seconds
    double gpuMs = 0;       // GPU time of the frame's command buffer
    double renderScale = 1; // the renderer's resolution scale after the frame
    bool deep = false;      // the frame used a deep path

    friend bool operator==(const BenchFrame&, const BenchFrame&) = default;
};

// One script segment of a motion run.
struct BenchSegment {
    double from = 0;
    double to = 0;
    std::int64_t frames = 0;
    double meanFps = 0;
    double meanGpuMs = 0;
    double p95GpuMs = 0;
    double worstGpuMs = 0;
    double meanRenderScale = 0;

    friend bool operator==(const BenchSegment&, const BenchSegment&) = default;
};

// One frame of a camera flight.
struct FlightFrame {
    double t = 0;
    double log10Zoom = 0;
    double gpuMs = 0;
    double cpuMs = 0; // time spent encoding the frame on the processor
    double renderScale = 1;
    bool referenceStale = false;
    std::int64_t referenceMs = 0; // the reference store's last background build time

    friend bool operator==(const FlightFrame&, const FlightFrame&) = default;
};

namespace Bench {

inline constexpr double framesPerSecond = 60;

// The summary of the frames with from <= t < to: mean and 95th-percentile GPU time, the worst one,
// the frame rate a 60 Hz display would show (each frame lasting as many display intervals as its GPU
// time spans, at least one) and the mean render scale. Zeros for a segment without frames.
BenchSegment summarise(const std::vector<BenchFrame>& frames, const Motion::Segment& segment);
std::vector<BenchSegment> summarise(const std::vector<BenchFrame>& frames,
                                    const std::vector<Motion::Segment>& segments);

} // namespace Bench

void to_json(Json::OrderedValue& json, const BenchFrame& frame);
void to_json(Json::OrderedValue& json, const BenchSegment& segment);
void to_json(Json::OrderedValue& json, const FlightFrame& frame);
void from_json(const Json::Value& json, BenchFrame& frame);
void from_json(const Json::Value& json, BenchSegment& segment);
void from_json(const Json::Value& json, FlightFrame& frame);

} // namespace veltrane
