#pragma once
// The exact centre of a view: two BigFixed of one precision (every constructor and operation brings
// the parts to the larger of the precisions involved).
#include "FractalCore/BigFixed.h"
#include "FractalCore/Complex.h"
#include "FractalCore/ScaledComplex.h"

#include <cstddef>
#include <string>

namespace veltrane {

class BigComplex {
public:
    // Zero at one fraction limb.
    BigComplex() noexcept = default;
    BigComplex(const BigFixed& x, const BigFixed& y) noexcept;
    BigComplex(double x, double y, int fracLimbs) noexcept;

    const BigFixed& x() const noexcept { return x_; }
    const BigFixed& y() const noexcept { return y_; }
    int fracLimbs() const noexcept { return x_.fracLimbs(); }

    Complex doubles() const noexcept;
    BigComplex withFracLimbs(int n) const noexcept;

    // x + dx and y + dy, each offset converted at this value's precision and added exactly.
    BigComplex offset(double dx, double dy) const noexcept;
    // self − other at the finer of the two precisions, then as doubles.
    Complex difference(const BigComplex& other) const noexcept;
    // self + (other − self)·k at the finer precision, k converted to that precision.
    BigComplex lerp(const BigComplex& other, double k) const noexcept;
    // Identifies the value exactly, precision included: "[l0, l1, …, int]|[…]", each part prefixed
    // with "-" when negative. The reference-orbit cache keys on it.
    std::string key() const;

    ScaledComplex scaled() const noexcept;
    // self − other exactly in fixed point at the finer precision, in scaled form.
    ScaledComplex scaledDifference(const BigComplex& other) const noexcept;

    friend bool operator==(const BigComplex&, const BigComplex&) noexcept = default;

private:
    BigFixed x_;
    BigFixed y_;
};

} // namespace veltrane

template <>
struct std::hash<veltrane::BigComplex> {
    std::size_t operator()(const veltrane::BigComplex& c) const noexcept
    {
        std::size_t h = c.x().hash();
        return h ^ (c.y().hash() + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
