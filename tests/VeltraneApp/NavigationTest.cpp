#include "StateFixture.h"

#include "FractalCore/ZoomRules.h"

#include <cmath>
#include <limits>

namespace veltrane {
namespace {

using test::StateFixture;
using NavigationTest = StateFixture;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

BigComplex exact(const char* x, const char* y, int limbs)
{
    return BigComplex(*BigFixed::fromDecimal(x, limbs), *BigFixed::fromDecimal(y, limbs));
}

TEST_F(NavigationTest, SetViewClampsTheZoomAndFollowsItWithIterationsAndPrecision)
{
    InstrumentState& s = *state;
    s.maxIterations.set(500);
    s.setView(s.centre.get(), 1, 0, false); // same zoom, no auto: the hand-set count stays
    EXPECT_EQ(s.maxIterations.get(), 500);
    s.setView(s.centre.get(), 1, 0, true);
    EXPECT_EQ(s.maxIterations.get(), 160);

    struct Case {
        double zoom;
        double stored;
    };
    for (const Case& c :
         {Case{0, 0.1}, Case{-3, 0.1}, Case{1e301, 1e300}, Case{inf, 1e300}, Case{-inf, 0.1}, Case{2e5, 2e5}}) {
        s.setView(s.centre.get(), c.zoom, 0, false);
        EXPECT_EQ(s.zoom.get(), c.stored) << c.zoom;
        EXPECT_EQ(s.centre.get().fracLimbs(), BigFixed::limbsForZoom(c.stored, 64)) << c.zoom;
        EXPECT_EQ(s.maxIterations.get(), ZoomRules::autoIterations(c.stored, 200000)) << c.zoom;
    }

    // Zooming out drops the limbs the new zoom does not need.
    s.setView(exact("-0.75", "0.1", 8), 1e100, 0, false);
    EXPECT_EQ(s.centre.get().fracLimbs(), BigFixed::limbsForZoom(1e100, 64));
    s.setView(s.centre.get(), 10, 0, false);
    EXPECT_EQ(s.centre.get().fracLimbs(), 2);
}

TEST_F(NavigationTest, NonFiniteViewValuesAreRefused)
{
    InstrumentState& s = *state;
    s.setView(exact("0.25", "0", 2), 4, 0.5, false);
    const BigComplex before = s.centre.get();
    s.setView(before, nan, nan, false);
    EXPECT_EQ(s.zoom.get(), 4);
    EXPECT_EQ(s.rotation.get(), 0.5);
    s.zoomTo(nan, nan, 1);
    EXPECT_EQ(s.zoom.get(), 4);
    EXPECT_EQ(s.centre.get(), before);
    s.zoomTo(8, inf, 0);
    EXPECT_EQ(s.centre.get(), before);
    EXPECT_EQ(s.zoom.get(), 8);

    // A flight towards a NaN zoom keeps the current zoom as its target; a NaN time moves nothing.
    s.fly(exact("0", "0", 2), nan, inf, nan);
    ASSERT_TRUE(s.flight.get());
    EXPECT_EQ(s.flight.get()->to.zoom, 8);
    EXPECT_EQ(s.flight.get()->to.rotation, 0.5);
    EXPECT_EQ(notifications(s.centre, [&] { s.advance(nan); }), 0);
    s.advance(clock.now() + 60);
    EXPECT_FALSE(s.flight.get());
    EXPECT_TRUE(std::isfinite(s.zoom.get()) && std::isfinite(s.rotation.get()));
}

TEST_F(NavigationTest, ZoomToKeepsPrecisionUntilItsSetView)
{
    InstrumentState& s = *state;
    s.setView(exact("-0.75", "0.1", 2), 1e40, 0, false);
    const int deep = s.centre.get().fracLimbs();
    s.zoomTo(1e41, 1e-45, 0); // an offset far below a double's reach at the old precision
    EXPECT_DOUBLE_EQ(s.centre.get().difference(exact("-0.75", "0.1", deep)).x, 1e-45);
    s.zoomTo(2, 0.5, -0.25);
    EXPECT_EQ(s.centre.get().fracLimbs(), 2);
    EXPECT_DOUBLE_EQ(s.centre.get().doubles().x, -0.25);
    EXPECT_EQ(s.maxIterations.get(), ZoomRules::autoIterations(2, 200000));
}

TEST_F(NavigationTest, FlightsLandExactlyOnTheTargetCentre)
{
    InstrumentState& s = *state;
    const BigComplex target = exact("-1.7490812690237796528103469498", "0.00000000000000012384390811", 4);
    s.fly(target, 1e20, 0.3, 2600);
    ASSERT_TRUE(s.flight.get() && s.flightCentres());
    EXPECT_EQ(s.lastManualMove.get(), 0); // flying is not a manual move
    const Flight path = *s.flight.get();
    EXPECT_EQ(path.start, clock.now());

    // Half way: the view is between the two centres, the zoom between the zooms.
    s.advance(path.start + path.duration / 2);
    EXPECT_GT(s.zoom.get(), 1);
    EXPECT_LT(s.zoom.get(), 1e20);
    ASSERT_TRUE(s.flight.get());

    // Past the end: one interpolated step and the landing, in one call.
    int zoomWrites = notifications(s.zoom, [&] { s.advance(path.start + path.duration + 1); });
    EXPECT_GE(zoomWrites, 1); // the landing may correct the sampled zoom by an ulp
    EXPECT_FALSE(s.flight.get());
    EXPECT_FALSE(s.flightCentres());
    EXPECT_EQ(s.zoom.get(), 1e20);
    EXPECT_EQ(s.rotation.get(), 0.3);
    EXPECT_EQ(s.centre.get(), target.withFracLimbs(BigFixed::limbsForZoom(1e20, 64)));

    // Idle: nothing changes, nobody is told.
    EXPECT_EQ(notifications(s.centre, [&] { s.advance(path.start + 100); }) +
                  notifications(s.zoom, [&] { s.advance(path.start + 100); }),
              0);
}

TEST_F(NavigationTest, TakingControlStopsAFlight)
{
    InstrumentState& s = *state;
    s.fly(exact("0.3", "0.5", 2), 50, 0, 1800);
    const double start = clock.now();
    s.advance(start + 0.2);
    const double zoomThere = s.zoom.get();
    clock.advance(0.2);
    s.userTookControl();
    EXPECT_FALSE(s.flight.get());
    EXPECT_EQ(s.lastManualMove.get(), start + 0.2);
    s.advance(start + 10);
    EXPECT_EQ(s.zoom.get(), zoomThere);
}

TEST_F(NavigationTest, RenderViewAndPostSettings)
{
    InstrumentState& s = *state;
    s.setView(exact("0.25", "-0.5", 2), 1e11, 0, false);
    EXPECT_FALSE(s.renderView().deepCentre);
    s.setView(s.centre.get(), std::nextafter(1e11, inf), 0, false);
    ASSERT_TRUE(s.renderView().deepCentre);
    EXPECT_EQ(*s.renderView().deepCentre, s.centre.get());
    EXPECT_EQ(s.renderView().centerY, -0.5);

    s.setView(s.centre.get(), 1e4, 0, false);
    s.fly(exact("0", "0", 2), 1e3, 0, 1800);
    EXPECT_FALSE(s.renderView().referenceHint); // zooming out
    s.setView(s.centre.get(), 1, 0, false);
    s.fly(exact("0", "0", 2), 3000, 0, 1800);
    ASSERT_TRUE(s.renderView().referenceHint);
    EXPECT_EQ(s.renderView().referenceHint->maxIterations, ZoomRules::autoIterations(3000, 200000));
    EXPECT_EQ(s.renderView().referenceHint->centre, s.flightCentres()->to);

    EXPECT_EQ(s.postSettings(0.5).headroom, 1);
    EXPECT_EQ(s.postSettings(2.5).headroom, 2.5);
    EXPECT_EQ(s.postSettings(nan).headroom, 1);
    s.extendedRange.set(false);
    EXPECT_EQ(s.postSettings(2.5).headroom, 1);
    EXPECT_EQ(s.postSettings().vignette, 0.42);
}

} // namespace
} // namespace veltrane
