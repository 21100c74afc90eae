#pragma once
// The live benchmark: started with `--bench SCRIPT [--out REPORT] [--materials]`, it flies the
// instrument's own view along a motion script through the real display loop, records the time
// between presented frames with the renderer's GPU time and resolution scale, writes a JSON report
// and ends the program. It measures the window as the user sees it; the renderer's off-screen
// benchmarks are FractalRender's (veltrane-bench-render).
//
// The first 90 frames settle at the script's start (nothing recorded); the first measured frame only
// sets the clock; the run ends on the first frame past the script's duration.
//
// Every failure is silent: a missing or unreadable script means no benchmark (the program starts
// normally); a report that cannot be written leaves none, and the program ends all the same.
//
// Main thread only, inside the display loop.
#include "FractalRender/Motion.h"
#include "Platform/Json/Json.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

class InstrumentState;

class LiveBench {
public:
    static constexpr int settleFrames = 90;
    static constexpr std::string_view defaultOut = "/tmp/veltrane-bench.json";
    static constexpr std::string_view method = "live window, time between presented frames";

    struct Frame {
        double t = 0;     // seconds since the first measured frame
        double dtMs = 0;  // since the previous measured frame
        double gpuMs = 0; // of the most recently rendered frame
        double renderScale = 1;
    };
    struct Segment {
        double from = 0, to = 0;
        std::int64_t frames = 0;
        double meanFps = 0;
        double p95FrameMs = 0;
        double meanGpuMs = 0;
        double meanRenderScale = 0;
    };

    // None without "--bench", with "--bench" last, or when its script cannot be read or decoded.
    static std::unique_ptr<LiveBench> fromArguments(const std::vector<std::string>& arguments);

    LiveBench(Motion motion, std::filesystem::path out, bool materials);

    const Motion motion;
    const std::filesystem::path out;
    const bool materials;
    std::optional<double> start;
    std::optional<double> last;
    std::vector<Frame> frames;
    int settle = 0;
    std::vector<std::int64_t> drawableSize; // [width, height] in pixels, set by the canvas each frame
    // How the program is ended once the report is written.
    std::function<void()> terminate;

    // One display frame at media time `now`.
    void tick(double now, InstrumentState& state);

    // The per-segment summary of the samples with from <= t < to.
    static std::vector<Segment> summarise(const std::vector<Frame>& frames,
                                          const std::vector<Motion::Segment>& segments);
    Json::OrderedValue report(const std::string& capturedAt) const;

private:
    void finish();
    bool finished_ = false;
    static void apply(const FractalTarget& target, InstrumentState& state);
};

} // namespace veltrane
