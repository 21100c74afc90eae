#pragma once
// Two double mantissas sharing one power-of-two exponent: deltas from a reference centre that fall
// below the range of a double (zooms past 1e30).
//
// Normalised: either all three fields are 0 (zero) or max(|x|, |y|) lies in [0.5, 1).
#include "FractalCore/BigFixed.h"
#include "FractalCore/Complex.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace veltrane {

struct ScaledComplex {
    double x = 0;
    double y = 0;
    std::int64_t e = 0;

    // Zero.
    constexpr ScaledComplex() noexcept = default;
    // The value (x·2^e, y·2^e), normalised; zero when the larger mantissa is 0 or infinite, or either is NaN.
    ScaledComplex(double x, double y, std::int64_t e) noexcept;
    // The pair of fixed-point numbers in scaled form, exponents brought to the larger one.
    ScaledComplex(const BigFixed& x, const BigFixed& y) noexcept;

    static constexpr ScaledComplex zero() noexcept { return {}; }

    // (x·2^e, y·2^e), correctly rounded: overflows to ±∞, underflows through subnormals to 0.
    Complex doubles() const noexcept;
    // (x·2^(e−k), y·2^(e−k)), rounded the same way.
    Complex mantissas(std::int64_t k) const noexcept;
    ScaledComplex negated() const noexcept;
    // The value times 2^k (exact; the exponent saturates at the ends of its range).
    ScaledComplex scaledBy(std::int64_t k) const noexcept;

    constexpr bool isZero() const noexcept { return x == 0 && y == 0; }
    // log2 |value|: −∞ for zero. Compares magnitudes across exponents.
    double log2Modulus() const noexcept
    {
        if (isZero()) return -std::numeric_limits<double>::infinity();
        return std::log2(std::hypot(x, y)) + static_cast<double>(e);
    }

    // The arithmetic is inline: the approximation table runs it once per orbit point and level.
    // The mantissas' product, normalised, at the sum of the exponents (each mantissa rounded once
    // like the double product, then exact scaling).
    friend ScaledComplex operator*(const ScaledComplex& p, const ScaledComplex& q) noexcept
    {
        return ScaledComplex(p.x * q.x - p.y * q.y, p.x * q.y + p.y * q.x, saturatingAdd(p.e, q.e));
    }
    // Both brought to the larger exponent (the smaller one's mantissas rounded by that shift), then added.
    friend ScaledComplex operator+(const ScaledComplex& p, const ScaledComplex& q) noexcept
    {
        if (p.isZero()) return q;
        if (q.isZero()) return p;
        const std::int64_t e = p.e > q.e ? p.e : q.e;
        // A shift of 0 or down; past -100000 every double is already 0 (and ldexp takes an int).
        auto at = [e](double m, std::int64_t from) {
            std::int64_t d = 0;
            if (__builtin_sub_overflow(from, e, &d) || d < -100000) d = -100000;
            return std::ldexp(m, static_cast<int>(d));
        };
        return ScaledComplex(at(p.x, p.e) + at(q.x, q.e), at(p.y, p.e) + at(q.y, q.e), e);
    }

    // a + b, held at the ends of the range instead of wrapping.
    static constexpr std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept
    {
        std::int64_t r = 0;
        if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
        return r;
    }

    // "(0.5, -0.25)·2^-100", mantissas in their shortest exact form.
    std::string description() const;

    friend constexpr bool operator==(const ScaledComplex&, const ScaledComplex&) = default;
};

} // namespace veltrane
