#include "FractalRender/BenchRecords.h"

#include "Platform/Json/JsonFields.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace veltrane {

namespace Bench {

BenchSegment summarise(const std::vector<BenchFrame>& frames, const Motion::Segment& segment)
{
    BenchSegment out;
    out.from = segment.from;
    out.to = segment.to;
    std::vector<double> gpu;
    double intervals = 0, scaleSum = 0;
    const double displayIntervalMs = 1000 / framesPerSecond;
    for (const BenchFrame& frame : frames) {
        if (!(segment.from <= frame.t && frame.t < segment.to)) continue;
        gpu.push_back(frame.gpuMs);
        intervals += std::max(1.0, std::ceil(frame.gpuMs / displayIntervalMs));
        scaleSum += frame.renderScale;
    }
    size_t k = gpu.size();
    out.frames = std::int64_t(k);
    out.meanRenderScale = scaleSum / double(std::max<size_t>(k, 1));
    if (k == 0) return out;
    std::sort(gpu.begin(), gpu.end());
    double sum = 0;
    for (double g : gpu) sum += g;
    out.meanGpuMs = sum / double(k);
    out.meanFps = framesPerSecond * double(k) / intervals;
    out.p95GpuMs = gpu[std::min(k - 1, size_t(std::floor(0.95 * double(k))))];
    out.worstGpuMs = gpu[k - 1];
    return out;
}

std::vector<BenchSegment> summarise(const std::vector<BenchFrame>& frames, const std::vector<Motion::Segment>& segments)
{
    std::vector<BenchSegment> out;
    out.reserve(segments.size());
    for (const auto& segment : segments) out.push_back(summarise(frames, segment));
    return out;
}

} // namespace Bench

void to_json(Json::OrderedValue& json, const BenchFrame& frame)
{
    json = Json::OrderedValue::object();
    json["t"] = frame.t;
    json["gpuMs"] = frame.gpuMs;
    json["renderScale"] = frame.renderScale;
    json["deep"] = frame.deep;
}

void to_json(Json::OrderedValue& json, const BenchSegment& segment)
{
    json = Json::OrderedValue::object();
    json["from"] = segment.from;
    json["to"] = segment.to;
    json["frames"] = segment.frames;
    json["meanFps"] = segment.meanFps;
    json["meanGpuMs"] = segment.meanGpuMs;
    json["p95GpuMs"] = segment.p95GpuMs;
    json["worstGpuMs"] = segment.worstGpuMs;
    json["meanRenderScale"] = segment.meanRenderScale;
}

void to_json(Json::OrderedValue& json, const FlightFrame& frame)
{
    json = Json::OrderedValue::object();
    json["t"] = frame.t;
    json["log10Zoom"] = frame.log10Zoom;
    json["gpuMs"] = frame.gpuMs;
    json["cpuMs"] = frame.cpuMs;
    json["renderScale"] = frame.renderScale;
    json["referenceStale"] = frame.referenceStale;
    json["referenceMs"] = frame.referenceMs;
}

void from_json(const Json::Value& json, BenchFrame& frame)
{
    const char* what = "BenchFrame";
    frame = {Json::requiredNumber(json, "t", what), Json::requiredNumber(json, "gpuMs", what),
             Json::requiredNumber(json, "renderScale", what), Json::requiredBool(json, "deep", what)};
}

void from_json(const Json::Value& json, BenchSegment& segment)
{
    const char* what = "BenchSegment";
    segment = {Json::requiredNumber(json, "from", what),       Json::requiredNumber(json, "to", what),
               Json::requiredInteger(json, "frames", what),    Json::requiredNumber(json, "meanFps", what),
               Json::requiredNumber(json, "meanGpuMs", what),  Json::requiredNumber(json, "p95GpuMs", what),
               Json::requiredNumber(json, "worstGpuMs", what), Json::requiredNumber(json, "meanRenderScale", what)};
}

void from_json(const Json::Value& json, FlightFrame& frame)
{
    const char* what = "FlightFrame";
    frame = {Json::requiredNumber(json, "t", what),           Json::requiredNumber(json, "log10Zoom", what),
             Json::requiredNumber(json, "gpuMs", what),       Json::requiredNumber(json, "cpuMs", what),
             Json::requiredNumber(json, "renderScale", what), Json::requiredBool(json, "referenceStale", what),
             Json::requiredInteger(json, "referenceMs", what)};
}

} // namespace veltrane
