#include "FractalRender/FlightStops.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "FractalCore/BigFixed.h"
#include "FractalCore/ZoomRules.h"

namespace veltrane::FlightStops {

namespace {

constexpr int cellSide = 16;
constexpr int cellsPerSide = cellGridPixels / cellSide;

FractalRenderer::Diagnostic renderChecked(const DiagnosticRender& render, const RenderView& view, int side)
{
    FractalRenderer::Diagnostic grid = render(view, side, side);
    // The scoring indexes the lists as a side x side grid; a short list would be read past its end.
    size_t expected = size_t(side) * size_t(side);
    if (grid.escaped.size() != expected || grid.mu.size() != expected)
        throw std::runtime_error("diagnostic render returned " + std::to_string(grid.escaped.size()) +
                                 " pixels, expected " + std::to_string(expected));
    return grid;
}

bool usable(double zoom) { return std::isfinite(zoom) && zoom > 0; }

} // namespace

RenderView diagnosticView(FractalType type, Complex juliaC, const BigComplex& centre, double zoom, double iterationZoom,
                          int iterationCap)
{
    Complex c = centre.doubles();
    return RenderView(type, c.x, c.y, zoom, 0, ZoomRules::autoIterations(iterationZoom, iterationCap), juliaC,
                      Palette::obsidian, 0, centre);
}

Cell bestCell(const FractalRenderer::Diagnostic& grid, bool avoidNoise)
{
    Cell best;
    double bestScore = -1;
    for (int row = 0; row < cellsPerSide; ++row) {
        for (int column = 0; column < cellsPerSide; ++column) {
            int n = 0, pairs = 0;
            bool hasInside = false;
            double s1 = 0, s2 = 0, g = 0;
            for (int y = row * cellSide; y < (row + 1) * cellSide; ++y) {
                for (int x = column * cellSide; x < (column + 1) * cellSide; ++x) {
                    size_t i = size_t(y) * cellGridPixels + size_t(x);
                    if (!grid.escaped[i]) {
                        hasInside = true;
                        continue;
                    }
                    double v = std::log(grid.mu[i] + 1);
                    n += 1;
                    s1 += v;
                    s2 += v * v;
                    if (x < (column + 1) * cellSide - 1 && grid.escaped[i + 1]) {
                        g += std::abs(std::log(grid.mu[i + 1] + 1) - v);
                        pairs += 1;
                    }
                }
            }
            if (n <= 1) continue;
            double variance = s2 / n - (s1 / n) * (s1 / n);
            double weight = 1 - 0.08 * (std::abs(row - 1.5) + std::abs(column - 1.5));
            double score = weight * variance;
            if (hasInside) score *= 1.4;
            if (avoidNoise && pairs > 0) {
                // fmax: rounding can leave a flat cell's variance a hair below zero, where sqrt is NaN.
                double roughness = (g / pairs) / std::fmax(std::sqrt(variance), 1e-9);
                score /= 4 * roughness * roughness + 1;
            }
            if (score > bestScore) {
                bestScore = score;
                best = {row, column};
            }
        }
    }
    return best;
}

Complex cellOffset(Cell cell, double zoom)
{
    double span = 2.5 / zoom;
    return {span * ((cell.column + 0.5) * 0.25 - 0.5), span * (0.5 - (cell.row + 0.5) * 0.25)};
}

Complex centringOffset(const FractalRenderer::Diagnostic& grid, double zoom)
{
    constexpr int side = checkPixels;
    double largest = 0;
    bool any = false;
    for (double mu : grid.mu) {
        largest = any ? std::max(largest, mu) : mu;
        any = true;
    }
    double inside = std::log(largest + 2) + 1;
    auto value = [&](int x, int y) {
        size_t i = size_t(y) * side + size_t(x);
        return grid.escaped[i] ? std::log(grid.mu[i] + 1) : inside;
    };
    double s = 0, sx = 0, sy = 0;
    for (int y = 0; y < side - 1; ++y) {
        for (int x = 0; x < side - 1; ++x) {
            double here = value(x, y);
            double o = std::abs(value(x + 1, y) - here) + std::abs(value(x, y + 1) - here);
            s += o;
            sx += (x + 1) * o;
            sy += (y + 1) * o;
        }
    }
    if (!(s > 0)) return {0, 0};
    double span = 2.5 / zoom;
    return {span * std::clamp(sx / s / side - 0.5, -0.25, 0.25), span * std::clamp(0.5 - sy / s / side, -0.25, 0.25)};
}

bool acceptable(const FractalRenderer::Diagnostic& grid)
{
    size_t all = grid.escaped.size();
    size_t n = 0;
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < all; ++i) {
        if (!grid.escaped[i]) continue;
        double v = std::log(grid.mu[i] + 1);
        n += 1;
        s1 += v;
        s2 += v * v;
    }
    if (all == 0 || n < 2) return false;
    double insideShare = double(all - n) / double(all);
    double variance = s2 / double(n) - (s1 / double(n)) * (s1 / double(n));
    return insideShare <= 0.6 && variance > 0.003;
}

