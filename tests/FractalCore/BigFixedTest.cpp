#include "FractalCore/BigComplex.h"
#include "FractalCore/BigFixed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace veltrane;
using Limb = BigFixed::Limb;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BigFixed limbs(bool neg, std::vector<Limb> l) { return BigFixed::fromLimbs(neg, l); }

TEST(BigFixedTest, LimbsForZoom)
{
    struct Row {
        double zoom;
        int guard;
        int expected;
    };
    const Row rows[] = {
        {0.5, 0, 1},
        {std::ldexp(1.0, 52), 0, 1},
        {std::ldexp(1.0, 53), 0, 2},
        {1e300, 64, 17},
        {1, 64, 2},
        {1e13, 64, 2},
        {1e30, 64, 3},
        // Not-a-number, zero, negative and -∞ count as zoom 1; +∞ as the largest zoom, 1e300.
        {kNaN, 64, 2},
        {0, 64, 2},
        {-1e10, 64, 2},
        {-kInf, 64, 2},
        {kInf, 64, 17},
        {kNaN, 0, 1},
        // Guard bits out of range stay within the supported precisions.
        {1e300, -100000, 1},
        {1e300, 1 << 30, BigFixed::maxFracLimbs},
    };
    for (const Row& r : rows)
        EXPECT_EQ(BigFixed::limbsForZoom(r.zoom, r.guard), r.expected) << r.zoom << " g " << r.guard;

    EXPECT_EQ(BigFixed::limbsForLog2Zoom(52, 0), 1);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(53, 0), 2);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(-40, 64), 2);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(kNaN, 64), 2);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(kInf, 64), 17);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(-kInf, 64), 2);
    EXPECT_EQ(BigFixed::limbsForLog2Zoom(1e9, 64), BigFixed::maxFracLimbs);
}

TEST(BigFixedTest, ConstructionFromDoubles)
{
    EXPECT_EQ(BigFixed::zero(0).limbCount(), 2);
    EXPECT_EQ(BigFixed(1.0, -3).fracLimbs(), 1);
    EXPECT_EQ(BigFixed(1.0, 1000).fracLimbs(), BigFixed::maxFracLimbs);

    const BigFixed negZero(-0.0, 1);
    EXPECT_FALSE(negZero.neg());
    EXPECT_TRUE(negZero.isZero());
    for (double bad : {kNaN, kInf, -kInf}) EXPECT_EQ(BigFixed(bad, 2), BigFixed::zero(2)) << bad;

    // 0.1 keeps its 53 bits exactly: the double's value, not one tenth.
    const BigFixed tenth(0.1, 1);
    EXPECT_EQ(tenth, limbs(false, {0x1999999999999A00ull, 0}));
    EXPECT_EQ(tenth.toDouble(), 0.1);
    EXPECT_EQ(BigFixed(-1.25, 1), limbs(true, {1ull << 62, 1}));
    // Bits below the last limb are dropped, never rounded.
    EXPECT_EQ(BigFixed(std::ldexp(1.0, -65) + std::ldexp(1.0, -64), 1), limbs(false, {1, 0}));
    EXPECT_EQ(BigFixed(std::ldexp(1.0, -70), 1), BigFixed::zero(1));
    // Beyond the integer limb: saturate with the sign.
    EXPECT_EQ(BigFixed(-1e20, 1), limbs(true, {~0ull, ~0ull}));
    EXPECT_EQ(BigFixed(std::ldexp(1.0, 63) * 1.5, 1), limbs(false, {0, 0xC000000000000000ull}));
}

TEST(BigFixedTest, ToDoubleAndScaled)
{
    EXPECT_EQ(BigFixed::zero(17).toDouble(), 0.0);
    EXPECT_EQ(limbs(false, {1, 0}).toDouble(), std::ldexp(1.0, -64));
    EXPECT_EQ(limbs(true, {0, 0, 1ull << 63, 3}).toDouble(), -3.5);
    EXPECT_NEAR(BigFixed::fromDecimal("0.333333333333333333333333333333", 17)->toDouble(), 1.0 / 3, 1e-16);

    struct Row {
        BigFixed v;
        double m;
        std::int64_t e;
    };
    const Row rows[] = {
        {BigFixed(3.0, 1), 0.75, 2}, {BigFixed(-0.375, 1), -0.75, -1},        {limbs(false, {1, 0}), 0.5, -63},
        {BigFixed::zero(1), 0, 0},   {limbs(false, {0, 1, 0, 0}), 0.5, -127},
    };
    for (const Row& r : rows) EXPECT_EQ(r.v.scaled(), (BigFixed::Scaled{r.m, r.e})) << r.v.decimal();
}

