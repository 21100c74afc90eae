#include "FractalCore/Entropy.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace veltrane::Entropy {

double estimate(double cx, double cy, double zoom, int maxIter, std::optional<FractalType> type)
{
    if (maxIter < 1) return 0; // a zero cap would never stop the probe loop and divides by zero
    const double r = 2.5 / zoom;
    const std::array<std::array<double, 2>, 9> offsets{{
        {0, 0},
        {0.3 * r, 0},
        {-0.3 * r, 0},
        {0, 0.3 * r},
        {0, -0.3 * r},
        {0.2 * r, 0.2 * r},
        {-0.2 * r, -0.2 * r},
        {0.15 * r, -0.15 * r},
        {-0.15 * r, 0.15 * r},
    }};
    const int cap = std::min(maxIter, 128);
    // Julia views are probed with the Mandelbrot formula: the probe looks at the plane, not the constant.
    const FractalType formula = !type || *type == FractalType::julia ? FractalType::mandelbrot : *type;
    std::array<double, 9> values{};
    for (std::size_t p = 0; p < offsets.size(); ++p) {
        const double px = cx + offsets[p][0], py = cy + offsets[p][1];
        int n = 0;
        if (formula == FractalType::newton) {
            n = newton(px, py, cap);
        } else {
            double x = 0, y = 0;
            while (x * x + y * y <= 4) { // NaN fails the test: it counts as escaping
                ++n;
                const Complex z = step(formula, x, y, px, py);
                x = z.x;
                y = z.y;
                if (n == cap) break;
            }
        }
        values[p] = static_cast<double>(n) / cap;
    }
    double sum = 0;
    for (double v : values) sum += v;
    const double mean = sum / 9;
    double var = 0;
    for (double v : values) var += (v - mean) * (v - mean);
    var /= 9;
    const double result = std::min(4 * var, 1.0);
    if (std::isnan(result)) return 1;
    return result < 0 ? 0 : result;
}

int newton(double x, double y, int maxIter)
{
    if (maxIter < 1) return 0;
    int i = 0;
    for (;;) {
        const double zx = x * x - y * y, zy = 2 * x * y;
        const double dx = 3 * zx, dy = 3 * zy;
        const double den = dx * dx + dy * dy;
        if (den < 1e-12) return i;
        const double fx = zx * x - zy * y - 1, fy = zx * y + zy * x;
        const double sx = (dx * fx + dy * fy) / den, sy = (dx * fy - dy * fx) / den;
        x -= sx;
        y -= sy;
        if (sx * sx + sy * sy < 1e-8) return i;
        if (++i == maxIter) return i;
    }
}

} // namespace veltrane::Entropy
