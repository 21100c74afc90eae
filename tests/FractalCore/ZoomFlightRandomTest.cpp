#include "FractalCore/Flight.h"
#include "FractalCore/RandomSource.h"
#include "FractalCore/ZoomRules.h"
#include "Support/Numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ZoomRulesTest, AutoIterations)
{
    struct Row {
        double zoom;
        int cap;
        int expected;
    };
    const Row rows[] = {
        {0.5, 200000, 160},     {1, 200000, 160},    {2, 200000, 224},       {10, 200000, 373},
        {2500, 200000, 882},    {1e6, 200000, 1436}, {1e13, 200000, 2924},   {1e30, 200000, 6538},
        {1e300, 200000, 63941}, {1e300, 4096, 4096}, {0.5, 100, 100},        {0, 200000, 160},
        {-5, 200000, 160},      {kNaN, 200000, 160}, {kInf, 200000, 200000}, {kInf, 4096, 4096},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ZoomRules::autoIterations(r.zoom, r.cap), r.expected) << r.zoom << " cap " << r.cap;
}

TEST(ZoomRulesTest, ClampZoom)
{
    EXPECT_EQ(ZoomRules::clampZoom(1e301, 1e300), 1e300);
    EXPECT_EQ(ZoomRules::clampZoom(0.01, 1e300), 0.1);
    EXPECT_EQ(ZoomRules::clampZoom(1234.5, 1e300), 1234.5);
    EXPECT_EQ(ZoomRules::clampZoom(kNaN, 1e300), 1e300);
    EXPECT_EQ(ZoomRules::clampZoom(kNaN, 0.01), 0.1);
    EXPECT_EQ(ZoomRules::clampZoom(kInf, 1e13), 1e13);
}

TEST(FlightTest, Durations)
{
    const FractalTarget a{-0.5, 0, 1, 0};
    EXPECT_NEAR(Flight(a, {-0.5, 0, 1e6, 0}, 0, 2600).duration, 5.12, 1e-12);
    EXPECT_EQ(Flight(a, {9.5, 0, 1e30, 0}, 0, 2600).duration, 9.0);
    EXPECT_NEAR(Flight(a, {0.5, 0, 1, 0}, 0, 1000).duration, 1.5, 1e-12); // one unit of travel
    // A zoom that is not positive gives no duration to divide by: the cap stands in.
    EXPECT_EQ(Flight(a, {0, 0, 0, 0}, 0, 1000).duration, 9.0);
}

TEST(FlightTest, ProgressEasingAndSample)
{
    const FractalTarget from{-0.5, 0, 1, 0}, to{0.25, 0.5, 1e6, 1};
    const Flight f(from, to, 0, 2600);
    EXPECT_EQ(f.progress(0), 0);
    EXPECT_LT(f.progress(-1), 0); // not clamped before the start
    EXPECT_FALSE(f.isFinished(f.duration / 2));
    EXPECT_TRUE(f.isFinished(f.duration));
    EXPECT_EQ(f.progress(100), 1);

    const FractalTarget mid = f.sample(f.duration / 2); // eased value exactly 0.5
    EXPECT_NEAR(mid.zoom, 1e3, 1e-9);
    EXPECT_EQ(mid.rotation, 0.5);
    const auto w = f.centreWeight(f.duration / 2);
    EXPECT_EQ(w.zoom, mid.zoom);
    EXPECT_EQ(w.fromWeight, 0.5 * 1 / mid.zoom);
    EXPECT_EQ(mid.centerX, to.centerX + (from.centerX - to.centerX) * w.fromWeight);

    const FractalTarget end = f.sample(f.duration);
    EXPECT_EQ(end.centerX, to.centerX);
    EXPECT_EQ(end.centerY, to.centerY);
    EXPECT_NEAR(end.zoom, 1e6, 1e-6);
    EXPECT_EQ(f.centreWeight(0).fromWeight, 1);
    EXPECT_EQ(f.sample(0).centerX, from.centerX);
}

TEST(FlightTest, ZoomingOutBlendsFromTheStart)
{
    const FractalTarget from{1, 1, 1e6, 0}, to{-1, 0, 1, 0};
    const Flight f(from, to, 0, 500);
    const double t = f.duration * 0.25;
    const double p = 0.25, e = 4 * p * p * p;
    const FractalTarget s = f.sample(t);
    const double k = e * to.zoom / s.zoom;
    EXPECT_NEAR(s.centerX, from.centerX - (from.centerX - to.centerX) * k, 1e-15);
    EXPECT_NEAR(f.centreWeight(t).fromWeight, 1 - k, 1e-15);
    EXPECT_NEAR(f.sample(f.duration).centerX, -1, 1e-12);
}

TEST(FlightTest, FlightWithoutDurationEndsAtItsStart)
{
    const FractalTarget a{0, 0, 1, 0};
    const Flight f(a, a, 5, 0);
    ASSERT_EQ(f.duration, 0);
    EXPECT_FALSE(f.isFinished(4.9));
    EXPECT_TRUE(f.isFinished(5));
    EXPECT_EQ(f.sample(5), a);
}

TEST(RandomTest, Mulberry32Sequence)
{
    Mulberry32 one(1);
    EXPECT_EQ(one.next(), 0.6270739405881613);
    EXPECT_EQ(one.next(), 0.002735721180215478);
    EXPECT_EQ(one.next(), 0.5274470399599522);
    Mulberry32 zero(0);
    EXPECT_EQ(zero.next(), 0.26642920868471265);
    Mulberry32 a(123456789), b(123456789);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(a.next(), b.next());
}

TEST(RandomTest, SystemSourceStaysInUnitInterval)
{
    SystemRandomSource s;
    for (int i = 0; i < 10000; ++i) {
        const double v = s.next();
        ASSERT_GE(v, 0);
        ASSERT_LT(v, 1);
    }
}

TEST(NumericTest, JsRoundAndClamp)
{
    EXPECT_EQ(jsRound(2.5), 3);
    EXPECT_EQ(jsRound(-2.5), -2);
    EXPECT_EQ(jsRound(-0.5), 0);
    EXPECT_EQ(jsRound(0.49999999999999994), 1);
    EXPECT_EQ(clamp(5, 0, 3), 3);
    EXPECT_EQ(clamp(-1.5, 0.0, 3.0), 0.0);
    EXPECT_EQ(clamp(2, 0, 3), 2);
}

} // namespace
