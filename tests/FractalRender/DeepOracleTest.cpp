// Deep views against an independent oracle: escape counts of sampled pixels of diagnostic renders
// compared with each pixel iterated on its own in MPFR at the precision its zoom needs.
//
// Views are centred on a point of the boundary of the set of points that escape within 400
// iterations, found by bisection to 1e-310, so every zoom from 1e4 to 1e300 shows pixels of different
// counts on both sides of it.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "../../bench/FractalRender/DeepLocations.h"
#include "FractalCore/BigReference.h"
#include "FractalRender/FractalRenderer.h"
#include "MpfrOracle.h"

using namespace veltrane;

namespace {

constexpr int kBoundaryIterations = 150;
constexpr int kSide = 10;               // 10 x 10 samples: one miss in a hundred is allowed
const Complex kJuliaC{-0.1226, 0.7449}; // the rabbit: 0 lies in an attracting basin

FractalRenderer& renderer()
{
    static FractalRenderer instance(GpuDevice::systemDefault());
    return instance;
}

bool escapesWithin(FractalType type, const BigComplex& point, int iterations)
{
    auto result = BigReference::compute(
        type, point, kJuliaC, iterations + 1, [] { return true; }, [](int, double, double) {});
    return result.escaped;
}

// Bisection between a point that stays (the origin) and one that escapes, along a ray.
BigComplex boundaryPoint(FractalType type, double angle)
{
    const int limbs = BigFixed::limbsForZoom(1e300, 64);
    BigComplex inside(0.0, 0.0, limbs);
    BigComplex outside(3 * std::cos(angle), 3 * std::sin(angle), limbs);
    for (int i = 0; i < 1040; ++i) {
        BigComplex mid = inside.lerp(outside, 0.5);
        if (escapesWithin(type, mid, kBoundaryIterations))
            outside = mid;
        else
            inside = mid;
    }
    return inside;
}

RenderView deepView(FractalType type, const BigComplex& centre, double zoom, int maxIterations)
{
    Complex c = centre.doubles();
    return RenderView(type, c.x, c.y, zoom, 0, maxIterations, kJuliaC, Palette::obsidian, 0, centre);
}

oracle::Agreement compareWithOracle(FractalType type, const BigComplex& centre, double zoom, int maxIterations)
{
    // Every sample is held to the oracle here (no position check); counts within a percent.
    const oracle::Options options{
        .extraBits = 128, .finerExtraBits = 384, .positionCheck = false, .tolerancePercent = 1};
    return oracle::compare(renderer(), deepView(type, centre, zoom, maxIterations), kSide, kSide, options);
}

struct FormulaCase {
    FractalType type;
    double angle;
};

class DeepOracle : public ::testing::TestWithParam<FormulaCase> {};

const BigComplex& centreFor(const FormulaCase& c)
{
    static std::map<FractalType, BigComplex> cache;
    auto it = cache.find(c.type);
    if (it == cache.end()) it = cache.emplace(c.type, boundaryPoint(c.type, c.angle)).first;
    return it->second;
}

} // namespace

TEST_P(DeepOracle, SampledEscapeCountsAgreeWithMpfrAtEveryDepth)
{
    const FormulaCase c = GetParam();
    for (double zoom : {1e4, 1e12, 1e29, 1e31, 1e100, 1e300}) {
        SCOPED_TRACE("zoom " + std::to_string(std::lround(std::log10(zoom))));
        oracle::Agreement a = compareWithOracle(c.type, centreFor(c), zoom, kBoundaryIterations + 250);
        // Where orbits stay bounded but chaotic for hundreds of iterations (the folded formulas have
        // such regions), counts depend on digits far below any pixel: no renderer can be held to
        // an oracle there, and the view must be moved.
        EXPECT_EQ(a.unsettled, 0) << "the oracle itself does not settle at this view";
        EXPECT_GE(a.agree * 100, a.pixels * 99) << a.summary();
        // Past 1e12 the boundary of the 150-iteration set is smooth at pixel scale: counts differ by one.
        if (zoom <= 1e12) {
            EXPECT_GE(a.distinctCounts, 2) << "the view shows no structure";
        }
    }
}

// The rays of burningship and buffalo avoid their chaotic lower half (negative y), where orbits stay
// bounded for hundreds of iterations and the counts are noise at every pixel size, and reach points
// whose orbits cross the axes many times, so the folds' sign cases are exercised at depth.
INSTANTIATE_TEST_SUITE_P(
    Formulas, DeepOracle,
    ::testing::Values(FormulaCase{FractalType::mandelbrot, 2.0}, FormulaCase{FractalType::julia, 0.7},
                      FormulaCase{FractalType::burningship, 0.5}, FormulaCase{FractalType::tricorn, 2.2},
                      FormulaCase{FractalType::celtic, 1.0}, FormulaCase{FractalType::buffalo, 2.4},
                      FormulaCase{FractalType::perpendicular, 2.5}, FormulaCase{FractalType::multibrot3, 0.4},
                      FormulaCase{FractalType::multibrot4, -0.6}),
    [](const auto& info) { return std::string(toText(info.param.type)); });