Descent descend(const DiagnosticRender& render, FractalType type, const BigComplex& from, double zoom, Complex juliaC,
                double to, int iterationCap, bool avoidNoise)
{
    // A zoom of 0 would never grow by fours, and an infinite target would never be reached.
    if (!usable(zoom) || !usable(to))
        throw std::invalid_argument("descent needs positive finite zooms (from " + std::to_string(zoom) + " to " +
                                    std::to_string(to) + ")");
    BigComplex centre = from;
    if (zoom >= to) return {centre, zoom, ZoomRules::autoIterations(zoom, iterationCap)};
    double z = zoom;
    for (;;) {
        double iterationZoom = std::min(4 * z, to);
        centre = centre.withFracLimbs(BigFixed::limbsForZoom(iterationZoom, 64));
        auto grid =
            renderChecked(render, diagnosticView(type, juliaC, centre, z, iterationZoom, iterationCap), cellGridPixels);
        Complex move = cellOffset(bestCell(grid, avoidNoise), z);
        centre = centre.offset(move.x, move.y);
        if (4 * z < to)
            z = 4 * z;
        else
            break;
    }
    return {centre, to, ZoomRules::autoIterations(to, iterationCap)};
}

std::optional<FlightStop> flightStop(const DiagnosticRender& render, FractalType type, Complex juliaC,
                                     const BigComplex& start, double zoom, double target) noexcept
{
    bool avoidNoise = foldsWithAbs(type);
    try {
        Descent descent = descend(render, type, start, zoom, juliaC, target, flightStopIterationCap, avoidNoise);
        double z = descent.zoom;
        BigComplex centre = descent.centre;
        auto view = [&] { return diagnosticView(type, juliaC, centre, z, z, flightStopIterationCap); };
        Complex move = centringOffset(renderChecked(render, view(), checkPixels), z);
        if (move.x != 0 || move.y != 0) centre = centre.offset(move.x, move.y);
        if (!acceptable(renderChecked(render, view(), checkPixels))) return std::nullopt;
        return FlightStop{centre, z};
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace veltrane::FlightStops

namespace veltrane {

namespace {

DiagnosticRender diagnosticsOf(FractalRenderer& renderer)
{
    return [&renderer](const RenderView& view, int width, int height) {
        return renderer.renderDiagnostic(view, width, height);
    };
}

} // namespace

Descent descend(FractalRenderer& renderer, FractalType type, const BigComplex& from, double zoom, Complex juliaC,
                double to, int iterationCap, bool avoidNoise)
{
    return FlightStops::descend(diagnosticsOf(renderer), type, from, zoom, juliaC, to, iterationCap, avoidNoise);
}

std::optional<FlightStop> flightStop(FractalRenderer& renderer, FractalType type, Complex juliaC,
                                     const BigComplex& start, double zoom, double target) noexcept
{
    return FlightStops::flightStop(diagnosticsOf(renderer), type, juliaC, start, zoom, target);
}

} // namespace veltrane
