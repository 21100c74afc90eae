// The effect chain's inline sine, exponential and logarithm against the maths library in long double,
// over the ranges the chain feeds them and their edges.

#include "CSynth/fastmath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

constexpr long double kTwoPiL = 6.283185307179586476925286766559L;

// Ulps between two floats of the same sign (enough for comparing a rounded result with its reference).
int ulpsApart(float a, float b)
{
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof ia);
    std::memcpy(&ib, &b, sizeof ib);
    return std::abs(ia - ib);
}

TEST(FastMath, SineAndCosineOfTurnsMatchTheLibrary)
{
    std::mt19937 rng(7);
    // Phases in [0, 1), the small multiples the filters take (D / 4, D / 2), and a few turns either way.
    std::uniform_real_distribution<float> phase(0.0f, 1.0f), wide(-40.0f, 40.0f);
    double worst = 0.0;
    for (int i = 0; i < 400000; ++i) {
        float x = i < 200000 ? phase(rng) : wide(rng);
        if (i < 1000) x = static_cast<float>(i) / 1000.0f; // exact quarters and eighths included
        double s, c;
        vk_fast::sinCosTurns(static_cast<double>(x), &s, &c);
        const long double a = kTwoPiL * x;
        const long double rs = std::sin(a), rc = std::cos(a);
        worst = std::max({worst, static_cast<double>(std::fabs(s - rs)), static_cast<double>(std::fabs(c - rc))});
        // Rounded to float: the correctly rounded value, or one ulp off (away from the exact zeros at
        // whole quarter turns, where the reference itself is only a rounding error).
        if (std::fabs(rs) > 1e-12L) {
            ASSERT_LE(ulpsApart(static_cast<float>(s), static_cast<float>(rs)), 1) << x;
        }
        if (std::fabs(rc) > 1e-12L) {
            ASSERT_LE(ulpsApart(static_cast<float>(c), static_cast<float>(rc)), 1) << x;
        }
    }
    EXPECT_LT(worst, 2e-10);
}

TEST(FastMath, SineOfAQuarterTurnMatchesTheLibrary)
{
    double worst = 0.0;
    for (int i = 0; i <= 250000; ++i) {
        const double x = 0.25 * i / 250000.0;
        worst = std::max(worst, static_cast<double>(std::fabs(vk_fast::sinQuarterTurn(x) - std::sin(kTwoPiL * x))));
    }
    EXPECT_LT(worst, 1e-9);
    EXPECT_EQ(vk_fast::sinQuarterTurn(0.0), 0.0);
    // Outside the quarter it is the general sine.
    EXPECT_EQ(vk_fast::sinQuarterTurn(0.3), vk_fast::sinTurns(0.3));
    EXPECT_EQ(vk_fast::sinQuarterTurn(-0.1), vk_fast::sinTurns(-0.1));
}

TEST(FastMath, VectorSineIsTheScalarOneLaneByLane)
{
    const vk_double4 x = {0.1, 0.37, -0.62, 0.999};
    vk_double4 s, c;
    vk_fast::sinCosTurns(x, &s, &c);
    for (int i = 0; i < 4; ++i) {
        double ss, cc;
        vk_fast::sinCosTurns(x[i], &ss, &cc);
        EXPECT_EQ(s[i], ss);
        EXPECT_EQ(c[i], cc);
    }
}

TEST(FastMath, Exp2HasRelativeErrorBelow1e10)
{
    double worst = 0.0;
    for (double x = -160.0; x <= 130.0; x += 0.000731) {
        const long double ref = std::exp2(static_cast<long double>(x));
        worst = std::max(worst, static_cast<double>(std::fabs(vk_fast::exp2(x) / ref - 1.0L)));
    }
    EXPECT_LT(worst, 1e-10);
    EXPECT_EQ(vk_fast::exp2(0.0), 1.0);
    EXPECT_EQ(vk_fast::exp2(-3.0), 0.125);
    // Beyond float's range the result still rounds to infinity or zero, and NaN stays NaN.
    EXPECT_EQ(static_cast<float>(vk_fast::exp2(1000.0)), std::numeric_limits<float>::infinity());
    EXPECT_EQ(static_cast<float>(vk_fast::exp2(-1000.0)), 0.0f);
    EXPECT_TRUE(std::isnan(vk_fast::exp2(std::numeric_limits<double>::quiet_NaN())));
    // The float form is e^x.
    for (float x : {-20.0f, -1.5f, 0.001f, 3.0f, 80.0f})
        EXPECT_LE(ulpsApart(static_cast<float>(vk_fast::exp(x)), std::exp(x)), 1) << x;
}

TEST(FastMath, LogHasAbsoluteErrorBelow1e11)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    double worst = 0.0;
    for (int e = -126; e <= 127; ++e) {
        for (int i = 0; i < 2000; ++i) {
            const float x = std::ldexp(i == 0 ? 1.0f : mantissa(rng), e);
            const long double ref = std::log(static_cast<long double>(x));
            worst = std::max(worst, static_cast<double>(std::fabs(vk_fast::log(x) - ref)));
        }
    }
    EXPECT_LT(worst, 1e-11);
    // Every float around 1, where the mantissa crosses from one binade to the next.
    for (float x = 0.99f; x < 1.01f; x = std::nextafter(x, 2.0f)) {
        ASSERT_LT(std::fabs(vk_fast::log(x) - std::log(static_cast<long double>(x))), 1e-11L) << x;
    }
    // Outside the normal positive floats the library answers.
    EXPECT_EQ(vk_fast::log(0.0f), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(vk_fast::log(-1.0f)));
    EXPECT_EQ(vk_fast::log(std::numeric_limits<float>::infinity()), std::numeric_limits<double>::infinity());
    EXPECT_EQ(vk_fast::log(1e-40f), std::log(static_cast<double>(1e-40f))); // subnormal
}

} // namespace
