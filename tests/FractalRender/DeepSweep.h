#pragma once
// The oracle sweep of deep views: 32 x 18 diagnostic renders of the nine escape-time formulas at
// places of several kinds and zooms up to 1e300, every pixel held to the MPFR oracle (MpfrOracle.h).
// The places are found at run time by Newton's method from the seeds of one table (DeepSweep.cpp);
// the views are listed by the two files that instantiate the test: DeepSweepQuickTest.cpp (part of
// the FractalRender tests) and DeepOracleSweep/DeepOracleSweepTest.cpp (the full sweep, label
// DeepOracleSweep, left out of `make test`). DeepOracleSweep/PrecisionReplayTest.cpp renders some of
// the same views (prepare) to show why they fall short.
//
// A view passes when, among its stable pixels (settled in the oracle at two precisions, and not
// position-sensitive), at least 99.5 % agree on escape and at least 99 % of those the oracle sees
// escape agree within one count.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "FractalCore/FractalType.h"
#include "FractalRender/FractalRenderer.h"

namespace veltrane::sweep {

enum class Site {
    minibrot,       // centred on a nucleus whose copy of the set is at most half the view high
    besideMinibrot, // the same nucleus 0.2 view heights below the view centre
    misiurewicz,    // centred on a preperiodic point
    publicLocation, // mandelbrot: a published deep location whose orbit passes very close to 0
    dwellMinibrot,  // mandelbrot, multibrot3 and multibrot4: a nucleus found from a preperiodic point
                    // with an irrational repelling fixed point; its orbit stays there for hundreds of
                    // iterations before each return to the copy (multibrot3's minibrot site is one too)
};

enum class Kernel {
    precise, // the diagnostic kernel (double precision up to 1e30)
    live,    // the single-precision kernel of the live frames
    noTable, // the precise kernel without the approximation table, as every formula but mandelbrot
             // and julia runs past 1e30: no table run passes over the orbit's close approaches to 0
};

struct SweepView {
    FractalType type;
    Site site;
    double zoom;
    Kernel kernel = Kernel::precise;
};

constexpr int kSweepWidth = 32, kSweepHeight = 18;

// The view as the sweep renders it, at the place found for it.
struct PreparedView {
    RenderView render;
    std::string note; // how the place was found
};
PreparedView prepare(const SweepView& view);

// The renderer every view of one test program shares.
FractalRenderer& sweepRenderer();

std::string testName(const SweepView& view);
void PrintTo(const SweepView& view, std::ostream* out);

// The views of one site kind at several zooms.
std::vector<SweepView> views(FractalType type, Site site, std::initializer_list<double> zooms,
                             Kernel kernel = Kernel::precise);

class DeepSweep : public ::testing::TestWithParam<SweepView> {};

} // namespace veltrane::sweep