// A published deep location beside a small copy of the set: the orbits pass close to 0 again and
// again, pixels rebase several times, and deltas cross the lower edge of float range both ways. The
// boundary views above show none of that. All of its pixels escape, after 5,000 to 56,000
// iterations. At 1e31 and 1e40 one sample in a hundred lies on an orbit so sensitive that single
// precision ends it a percent or two early or late (a double replay of the same pixel gives the
// oracle's count); a fault that loses deltas puts ten or more samples off.
TEST(DeepOracleAtPublishedLocation, SampledEscapeCountsAgreeWithMpfrBesideAMinibrot)
{
    const BigComplex centre = bench::centreAt(bench::kVeryDeep612, 1e250);
    for (double zoom : {1e31, 1e40, 1e100, 1e250}) {
        SCOPED_TRACE("zoom " + std::to_string(std::lround(std::log10(zoom))));
        oracle::Agreement a = compareWithOracle(FractalType::mandelbrot, centre, zoom, 60000);
        EXPECT_EQ(a.unsettled, 0) << "the oracle itself does not settle at this view";
        EXPECT_GE(a.agree * 100, a.pixels * 97) << a.summary();
        EXPECT_GE(a.distinctCounts, 10) << "the view shows no structure";
    }
}

namespace {

// Share of pixels whose escape flags agree and whose counts differ by at most one.
double sameCounts(const FractalRenderer::Diagnostic& a, const FractalRenderer::Diagnostic& b)
{
    int same = 0;
    for (std::size_t i = 0; i < a.mu.size(); ++i)
        same += a.escaped[i] == b.escaped[i] && (!a.escaped[i] || std::abs(a.mu[i] - b.mu[i]) <= 1.0);
    return double(same) / double(a.mu.size());
}

} // namespace

// The two deep paths and the table are different arithmetic for the same pictures.
// c = 0.25 + 2.997e-10 lies just outside the cusp of the main cardioid: every orbit crawls through
// the neck for about pi / sqrt(2.997e-10), some 181,470 iterations: past the whole numbers a
// half-float channel holds (2048 x 64 = 131,072), and floor(mu / 64) odd, so that it needs one bit
// more than a half float has. The table's runs carry the count past lavapipe's limit on loop trips.
TEST(DeepDiagnostics, CountsPastTheHalfFloatRangeComeBackWhole)
{
    const BigComplex centre(*BigFixed::fromDecimal("0.25000000029970", 2), BigFixed(0.0, 2));
    oracle::Agreement a = oracle::compare(renderer(), deepView(FractalType::mandelbrot, centre, 1e31, 200000), 4, 4);
    EXPECT_GT(a.lowestCount, 131072);
    EXPECT_EQ(a.stable, a.pixels);
    EXPECT_EQ(a.stableEscaped, a.stable);
    EXPECT_EQ(a.stableCountsAgree, a.stableEscaped) << a.summary();
}

TEST(DeepPaths, PerturbationAndForcedRescaledPathAgreeAndTableSkippingChangesNothing)
{
    const BigComplex& centre = centreFor({FractalType::mandelbrot, 2.0});
    FractalRenderer& r = renderer();
    RenderView view = deepView(FractalType::mandelbrot, centre, 1e20, kBoundaryIterations + 250);
    auto perturbed = r.renderDiagnostic(view, 48, 32);
    r.forceExtremePath = true;
    auto rescaled = r.renderDiagnostic(view, 48, 32);
    r.iterationSkipping = false;
    auto unskipped = r.renderDiagnostic(view, 48, 32);
    r.iterationSkipping = true;
    r.forceExtremePath = false;
    EXPECT_GE(sameCounts(perturbed, rescaled), 0.99);
    EXPECT_GE(sameCounts(rescaled, unskipped), 0.99);
    EXPECT_GT(std::count(perturbed.escaped.begin(), perturbed.escaped.end(), true), 100);
}

// A reference that escapes early (a stand-in centre one view unit away, just outside the set)
// serves a view of structure: pixels rebase when it runs out. Their deltas are then as large as the
// orbit itself, so single precision scatters a few chaotic pixels, but no region goes flat.
TEST(DeepPaths, EarlyEscapingStandInReferenceLeavesNoFlatBlobs)
{
    const BigComplex centre(*BigFixed::fromDecimal("-0.743643887037158704752191506114774", 2),
                            *BigFixed::fromDecimal("0.131825904205311970493132056385139", 2));
    FractalRenderer& r = renderer();
    const int w = 48, h = 32;
    RenderView view = deepView(FractalType::mandelbrot, centre, 1e8, 3000);
    auto exact = r.renderDiagnostic(view, w, h);
    auto substitute = r.renderDiagnostic(view, w, h, centre.offset(1e-8, 0));
    ASSERT_TRUE(r.reference());
    EXPECT_TRUE(r.reference()->escaped);
    EXPECT_LT(r.reference()->length, 3002);
    EXPECT_GE(sameCounts(exact, substitute), 0.85);
    // A flat blob: an 8 x 8 block that shows several counts in the exact picture and one in the other.
    auto distinct = [&](const FractalRenderer::Diagnostic& d, int bx, int by) {
        std::vector<int> counts;
        for (int y = by; y < by + 8; ++y)
            for (int x = bx; x < bx + 8; ++x) {
                const std::size_t i = std::size_t(y * w + x);
                const int c = d.escaped[i] ? int(d.mu[i]) : -1;
                if (std::find(counts.begin(), counts.end(), c) == counts.end()) counts.push_back(c);
            }
        return counts.size();
    };
    for (int by = 0; by < h; by += 8)
        for (int bx = 0; bx < w; bx += 8) {
            if (distinct(exact, bx, by) >= 4) {
                EXPECT_GT(distinct(substitute, bx, by), 1u) << bx << "," << by;
            }
        }
}
