#include <gtest/gtest.h>

#include <vector>

#include "RendererFixture.h"

using namespace veltrane;
using veltrane::testing::RendererTest;
using Tier = RenderStats::Tier;

namespace {

RenderView viewAt(double x, Palette palette = Palette::ocean)
{
    return RenderView(FractalType::mandelbrot, x, 0.0, 1.0, 0, 96, Complex{}, palette);
}

} // namespace

TEST_F(RendererTest, ProgressiveSequenceRefinesNearestTheCentreFirstAndEndsAtSixteenSamples)
{
    makeTarget(300, 200);
    double now = 1.0;
    auto step = [&](const RenderView& v) {
        now += 0.016;
        frame(v, now);
    };
    // A slow GPU: the budget falls to one tile per frame and moving frames lose resolution.
    renderer->injectGpuTime(60.0);
    for (int i = 0; i < 40; ++i) step(viewAt(-0.5));
    for (int i = 0; i < 30; ++i) step(viewAt(-0.5 + 0.001 * i));
    ASSERT_LT(renderer->progress().tilesPerFrame, 2.0);
    ASSERT_GT(renderer->progress().scaleIndex, 0);
    EXPECT_EQ(renderer->stats().tier, Tier::motion);
    EXPECT_EQ(renderer->stats().refineProgress, 0.0);
    EXPECT_LT(renderer->stats().renderScale, 1.0);

    RenderView still = viewAt(-0.6);
    std::vector<Tier> tiers;
    bool sawFirstTile = false;
    for (int i = 0; i < 200; ++i) {
        step(still);
        auto progress = renderer->progress();
        if (!sawFirstTile && renderer->stats().tier == Tier::refining) {
            sawFirstTile = true;
            ASSERT_EQ(progress.tiles.size(), 6u); // 3 x 2: the right column 44 wide, the bottom row 72 high
            EXPECT_EQ(progress.tiles[0], std::make_pair(128, 0));
            EXPECT_EQ(progress.nextTile, 1);
            EXPECT_NEAR(renderer->stats().refineProgress, 1.0 / 6, 1e-12);
        }
        if (tiers.empty() || tiers.back() != renderer->stats().tier) tiers.push_back(renderer->stats().tier);
    }
    EXPECT_TRUE(sawFirstTile);
    EXPECT_EQ(tiers, (std::vector<Tier>{Tier::motion, Tier::refining, Tier::full, Tier::supersampled}));
    EXPECT_EQ(renderer->stats().samples, 16);
    EXPECT_EQ(renderer->stats().renderScale, 1.0);
    step(still);
    EXPECT_EQ(renderer->stats().samples, 16);

    // A palette change is a new picture: refinement starts over.
    step(viewAt(-0.6, Palette::ember));
    EXPECT_EQ(renderer->stats().samples, 0);
    EXPECT_EQ(renderer->stats().tier, Tier::motion);
    EXPECT_FALSE(renderer->progress().highValid);
}

TEST_F(RendererTest, WithoutSupersamplingTheViewStopsAtFull)
{
    makeTarget(64, 48);
    PostSettings post;
    post.supersample = false;
    post.autoQuality = false;
    for (int i = 0; i < 12; ++i) frame(viewAt(-0.5), 1.0 + i * 0.016, post);
    EXPECT_EQ(renderer->stats().tier, Tier::full);
    EXPECT_EQ(renderer->stats().samples, 0);
}

TEST_F(RendererTest, AdaptiveScaleFollowsTheLoad)
{
    makeTarget(64, 48);
    double now = 1.0;
    std::vector<std::pair<double, int>> changes; // (time, new index)
    int frames = 0;
    auto run = [&](double gpuMs, int count, bool moving) {
        renderer->injectGpuTime(gpuMs);
        for (int i = 0; i < count; ++i) {
            now += 0.016;
            ++frames;
            int before = renderer->progress().scaleIndex;
            frame(viewAt(moving ? -0.5 + 1e-4 * frames : -0.5), now);
            int after = renderer->progress().scaleIndex;
            if (after != before) {
                EXPECT_EQ(std::abs(after - before), 1) << "one step at a time";
                EXPECT_TRUE(moving) << "a still view keeps its scale";
                changes.emplace_back(now, after);
            }
        }
    };

    run(30.0, 130, true); // heavy: down to the smallest scale
    ASSERT_EQ(changes.size(), 7u);
    EXPECT_EQ(renderer->progress().scaleIndex, 7);
    auto low = renderer->progress();
    EXPECT_EQ(low.lowWidth, 17);  // 0.27 * 64 = 17.28
    EXPECT_EQ(low.lowHeight, 13); // 0.27 * 48 = 12.96
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_GT(changes[i].first - changes[i - 1].first, 0.2);

    run(30.0, 20, false); // standing still changes nothing
    changes.clear();
    run(1.0, 180, true); // light: back up to full scale, slowly
    ASSERT_EQ(changes.size(), 7u);
    EXPECT_EQ(renderer->progress().scaleIndex, 0);
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_GT(changes[i].first - changes[i - 1].first, 0.3);

    changes.clear();
    run(10.0, 80, true); // moderate load (7.5 and above): neither good nor bad frames
    EXPECT_TRUE(changes.empty());
}

