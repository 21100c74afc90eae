#include "FractalRender/ReferenceOrbit.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "FractalCore/BigReference.h"
#include "FractalCore/ScaledComplex.h"

namespace veltrane {

namespace {

std::string shortest(double v)
{
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    return std::string(buf, end);
}

} // namespace

std::int32_t clampExponent(std::int64_t e) noexcept
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(e, INT32_MIN, INT32_MAX));
}

ReferencePoint makeReferencePoint(double x, double y) noexcept
{
    ReferencePoint p;
    p.hiX = static_cast<float>(x);
    p.hiY = static_cast<float>(y);
    p.loX = static_cast<float>(x - static_cast<double>(p.hiX));
    p.loY = static_cast<float>(y - static_cast<double>(p.hiY));
    return p;
}

ScaledReferencePoint makeScaledReferencePoint(FractalType type, const BigFixed& x, const BigFixed& y,
                                              const BigComplex& centre) noexcept
{
    ScaledReferencePoint p{};
    const ScaledComplex z(x, y);
    p.zx = static_cast<float>(z.x);
    p.zy = static_cast<float>(z.y);
    p.ze = clampExponent(z.e);
    const BigFixed::Scaled sx = x.scaled(), sy = y.scaled();
    p.xm = static_cast<float>(sx.mantissa);
    p.xe = sx.mantissa == 0 ? 0 : clampExponent(sx.exponent);
    p.ym = static_cast<float>(sy.mantissa);
    p.ye = sy.mantissa == 0 ? 0 : clampExponent(sy.exponent);
    if (type == FractalType::julia) {
        const ScaledComplex w(x - centre.x(), y - centre.y());
        p.wx = static_cast<float>(w.x);
        p.wy = static_cast<float>(w.y);
        p.we = clampExponent(w.e);
    } else {
        p.wx = p.zx;
        p.wy = p.zy;
        p.we = p.ze;
    }
    if (type == FractalType::celtic || type == FractalType::buffalo) {
        const BigFixed::Scaled r = BigReference::realSquare(x, y);
        p.rm = static_cast<float>(r.mantissa);
        p.re = r.mantissa == 0 ? 0 : clampExponent(r.exponent);
    }
    return p;
}

std::string orbitKey(FractalType type, const BigComplex& centre, Complex juliaC, std::int64_t length)
{
    std::string key(toText(type));
    key += '|';
    key += centre.key();
    key += '|';
    key += shortest(juliaC.x);
    key += '|';
    key += shortest(juliaC.y);
    key += '|';
    key += std::to_string(length);
    return key;
}

std::span<const ReferencePoint> ReferenceOrbit::points() const
{
    if (!buffer) return {};
    return {static_cast<const ReferencePoint*>(buffer->contents()), static_cast<std::size_t>(length)};
}

std::span<const ScaledReferencePoint> ReferenceOrbit::scaledPoints() const
{
    if (!scaledBuffer) return {};
    return {static_cast<const ScaledReferencePoint*>(scaledBuffer->contents()), static_cast<std::size_t>(length)};
}

} // namespace veltrane
