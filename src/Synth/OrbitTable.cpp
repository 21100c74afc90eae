#include "Synth/OrbitTable.h"

#include <algorithm>
#include <cmath>

namespace veltrane::OrbitTable {

std::pair<Table, Table> make(std::span<const double> points, long length)
{
    Table re{}, im{};
    const long available = (long)(points.size() / 2);
    const long count = std::min(length, available);
    const int n = (int)std::min<long>(count, used);
    if (count < 2) {
        re[1] = 1.0f;
        return {re, im};
    }
    auto scaled = [&](int k, double weight, double& x, double& y) {
        x = points[2 * k];
        y = points[2 * k + 1];
        if (!std::isfinite(x) || !std::isfinite(y)) x = y = 0.0; // a point that went to infinity adds nothing
        const double r = std::hypot(x, y);
        const double s = std::tanh(0.6 * r) / std::max(r, 1e-6) / weight;
        x *= s;
        y *= s;
    };
    double re1, im1;
    scaled(1, 1.0, re1, im1);
    double peak = std::max(std::fabs(re1), 1e-6);
    peak = std::max(peak, std::fabs(im1));
    std::array<double, harmonics> dre{}, dim{};
    for (int k = 2; k <= n - 1; ++k) {
        scaled(k, std::pow((double)k, 0.9), dre[k], dim[k]);
        peak = std::max({peak, std::fabs(dre[k]), std::fabs(dim[k])});
    }
    // The fundamental never falls below 0.6 of the strongest harmonic, so the pitch stays audible.
    const double floor1 = std::max(std::fabs(re1), 0.6 * peak);
    dre[1] = std::signbit(re1) && re1 != 0.0 ? -floor1 : floor1;
    dim[1] = im1;
    for (int k = 1; k < harmonics; ++k) {
        re[k] = (float)dre[k];
        im[k] = (float)dim[k];
    }
    normalise(re, im);
    return {re, im};
}

std::pair<Table, Table> make(const Orbits::Centre& orbit) { return make(orbit.points, orbit.length); }

void normalise(Table& re, Table& im)
{
    double largest = 0.0;
    for (int j = 0; j < 1024; ++j) {
        const double t = 2.0 * M_PI * j / 1024.0;
        const double c1 = std::cos(t), s1 = std::sin(t);
        double ck = c1, sk = s1, sum = 0.0;
        for (int k = 1; k < harmonics; ++k) {
            sum += re[k] * ck + im[k] * sk;
            const double cn = ck * c1 - sk * s1;
            sk = sk * c1 + ck * s1;
            ck = cn;
        }
        largest = std::max(largest, std::fabs(sum));
    }
    if (!(largest > 0.0) || !std::isfinite(largest)) return;
    const float g = (float)(1.0 / largest);
    for (int k = 0; k < harmonics; ++k) {
        re[k] *= g;
        im[k] *= g;
    }
}

} // namespace veltrane::OrbitTable
