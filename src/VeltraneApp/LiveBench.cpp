#include "VeltraneApp/LiveBench.h"

#include "FractalCore/ZoomRules.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Files/Files.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/LaunchArguments.h"

#include <algorithm>
#include <cmath>

namespace veltrane {

std::unique_ptr<LiveBench> LiveBench::fromArguments(const std::vector<std::string>& arguments)
{
    const auto script = launchValue(arguments, "--bench");
    if (!script) return nullptr;
    std::optional<Motion> motion;
    try {
        motion = Motion::load(*script); // checked whole: at least one segment, finite numbers
    } catch (const std::exception&) {
        return nullptr;
    }
    const std::filesystem::path out = launchValue(arguments, "--out").value_or(std::string(defaultOut));
    const bool materials = std::find(arguments.begin(), arguments.end(), "--materials") != arguments.end();
    return std::make_unique<LiveBench>(std::move(*motion), out, materials);
}

LiveBench::LiveBench(Motion motion, std::filesystem::path out, bool materials)
    : motion(std::move(motion)), out(std::move(out)), materials(materials)
{}

void LiveBench::apply(const FractalTarget& target, InstrumentState& state)
{
    double z = target.zoom;
    if (!std::isnan(z)) z = std::clamp(z, ZoomRules::minZoom, InstrumentState::maxZoom);
    const int limbs = BigFixed::limbsForZoom(z, InstrumentState::guardBits);
    state.setView(BigComplex(BigFixed(target.centerX, limbs), BigFixed(target.centerY, limbs)), z, target.rotation,
                  true);
}

void LiveBench::tick(double now, InstrumentState& state)
{
    if (finished_) return; // a frame may still be drawn while the program ends
    if (settle < settleFrames) {
        ++settle;
        const FractalTarget target = motion.at(0);
        state.fractalType.set(motion.fractalType);
        state.setPalette(motion.colorPalette);
        apply(target, state);
        return;
    }
    if (!start) start = now;
    const double elapsed = now - *start;
    if (elapsed > motion.durationSec) {
        finish();
        return;
    }
    apply(motion.at(elapsed), state);
    if (last) {
        const RenderStats& stats = state.renderStats.get();
        frames.push_back({elapsed, (now - *last) * 1000, stats.gpuMs, stats.renderScale});
    }
    last = now;
}

std::vector<LiveBench::Segment> LiveBench::summarise(const std::vector<Frame>& frames,
                                                     const std::vector<Motion::Segment>& segments)
{
    std::vector<Segment> summary;
    for (const Motion::Segment& s : segments) {
        std::vector<double> dts;
        double gpu = 0, scale = 0;
        for (const Frame& f : frames) {
            if (f.t < s.from || f.t >= s.to) continue;
            dts.push_back(f.dtMs);
            gpu += f.gpuMs;
            scale += f.renderScale;
        }
        const auto c = static_cast<std::int64_t>(dts.size());
        std::sort(dts.begin(), dts.end());
        double sum = 0;
        for (double d : dts) sum += d;
        const double mean = c ? sum / double(c) : 0;
        Segment out;
        out.from = s.from;
        out.to = s.to;
        out.frames = c;
        out.meanFps = 1000 / std::max(mean, 0.001);
        out.p95FrameMs = c ? dts[static_cast<std::size_t>(std::floor(0.95 * double(c)))] : 0;
        out.meanGpuMs = c ? gpu / double(c) : 0;
        out.meanRenderScale = scale / double(std::max<std::int64_t>(c, 1));
        summary.push_back(out);
    }
    return summary;
}

Json::OrderedValue LiveBench::report(const std::string& capturedAt) const
{
    Json::OrderedValue r = Json::OrderedValue::object();
    r["method"] = std::string(method);
    r["materials"] = materials;
    r["drawable"] = drawableSize;
    r["capturedAt"] = capturedAt;
    Json::OrderedValue summary = Json::OrderedValue::array();
    for (const Segment& s : summarise(frames, motion.segments)) {
        Json::OrderedValue o = Json::OrderedValue::object();
        o["from"] = s.from;
        o["to"] = s.to;
        o["frames"] = s.frames;
        o["meanFps"] = s.meanFps;
        o["p95FrameMs"] = s.p95FrameMs;
        o["meanGpuMs"] = s.meanGpuMs;
        o["meanRenderScale"] = s.meanRenderScale;
        summary.push_back(std::move(o));
    }
    r["summary"] = std::move(summary);
    Json::OrderedValue list = Json::OrderedValue::array();
    for (const Frame& f : frames) {
        Json::OrderedValue o = Json::OrderedValue::object();
        o["t"] = f.t;
        o["dtMs"] = f.dtMs;
        o["gpuMs"] = f.gpuMs;
        o["renderScale"] = f.renderScale;
        list.push_back(std::move(o));
    }
    r["frames"] = std::move(list);
    return r;
}

void LiveBench::finish()
{
    finished_ = true;
    try {
        const std::string text = Json::write(report(internetDateTime()), Json::Style::pretty) + "\n";
        if (out.has_parent_path()) {
            std::error_code ignored;
            std::filesystem::create_directories(out.parent_path(), ignored);
        }
        // Written whole or not at all: a reader never finds half a report.
        Files::replaceAtomically(out, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    } catch (const std::exception&) {
        // No report; the program ends all the same.
    }
    if (terminate) terminate();
}

} // namespace veltrane
