// The descent and flight-stop searches on synthetic escape grids (the diagnostic render injected).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "FractalCore/BigFixed.h"
#include "FractalCore/ZoomRules.h"
#include "FractalRender/FlightStops.h"

using namespace veltrane;
using FlightStops::Cell;

namespace {

using Grid = FractalRenderer::Diagnostic;

Grid inside(int side)
{
    Grid g;
    g.escaped.assign(size_t(side) * side, false);
    g.mu.assign(size_t(side) * side, 0.0);
    return g;
}

// Sets pixel (x, y) escaped with escape value mu.
void escape(Grid& g, int side, int x, int y, double mu)
{
    g.escaped[size_t(y) * side + x] = true;
    g.mu[size_t(y) * side + x] = mu;
}

// Fills cell (row, column) of a 64 x 64 grid with mu(x, y), x and y local to the cell.
template <typename F>
void fillCell(Grid& g, Cell cell, F mu)
{
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) escape(g, 64, cell.column * 16 + x, cell.row * 16 + y, mu(x, y));
}

// A diagnostic render that hands out prepared grids in turn and records the views it was asked for.
struct ScriptedRender {
    std::vector<Grid> grids; // the last one repeats
    std::vector<RenderView> views;
    std::vector<int> sides;

    DiagnosticRender function()
    {
        return [this](const RenderView& view, int width, int height) {
            views.push_back(view);
            sides.push_back(width);
            EXPECT_EQ(width, height);
            size_t i = std::min(views.size() - 1, grids.size() - 1);
            return grids[i];
        };
    }
};

// Smooth escape values across the whole grid: ln(mu + 1) varies with x and y.
Grid smooth(int side)
{
    Grid g = inside(side);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) escape(g, side, x, y, 10 + 3 * x + 2 * y);
    return g;
}

} // namespace

TEST(FlightStopScoring, AllInsideGridKeepsCellOneOne)
{
    EXPECT_EQ(FlightStops::bestCell(inside(64), false), (Cell{1, 1}));
    EXPECT_EQ(FlightStops::bestCell(inside(64), true), (Cell{1, 1}));
    // A cell with a single escaped pixel has no variance to score either.
    Grid g = inside(64);
    escape(g, 64, 60, 60, 100);
    EXPECT_EQ(FlightStops::bestCell(g, false), (Cell{1, 1}));

    // One descent step over an all-inside grid moves up and left, to the middle of cell (1, 1).
    ScriptedRender render{{inside(64)}};
    BigComplex start(-0.5, 0, 1);
    Descent d = FlightStops::descend(render.function(), FractalType::mandelbrot, start, 2, {}, 8, 200000, false);
    Complex moved = d.centre.difference(start);
    EXPECT_DOUBLE_EQ(moved.x, -(2.5 / 2) * 0.125);
    EXPECT_DOUBLE_EQ(moved.y, (2.5 / 2) * 0.125);
}

TEST(FlightStopScoring, TiesKeepTheEarlierCellInRowMajorOrder)
{
    auto bands = [](int x, int) { return x < 8 ? 10.0 : 200.0; };
    struct Case {
        Cell first, second; // equal weights, identical contents
    } cases[] = {
        {{0, 0}, {0, 3}}, // corners
        {{1, 2}, {2, 1}}, // middle cells
        {{0, 1}, {3, 2}}, // edges
    };
    for (const Case& c : cases) {
        Grid g = inside(64);
        fillCell(g, c.second, bands);
        fillCell(g, c.first, bands);
        EXPECT_EQ(FlightStops::bestCell(g, false), c.first) << c.first.row << "," << c.first.column;
    }
    // Weight decides between equal variances: a middle cell beats a corner; an inside pixel gives x1.4.
    Grid g = inside(64);
    fillCell(g, {0, 0}, bands);
    fillCell(g, {2, 2}, bands);
    EXPECT_EQ(FlightStops::bestCell(g, false), (Cell{2, 2}));
    g.escaped[size_t(0) * 64 + 0] = false; // cell (0, 0): 0.76 x 1.4 = 1.064 > 0.92
    EXPECT_EQ(FlightStops::bestCell(g, false), (Cell{0, 0}));
}

