#include "Takes/TakeRenderer.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace veltrane;

namespace {

Take::View sample(std::int64_t frame, FractalType type, const char* x, const char* y, double zoom, double rotation = 0,
                  std::optional<double> colour = std::nullopt)
{
    Take::View v;
    v.frame = frame;
    v.type = type;
    v.x = x;
    v.y = y;
    v.zoom = zoom;
    v.rotation = rotation;
    v.juliaC = {0.285, 0.01};
    v.palette = Palette::aurora;
    v.maxIterations = 777;
    v.bloom = 0.3;
    v.grain = 0.1;
    v.colour = colour;
    return v;
}

Take takeOf(std::vector<Take::View> views) { return Take(48000, "", 48000, {}, {}, std::move(views), {}); }

} // namespace

TEST(TakeView, WithoutViewsTheHomeOfMandelbrot)
{
    const auto [v, post] = TakeRenderer::view(100, takeOf({}));
    EXPECT_EQ(v.type, FractalType::mandelbrot);
    EXPECT_EQ(v.centerX, -0.5);
    EXPECT_EQ(v.centerY, 0);
    EXPECT_EQ(v.zoom, 1);
    EXPECT_EQ(v.maxIterations, 128);
    EXPECT_EQ(v.juliaC, (Complex{-0.7, 0.27015}));
    EXPECT_EQ(v.palette, Palette::obsidian);
    EXPECT_FALSE(v.deepCentre);
    EXPECT_EQ(post, (PostSettings{0.7, 0.5, 0.42, 1.0, true, true}));
}

TEST(TakeView, AtASampleItsOwnViewAndHalfWayGeometricZoom)
{
    const Take take = takeOf({sample(0, FractalType::julia, "0.25", "-0.125", 1, 0.5, 0.2),
                              sample(1000, FractalType::julia, "0.75", "0.125", 100, 1.5)});
    const auto [at0, post] = TakeRenderer::view(0, take);
    EXPECT_EQ(at0.type, FractalType::julia);
    EXPECT_EQ(at0.centerX, 0.25);
    EXPECT_EQ(at0.centerY, -0.125);
    EXPECT_EQ(at0.zoom, 1);
    EXPECT_EQ(at0.rotation, 0.5);
    EXPECT_EQ(at0.colourShift, 0.2);
    EXPECT_EQ(at0.maxIterations, 777);
    EXPECT_EQ(at0.juliaC, (Complex{0.285, 0.01}));
    EXPECT_EQ(at0.palette, Palette::aurora);
    EXPECT_EQ(post, (PostSettings{0.3, 0.1, 0.42, 1.0, true, true}));

    const auto half = TakeRenderer::view(500, take).first;
    EXPECT_NEAR(half.zoom, 10, 1e-12);
    EXPECT_EQ(half.centerX, 0.5);
    EXPECT_EQ(half.centerY, 0);
    EXPECT_EQ(half.rotation, 1.0);
    EXPECT_EQ(half.colourShift, 0.1) << "an absent colour counts as 0";
    EXPECT_NEAR(TakeRenderer::view(250, take).first.zoom, std::sqrt(10.0), 1e-12);

    // Before the first sample the first view holds; after the last, the last.
    EXPECT_EQ(TakeRenderer::view(-50, take).first.zoom, 1);
    EXPECT_EQ(TakeRenderer::view(5000, take).first.zoom, 100);
    EXPECT_EQ(TakeRenderer::view(1000, take).first.centerX, 0.75);
}

TEST(TakeView, NoInterpolationAcrossATypeChange)
{
    const Take take =
        takeOf({sample(0, FractalType::mandelbrot, "-0.5", "0", 1), sample(100, FractalType::julia, "0", "0", 4)});
    for (std::int64_t a : {0, 1, 50, 99}) {
        const RenderView v = TakeRenderer::view(a, take).first;
        EXPECT_EQ(v.type, FractalType::mandelbrot);
        EXPECT_EQ(v.zoom, 1);
        EXPECT_EQ(v.centerX, -0.5);
    }
    EXPECT_EQ(TakeRenderer::view(100, take).first.type, FractalType::julia);
    EXPECT_EQ(TakeRenderer::view(100, take).first.zoom, 4);
}

TEST(TakeView, DeepCentreAboveZoom1e11Only)
{
    for (const auto& [zoom, deep] : {std::pair{1e11, false}, {1.0000001e11, true}, {1e12, true}, {1e5, false}}) {
        const RenderView v =
            TakeRenderer::view(0, takeOf({sample(0, FractalType::mandelbrot, "-0.75", "0.1", zoom)})).first;
        EXPECT_EQ(v.deepCentre.has_value(), deep) << zoom;
        if (deep) {
            EXPECT_EQ(v.deepCentre->fracLimbs(), BigFixed::limbsForZoom(zoom, 64));
        }
    }
}

// Two deep views whose centres differ far below a double's resolution: the way between them is
// exact to the deeper view's precision, not rounded to the nearest double.
TEST(TakeView, CentresInterpolateAtTheDeeperViewsPrecision)
{
    const char* x0 = "-1.7499999999999999999999999999999999999999999999999";
    const char* x1 = "-1.7499999999999999999999999999999999999999999999997";
    const Take take = takeOf(
        {sample(0, FractalType::mandelbrot, x0, "0", 1e45), sample(400, FractalType::mandelbrot, x1, "0", 1e46)});
    const RenderView v = TakeRenderer::view(100, take).first;
    ASSERT_TRUE(v.deepCentre);
    const int limbs = BigFixed::limbsForZoom(1e46, 64);
    EXPECT_EQ(v.deepCentre->fracLimbs(), limbs);
    const BigComplex start(*BigFixed::fromDecimal(x0, limbs), BigFixed::zero(limbs));
    // A quarter of the 2e-49 gap.
    EXPECT_NEAR(v.deepCentre->difference(start).x, 0.5e-49, 1e-60);
    EXPECT_EQ(v.centerX, -1.75);
}
