// veltrane-demo: what the program can compute so far. A deep Mandelbrot reference orbit from an exact
// decimal centre, the scope's orbit tail there, and the complexity of a few views.
#include "FractalCore/BigReference.h"
#include "FractalCore/Entropy.h"
#include "FractalCore/Orbits.h"
#include "FractalCore/ZoomRules.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace veltrane;

namespace {

// The seahorse-valley point many deep-zoom videos dive into.
constexpr const char* kCentreX = "-0.743643887037158704752191506114774";
constexpr const char* kCentreY = "0.131825904205311970493132056385139";

void referenceSummary(double zoom)
{
    const int fracLimbs = BigFixed::limbsForZoom(zoom, 64);
    const BigComplex centre(*BigFixed::fromDecimal(kCentreX, fracLimbs), *BigFixed::fromDecimal(kCentreY, fracLimbs));
    const int maxLength = ZoomRules::autoIterations(zoom, 200000);
    std::vector<Complex> points;
    const auto start = std::chrono::steady_clock::now();
    const auto result = BigReference::compute(
        FractalType::mandelbrot, centre, {}, maxLength, [] { return true; },
        [&](int, double x, double y) {
            points.push_back({x, y});
        });
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("Reference orbit at zoom %.0e (%d fraction limbs, %d iterations allowed)\n", zoom, fracLimbs,
                maxLength);
    std::printf("  centre x = %s\n  centre y = %s\n", centre.x().decimal().substr(0, 40).c_str(),
                centre.y().decimal().substr(0, 40).c_str());
    std::printf("  length %d, escaped %s, %.1f ms\n", result.length, result.escaped ? "yes" : "no", ms);
    for (int i : {0, 1, 2, 3, 100, result.length - 1}) {
        if (i < 0 || i >= static_cast<int>(points.size())) continue;
        std::printf("  z[%d] = (%.17g, %.17g)\n", i, points[i].x, points[i].y);
    }
    const Orbits::Centre tail = Orbits::tail(FractalType::mandelbrot, centre, {}, maxLength, 4, [] { return false; });
    std::printf("  orbit tail (last %d points, escaped %s):", tail.length, tail.escaped ? "yes" : "no");
    for (int i = 0; i < tail.length; ++i) std::printf(" (%.6f, %.6f)", tail.points[2 * i], tail.points[2 * i + 1]);
    std::printf("\n");
}

} // namespace

int main()
{
    std::printf("Veltrane fractal mathematics demo\n\n");
    referenceSummary(1e30);
    referenceSummary(1e300);

    std::printf("\nView entropy (0 = uniform, 1 = busy), 128 iterations:\n");
    struct View {
        const char* name;
        std::optional<FractalType> type;
        double cx, cy, zoom;
    };
    const View views[] = {
        {"Mandelbrot home", FractalType::mandelbrot, -0.5, 0, 1},
        {"inside the main cardioid", FractalType::mandelbrot, -0.1, 0, 1e4},
        {"seahorse valley", FractalType::mandelbrot, -0.7436, 0.1318, 200},
        {"Burning Ship home", FractalType::burningship, -0.5, 0, 1},
        {"Newton home", FractalType::newton, -0.5, 0, 1},
        {"Multibrot 3 home", FractalType::multibrot3, 0, 0, 0.75},
    };
    for (const View& v : views) {
        std::printf("  %-26s %s at (%g, %g) zoom %g: %.4f\n", v.name, std::string(toText(*v.type)).c_str(), v.cx, v.cy,
                    v.zoom, Entropy::estimate(v.cx, v.cy, v.zoom, 128, v.type));
    }
    return 0;
}