TEST_F(RendererTest, ResetForgetsAStaleScaleAndFrameClock)
{
    makeTarget(64, 48);
    renderer->injectGpuTime(30.0);
    for (int i = 0; i < 60; ++i) frame(viewAt(-0.5 + 1e-4 * i), 1.0 + 0.016 * i);
    ASSERT_GT(renderer->progress().scaleIndex, 0);
    renderer->reset();
    auto progress = renderer->progress();
    EXPECT_EQ(progress.scaleIndex, 0);
    EXPECT_EQ(progress.lowWidth, 64);
    EXPECT_DOUBLE_EQ(progress.frameEma, 16.7);
    EXPECT_DOUBLE_EQ(progress.gpuEma, 8.0);
    EXPECT_DOUBLE_EQ(progress.tilesPerFrame, 6.0);

    // A clock that jumps back counts as no time passing, one that jumps ahead as at most 200 ms.
    renderer->injectGpuTime(std::nullopt);
    frame(viewAt(0.1), 50.0);
    frame(viewAt(0.2), 10.0);
    EXPECT_DOUBLE_EQ(renderer->progress().frameEma, 16.7 * 0.85);
    frame(viewAt(0.3), 500.0);
    EXPECT_DOUBLE_EQ(renderer->progress().frameEma, 16.7 * 0.85 + (200 - 16.7 * 0.85) * 0.15);
}

TEST_F(RendererTest, AutoQualityOffDrawsAtFullScaleAndIsFinalAtOnce)
{
    makeTarget(64, 48);
    renderer->injectGpuTime(30.0);
    for (int i = 0; i < 60; ++i) frame(viewAt(-0.5 + 1e-4 * i), 1.0 + 0.016 * i);
    ASSERT_GT(renderer->progress().scaleIndex, 0);
    PostSettings post;
    post.autoQuality = false;
    frame(viewAt(0.25), 2.0, post);
    EXPECT_EQ(renderer->progress().scaleIndex, 0);
    EXPECT_EQ(renderer->stats().tier, Tier::full);
    EXPECT_EQ(renderer->stats().refineProgress, 1.0);
}

TEST_F(RendererTest, OnlyAGeometryChangeOrANewSizeRestartsTheView)
{
    makeTarget(64, 48);
    PostSettings post;
    post.supersample = false;
    RenderView view = viewAt(-0.5);
    for (int i = 0; i < 6; ++i) frame(view, 1.0 + 0.016 * i, post);
    ASSERT_EQ(renderer->stats().tier, Tier::full);

    view.referenceHint = ReferenceHint{BigComplex(0.25, 0.0, 1), 500}; // not part of the picture
    frame(view, 2.0, post);
    EXPECT_EQ(renderer->stats().tier, Tier::full);
    EXPECT_GT(renderer->progress().staticFrames, 0);

    view.colourShift = 0.5;
    frame(view, 2.1, post);
    EXPECT_EQ(renderer->progress().staticFrames, 0);

    for (int i = 0; i < 6; ++i) frame(view, 3.0 + 0.016 * i, post);
    makeTarget(64, 48); // a new target of the same size keeps the progress
    frame(view, 4.0, post);
    EXPECT_GT(renderer->progress().staticFrames, 0);
    makeTarget(80, 48);
    frame(view, 4.1, post);
    EXPECT_EQ(renderer->progress().staticFrames, 0);
    EXPECT_EQ(renderer->width(), 80);
}
