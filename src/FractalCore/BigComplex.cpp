#include "FractalCore/BigComplex.h"

#include <algorithm>

namespace veltrane {

BigComplex::BigComplex(const BigFixed& x, const BigFixed& y) noexcept
{
    const int f = std::max(x.fracLimbs(), y.fracLimbs());
    x_ = x.withFracLimbs(f);
    y_ = y.withFracLimbs(f);
}

BigComplex::BigComplex(double x, double y, int fracLimbs) noexcept : x_(x, fracLimbs), y_(y, fracLimbs) {}

Complex BigComplex::doubles() const noexcept { return {x_.toDouble(), y_.toDouble()}; }

BigComplex BigComplex::withFracLimbs(int n) const noexcept { return {x_.withFracLimbs(n), y_.withFracLimbs(n)}; }

BigComplex BigComplex::offset(double dx, double dy) const noexcept
{
    const int f = fracLimbs();
    return {x_ + BigFixed(dx, f), y_ + BigFixed(dy, f)};
}

Complex BigComplex::difference(const BigComplex& other) const noexcept
{
    // The operators widen the coarser operand, so the subtraction is exact at the finer precision.
    return {(x_ - other.x_).toDouble(), (y_ - other.y_).toDouble()};
}

BigComplex BigComplex::lerp(const BigComplex& other, double k) const noexcept
{
    const int f = std::max(fracLimbs(), other.fracLimbs());
    const BigComplex a = withFracLimbs(f);
    const BigComplex b = other.withFracLimbs(f);
    const BigFixed kk(k, f);
    return {a.x_ + (b.x_ - a.x_) * kk, a.y_ + (b.y_ - a.y_) * kk};
}

namespace {

std::string partKey(const BigFixed& v)
{
    std::string s = v.neg() ? "-[" : "[";
    bool first = true;
    for (auto limb : v.mag()) {
        if (!first) s += ", ";
        s += std::to_string(limb);
        first = false;
    }
    return s + "]";
}

} // namespace

std::string BigComplex::key() const { return partKey(x_) + "|" + partKey(y_); }

ScaledComplex BigComplex::scaled() const noexcept { return ScaledComplex(x_, y_); }

ScaledComplex BigComplex::scaledDifference(const BigComplex& other) const noexcept
{
    return ScaledComplex(x_ - other.x_, y_ - other.y_);
}

} // namespace veltrane
