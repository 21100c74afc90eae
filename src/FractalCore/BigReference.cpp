#include "FractalCore/BigReference.h"

#include "FractalCore/BigFixedKernels.h"

#include <array>
#include <cmath>
#include <span>
#include <utility>

namespace veltrane::BigReference {

namespace {

// The five formulas with fixed-point forms of their own; anything else takes the quadratic step.
void stepInPlace(FractalType type, BigFixed& x, BigFixed& y, const BigFixed& cx, const BigFixed& cy) noexcept
{
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

// The inner loop of the quadratic family (mandelbrot, julia, newton, burningship, tricorn) for a limb
// count known at compile time: the same operations in the same order as `advance`, on plain limb
// arrays, so the orbit is identical limb for limb and no BigFixed is built per iteration.
template <int N>
struct FixedValue {
    std::array<detail::Limb, N> m;
    bool neg;

    explicit FixedValue(const BigFixed& v) : neg(v.neg()) { std::copy_n(v.mag().begin(), N, m.begin()); }
    BigFixed big() const { return BigFixed::fromLimbs(neg, std::span<const detail::Limb>(m.data(), N)); }

    double toDouble() const noexcept { return detail::limbsToDouble(m.data(), N, neg); }
};

template <int N, class OnPoint>
Result quadraticOrbit(FractalType type, const BigFixed& x0, const BigFixed& y0, const BigFixed& cx0,
                      const BigFixed& cy0, int maxLength, const ShouldContinue& shouldContinue, OnPoint&& onPoint)
{
    using namespace detail;
    FixedValue<N> x(x0), y(y0);
    const FixedValue<N> cx(cx0), cy(cy0);
    const bool magnitudes = type == FractalType::burningship;
    const bool negateImaginary = type == FractalType::tricorn;
    Limb xx[N], yy[N], xy[N], t[N];
    Limb wx[N + 3], wy[N + 3]; // windows of x² and y² (see squareWindow)
    for (int i = 0; i < maxLength; ++i) {
        if ((i & 1023) == 1023 && shouldContinue && !shouldContinue()) return {i, false};
        const double dx = x.toDouble();
        const double dy = y.toDouble();
        onPoint(i, x, y, dx, dy);
        if (dx * dx + dy * dy > 65536) return {i + 1, true};

        const Limb* sx = xx; // x², y² and x·y, truncated
        const Limb* sy = yy;
        if constexpr (N >= 4) {
            // x·y from (|x| + |y|)² and the windows of x² and y²: a third square costs less than a
            // product. The kept limbs of x² and y² are read in place from their windows.
            squareWindow<N>(x.m.data(), wx);
            squareWindow<N>(y.m.data(), wy);
            sx = wx + 2;
            sy = wy + 2;
            if (truncationUncertain<N>(wx[1])) [[unlikely]] {
                squareFull<N>(x.m.data(), xx);
                sx = xx;
            }
            if (truncationUncertain<N>(wy[1])) [[unlikely]] {
                squareFull<N>(y.m.data(), yy);
                sy = yy;
            }
            if (!productFromSquares<N>(x.m.data(), y.m.data(), wx, wy, xy)) [[unlikely]]
                multiplyTruncated<N>(x.m.data(), y.m.data(), xy);
        } else {
            squareTruncated<N>(x.m.data(), xx);
            squareTruncated<N>(y.m.data(), yy);
            multiplyTruncated<N>(x.m.data(), y.m.data(), xy);
        }
        const bool xyNeg = !magnitudes && x.neg != y.neg && !isZero<N>(xy);
        bool tn;
        addSigned<N>(sx, false, sy, true, t, tn);                    // xx − yy
        addSigned<N>(t, tn, cx.m.data(), cx.neg, x.m.data(), x.neg); // + cx
        addSigned<N>(xy, xyNeg, xy, xyNeg, t, tn);                   // xy + xy
        if (negateImaginary) tn = !tn && !isZero<N>(t);
        addSigned<N>(t, tn, cy.m.data(), cy.neg, y.m.data(), y.neg); // + cy
    }
    return {maxLength, false};
}

bool isQuadratic(FractalType type) noexcept
{
    return type == FractalType::mandelbrot || type == FractalType::julia || type == FractalType::newton ||
           type == FractalType::burningship || type == FractalType::tricorn;
}

// Runs the orbit on the unrolled loop when the limb count allows, otherwise on BigFixed values.
template <class OnFixed, class OnBig>
Result runOrbit(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
                const ShouldContinue& shouldContinue, OnFixed&& onFixed, OnBig&& onBig)
{
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
    const int n = f + 1;
    if (isQuadratic(type) && n <= detail::maxUnrolledLimbs) {
        // Picks the instantiation for this limb count (2 … maxUnrolledLimbs).
        return [&]<int... I>(std::integer_sequence<int, I...>)
        {
            Result result;
            const bool ran =
                ((n == I + 2 &&
                  (result = quadraticOrbit<I + 2>(type, x, y, cx, cy, maxLength, shouldContinue, onFixed), true)) ||
                 ...);
            (void)ran;
            return result;
        }
        (std::make_integer_sequence<int, detail::maxUnrolledLimbs - 1>{});
    }
    for (int i = 0; i < maxLength; ++i) {
        if ((i & 1023) == 1023 && shouldContinue && !shouldContinue()) return {i, false};
        const double dx = x.toDouble();
        const double dy = y.toDouble();
        onBig(i, x, y, dx, dy);
        if (dx * dx + dy * dy > 65536) return {i + 1, true};
        advance(type, x, y, cx, cy);
    }
    return {maxLength, false};
}

} // namespace

void advance(FractalType type, BigFixed& x, BigFixed& y, const BigFixed& cx, const BigFixed& cy) noexcept
{
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
    default: stepInPlace(type, x, y, cx, cy); return;
    }
}

BigComplex step(const BigComplex& z, FractalType type, const BigComplex& c) noexcept
{
    const int f = std::max(z.fracLimbs(), c.fracLimbs());
    BigFixed x = z.x().withFracLimbs(f);
    BigFixed y = z.y().withFracLimbs(f);
    const BigComplex cc = c.withFracLimbs(f);
    stepInPlace(type, x, y, cc.x(), cc.y());
    return {x, y};
}

Result computeBig(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
                  const ShouldContinue& shouldContinue, const BigEmit& emit)
{
    return runOrbit(
        type, centre, juliaC, maxLength, shouldContinue,
        [&emit](int i, const auto& x, const auto& y, double dx, double dy) {
            if (emit) emit(i, x.big(), y.big(), dx, dy);
        },
        [&emit](int i, const BigFixed& x, const BigFixed& y, double dx, double dy) {
            if (emit) emit(i, x, y, dx, dy);
        });
}

Result compute(FractalType type, const BigComplex& centre, Complex juliaC, int maxLength,
               const ShouldContinue& shouldContinue, const Emit& emit)
{
    const auto onPoint = [&emit](int i, const auto&, const auto&, double dx, double dy) {
        if (emit) emit(i, dx, dy);
    };
    return runOrbit(type, centre, juliaC, maxLength, shouldContinue, onPoint, onPoint);
}

BigFixed::Scaled realSquare(const BigFixed& x, const BigFixed& y) noexcept
{
    const auto a = (x - y).scaled();
    const auto b = (x + y).scaled();
    const double p = a.mantissa * b.mantissa;
    if (p == 0) return {};
    int k = 0;
    const double m = std::frexp(std::abs(p), &k);
    return {p < 0 ? -m : m, k + a.exponent + b.exponent};
}

} // namespace veltrane::BigReference