TEST(BigFixedTest, SignsOfResults)
{
    const BigFixed half(0.5, 1), mhalf(-0.5, 1);
    const BigFixed d = mhalf - mhalf;
    EXPECT_TRUE(d.isZero());
    EXPECT_FALSE(d.neg());
    EXPECT_EQ(mhalf * mhalf, BigFixed(0.25, 1));
    EXPECT_EQ(mhalf * half, BigFixed(-0.25, 1));
    const BigFixed tiny(-std::ldexp(1.0, -40), 1);
    const BigFixed p = tiny * BigFixed(std::ldexp(1.0, -40), 1);
    EXPECT_TRUE(p.isZero());
    EXPECT_FALSE(p.neg());
    EXPECT_FALSE((-BigFixed::zero(3)).neg());
    EXPECT_EQ(BigFixed(0.75, 1) + BigFixed(-1.0, 1), BigFixed(-0.25, 1));
    EXPECT_EQ(BigFixed(-0.75, 1) - BigFixed(-1.0, 1), BigFixed(0.25, 1));
    EXPECT_EQ(mhalf.magnitude(), half);
}

TEST(BigFixedTest, OperandsOfDifferentPrecisionMeetAtTheFinerOne)
{
    const BigFixed sum = BigFixed(0.5, 1) + BigFixed(0.25, 3);
    EXPECT_EQ(sum, BigFixed(0.75, 3));
    EXPECT_EQ(BigFixed(0.5, 2) * BigFixed(-0.5, 1), BigFixed(-0.25, 2));
}

TEST(BigFixedTest, IntegerOverflowWraps)
{
    const BigFixed big = limbs(false, {0, ~0ull});
    EXPECT_EQ(big + BigFixed(1.0, 1), BigFixed::zero(1));
    EXPECT_EQ(big.multiplied(2), limbs(false, {0, ~0ull - 1}));
    EXPECT_EQ(BigFixed(3.0, 1).shiftedLeft(63), limbs(false, {0, 1ull << 63}));
    EXPECT_EQ(BigFixed(3.0, 1).shiftedLeft(-5), BigFixed(3.0, 1));
    EXPECT_EQ(BigFixed(-3.0, 1).shiftedLeft(200), BigFixed::zero(1)); // all bits gone, sign cleared
}

TEST(BigFixedTest, DivisionByZeroLeavesTheValue)
{
    const BigFixed v(-2.5, 2);
    EXPECT_EQ(v.divided(0), v);
    EXPECT_EQ(v.divided(2), BigFixed(-1.25, 2));
}

TEST(BigFixedTest, EqualityIsStructural)
{
    const BigFixed a(0.5, 1), b(0.5, 2);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.withFracLimbs(2), b);
    EXPECT_EQ(b.withFracLimbs(1), a);
    EXPECT_NE(std::hash<BigFixed>{}(a), std::hash<BigFixed>{}(b));
    EXPECT_EQ(BigComplex(a, BigFixed::zero(1)).key(), "[9223372036854775808, 0]|[0, 0]");
    EXPECT_EQ(BigComplex(b, BigFixed::zero(2)).key(), "[0, 9223372036854775808, 0]|[0, 0, 0]");
    EXPECT_EQ(BigComplex(-1.5, 0.25, 1).key(), "-[9223372036854775808, 1]|[4611686018427387904, 0]");
    // Narrowing truncates the magnitude; a value truncated to zero loses its sign.
    EXPECT_EQ(limbs(true, {5, 0, 0}).withFracLimbs(1), BigFixed::zero(1));
}

TEST(BigFixedTest, DecimalWriter)
{
    struct Row {
        BigFixed v;
        const char* text;
    };
    const Row rows[] = {
        {BigFixed::zero(1), "0.0"},
        {BigFixed(0.5, 1), "0.5"},
        {BigFixed(-1.25, 1), "-1.25"},
        {limbs(false, {1, 0}), "0.000000000000000000054"},
        {limbs(false, {~0ull, 0}), "0.999999999999999999945"},
        {limbs(false, {0, 18446744073709551615ull}), "18446744073709551615.0"},
        {BigFixed(0.1, 1), "0.100000000000000005551"},
    };
    for (const Row& r : rows) EXPECT_EQ(r.v.decimal(), r.text);
    // 40 digits at two limbs: the last fraction step shows all of them.
    EXPECT_EQ(limbs(false, {1, 0, 0}).decimal(), "0.0000000000000000000000000000000000000029");
}

