#include "FractalCore/BigReference.h"

#include <cmath>

namespace veltrane::BigReference {

namespace {

// The five formulas with fixed-point forms of their own; anything else takes the quadratic step.
void stepInPlace(FractalType type, BigFixed& x, BigFixed& y, const BigFixed& cx, const BigFixed& cy) noexcept {
    const BigFixed xx = x * x;
    const BigFixed yy = y * y;
    switch (type) {
    case FractalType::celtic: {
        const BigFixed xy = x * y;
        BigFixed nx = (xx - yy).magnitude() + cx;
        y = (xy + xy) + cy;
        x = std::move(nx);
        return;
    }
    case FractalType::buffalo: {
        const BigFixed xy = (x * y).magnitude();
        BigFixed nx = (xx - yy).magnitude() + cx;
        y = (xy + xy) + cy;
        x = std::move(nx);
        return;
    }
    case FractalType::perpendicular: {
        const BigFixed p = x * y.magnitude();
        BigFixed nx = (xx - yy) + cx;
        y = cy - (p + p);
        x = std::move(nx);
        return;
    }
    case FractalType::multibrot3: {
        BigFixed nx = x * (((xx - yy) - yy) - yy) + cx;
        y = y * (((xx + xx) + xx) - yy) + cy;
        x = std::move(nx);
        return;
    }
    case FractalType::multibrot4: {
        const BigFixed a = xx - yy;
        const BigFixed xy = x * y;
        const BigFixed c = xy + xy;
        x = (a * a - c * c) + cx;
        y = (a * c + a * c) + cy;
        return;
    }
    default: {
        const BigFixed xy = x * y;
        x = (xx - yy) + cx;
        y = (xy + xy) + cy;
        return;
    }
    }
}

} // namespace

void advance(FractalType type, BigFixed& x, BigFixed& y, const BigFixed& cx, const BigFixed& cy) noexcept {
    switch (type) {
    case FractalType::mandelbrot:
    case FractalType::julia:
    case FractalType::newton:
    case FractalType::burningship:
    case FractalType::tricorn: {
        const BigFixed xx = x * x;
        const BigFixed yy = y * y;
        const BigFixed xy = type == FractalType::burningship ? x.magnitude() * y.magnitude() : x * y;
        x = (xx - yy) + cx;
        y = type == FractalType::tricorn ? -(xy + xy) + cy : (xy + xy) + cy;
        return;
    }
    default:
        stepInPlace(type, x, y, cx, cy);
        return;
    }
}

BigComplex step(const BigComplex& z, FractalType type, const BigComplex& c) noexcept {
    const int f = std::max(z.fracLimbs(), c.fracLimbs());
    BigFixed x = z.x().withFracLimbs(f);
    BigFixed y = z.y().withFracLimbs(f);
    const BigComplex cc = c.withFracLimbs(f);
    stepInPlace(type, x, y, cc.x(), cc.y());
    return {x, y};
}

Result computeBig(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
                  const ShouldContinue& shouldContinue, const BigEmit& emit) {
    if (maxLength <= 0) return {};
    const int f = centre.fracLimbs();
    BigFixed x, y, cx, cy;
    if (type == FractalType::julia) {
        x = centre.x();
        y = centre.y();
        cx = BigFixed(juliaC.x, f);
        cy = BigFixed(juliaC.y, f);
    } else {
        x = BigFixed::zero(f);
        y = BigFixed::zero(f);
        cx = centre.x();
        cy = centre.y();
    }
    for (int i = 0; i < maxLength; ++i) {
        if ((i & 1023) == 1023 && shouldContinue && !shouldContinue()) return {i, false};
        const double dx = x.toDouble();
        const double dy = y.toDouble();
        if (emit) emit(i, x, y, dx, dy);
        if (dx * dx + dy * dy > 65536) return {i + 1, true};
        advance(type, x, y, cx, cy);
    }
    return {maxLength, false};
}

Result compute(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
               const ShouldContinue& shouldContinue, const Emit& emit) {
    return computeBig(type, centre, juliaC, maxLength, shouldContinue,
                      [&emit](int i, const BigFixed&, const BigFixed&, double dx, double dy) {
                          if (emit) emit(i, dx, dy);
                      });
}

BigFixed::Scaled realSquare(const BigFixed& x, const BigFixed& y) noexcept {
    const auto a = (x - y).scaled();
    const auto b = (x + y).scaled();
    const double p = a.mantissa * b.mantissa;
    if (p == 0) return {};
    int k = 0;
    const double m = std::frexp(std::abs(p), &k);
    return {p < 0 ? -m : m, k + a.exponent + b.exponent};
}

} // namespace veltrane::BigReference
