#include "FractalCore/Orbits.h"

#include "FractalCore/BigReference.h"

#include <algorithm>
#include <cstdint>

namespace veltrane::Orbits {

namespace {

struct Start {
    double x, y, cx, cy;
};

Start startOf(FractalType type, double px, double py, Complex juliaC)
{
    if (type == FractalType::julia) return {px, py, juliaC.x, juliaC.y};
    return {0, 0, px, py};
}

} // namespace

Centre centre(FractalType type, double cx, double cy, Complex juliaC, int count)
{
    Centre out;
    if (count <= 0) return out;
    out.points.assign(2 * static_cast<std::size_t>(count), 0.0);
    if (type == FractalType::newton) {
        double x = cx, y = cy;
        for (int i = 0;; ++i) {
            out.points[2 * i] = x;
            out.points[2 * i + 1] = y;
            const double zx = x * x - y * y, zy = 2 * x * y;
            const double dx = 3 * zx, dy = 3 * zy; // f'(z) = 3z²
            const double den = dx * dx + dy * dy;
            if (den < 1e-14 || i + 1 == count) {
                out.length = i + 1;
                break;
            }
            const double fx = zx * x - zy * y - 1, fy = zx * y + zy * x; // f(z) = z³ − 1
            x -= (dx * fx + dy * fy) / den;
            y -= (dx * fy - dy * fx) / den;
        }
        out.points.resize(2 * static_cast<std::size_t>(out.length));
        return out;
    }
    auto [x, y, kx, ky] = startOf(type, cx, cy, juliaC);
    out.length = count;
    for (int i = 0; i < count; ++i) {
        out.points[2 * i] = x;
        out.points[2 * i + 1] = y;
        if (x * x + y * y > 64) {
            out.length = i + 1;
            out.escaped = true;
            out.points.resize(2 * static_cast<std::size_t>(out.length));
            break;
        }
        const Complex z = step(type, x, y, kx, ky);
        x = z.x;
        y = z.y;
    }
    return out;
}

Reference reference(FractalType type, double cx, double cy, Complex juliaC, int maxLength)
{
    Reference out;
    if (maxLength <= 0) return out;
    out.points.assign(2 * static_cast<std::size_t>(maxLength), 0.0);
    auto [x, y, kx, ky] = startOf(type, cx, cy, juliaC);
    out.length = maxLength;
    for (int i = 0; i < maxLength; ++i) {
        out.points[2 * i] = x;
        out.points[2 * i + 1] = y;
        if (x * x + y * y > bailoutSq) {
            out.length = i + 1;
            out.escaped = true;
            break;
        }
        const Complex z = step(type, x, y, kx, ky);
        x = z.x;
        y = z.y;
    }
    return out;
}

Centre tail(FractalType type, const BigComplex& exact, Complex juliaC, int maxIterations, int count,
            const std::function<bool()>& cancelled)
{
    if (count <= 0) return {}; // no ring to keep points in
    if (type == FractalType::newton) {
        const Complex d = exact.doubles();
        return centre(FractalType::newton, d.x, d.y, juliaC, count);
    }
    std::vector<double> ring(2 * static_cast<std::size_t>(count), 0.0);
    const std::int64_t iterations = std::max(count, maxIterations);
    std::int64_t stored = 0;
    bool escaped = false;
    const auto store = [&](double x, double y) {
        const auto slot = static_cast<std::size_t>(stored % count);
        ring[2 * slot] = x;
        ring[2 * slot + 1] = y;
        ++stored;
    };

    if (exact.x().fracLimbs() <= 1) {
        const Complex d = exact.doubles();
        auto [x, y, kx, ky] = startOf(type, d.x, d.y, juliaC);
        for (std::int64_t n = 0; n < iterations; ++n) {
            if (x * x + y * y > 64) {
                escaped = true;
                break;
            }
            store(x, y);
            const Complex z = step(type, x, y, kx, ky);
            x = z.x;
            y = z.y;
        }
    } else {
        const int f = exact.fracLimbs();
        BigFixed x, y, cx, cy;
        if (type == FractalType::julia) {
            x = exact.x();
            y = exact.y();
            cx = BigFixed(juliaC.x, f);
            cy = BigFixed(juliaC.y, f);
        } else {
            x = BigFixed::zero(f);
            y = BigFixed::zero(f);
            cx = exact.x();
            cy = exact.y();
        }
        for (std::int64_t k = 0; k < iterations; ++k) {
            if (k % 1024 == 1023 && cancelled && cancelled()) break;
            const double dx = x.toDouble(), dy = y.toDouble();
            if (dx * dx + dy * dy > 64) {
                escaped = true;
                break;
            }
            store(dx, dy);
            BigReference::advance(type, x, y, cx, cy);
        }
    }

    const std::int64_t n = std::min<std::int64_t>(count, stored);
    Centre out;
    out.points.resize(2 * static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const auto slot = static_cast<std::size_t>((stored - n + i) % count);
        out.points[2 * i] = ring[2 * slot];
        out.points[2 * i + 1] = ring[2 * slot + 1];
    }
    out.length = static_cast<int>(n);
    out.escaped = escaped;
    return out;
}

} // namespace veltrane::Orbits
