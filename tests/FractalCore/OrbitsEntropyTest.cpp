#include "FractalCore/Entropy.h"
#include "FractalCore/Orbits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace veltrane;

namespace {

const Complex kNoJulia{};
const auto never = [] { return false; };

TEST(OrbitsTest, CentreOrbits)
{
    Orbits::Centre c = Orbits::centre(FractalType::mandelbrot, 0, 0, kNoJulia, 5);
    EXPECT_EQ(c, (Orbits::Centre{std::vector<double>(10, 0.0), 5, false}));

    c = Orbits::centre(FractalType::mandelbrot, 2, 0, kNoJulia, 100);
    EXPECT_EQ(c, (Orbits::Centre{{0, 0, 2, 0, 6, 0, 38, 0}, 4, true})); // 38² > 64

    c = Orbits::centre(FractalType::newton, 1, 0, kNoJulia, 10);
    EXPECT_EQ(c.length, 10);
    EXPECT_FALSE(c.escaped);
    for (int i = 0; i < 10; ++i) EXPECT_EQ((Complex{c.points[2 * i], c.points[2 * i + 1]}), (Complex{1, 0}));

    c = Orbits::centre(FractalType::newton, 0, 0, kNoJulia, 10); // f'(0) = 0
    EXPECT_EQ(c, (Orbits::Centre{{0, 0}, 1, false}));

    c = Orbits::centre(FractalType::julia, 0.5, 0, {0.25, 0}, 3);
    EXPECT_EQ(c, (Orbits::Centre{{0.5, 0, 0.5, 0, 0.5, 0}, 3, false}));

    for (int count : {0, -5})
        EXPECT_EQ(Orbits::centre(FractalType::mandelbrot, 0, 0, kNoJulia, count), Orbits::Centre{});
}

TEST(OrbitsTest, ReferenceOrbits)
{
    const Orbits::Reference r = Orbits::reference(FractalType::mandelbrot, 2, 0, kNoJulia, 100);
    ASSERT_EQ(r.points.size(), 200u);
    EXPECT_EQ(r.length, 5);
    EXPECT_TRUE(r.escaped);
    const std::vector<double> head(r.points.begin(), r.points.begin() + 10);
    EXPECT_EQ(head, (std::vector<double>{0, 0, 2, 0, 6, 0, 38, 0, 1446, 0}));
    for (std::size_t i = 10; i < 200; ++i) EXPECT_EQ(r.points[i], 0);

    // No length: nothing to index, length 0.
    for (int maxLength : {0, -3}) {
        const Orbits::Reference e = Orbits::reference(FractalType::mandelbrot, 2, 0, kNoJulia, maxLength);
        EXPECT_EQ(e.length, 0);
        EXPECT_TRUE(e.points.empty());
        EXPECT_FALSE(e.escaped);
    }
    const Orbits::Reference bounded = Orbits::reference(FractalType::newton, -1, 0, kNoJulia, 7);
    EXPECT_EQ(bounded.length, 7);
    EXPECT_FALSE(bounded.escaped);
}

TEST(OrbitsTest, TailKeepsTheLastPointsInOrder)
{
    const double cx = -0.1, cy = 0.65; // bounded
    const Orbits::Centre all = Orbits::centre(FractalType::mandelbrot, cx, cy, kNoJulia, 20);
    ASSERT_EQ(all.length, 20);
    ASSERT_FALSE(all.escaped);
    for (int fracLimbs : {1, 2}) { // doubles, then fixed point
        SCOPED_TRACE(fracLimbs);
        const BigComplex centre(cx, cy, fracLimbs);
        Orbits::Centre t = Orbits::tail(FractalType::mandelbrot, centre, kNoJulia, 10, 4, never);
        ASSERT_EQ(t.length, 4);
        EXPECT_FALSE(t.escaped);
        for (int i = 0; i < 8; ++i) EXPECT_NEAR(t.points[i], all.points[12 + i], 1e-15);
        t = Orbits::tail(FractalType::mandelbrot, centre, kNoJulia, 10, 20, never);
        ASSERT_EQ(t.length, 20);
        for (int i = 0; i < 40; ++i) EXPECT_NEAR(t.points[i], all.points[i], 1e-15);
    }
}

TEST(OrbitsTest, TailStopsAtEscapeWithoutTheEscapingPoint)
{
    for (int fracLimbs : {1, 2}) {
        const Orbits::Centre t =
            Orbits::tail(FractalType::mandelbrot, BigComplex(2, 0, fracLimbs), kNoJulia, 100, 10, never);
        EXPECT_EQ(t, (Orbits::Centre{{0, 0, 2, 0, 6, 0}, 3, true})) << fracLimbs;
    }
}

TEST(OrbitsTest, TailPollsCancellationInFixedPoint)
{
    const BigComplex centre(-1, 0, 2);
    int polls = 0;
    const Orbits::Centre t =
        Orbits::tail(FractalType::mandelbrot, centre, kNoJulia, 5000, 5, [&] { return ++polls == 2; });
    EXPECT_EQ(polls, 2); // before iterations 1023 and 2047
    EXPECT_FALSE(t.escaped);
    EXPECT_EQ(t, Orbits::tail(FractalType::mandelbrot, centre, kNoJulia, 2047, 5, never));
    EXPECT_EQ(t.points, (std::vector<double>{0, 0, -1, 0, 0, 0, -1, 0, 0, 0})); // iterations 2042 … 2046

    polls = 0;
    Orbits::tail(FractalType::mandelbrot, BigComplex(-1, 0, 1), kNoJulia, 5000, 5, [&] { return ++polls > 0; });
    EXPECT_EQ(polls, 0); // the double path never polls
}

TEST(OrbitsTest, TailEdgeCases)
{
    EXPECT_EQ(Orbits::tail(FractalType::mandelbrot, BigComplex(0, 0, 2), kNoJulia, 100, 0, never), Orbits::Centre{});
    EXPECT_EQ(Orbits::tail(FractalType::newton, BigComplex(1, 0, 3), kNoJulia, 100, 4, never),
              Orbits::centre(FractalType::newton, 1, 0, kNoJulia, 4));
    // Julia in fixed point: z from the centre, c the constant.
    EXPECT_EQ(Orbits::tail(FractalType::julia, BigComplex(0.5, 0, 2), {0.25, 0}, 3, 3, never),
              (Orbits::Centre{{0.5, 0, 0.5, 0, 0.5, 0}, 3, false}));
}

TEST(EntropyTest, Estimates)
{
    // Deep inside the main cardioid every probe reaches the cap.
    EXPECT_EQ(Entropy::estimate(-0.1, 0, 1e6, 500, FractalType::mandelbrot), 0);
    EXPECT_EQ(Entropy::estimate(-0.1, 0, 1e6, 500, std::nullopt), 0);
    // Far outside, every probe escapes at once.
    EXPECT_EQ(Entropy::estimate(10, 10, 1e6, 500, FractalType::mandelbrot), 0);
    // On the boundary the probes disagree.
    const double edge = Entropy::estimate(-0.75, 0.1, 20, 500, FractalType::mandelbrot);
    EXPECT_GT(edge, 0);
    EXPECT_LE(edge, 1);
    for (double zoom : {0.5, 3.0, 400.0}) {
        EXPECT_EQ(Entropy::estimate(-0.7, 0.3, zoom, 128, FractalType::julia),
                  Entropy::estimate(-0.7, 0.3, zoom, 128, FractalType::mandelbrot));
    }
    const double burning = Entropy::estimate(-1.75, -0.03, 30, 128, FractalType::burningship);
    EXPECT_GE(burning, 0);
    EXPECT_LE(burning, 1);
    const double newton = Entropy::estimate(0, 0, 1, 64, FractalType::newton);
    EXPECT_GE(newton, 0);
    EXPECT_LE(newton, 1);
}

TEST(EntropyTest, SpreadOfTheProbes)
{
    // Zoom 2.5 makes r = 1. With a cap of 2 a probe scores 1/2 when it lies beyond radius 2 and 1
    // otherwise; at (1.75, 0) only the probe at +0.3r does: eight ones and one half, 4·var = 8/81.
    EXPECT_NEAR(Entropy::estimate(1.75, 0, 2.5, 2, FractalType::mandelbrot), 8.0 / 81, 1e-15);
    // The probes count at most 128 iterations, whatever the view's own limit.
    EXPECT_EQ(Entropy::estimate(-0.75, 0.1, 20, 5000, FractalType::mandelbrot),
              Entropy::estimate(-0.75, 0.1, 20, 128, FractalType::mandelbrot));
}

TEST(EntropyTest, NoIterationsMeansNoStructure)
{
    // A cap of 0 would never stop the probe loop inside the set.
    EXPECT_EQ(Entropy::estimate(-0.1, 0, 1, 0, FractalType::mandelbrot), 0);
    EXPECT_EQ(Entropy::estimate(-0.1, 0, 1, -7, std::nullopt), 0);
}

TEST(EntropyTest, NewtonSteps)
{
    EXPECT_EQ(Entropy::newton(1, 0, 50), 0); // at a root the step is zero, not counted
    EXPECT_EQ(Entropy::newton(0, 0, 50), 0); // f'(0) = 0
    EXPECT_EQ(Entropy::newton(2, 0, 0), 0);
    const int n = Entropy::newton(2, 0, 50);
    EXPECT_GT(n, 2);
    EXPECT_LT(n, 50);
    EXPECT_EQ(Entropy::newton(2, 0, 2), 2);
}

} // namespace
