#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "FractalCore/ScaledComplex.h"

using namespace veltrane;

namespace {

// Scaling by a power of two commutes with rounding in the normal range, so plain double arithmetic on
// moderate values is an exact oracle; the same operands moved 2^shift away must give the same
// mantissas at shifted exponents, far beyond the range of a double.
struct Pair {
    Complex p, q;
};

const Pair kPairs[] = {
    {{0.75, -0.3}, {1.25, 2.5}},         {{-3.0e-5, 7.0e-6}, {4.0e3, -1.0e3}}, {{1.0, 0.0}, {0.0, 1.0}},
    {{0.1, 0.2}, {-0.1, -0.2}}, // cancels to zero in the sum
    {{123.456, -0.001}, {1e-12, 3e-13}}, {{0.0, 0.0}, {5.5, -2.25}},
};

ScaledComplex at(Complex c, std::int64_t shift) { return ScaledComplex(c.x, c.y, shift); }

} // namespace

TEST(ScaledComplexArithmetic, MultiplyAndAddAgreeWithDoublesAtEveryExponent)
{
    for (const Pair& c : kPairs) {
        const Complex product{c.p.x * c.q.x - c.p.y * c.q.y, c.p.x * c.q.y + c.p.y * c.q.x};
        const Complex sum{c.p.x + c.q.x, c.p.y + c.q.y};
        EXPECT_EQ((at(c.p, 0) * at(c.q, 0)).doubles(), product);
        EXPECT_EQ((at(c.p, 0) + at(c.q, 0)).doubles(), sum);
        EXPECT_EQ((at(c.q, 0) + at(c.p, 0)).doubles(), sum);
        for (const std::int64_t shift : {std::int64_t{-5000}, std::int64_t{40000}}) {
            EXPECT_EQ(at(c.p, shift) * at(c.q, shift), ScaledComplex(product.x, product.y, 2 * shift));
            EXPECT_EQ(at(c.p, shift) + at(c.q, shift), ScaledComplex(sum.x, sum.y, shift));
        }
    }
}

TEST(ScaledComplexArithmetic, ScaleAndCompareMagnitudes)
{
    const ScaledComplex v(3.0, -4.0, -3000);
    EXPECT_EQ(v.scaledBy(3000).doubles(), (Complex{3.0, -4.0}));
    EXPECT_DOUBLE_EQ(v.log2Modulus(), std::log2(5.0) - 3000);
    EXPECT_LT(v.log2Modulus(), v.scaledBy(1).log2Modulus());
    EXPECT_EQ(ScaledComplex::zero().log2Modulus(), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(ScaledComplex::zero().isZero());
    EXPECT_FALSE(v.isZero());
    EXPECT_TRUE((v + v.negated()).isZero());
    EXPECT_EQ(v + ScaledComplex::zero(), v);
    EXPECT_TRUE((v * ScaledComplex::zero()).isZero());

    // An operand far below the other vanishes from the sum instead of wrapping its exponent.
    const ScaledComplex tiny(1.0, 1.0, INT64_MIN / 2);
    EXPECT_EQ(v + tiny, v);
    // Exponents saturate at the ends of their range.
    const ScaledComplex huge(1.0, 0.0, INT64_MAX - 10);
    EXPECT_EQ((huge * huge).e, INT64_MAX - 1); // saturated, then the mantissas' 0.25 normalised
    EXPECT_EQ(huge.scaledBy(100).e, INT64_MAX);
    EXPECT_EQ(ScaledComplex(1.0, 0.0, INT64_MIN + 10).scaledBy(-100).e, INT64_MIN);
}
