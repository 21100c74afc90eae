#pragma once
// How much structure a view holds, from 0 (uniform) to 1 (busy): the spread of escape times at nine
// probe points around the centre.
#include "FractalCore/FractalType.h"

#include <optional>

namespace veltrane::Entropy {

// Probes within 0.3·2.5/zoom of the centre, each iterated at most min(maxIter, 128) times (julia and
// no type probe the Mandelbrot formula); 4 × the variance of count/limit, in [0, 1]. maxIter < 1
// leaves nothing to measure and gives 0.
double estimate(double cx, double cy, double zoom, int maxIter, std::optional<FractalType> type);

// Newton steps for z³ − 1 from (x, y) until the step is negligible, at most maxIter.
int newton(double x, double y, int maxIter);

} // namespace veltrane::Entropy
