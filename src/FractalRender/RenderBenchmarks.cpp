#include "FractalRender/RenderBenchmarks.h"

#include <algorithm>
#include <cmath>

#include "FractalCore/BigFixed.h"
#include "FractalCore/ZoomRules.h"
#include "Platform/Clock/Clock.h"

namespace veltrane {

namespace {

constexpr double kFps = Bench::framesPerSecond;
// Deep views carry their exact centre from here on; below it the double centre is exact enough.
constexpr double kDeepCentreZoom = 1e11;
constexpr int kMotionIterationCap = 4096;
const Complex kMotionJuliaC{-0.7, 0.27015};

std::shared_ptr<GpuImage> makeTarget(FractalRenderer& renderer, int width, int height, unsigned usage,
                                     const char* label)
{
    try {
        return renderer.device()->makeImage({width, height, GpuFormat::bgra8Unorm, usage, label});
    } catch (const GpuError& error) {
        throw RendererError::texture(error.what());
    }
}

std::shared_ptr<GpuCommandBuffer> makeCommandBuffer(FractalRenderer& renderer, const char* label)
{
    try {
        auto cb = renderer.device()->makeCommandBuffer(label);
        if (!cb) throw RendererError::noDevice();
        return cb;
    } catch (const GpuError&) {
        throw RendererError::noDevice();
    }
}

// Commits, waits, and returns the frame's GPU time in milliseconds.
double finish(GpuCommandBuffer& cb)
{
    cb.commit();
    cb.waitUntilCompleted();
    if (cb.status() != GpuCommandBuffer::Status::completed) throw RendererError::pipeline(cb.errorText());
    return (cb.gpuEndTime() - cb.gpuStartTime()) * 1000;
}

FractalTarget doubleTarget(const FlightEnd& end)
{
    Complex c = end.centre.doubles();
    return {c.x, c.y, end.zoom, 0};
}

} // namespace

FlightPath::FlightPath(FractalType type, Palette palette, Complex juliaC, const FlightEnd& from, const FlightEnd& to,
                       int iterationCap)
    : type_(type), palette_(palette), juliaC_(juliaC), from_(from), to_(to), iterationCap_(iterationCap),
      flight_(doubleTarget(from), doubleTarget(to), 0, baseDurationMs)
{
    precision_ = std::max(
        {from.centre.fracLimbs(), to.centre.fracLimbs(), BigFixed::limbsForZoom(std::max(from.zoom, to.zoom), 64)});
    from_.centre = from.centre.withFracLimbs(precision_);
    to_.centre = to.centre.withFracLimbs(precision_);
    frameCount_ = int(std::ceil(flight_.duration * kFps)) + holdFrames;
    if (from.zoom <= to.zoom && to.zoom > FractalRenderer::deepZoomThreshold)
        hint_ = ReferenceHint{to_.centre, ZoomRules::autoIterations(to.zoom, iterationCap)};
}

BigComplex FlightPath::centre(double t) const
{
    Flight::CentreWeight weight = flight_.centreWeight(t);
    // fromWeight is the share of the start centre: to + (from - to) x w is `from` at the start and `to`
    // at the end. The ends themselves are taken as they are, because the weight is 1 at the start and 0
    // at the end only up to the rounding of the sampled zoom (exp(ln 3) is not 3).
    double progress = flight_.progress(t);
    BigComplex exact = progress >= 1   ? to_.centre
                       : progress <= 0 ? from_.centre
                                       : to_.centre.lerp(from_.centre, weight.fromWeight);
    return exact.withFracLimbs(BigFixed::limbsForZoom(weight.zoom, 64));
}

RenderView FlightPath::view(int frame) const
{
    double t = frame / kFps;
    FractalTarget sample = flight_.sample(t);
    BigComplex exact = centre(t);
    Complex c = exact.doubles();
    RenderView view(type_, c.x, c.y, sample.zoom, sample.rotation,
                    ZoomRules::autoIterations(sample.zoom, iterationCap_), juliaC_, palette_, 0);
    if (sample.zoom > kDeepCentreZoom) view.deepCentre = exact;
    view.referenceHint = hint_;
    return view;
}

bool FlightPath::isSnapshotFrame(int frame, int frameCount, int every)
{
    if (every < 1) return false;
    return frame % every == 0 || frame == frameCount - 1;
}

MotionRun runMotion(FractalRenderer& renderer, const Motion& motion, int width, int height, const PostSettings& post,
                    bool timeStages)
{
    motion.validate();
    auto texture = makeTarget(renderer, width, height, gpuRenderTarget, "motion benchmark");
    renderer.reset();
    MotionRun run;
    int n = motion.frameCount();
    run.frames.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        double t = i / kFps;
        FractalTarget target = motion.at(t);
        RenderView view(motion.fractalType, target.centerX, target.centerY, target.zoom, target.rotation,
                        ZoomRules::autoIterations(target.zoom, kMotionIterationCap), kMotionJuliaC, motion.colorPalette,
                        0);
        // A frame the renderer would drop fails the run instead of counting as drawn.
        if (auto refused = renderer.refusal(view, *texture)) throw *refused;
        auto cb = makeCommandBuffer(renderer, "motion benchmark frame");
        auto stages = timeStages ? std::make_shared<std::vector<GpuCommandBuffer::StageTime>>() : nullptr;
        if (stages) cb->timeStages(stages);
        renderer.encodeFrame(view, AudioVisuals{}, post, t, texture, *cb, t);
        double gpuMs = finish(*cb);
        run.frames.push_back({t, gpuMs, renderer.stats().renderScale, renderer.stats().deep});
        if (stages) {
            double timed = 0;
            for (const auto& stage : *stages) timed += stage.runMs;
            stages->push_back({"submit", 0, gpuMs - timed});
            run.stages.push_back(std::move(*stages));
        }
    }
    run.segments = Bench::summarise(run.frames, motion.segments);
    return run;
}

std::vector<FlightFrame> runFlight(FractalRenderer& renderer, FractalType type, Palette palette, Complex juliaC,
                                   const FlightEnd& from, const FlightEnd& to, int width, int height,
                                   const PostSettings& post, int iterationCap, int snapshotEvery,
                                   const FlightSnapshot& snapshot)
{
    auto texture = makeTarget(renderer, width, height, gpuRenderTarget | gpuShaderRead, "flight benchmark");
    renderer.reset();
    FlightPath path(type, palette, juliaC, from, to, iterationCap);
    const Clock& clock = Clock::steady();
    std::vector<FlightFrame> frames;
    int n = path.frameCount();
    frames.reserve(size_t(n));
    for (int j = 0; j < n; ++j) {
        double t = j / kFps;
        RenderView view = path.view(j);
        if (auto refused = renderer.refusal(view, *texture)) throw *refused;
        double encodeStart = clock.now();
        auto cb = makeCommandBuffer(renderer, "flight benchmark frame");
        renderer.encodeFrame(view, AudioVisuals{}, post, t, texture, *cb, t);
        double encodeEnd = clock.now();
        double gpuMs = finish(*cb);
        const RenderStats& stats = renderer.stats();
        frames.push_back({t, std::log10(view.zoom), gpuMs, (encodeEnd - encodeStart) * 1000, stats.renderScale,
                          stats.referenceStale, stats.referenceMs});
        if (snapshot && FlightPath::isSnapshotFrame(j, n, snapshotEvery))
            snapshot(j, FractalRenderer::cgImage(*renderer.device(), texture));
    }
    return frames;
}

} // namespace veltrane
