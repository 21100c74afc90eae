// The frame loop's adaptive-quality decisions, driven without a GPU: frames at a fixed interval with a
// fixed measured GPU time.
#include <gtest/gtest.h>

#include "FractalRender/FrameScheduler.h"

using namespace veltrane;

namespace {

struct Load {
    double gpuMs;
    double intervalMs = 1000.0 / 60;
    bool moving = true;
};

// `ticks` frames from t = 10 s; the averages start at the load so that each case counts from its
// first frame.
FrameScheduler run(FrameScheduler s, const Load& r, int ticks)
{
    FrameScheduler::Timing timing;
    timing.gpuMs = r.gpuMs;
    s.gpuEma = r.gpuMs;
    s.frameEma = r.intervalMs;
    for (int i = 0; i < ticks; ++i) s.tick(10.0 + i * r.intervalMs / 1000, r.moving, true, timing);
    return s;
}

FrameScheduler atScale(int index)
{
    FrameScheduler s;
    s.scaleIndex = index;
    return s;
}

} // namespace

TEST(FrameScheduler, ScaleStepsFollowTheLoad)
{
    struct Case {
        const char* what;
        int startScale;
        Load load;
        int ticks;
        int scale;
    };
    const Case cases[] = {
        {"4 overloaded frames are not enough", 0, {20}, 4, 0},
        {"the 5th steps down", 0, {20}, 5, 1},
        {"then 0.2 s must pass", 0, {20}, 16, 1},
        {"and 5 more overloaded frames", 0, {20}, 18, 2},
        {"never below the last scale", 0, {20}, 2000, FrameScheduler::lastScaleIndex},
        {"a slow display counts as load", 0, {3, 30}, 5, 1},
        {"a view standing still keeps its scale", 0, {20, 1000.0 / 60, false}, 100, 0},
        {"an idle GPU steps up after 16 frames", 3, {3}, 15, 3},
        {"on the 16th", 3, {3}, 16, 2},
        {"a comfortable GPU waits 61 frames", 3, {6}, 60, 3},
        {"on the 61st", 3, {6}, 61, 2},
        {"and steps again 61 frames later", 3, {6}, 122, 1},
        {"between comfortable and overloaded nothing moves", 3, {10}, 1000, 3},
        {"never above full scale", 1, {3}, 1000, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(run(atScale(c.startScale), c.load, c.ticks).scaleIndex, c.scale) << c.what;
}

TEST(FrameScheduler, ReportsScaleChangesAndAutoQualityOffReturnsToFullScale)
{
    FrameScheduler s = run({}, {20}, 4);
    FrameScheduler::Timing busy;
    busy.gpuMs = 20;
    EXPECT_TRUE(s.tick(11, true, true, busy).scaleChanged);
    EXPECT_EQ(s.renderScale(), FrameScheduler::renderScales[1]);
    EXPECT_FALSE(s.tick(11.01, true, true, busy).scaleChanged);
    EXPECT_TRUE(s.tick(11.02, true, false, busy).scaleChanged);
    EXPECT_EQ(s.scaleIndex, 0);
    EXPECT_FALSE(s.tick(11.03, true, false, busy).scaleChanged);
}

TEST(FrameScheduler, TileBudgetAimsAtTheRefinementTimePerFrame)
{
    struct Case {
        double refineMs;
        std::int64_t tiles;
        double perFrame;
    };
    // 9 ms per frame for refinement: 1.5 ms tiles make 6, 0.9 ms tiles 10; the budget stays within
    // 1 and 400, and times too short to measure leave it alone.
    for (const Case c : {Case{9, 6, 6}, Case{18, 6, 3}, Case{0.9, 1, 10}, Case{0.9, 100, 400}, Case{90, 1, 1},
                         Case{0.04, 1, 6}, Case{5, 0, 6}}) {
        FrameScheduler s;
        FrameScheduler::Timing timing;
        timing.refineMs = c.refineMs;
        timing.refineTiles = c.tiles;
        for (int i = 0; i < 40; ++i) s.tick(1 + i / 60.0, false, true, timing);
        EXPECT_NEAR(s.tilesPerFrame, c.perFrame, 1e-6) << c.refineMs << " ms for " << c.tiles;
    }
    FrameScheduler s;
    s.tilesPerFrame = 6.9;
    EXPECT_EQ(s.tileBudget(), 6);
    s.tilesPerFrame = 0.5;
    EXPECT_EQ(s.tileBudget(), 1);
}

TEST(FrameScheduler, TimingSeparatesThePostChainFromRefinement)
{
    FrameScheduler::Timing t;
    t.record(4, false, 0); // a frame of post chain alone
    EXPECT_EQ(t.postMs, 2 + (4 - 2) * FrameScheduler::postSmoothing);
    EXPECT_FALSE(t.lastFrameHadFractal);
    t.record(12, true, 8);
    EXPECT_EQ(t.gpuMs, 12);
    EXPECT_EQ(t.refineMs, 12 - t.postMs);
    EXPECT_EQ(t.refineTiles, 8);
    t.record(1, true, 3); // faster than the post chain alone: no negative time
    EXPECT_EQ(t.refineMs, 0);
}

TEST(FrameScheduler, FramesPerSecondOverHalfSecondWindows)
{
    FrameScheduler s;
    const FrameScheduler::Timing timing;
    int reports = 0;
    double fps = 0;
    for (int i = 0; i <= 60; ++i) {
        if (const auto r = s.tick(5 + i * 0.02, false, true, timing).fps) {
            ++reports;
            fps = *r;
        }
    }
    EXPECT_EQ(reports, 2); // every 25 intervals of 20 ms
    EXPECT_NEAR(fps, 50, 1e-9);
    // A stepped clock counts as the longest interval, never as a negative one.
    s.tick(1, false, true, timing);
    EXPECT_GE(s.frameEma, 0);
}

TEST(FrameScheduler, ProgressionOnceTheViewStandsStill)
{
    EXPECT_FALSE(FrameScheduler::refines(1));
    EXPECT_TRUE(FrameScheduler::refines(2));
    EXPECT_FALSE(FrameScheduler::samples(0, 3));
    EXPECT_TRUE(FrameScheduler::samples(0, 4));
    EXPECT_TRUE(FrameScheduler::samples(15, 100));
    EXPECT_FALSE(FrameScheduler::samples(16, 100));
    EXPECT_FALSE(FrameScheduler::waitsForReference(30));
    EXPECT_TRUE(FrameScheduler::waitsForReference(31));
}

TEST(FrameScheduler, ResetIsTheDefaultState)
{
    FrameScheduler s = run(atScale(2), {30, 40}, 300);
    s.reset();
    const FrameScheduler fresh;
    EXPECT_EQ(s.scaleIndex, fresh.scaleIndex);
    EXPECT_EQ(s.tilesPerFrame, fresh.tilesPerFrame);
    EXPECT_EQ(s.frameEma, FrameScheduler::initialFrameMs);
    EXPECT_EQ(s.gpuEma, FrameScheduler::initialGpuMs);
    EXPECT_EQ(s.lastFrameTime, 0);
    EXPECT_EQ(s.lastScaleChange, 0);
    EXPECT_EQ(s.goodFrames + s.badFrames + s.fpsCount, 0);
    EXPECT_EQ(s.fpsAccum, 0);
}
