// A melody flight over every built-in tune, its destinations found by looking at the Mandelbrot set
// through 160 x 100 diagnostic renders on lavapipe.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>

#include "FractalCore/ZoomRules.h"
#include "FractalRender/FlightStops.h"
#include "FractalRender/FractalRenderer.h"
#include "Movement/MelodyFlight.h"
#include "Music/Classics.h"
#include "Music/Melodies.h"
#include "Platform/Resources/Resources.h"

namespace veltrane {
namespace {

using Destination = MelodyFlight::Destination;

// The most varied of the render's 10 x 10 cells (variance of ln(mu + 1) over its escaped pixels, at
// least a quarter of them escaped), its middle shown at the target zoom; nothing when no cell varies.
std::optional<Destination> lookAround(FractalRenderer& renderer, const BigComplex& centre, double zoom, double target)
{
    constexpr int width = 160, height = 100, cellWidth = 16, cellHeight = 10;
    FractalRenderer::Diagnostic grid;
    try {
        grid = renderer.renderDiagnostic(
            FlightStops::diagnosticView(FractalType::mandelbrot, {}, centre, zoom, zoom, ZoomRules::webMaxIterations),
            width, height);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    double best = 1e-6;
    std::optional<std::pair<int, int>> cell;
    for (int row = 0; row < height / cellHeight; ++row)
        for (int column = 0; column < width / cellWidth; ++column) {
            double n = 0, s1 = 0, s2 = 0;
            for (int y = row * cellHeight; y < (row + 1) * cellHeight; ++y)
                for (int x = column * cellWidth; x < (column + 1) * cellWidth; ++x) {
                    const std::size_t i = std::size_t(y) * width + x;
                    if (!grid.escaped[i]) continue;
                    const double v = std::log(grid.mu[i] + 1);
                    n += 1, s1 += v, s2 += v * v;
                }
            if (n < cellWidth * cellHeight / 4) continue;
            const double variance = s2 / n - (s1 / n) * (s1 / n);
            if (variance > best) best = variance, cell = {row, column};
        }
    if (!cell) return std::nullopt;
    const double pixel = 2.5 / (zoom * height);
    const double dx = ((cell->second + 0.5) * cellWidth - width / 2.0) * pixel;
    const double dy = (height / 2.0 - (cell->first + 0.5) * cellHeight) * pixel;
    const int limbs = std::max(centre.fracLimbs(), BigFixed::limbsForZoom(target, 64));
    return Destination{centre.withFracLimbs(limbs).offset(dx, dy), target};
}

TEST(FlightOverTunes, EveryBuiltInTuneFliesWithARealFinder)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    std::vector<Melody> tunes = Melodies::all();
    tunes.insert(tunes.end(), Classics::all().begin(), Classics::all().end());
    ASSERT_EQ(tunes.size(), 51u);

    auto device = GpuDevice::create({.preferCpu = true});
    FractalRenderer renderer(device);
    const MelodyFlight::Pose home{BigComplex(-0.5, 0, 1), 1, 0};
    lookAround(renderer, home.centre, 1, 8); // the first diagnostic builds its pipelines: not a plan's cost
    double slowest = 0;
    std::string slowestId;
    int finds = 0;
    for (std::size_t t = 0; t < tunes.size(); ++t) {
        const Melody& m = tunes[t];
        SCOPED_TRACE(m.id());
        const auto began = std::chrono::steady_clock::now();
        const MelodyFlight f(m, m.bpm(), home, 0, 2 * m.bpm() / 60, std::uint32_t(1000 + t), 1e10,
                             [&](const BigComplex& c, double z, double target) {
                                 ++finds;
                                 return lookAround(renderer, c, z, target);
                             });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (seconds > slowest) slowest = seconds, slowestId = m.id();
        ASSERT_FALSE(f.shots().empty());
        for (double x = 0; x <= f.endBeat() + 1; x += 0.125) {
            const MelodyFlight::Pose p = f.pose(x);
            const Complex c = p.centre.doubles();
            ASSERT_TRUE(std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(p.zoom) && p.zoom > 0 &&
                        std::isfinite(p.rotation))
                << x;
        }
    }
    std::cout << "slowest plan: " << slowestId << " " << slowest * 1000 << " ms; " << finds << " finds in all\n";
}

} // namespace
} // namespace veltrane
