#pragma once
// Two double mantissas sharing one power-of-two exponent: deltas from a reference centre that fall
// below the range of a double (zooms past 1e30).
//
// Normalised: either all three fields are 0 (zero) or max(|x|, |y|) lies in [0.5, 1).
#include "FractalCore/BigFixed.h"
#include "FractalCore/Complex.h"

#include <cstdint>
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
    double log2Modulus() const noexcept;

    // The mantissas' product, normalised, at the sum of the exponents (each mantissa rounded once
    // like the double product, then exact scaling).
    friend ScaledComplex operator*(const ScaledComplex& p, const ScaledComplex& q) noexcept;
    // Both brought to the larger exponent (the smaller one's mantissas rounded by that shift), then added.
    friend ScaledComplex operator+(const ScaledComplex& p, const ScaledComplex& q) noexcept;
    // "(0.5, -0.25)·2^-100", mantissas in their shortest exact form.
    std::string description() const;

    friend constexpr bool operator==(const ScaledComplex&, const ScaledComplex&) = default;
};

} // namespace veltrane