TEST(BigFixedTest, DecimalReader)
{
    struct Row {
        const char* text;
        int f;
        std::optional<BigFixed> expected;
    };
    const Row rows[] = {
        {"0.5", 1, limbs(false, {1ull << 63, 0})},
        {"-0", 1, BigFixed::zero(1)},
        {"-0.0000", 2, BigFixed::zero(2)},
        {" \t1.5\t ", 1, BigFixed(1.5, 1)},
        {"1.5\n", 1, std::nullopt},
        {"\n1.5", 1, std::nullopt},
        {"123456789012345678", 1, limbs(false, {0, 123456789012345678ull})},
        {"1234567890123456789", 1, std::nullopt},
        {"0.000000000000000000054", 1, limbs(false, {1, 0})},
        {"0.99999999999999999998", 1, BigFixed(1.0, 1)},
        {"0.999999999999999999972", 1, limbs(false, {~0ull, 0})},
        {"", 1, BigFixed::zero(1)},
        {"-", 1, BigFixed::zero(1)},
        {".", 1, BigFixed::zero(1)},
        {"5.", 1, BigFixed(5.0, 1)},
        {".25", 1, BigFixed(0.25, 1)},
        {"+2.75", 3, BigFixed(2.75, 3)},
        {"-2.75", 3, BigFixed(-2.75, 3)},
    };
    for (const Row& r : rows) EXPECT_EQ(BigFixed::fromDecimal(r.text, r.f), r.expected) << '"' << r.text << '"';
    for (const char* bad :
         {"1e5", "0x10", "1,5", "--1", "+-1", "-+1", "1.2.3", "abc", "1 .5", "½", "1.5e-3", "inf", "nan"})
        EXPECT_FALSE(BigFixed::fromDecimal(bad, 1)) << bad;
    // The truncating reader keeps the floor.
    EXPECT_EQ(BigFixed::fromDecimalTruncating("0.99999999999999999998", 1), limbs(false, {~0ull, 0}));
}

TEST(BigFixedTest, LargeIntegersAreWrittenButNotRead)
{
    const BigFixed v = limbs(false, {0, 1000000000000000000ull});
    EXPECT_EQ(v.decimal(), "1000000000000000000.0");
    EXPECT_FALSE(BigFixed::fromDecimal(v.decimal(), 1));
}

TEST(BigFixedTest, LimbArrayHelpers)
{
    const std::vector<Limb> a{~0ull, 1}, b{1, 1}, c{0, 2};
    EXPECT_EQ(BigFixed::cmpMag(a, b), 1);
    EXPECT_EQ(BigFixed::cmpMag(b, a), -1);
    EXPECT_EQ(BigFixed::cmpMag(a, a), 0);
    std::vector<Limb> out(2);
    BigFixed::addMag(a, b, out);
    EXPECT_EQ(out, (std::vector<Limb>{0, 3}));
    BigFixed::subMag(c, b, out);
    EXPECT_EQ(out, (std::vector<Limb>{~0ull, 0}));
    BigFixed::addMag(std::vector<Limb>{0, ~0ull}, std::vector<Limb>{0, 1}, out);
    EXPECT_EQ(out, (std::vector<Limb>{0, 0})); // carry out of the top discarded
}

TEST(BigComplexTest, OffsetDifferenceLerp)
{
    const BigComplex a(BigFixed(0.5, 1), BigFixed(-0.25, 3));
    EXPECT_EQ(a.fracLimbs(), 3);
    EXPECT_EQ(a.x(), BigFixed(0.5, 3));
    EXPECT_EQ(a.doubles(), (Complex{0.5, -0.25}));

    // A step far below double resolution survives offset and comes back exactly from difference.
    const double tiny = std::ldexp(1.0, -150);
    const BigComplex b = a.offset(tiny, -tiny);
    EXPECT_NE(b, a);
    EXPECT_EQ(b.difference(a), (Complex{tiny, -tiny}));
    EXPECT_EQ(a.difference(b.withFracLimbs(5)), (Complex{-tiny, tiny}));

    const BigComplex from(0, 0, 2), to(1, -2, 4);
    const BigComplex mid = from.lerp(to, 0.25);
    EXPECT_EQ(mid.fracLimbs(), 4);
    EXPECT_EQ(mid, BigComplex(0.25, -0.5, 4));
    EXPECT_EQ(from.lerp(to, 1), to);
}

TEST(BigComplexTest, ScaledDifferenceBelowDoubleRange)
{
    const BigComplex a(BigFixed(0.5, 17), BigFixed(-0.5, 17));
    std::vector<Limb> unit(18, 0);
    unit[2] = 1; // 2^(64·(2 − 17)) = 2^-960
    const BigComplex b(a.x(), a.y() - BigFixed::fromLimbs(false, unit));
    const ScaledComplex d = b.scaledDifference(a);
    EXPECT_EQ(d, ScaledComplex(0, -0.5, -959));
    EXPECT_EQ(d.doubles(), (Complex{0, -std::ldexp(1.0, -960)}));
    EXPECT_EQ(a.scaled(), ScaledComplex(0.5, -0.5, 0));
}

} // namespace