TEST(FlightStopScoring, NoiseAvoidancePrefersSmoothCellsOfEqualVariance)
{
    Grid g = inside(64);
    // Same values, same variance: alternating pixel to pixel in cell (1, 1), two smooth bands in (1, 2).
    fillCell(g, {1, 1}, [](int x, int) { return x % 2 ? 200.0 : 10.0; });
    fillCell(g, {1, 2}, [](int x, int) { return x < 8 ? 10.0 : 200.0; });
    EXPECT_EQ(FlightStops::bestCell(g, false), (Cell{1, 1})); // tie: the earlier cell
    EXPECT_EQ(FlightStops::bestCell(g, true), (Cell{1, 2}));
    // The penalty outweighs even a large variance advantage of the noisy cell.
    fillCell(g, {1, 1}, [](int x, int) { return x % 2 ? 2000.0 : 10.0; });
    EXPECT_EQ(FlightStops::bestCell(g, false), (Cell{1, 1}));
    EXPECT_EQ(FlightStops::bestCell(g, true), (Cell{1, 2}));
}

TEST(FlightStopDescent, StepsByFoursUntilTheTarget)
{
    struct Case {
        double zoom, target;
        std::vector<double> drawnZooms, iterationZooms;
    } cases[] = {
        {1, 4, {1}, {4}},
        {1, 4.0001, {1, 4}, {4, 4.0001}},
        {3, 1000, {3, 12, 48, 192, 768}, {12, 48, 192, 768, 1000}},
        {2, 2, {}, {}},
        {5, 2, {}, {}},
    };
    BigComplex start(-0.5, 0, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        ScriptedRender render{{smooth(64)}};
        Descent d =
            FlightStops::descend(render.function(), FractalType::mandelbrot, start, c.zoom, {}, c.target, 5000, false);
        ASSERT_EQ(render.views.size(), c.drawnZooms.size());
        for (size_t i = 0; i < render.views.size(); ++i) {
            EXPECT_EQ(render.sides[i], 64);
            EXPECT_EQ(render.views[i].zoom, c.drawnZooms[i]);
            EXPECT_EQ(render.views[i].maxIterations, ZoomRules::autoIterations(c.iterationZooms[i], 5000));
            EXPECT_EQ(render.views[i].rotation, 0);
            EXPECT_EQ(render.views[i].palette, Palette::obsidian);
            ASSERT_TRUE(render.views[i].deepCentre);
            EXPECT_EQ(render.views[i].deepCentre->fracLimbs(), BigFixed::limbsForZoom(c.iterationZooms[i], 64));
        }
        double finalZoom = c.zoom >= c.target ? c.zoom : c.target;
        EXPECT_EQ(d.zoom, finalZoom);
        EXPECT_EQ(d.maxIterations, ZoomRules::autoIterations(finalZoom, 5000));
        if (c.drawnZooms.empty()) {
            EXPECT_EQ(d.centre, start);
        }
    }
}

TEST(FlightStopDescent, RefusesZoomsThatCannotReachTheTarget)
{
    ScriptedRender render{{smooth(64)}};
    BigComplex start(-0.5, 0, 1);
    for (auto [zoom, target] : {std::pair{0.0, 100.0}, {-1.0, 100.0}, {1.0, INFINITY}, {NAN, 100.0}, {1.0, NAN}}) {
        EXPECT_THROW(
            FlightStops::descend(render.function(), FractalType::mandelbrot, start, zoom, {}, target, 5000, false),
            std::invalid_argument);
        EXPECT_FALSE(FlightStops::flightStop(render.function(), FractalType::mandelbrot, {}, start, zoom, target));
    }
    EXPECT_TRUE(render.views.empty());
}

TEST(FlightStopDescent, RenderErrorsPassOnFromDescentAndEmptyTheFlightStop)
{
    DiagnosticRender failing = [](const RenderView&, int, int) -> Grid { throw RendererError::noDevice(); };
    BigComplex start(-0.5, 0, 1);
    EXPECT_THROW(FlightStops::descend(failing, FractalType::mandelbrot, start, 1, {}, 100, 5000, false), RendererError);
    EXPECT_FALSE(FlightStops::flightStop(failing, FractalType::mandelbrot, {}, start, 1, 100));
    // A render that returns fewer pixels than asked for is a failure, not a read past the end.
    DiagnosticRender shortRender = [](const RenderView&, int, int) { return inside(8); };
    EXPECT_THROW(FlightStops::descend(shortRender, FractalType::mandelbrot, start, 1, {}, 100, 5000, false),
                 std::runtime_error);
    EXPECT_FALSE(FlightStops::flightStop(shortRender, FractalType::mandelbrot, {}, start, 1, 100));
}

