#pragma once
// Finding destinations for camera flights by looking at the fractal: a descent that keeps the most
// varied quarter of the view while zooming in by fours, and a flight stop that centres the final view
// on its detail and refuses views that are mostly inside the set or flat.
//
// Both look only through small diagnostic renders. The searches take that render as a function so
// they run the same on the GPU and on synthetic grids; the FractalRenderer overloads bind it to
// FractalRenderer::renderDiagnostic. Each call blocks its thread until every render has finished, and
// a renderer used for flight stops is used for nothing else at the same time.

#include <functional>
#include <optional>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalRender/FractalRenderer.h"
#include "FractalRender/RenderTypes.h"

namespace veltrane {

// Escape data of a view at width x height pixels, rows from the top, each row from the left.
using DiagnosticRender = std::function<FractalRenderer::Diagnostic(const RenderView& view, int width, int height)>;

struct FlightStop {
    BigComplex centre;
    double zoom = 1;
};

struct Descent {
    BigComplex centre;
    double zoom = 1;
    int maxIterations = 0;
};

namespace FlightStops {

inline constexpr int flightStopIterationCap = 200000;
inline constexpr int cellGridPixels = 64; // 4 x 4 cells of 16 x 16
inline constexpr int checkPixels = 48;    // centring and acceptance renders

struct Cell {
    int row = 1;
    int column = 1;
    friend bool operator==(const Cell&, const Cell&) = default;
};

// The view the searches render: exact centre `centre` drawn at `zoom` with the iterations of
// `iterationZoom`, rotation 0, the first palette.
RenderView diagnosticView(FractalType type, Complex juliaC, const BigComplex& centre, double zoom, double iterationZoom,
                          int iterationCap);

// The most varied 16 x 16 cell of a 64 x 64 diagnostic (the first of equal scores; cell (1, 1) when no
// cell has two escaped pixels). With noise avoidance a cell's score is divided by its roughness, so
// pixel-to-pixel noise loses to smooth bands of the same variance.
Cell bestCell(const FractalRenderer::Diagnostic& grid, bool avoidNoise);

// The offset (dx, dy) in the plane that takes a centre to the middle of a cell at zoom z.
Complex cellOffset(Cell cell, double zoom);

// The move towards the detail-weighted middle of a 48 x 48 diagnostic, at most a quarter of the view
// each way; (0, 0) for a render without any change between neighbouring pixels.
Complex centringOffset(const FractalRenderer::Diagnostic& grid, double zoom);

// True when at most 60 percent of the pixels are inside, at least two escaped and their escape
// values vary by more than 0.003 (variance of ln(mu + 1)).
bool acceptable(const FractalRenderer::Diagnostic& grid);

// Zooms from `zoom` towards `to` by fours, one 64 x 64 render per step, moving to the best cell each
// time; the final zoom is `to` (or `zoom` itself when it is already there). Throws what the render
// throws, and std::invalid_argument for a zoom or target that is not a positive finite number, which
// could never reach its end.
Descent descend(const DiagnosticRender& render, FractalType type, const BigComplex& from, double zoom, Complex juliaC,
                double to, int iterationCap, bool avoidNoise);

// A descent with cap 200000 and noise avoidance for the four folding types, then centring and the
// acceptance check. Nothing when the stop is refused or any render fails; never throws.
std::optional<FlightStop> flightStop(const DiagnosticRender& render, FractalType type, Complex juliaC,
                                     const BigComplex& start, double zoom, double target) noexcept;

} // namespace FlightStops

// The same searches on a renderer's diagnostic renders.
Descent descend(FractalRenderer& renderer, FractalType type, const BigComplex& from, double zoom, Complex juliaC,
                double to, int iterationCap, bool avoidNoise);
std::optional<FlightStop> flightStop(FractalRenderer& renderer, FractalType type, Complex juliaC,
                                     const BigComplex& start, double zoom, double target) noexcept;

} // namespace veltrane
