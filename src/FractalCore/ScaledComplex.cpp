#include "FractalCore/ScaledComplex.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>

namespace veltrane {

namespace {

// ldexp takes an int; any exponent beyond ±100000 already overflows or underflows every double.
double scale(double m, std::int64_t e) noexcept
{
    return std::ldexp(m, static_cast<int>(std::clamp<std::int64_t>(e, -100000, 100000)));
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) noexcept
{
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN : INT64_MAX;
    return r;
}

std::string shortest(double v)
{
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, end);
    if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

} // namespace

ScaledComplex::ScaledComplex(double x, double y, std::int64_t e) noexcept
{
    // std::max would drop a NaN in y (NaN compares false), leaving a NaN mantissa in a value that
    // claims to be normalised; a NaN in either part makes the pair zero.
    if (std::isnan(x) || std::isnan(y)) return;
    const double m = std::max(std::abs(x), std::abs(y));
    if (m == 0 || !std::isfinite(m)) return; // zero
    int k = 0;
    std::frexp(m, &k);
    this->x = std::ldexp(x, -k);
    this->y = std::ldexp(y, -k);
    // Saturating: an exponent at the end of the range stays there instead of wrapping to the other end.
    this->e = saturatingAdd(e, k);
}

ScaledComplex::ScaledComplex(const BigFixed& bx, const BigFixed& by) noexcept
{
    const auto sx = bx.scaled();
    const auto sy = by.scaled();
    if (sx.mantissa == 0 && sy.mantissa == 0) return;
    std::int64_t common;
    if (sx.mantissa == 0)
        common = sy.exponent;
    else if (sy.mantissa == 0)
        common = sx.exponent;
    else
        common = std::max(sx.exponent, sy.exponent);
    *this = ScaledComplex(scale(sx.mantissa, sx.exponent - common), scale(sy.mantissa, sy.exponent - common), common);
}

Complex ScaledComplex::doubles() const noexcept { return {scale(x, e), scale(y, e)}; }

Complex ScaledComplex::mantissas(std::int64_t k) const noexcept
{
    const std::int64_t d = saturatingSub(e, k);
    return {scale(x, d), scale(y, d)};
}

ScaledComplex ScaledComplex::negated() const noexcept { return ScaledComplex(-x, -y, e); }

ScaledComplex ScaledComplex::scaledBy(std::int64_t k) const noexcept
{
    return ScaledComplex(x, y, saturatingAdd(e, k));
}

std::string ScaledComplex::description() const
{
    return "(" + shortest(x) + ", " + shortest(y) + ")·2^" + std::to_string(e);
}

} // namespace veltrane
