// Benchmark flights and motion runs, and flight stops on the real renderer (lavapipe).
#include <gtest/gtest.h>

#include <cmath>

#include "FractalCore/BigFixed.h"
#include "FractalCore/ZoomRules.h"
#include "FractalRender/FlightStops.h"
#include "FractalRender/RenderBenchmarks.h"
#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;

namespace {

FlightEnd homeOf(FractalType type)
{
    FractalTarget home = veltrane::home(type);
    return {BigComplex(home.centerX, home.centerY, BigFixed::limbsForZoom(home.zoom, 64)), home.zoom};
}

// c = i is a Misiurewicz point of the Mandelbrot set: detail at every depth.
FlightEnd deepTarget(double zoom) { return {BigComplex(0, 1, BigFixed::limbsForZoom(zoom, 64)), zoom}; }

} // namespace

TEST(FlightPath, StartsAtTheStartAndLandsExactlyOnTheTarget)
{
    struct Case {
        const char* name;
        FlightEnd from, to;
    } cases[] = {
        {"zoom in to 1e40", homeOf(FractalType::mandelbrot), deepTarget(1e40)},
        {"zoom out from 1e40", deepTarget(1e40), homeOf(FractalType::mandelbrot)},
        {"level pan", {BigComplex(-0.5, 0, 2), 3}, {BigComplex(0.25, 0.5, 2), 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlightPath path(FractalType::mandelbrot, Palette::obsidian, {}, c.from, c.to, 200000);
        int last = path.frameCount() - 1;
        RenderView first = path.view(0), end = path.view(last);
        EXPECT_EQ(first.centerX, c.from.centre.doubles().x);
        EXPECT_EQ(first.centerY, c.from.centre.doubles().y);
        EXPECT_EQ(path.centre(0), c.from.centre.withFracLimbs(BigFixed::limbsForZoom(first.zoom, 64)));
        EXPECT_EQ(path.centre(last / 60.0), c.to.centre.withFracLimbs(BigFixed::limbsForZoom(end.zoom, 64)));
        EXPECT_EQ(end.centerX, c.to.centre.doubles().x);
        EXPECT_EQ(end.centerY, c.to.centre.doubles().y);
        // Along the way the exact centre follows the flight's double centre, within a small part of the view.
        for (int j = 0; j <= last; j += 7) {
            RenderView view = path.view(j);
            FractalTarget sample = path.flight().sample(j / 60.0);
            EXPECT_NEAR(view.centerX, sample.centerX, 1e-9 * 2.5 / view.zoom + 1e-15) << j;
            EXPECT_NEAR(view.centerY, sample.centerY, 1e-9 * 2.5 / view.zoom + 1e-15) << j;
            EXPECT_EQ(view.zoom, sample.zoom);
            EXPECT_EQ(view.deepCentre.has_value(), view.zoom > 1e11);
            EXPECT_EQ(view.maxIterations, ZoomRules::autoIterations(view.zoom, 200000));
        }
    }
}

TEST(FlightPath, FramesHintsAndSnapshots)
{
    FlightEnd home = homeOf(FractalType::mandelbrot);
    // 1 to 1e6 at one centre: 2.6 + 2.52 s = 307.2 frames, rounded up, plus half a second.
    FlightEnd sameCentre{home.centre, 1e6};
    EXPECT_EQ(FlightPath(FractalType::mandelbrot, Palette::obsidian, {}, home, sameCentre, 4096).frameCount(),
              308 + 30);
    FlightPath deep(FractalType::mandelbrot, Palette::obsidian, {}, home, deepTarget(1e40), 200000);
    EXPECT_EQ(deep.frameCount(), 540 + 30); // capped at 9 s
    EXPECT_EQ(deep.precision(), BigFixed::limbsForZoom(1e40, 64));
    ASSERT_TRUE(deep.view(0).referenceHint);
    EXPECT_EQ(deep.view(0).referenceHint->centre, deepTarget(1e40).centre);
    EXPECT_EQ(deep.view(0).referenceHint->maxIterations, ZoomRules::autoIterations(1e40, 200000));
    // No hint for a zoom-out flight or a shallow target.
    EXPECT_FALSE(
        FlightPath(FractalType::mandelbrot, Palette::obsidian, {}, deepTarget(1e40), home, 4096).view(0).referenceHint);
    EXPECT_FALSE(FlightPath(FractalType::mandelbrot, Palette::obsidian, {}, home, {home.centre, 2500}, 4096)
                     .view(0)
                     .referenceHint);
    EXPECT_TRUE(FlightPath(FractalType::mandelbrot, Palette::obsidian, {}, home, {home.centre, 2501}, 4096)
                    .view(0)
                    .referenceHint);

    struct Snap {
        int frame, count, every;
        bool taken;
    } snaps[] = {{0, 10, 0, false}, {0, 10, 1, true},  {5, 10, 1, true}, {0, 10, 4, true},
                 {4, 10, 4, true},  {5, 10, 4, false}, {9, 10, 4, true}, {8, 10, -3, false}};
    for (const Snap& s : snaps)
        EXPECT_EQ(FlightPath::isSnapshotFrame(s.frame, s.count, s.every), s.taken) << s.frame << " every " << s.every;
}

TEST_F(RendererTest, FlightStopFromTheMandelbrotHomeIsAcceptable)
{
    FlightEnd home = homeOf(FractalType::mandelbrot);
    auto stop = flightStop(*renderer, FractalType::mandelbrot, {}, home.centre, home.zoom, 1e6);
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->zoom, 1e6);
    auto check = renderer->renderDiagnostic(
        FlightStops::diagnosticView(FractalType::mandelbrot, {}, stop->centre, 1e6, 1e6, 200000), 48, 48);
    EXPECT_TRUE(FlightStops::acceptable(check));
}

TEST_F(RendererTest, FlightStopFromTheBurningShipHomeAvoidsNoise)
{
    FlightEnd home = homeOf(FractalType::burningship);
    auto stop = flightStop(*renderer, FractalType::burningship, {}, home.centre, home.zoom, 1e6);
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->zoom, 1e6);
    auto check = renderer->renderDiagnostic(
        FlightStops::diagnosticView(FractalType::burningship, {}, stop->centre, 1e6, 1e6, 200000), 48, 48);
    EXPECT_TRUE(FlightStops::acceptable(check));
}

