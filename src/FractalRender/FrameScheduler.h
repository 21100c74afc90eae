#pragma once
// The frame loop's adaptive-quality decisions, apart from the GPU: how far the moving view's
// resolution drops, how many refinement tiles a frame gets, when refinement and supersampling begin.
//
// A value: the renderer feeds it one tick per displayed frame (the wall clock, whether the view
// moved, and the GPU times its completed frames measured) and asks it what to encode. Its state at
// construction is its reset state. The thresholds are in milliseconds of GPU or frame time and in
// frames; the loop aims at a 60 Hz display (16.7 ms frames, the GPU busy for about half of that).

#include <array>
#include <cstdint>
#include <optional>

namespace veltrane {

struct FrameScheduler {
    // ---- resolution of the moving view ----
    // The scales the low pass renders at, by index; index 0 is full resolution.
    static constexpr std::array<double, 8> renderScales{1.0, 0.85, 0.7, 0.58, 0.48, 0.4, 0.33, 0.27};
    static constexpr int lastScaleIndex = static_cast<int>(renderScales.size()) - 1;
    // A frame interval above this counts as load even when the GPU time is lower (the CPU or the
    // display is the bottleneck).
    static constexpr double slowFrameMs = 21;
    // Load above this is overload: after `overloadFrames` such frames in a row, and at least
    // `stepDownGapSeconds` after the last change, the scale steps down.
    static constexpr double overloadMs = 14;
    static constexpr int overloadFrames = 5;
    static constexpr double stepDownGapSeconds = 0.2;
    // Load below `comfortableMs` is a good frame. With load below `idleMs`, `quickStepUpFrames` good
    // frames in a row step the scale up; otherwise it takes `slowStepUpFrames`. Each waits its gap.
    static constexpr double comfortableMs = 7.5;
    static constexpr double idleMs = 4.5;
    static constexpr int quickStepUpFrames = 16;
    static constexpr double quickStepUpGapSeconds = 0.3;
    static constexpr int slowStepUpFrames = 61;
    static constexpr double slowStepUpGapSeconds = 1.0;

    // ---- averages ----
    static constexpr double initialFrameMs = 16.7;
    static constexpr double initialGpuMs = 8.0;
    static constexpr double frameSmoothing = 0.15; // share of a new frame interval in the average
    static constexpr double gpuSmoothing = 0.25;
    static constexpr double postSmoothing = 0.2;
    // Longer intervals (a pause, a stepped clock) count as this long.
    static constexpr double longestFrameMs = 200;
    // Frames per second are reported over windows at least this long.
    static constexpr double fpsWindowMs = 500;

    // ---- refinement tiles ----
    static constexpr int tileSide = 128;
    static constexpr double initialTilesPerFrame = 6.0;
    // GPU time per frame the refinement aims to spend, and the range of its tile budget.
    static constexpr double refineBudgetMs = 9;
    static constexpr double minTilesPerFrame = 1;
    static constexpr double maxTilesPerFrame = 400;
    static constexpr double tileSmoothing = 0.5;
    // Refinement times below this are too short to measure a tile by.
    static constexpr double shortestRefineMs = 0.05;

    // ---- progression once the view stands still ----
    static constexpr int refineAfterStaticFrames = 2;
    static constexpr int sampleAfterStaticFrames = 4;
    static constexpr int maxSamples = 16;
    // A deep view standing still this long waits for its reference orbit instead of a stand-in.
    static constexpr int waitForReferenceAfterStaticFrames = 30;

    // What the completed frames measured; written on the GPU's completion thread (under the
    // renderer's lock), read by the tick.
    struct Timing {
        double gpuMs = initialGpuMs;
        double postMs = 2; // the GPU time of a frame without fractal work: the post chain alone
        bool lastFrameHadFractal = false;
        double refineMs = 0;
        std::int64_t refineTiles = 0;

        // One completed frame: its GPU time, whether it had fractal work, how many tiles it refined.
        void record(double ms, bool hadFractalWork, int tiles);
    };

    struct TickResult {
        bool scaleChanged = false; // the low pass needs a texture of the new scale
        std::optional<double> fps; // a new frames-per-second figure, at the end of a window
    };

    int scaleIndex = 0;
    double tilesPerFrame = initialTilesPerFrame;
    double frameEma = initialFrameMs;
    double gpuEma = initialGpuMs;
    double lastFrameTime = 0; // seconds; 0 before the first tick
    double lastScaleChange = 0;
    int goodFrames = 0;
    int badFrames = 0;
    double fpsAccum = 0;
    int fpsCount = 0;

    void reset() { *this = FrameScheduler{}; }

    // One displayed frame at wall time `now` (seconds). Without auto quality the scale returns to
    // full; a view that stands still keeps its scale.
    TickResult tick(double now, bool moving, bool autoQuality, const Timing& timing);

    double renderScale() const { return renderScales[static_cast<std::size_t>(scaleIndex)]; }
    int tileBudget() const { return tilesPerFrame >= 1 ? static_cast<int>(tilesPerFrame) : 1; }
    static bool refines(int staticFrames) { return staticFrames >= refineAfterStaticFrames; }
    static bool samples(int sampleCount, int staticFrames)
    {
        return sampleCount < maxSamples && staticFrames >= sampleAfterStaticFrames;
    }
    static bool waitsForReference(int staticFrames) { return staticFrames > waitForReferenceAfterStaticFrames; }
};

} // namespace veltrane