TEST(FlightStopCheck, AcceptsAtMostSixtyPercentInsideWithVariedEscapes)
{
    // 1000 pixels, so that 60 percent is a whole number of them.
    auto grid = [](int insideCount, double low, double high) {
        Grid g;
        for (int i = 0; i < 1000; ++i) {
            g.escaped.push_back(i >= insideCount);
            g.mu.push_back(i % 2 ? high : low);
        }
        return g;
    };
    EXPECT_TRUE(FlightStops::acceptable(grid(600, 10, 100)));
    EXPECT_FALSE(FlightStops::acceptable(grid(601, 10, 100)));
    EXPECT_FALSE(FlightStops::acceptable(grid(0, 50, 50)));   // flat: variance 0
    EXPECT_FALSE(FlightStops::acceptable(grid(0, 50, 50.1))); // ln-variance about 1e-6, not above 0.003
    EXPECT_TRUE(FlightStops::acceptable(grid(0, 50, 60)));    // about 0.0083
    Grid two = inside(48);
    escape(two, 48, 0, 0, 1);
    EXPECT_FALSE(FlightStops::acceptable(two)); // one escaped pixel (and mostly inside)
    EXPECT_FALSE(FlightStops::acceptable(Grid{}));
}

TEST(FlightStopCentring, MovesTowardsTheDetailAtMostAQuarterView)
{
    // A flat render leaves the centre alone.
    Grid flat = inside(48);
    EXPECT_EQ(FlightStops::centringOffset(flat, 10).x, 0);
    EXPECT_EQ(FlightStops::centringOffset(flat, 10).y, 0);
    // One vertical edge between columns 40 and 41: the detail-weighted middle is at x = 41, the middle
    // row; 41 / 48 - 0.5 is clamped to a quarter of the view.
    Grid edge = inside(48);
    for (int y = 0; y < 48; ++y)
        for (int x = 41; x < 48; ++x) escape(edge, 48, x, y, 5);
    Complex move = FlightStops::centringOffset(edge, 10);
    EXPECT_DOUBLE_EQ(move.x, 0.25 * 2.5 / 10);
    // The edge's rows 0 to 46 weigh (y + 1) equally: middle 24 / 48 = 0.5 gives no vertical move.
    EXPECT_NEAR(move.y, 0, 1e-15);
    // An edge close to the middle is not clamped: columns 24 | 25 give 25 / 48 - 0.5.
    Grid near = inside(48);
    for (int y = 0; y < 48; ++y)
        for (int x = 25; x < 48; ++x) escape(near, 48, x, y, 5);
    EXPECT_NEAR(FlightStops::centringOffset(near, 4).x, (25.0 / 48 - 0.5) * 2.5 / 4, 1e-12);
}

TEST(FlightStopSearch, AtOrAboveTheTargetCentresAndChecksAtTheStartZoom)
{
    BigComplex start(-0.5, 0.25, 2);
    // Flat centring render (S = 0), then an acceptable check.
    Grid flatEscaped = inside(48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x) escape(flatEscaped, 48, x, y, 7);
    ScriptedRender render{{flatEscaped, smooth(48)}};
    auto stop = FlightStops::flightStop(render.function(), FractalType::mandelbrot, {}, start, 1e5, 1e4);
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->zoom, 1e5);
    EXPECT_EQ(stop->centre, start);
    ASSERT_EQ(render.views.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(render.sides[i], 48);
        EXPECT_EQ(render.views[i].zoom, 1e5);
        EXPECT_EQ(render.views[i].maxIterations, ZoomRules::autoIterations(1e5, 200000));
    }
    // The same with a check that finds it flat: no stop.
    ScriptedRender flatCheck{{flatEscaped}};
    EXPECT_FALSE(FlightStops::flightStop(flatCheck.function(), FractalType::mandelbrot, {}, start, 1e5, 1e4));
}

TEST(FlightStopSearch, NoiseAvoidanceFollowsTheFormula)
{
    // A grid whose noisy cell (1, 1) would win without noise avoidance and smooth cell (1, 2) with it:
    // the first descent step shows which the search used.
    Grid g = inside(64);
    fillCell(g, {1, 1}, [](int x, int) { return x % 2 ? 200.0 : 10.0; });
    fillCell(g, {1, 2}, [](int x, int) { return x < 8 ? 10.0 : 200.0; });
    BigComplex start(-0.5, 0, 1);
    for (FractalType type : allCases<FractalType>) {
        SCOPED_TRACE(toText(type));
        ScriptedRender render{{g, smooth(48)}};
        FlightStops::flightStop(render.function(), type, {}, start, 1, 4);
        ASSERT_GE(render.views.size(), 2u);
        // The second render (centring) is drawn around the moved centre.
        Complex moved = render.views[1].deepCentre->difference(start);
        double expectedX = (2.5 / 1) * (((foldsWithAbs(type) ? 2 : 1) + 0.5) * 0.25 - 0.5);
        EXPECT_DOUBLE_EQ(moved.x, expectedX);
    }
}