TEST_F(RendererTest, MotionRunRendersEveryFrameAndSummarisesSegments)
{
    Motion motion;
    motion.centerX = -0.745;
    motion.centerY = 0.113;
    motion.durationSec = 0.4; // 24 frames
    motion.segments = {{0, 0.2, 1, 50, std::nullopt, std::nullopt}, {0.2, 0.4, 50, 1e4, 0.3, 0.2}};
    MotionRun run = runMotion(*renderer, motion, 64, 40, PostSettings{});
    ASSERT_EQ(run.frames.size(), 24u);
    ASSERT_EQ(run.segments.size(), 2u);
    EXPECT_EQ(run.segments[0].frames + run.segments[1].frames, 24);
    for (const BenchFrame& f : run.frames) {
        EXPECT_GT(f.gpuMs, 0);
        EXPECT_EQ(f.deep, motion.at(f.t).zoom > 2500);
    }
    EXPECT_GT(run.segments[1].meanFps, 0);
    motion.segments.clear();
    EXPECT_THROW(runMotion(*renderer, motion, 64, 40, PostSettings{}), Json::Error);
}

TEST_F(RendererTest, FlightToADeepTargetLandsWithAFreshReference)
{
    FlightEnd from = homeOf(FractalType::mandelbrot), to = deepTarget(1e40);
    std::vector<int> snapshots;
    auto frames = runFlight(*renderer, FractalType::mandelbrot, Palette::obsidian, {}, from, to, 48, 32, PostSettings{},
                            4096, 200, [&](int frame, const Image& image) {
                                snapshots.push_back(frame);
                                EXPECT_EQ(image.width, 48);
                                EXPECT_EQ(image.height, 32);
                            });
    FlightPath path(FractalType::mandelbrot, Palette::obsidian, {}, from, to, 4096);
    ASSERT_EQ(frames.size(), size_t(std::ceil(path.flight().duration * 60)) + 30);
    EXPECT_EQ(snapshots, (std::vector<int>{0, 200, 400, 569}));
    EXPECT_EQ(frames.front().log10Zoom, 0);
    EXPECT_NEAR(frames.back().log10Zoom, 40, 1e-12);
    EXPECT_FALSE(frames.back().referenceStale);
    EXPECT_EQ(path.centre(frames.back().t), to.centre);
    for (size_t j = 0; j < frames.size(); ++j) EXPECT_EQ(frames[j].t, j / 60.0);

    // Without a function, or with snapshotEvery 0, nothing is captured.
    int calls = 0;
    runFlight(*renderer, FractalType::mandelbrot, Palette::obsidian, {}, from, {from.centre, 4}, 16, 16, PostSettings{},
              512, 0, [&](int, const Image&) { ++calls; });
    EXPECT_EQ(calls, 0);
}
