#include "FractalCore/BigReference.h"
#include "FractalCore/ScaledComplex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace veltrane;

namespace {

struct Recorded {
    std::vector<Complex> points;
    std::vector<BigComplex> exact;
    BigReference::Result result;
    int polls = 0;
};

Recorded run(FractalType type, const BigComplex& centre, int maxLength, int stopAtPoll = 0, Complex juliaC = {})
{
    Recorded r;
    r.result = BigReference::computeBig(
        type, centre, juliaC, maxLength, [&] { return ++r.polls != stopAtPoll; },
        [&](int i, const BigFixed& x, const BigFixed& y, double dx, double dy) {
            EXPECT_EQ(i, static_cast<int>(r.points.size()));
            EXPECT_EQ(x.toDouble(), dx);
            EXPECT_EQ(y.toDouble(), dy);
            r.points.push_back({dx, dy});
            r.exact.emplace_back(x, y);
        });
    return r;
}

TEST(BigReferenceTest, EscapingOrbitIncludesTheEscapingPoint)
{
    const Recorded r = run(FractalType::mandelbrot, BigComplex(2, 0, 1), 100);
    EXPECT_EQ(r.result, (BigReference::Result{5, true}));
    const std::vector<Complex> expected{{0, 0}, {2, 0}, {6, 0}, {38, 0}, {1446, 0}};
    EXPECT_EQ(r.points, expected);
    EXPECT_EQ(r.exact.back(), BigComplex(1446, 0, 1));
}

TEST(BigReferenceTest, BoundedOrbitRunsToMaxLength)
{
    const Recorded r = run(FractalType::mandelbrot, BigComplex(-1, 0, 2), 50);
    EXPECT_EQ(r.result, (BigReference::Result{50, false}));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(r.points[i], (Complex{i % 2 ? -1.0 : 0.0, 0})) << i;
}

TEST(BigReferenceTest, CancellationIsPolledBeforeEvery1024thPoint)
{
    // The first poll comes before point 1023: stopping there leaves exactly points 0 … 1022.
    Recorded r = run(FractalType::mandelbrot, BigComplex(-1, 0, 2), 5000, 1);
    EXPECT_EQ(r.result, (BigReference::Result{1023, false}));
    EXPECT_EQ(r.points.size(), 1023u);
    EXPECT_EQ(r.polls, 1);
    // A cancel that arrives later stops within the next 1024 points.
    r = run(FractalType::mandelbrot, BigComplex(-0.1, 0.1, 17), 100000, 3);
    EXPECT_EQ(r.result, (BigReference::Result{3071, false}));
    EXPECT_EQ(r.polls, 3);
    // Never cancelled: polled once per 1024 points.
    r = run(FractalType::mandelbrot, BigComplex(-1, 0, 1), 4096);
    EXPECT_EQ(r.result.length, 4096);
    EXPECT_EQ(r.polls, 4);
}

TEST(BigReferenceTest, NoPointsForNoLength)
{
    for (int maxLength : {0, -1, std::numeric_limits<int>::min()}) {
        const Recorded r = run(FractalType::mandelbrot, BigComplex(0, 0, 1), maxLength);
        EXPECT_EQ(r.result, (BigReference::Result{0, false}));
        EXPECT_TRUE(r.points.empty());
    }
}

TEST(BigReferenceTest, JuliaStartsAtTheCentre)
{
    const Recorded r = run(FractalType::julia, BigComplex(0.5, 0, 2), 3, 0, {0.25, 0});
    const std::vector<Complex> expected{{0.5, 0}, {0.5, 0}, {0.5, 0}}; // 0.5 is fixed under z² + 0.25
    EXPECT_EQ(r.points, expected);
}

// On inputs whose every intermediate is exact in both number types (multiples of 2^-6 below 2, so
// degree-4 terms are multiples of 2^-24), the fixed-point step and the double step must agree exactly.
TEST(BigReferenceTest, FixedPointStepsAgreeWithDoubleSteps)
{
    std::mt19937 rng(7);
    const auto dyadic = [&] { return static_cast<double>(static_cast<int>(rng() % 255) - 127) / 64; };
    for (FractalType type : allCases<FractalType>) {
        for (int fracLimbs : {1, 3, 17}) {
            for (int i = 0; i < 200; ++i) {
                const double x = dyadic(), y = dyadic(), cx = dyadic(), cy = dyadic();
                const Complex expected = step(type, x, y, cx, cy);
                BigFixed bx(x, fracLimbs), by(y, fracLimbs);
                BigReference::advance(type, bx, by, BigFixed(cx, fracLimbs), BigFixed(cy, fracLimbs));
                ASSERT_EQ(BigComplex(bx, by), BigComplex(expected.x, expected.y, fracLimbs))
                    << toText(type) << " z=(" << x << "," << y << ") c=(" << cx << "," << cy << ")";

                // `step` has forms of its own for five types and the quadratic step for the rest.
                const bool ownForm = type == FractalType::celtic || type == FractalType::buffalo ||
                                     type == FractalType::perpendicular || type == FractalType::multibrot3 ||
                                     type == FractalType::multibrot4;
                const Complex viaStep = step(ownForm ? type : FractalType::mandelbrot, x, y, cx, cy);
                const BigComplex s =
                    BigReference::step(BigComplex(x, y, fracLimbs), type, BigComplex(cx, cy, fracLimbs));
                ASSERT_EQ(s, BigComplex(viaStep.x, viaStep.y, fracLimbs)) << toText(type);
            }
        }
    }
}

// The reference loop has a fast path of its own for the quadratic types; it must reproduce, limb for
// limb, what the BigFixed operators give step by step. Random deep centres take the three-squares
// product; short dyadic centres give products that end exactly on a limb and take its fallback.
TEST(BigReferenceTest, OrbitLoopMatchesStepByStepArithmetic)
{
    std::mt19937_64 rng(11);
    const auto deep = [&](const char* head, int fracLimbs) {
        std::string text = head;
        for (int i = 0; i < 20 * fracLimbs; ++i) text += static_cast<char>('0' + rng() % 10);
        return *BigFixed::fromDecimal(text, fracLimbs);
    };
    for (FractalType type : {FractalType::mandelbrot, FractalType::julia, FractalType::burningship,
                             FractalType::tricorn, FractalType::newton}) {
        for (int fracLimbs : {1, 2, 3, 4, 7, 17, 20}) {
            const Complex juliaC{-0.8, 0.156};
            const BigComplex centres[] = {
                BigComplex(deep("-0.7436438870371587", fracLimbs), deep("0.1318259042053119", fracLimbs)),
                BigComplex(deep("-1.2", fracLimbs), deep("-0.1", fracLimbs)),
                BigComplex(-0.75, 0.0625, fracLimbs),
            };
            for (const BigComplex& centre : centres) {
                SCOPED_TRACE(std::string(toText(type)) + " at " + std::to_string(fracLimbs) + " limbs, " +
                             centre.key());
                const Recorded r = run(type, centre, 3000, 0, juliaC);
                const int f = centre.fracLimbs();
                BigFixed x = type == FractalType::julia ? centre.x() : BigFixed::zero(f);
                BigFixed y = type == FractalType::julia ? centre.y() : BigFixed::zero(f);
                const BigFixed cx = type == FractalType::julia ? BigFixed(juliaC.x, f) : centre.x();
                const BigFixed cy = type == FractalType::julia ? BigFixed(juliaC.y, f) : centre.y();
                for (std::size_t i = 0; i < r.exact.size(); ++i) {
                    ASSERT_EQ(r.exact[i], BigComplex(x, y)) << "point " << i;
                    BigReference::advance(type, x, y, cx, cy);
                }
            }
        }
    }
}

TEST(BigReferenceTest, RealSquare)
{
    EXPECT_EQ(BigReference::realSquare(BigFixed(3.0, 1), BigFixed(1.0, 1)), (BigFixed::Scaled{0.5, 4}));
    EXPECT_EQ(BigReference::realSquare(BigFixed(0.7, 2), BigFixed(0.7, 2)), (BigFixed::Scaled{0, 0}));
    EXPECT_EQ(BigReference::realSquare(BigFixed(1.0, 1), BigFixed(-3.0, 1)), (BigFixed::Scaled{-0.5, 4}));
}

TEST(ScaledComplexTest, Normalising)
{
    EXPECT_EQ(ScaledComplex(3, -1, 10), (ScaledComplex{0.75, -0.25, 12}));
    const ScaledComplex z(0, 0, 7);
    EXPECT_EQ(z, ScaledComplex::zero());
    EXPECT_EQ(z.e, 0);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ScaledComplex(inf, 1, 3), ScaledComplex::zero());
    EXPECT_EQ(ScaledComplex(std::nan(""), 1, 3), ScaledComplex::zero());
    EXPECT_EQ(ScaledComplex(1, std::nan(""), 3), ScaledComplex::zero());
    EXPECT_EQ(ScaledComplex(1, -inf, 3), ScaledComplex::zero());
    EXPECT_EQ(ScaledComplex(0.5, 0.25, 9), (ScaledComplex{0.5, 0.25, 9}));
    // Normalising at the end of the exponent range saturates rather than wrapping around.
    EXPECT_EQ(ScaledComplex(3, 0, std::numeric_limits<std::int64_t>::max()).e,
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(ScaledComplex(0.125, 0, std::numeric_limits<std::int64_t>::min()).e,
              std::numeric_limits<std::int64_t>::min());
}

TEST(ScaledComplexTest, FromFixedPoint)
{
    const BigFixed unit = BigFixed::fromLimbs(false, std::vector<BigFixed::Limb>{1, 0});
    const ScaledComplex s(unit, BigFixed::zero(1));
    EXPECT_EQ(s, (ScaledComplex{0.5, 0, -63}));
    EXPECT_EQ(s.doubles(), (Complex{std::ldexp(1.0, -64), 0}));
    EXPECT_EQ(ScaledComplex(BigFixed::zero(1), BigFixed(-6.0, 1)), (ScaledComplex{0, -0.75, 3}));
    EXPECT_EQ(ScaledComplex(BigFixed(0.25, 1), BigFixed(-6.0, 1)), (ScaledComplex{0.25 / 8, -0.75, 3}));
    EXPECT_EQ(ScaledComplex(BigFixed::zero(2), BigFixed::zero(2)), ScaledComplex::zero());
}

TEST(ScaledComplexTest, DoublesAndMantissas)
{
    const ScaledComplex s(0.5, -0.25, -100);
    EXPECT_EQ(s.mantissas(-100), (Complex{0.5, -0.25}));
    EXPECT_EQ(s.mantissas(-100 + 2000), (Complex{0, -0.0}));
    EXPECT_EQ(s.doubles(), (Complex{std::ldexp(0.5, -100), std::ldexp(-0.25, -100)}));
    EXPECT_EQ(ScaledComplex(0.75, 0, 2000).doubles().x, std::numeric_limits<double>::infinity());
    EXPECT_EQ(ScaledComplex(0.75, 0, -1074).doubles().x, std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(ScaledComplex(0.75, 0, std::numeric_limits<std::int64_t>::max())
                  .mantissas(std::numeric_limits<std::int64_t>::min())
                  .x,
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(s.negated(), (ScaledComplex{-0.5, 0.25, -100}));
    EXPECT_EQ(s.description(), "(0.5, -0.25)·2^-100");
    EXPECT_EQ(ScaledComplex::zero().description(), "(0.0, 0.0)·2^0");
}

} // namespace
