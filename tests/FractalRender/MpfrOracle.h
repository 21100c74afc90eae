#pragma once
// The independent oracle of the deep-view tests: every pixel of a diagnostic render iterated on its
// own in MPFR, from the pixel offset exactly as the kernel forms it in single precision, so that a
// comparison tests the kernel's iteration and not the rounding of its pixel grid.
//
// Each pixel is iterated at two precisions (a pixel whose count changes with more bits is
// unsettled: not even the oracle knows its count) and, optionally, again a hundred-thousandth of a
// pixel away (a pixel whose count then moves by more than one is position-sensitive: any renderer
// may land on either side). Points are shared out over all hardware threads.
#include <string>
#include <vector>

#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/FractalType.h"
#include "FractalRender/FractalRenderer.h"

namespace veltrane::oracle {

// The kernel's pixel grid at rotation 0: pixel (px, py) lies float(px + 0.5 - width / 2) *
// pixelScale right of the view centre and float(py + 0.5 - height / 2) * pixelScale below it, both
// products in single precision, in units of 2^-E on the rescaled path (2^E <= zoom < 2^(E+1)).
struct PixelGrid {
    PixelGrid(int width, int height, double zoom, bool rescaled);
    double dx(int px) const;
    double dy(int py) const;
    double pixelSize() const; // in plane units

    int width, height;
    int exponentE = 0;
    float pixelScale;
};

struct Point {
    bool escaped = false;
    int n = 0;     // iterations taken: the first n with |z_n|^2 > 65536, or the limit
    double mu = 0; // the kernel's smooth count, 0 inside
};

// The centre, formula and limit every point of one view shares.
struct Orbit {
    FractalType type;
    BigComplex centre;
    Complex juliaC;
    int maxIterations;
};

struct Offset {
    double dx, dy; // plane units from the centre
    long bits;
};

// z <- f(z) + c from centre + offset (julia: z starts there and c is juliaC), in MPFR at the given
// precision, until the bailout or the limit. All offsets at once, on every hardware thread.
std::vector<Point> iterate(const Orbit& orbit, const std::vector<Offset>& offsets);

struct Options {
    long extraBits = 96;       // precision log2(zoom) + extraBits
    long finerExtraBits = 256; // and the check at log2(zoom) + finerExtraBits
    bool positionCheck = true; // iterate each pixel again 1e-5 pixel away
    int tolerancePercent = 0;  // counts agree within max(1, n * tolerancePercent / 100)
};

struct Agreement {
    int pixels = 0;
    int agree = 0;     // over every pixel
    int unsettled = 0; // the two precisions disagree
    int sensitive = 0; // settled, but the count moves by more than 1 under the shift
    int stable = 0;    // neither: the pixels a renderer is held to
    int stableFlagsAgree = 0;
    int stableEscaped = 0; // stable pixels the oracle sees escape
    int stableCountsAgree = 0;
    int distinctCounts = 0; // among escaped pixels
    int lowestCount = 0, highestCount = 0;
    std::string firstMiss; // the first stable pixel that disagrees, or else the first pixel

    double flagShare() const;  // among stable pixels
    double countShare() const; // among stable escaped pixels
    std::string summary() const;
};

// Renders the view as a diagnostic and compares every pixel with the oracle. The view's rescaled
// path (and so the pixel grid) follows the renderer's rule: past 1e30, or when forced.
Agreement compare(FractalRenderer& renderer, const RenderView& view, int width, int height,
                  const Options& options = {});

} // namespace veltrane::oracle
