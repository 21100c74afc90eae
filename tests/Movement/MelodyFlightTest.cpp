// Melody flights: planning, poses by beat, the beat curves, and inputs outside the planner's domain.
#include "Movement/MelodyFlight.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "FlightTunes.h"
#include "Music/Melodies.h"

namespace veltrane {
namespace {

using namespace test;
using Pose = MelodyFlight::Pose;
using Destination = MelodyFlight::Destination;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Pose home(double zoom = 1) { return {BigComplex(-0.5, 0, BigFixed::limbsForZoom(zoom, 64)), zoom, 0}; }

std::optional<Destination> never(const BigComplex&, double, double) { return std::nullopt; }

// Answers a place a third of the asked view to the right and a tenth up, at the target zoom.
std::optional<Destination> nearby(const BigComplex& centre, double zoom, double target)
{
    return Destination{centre.offset(0.3 * 2.5 / zoom, 0.1 * 2.5 / zoom), target};
}

struct Request {
    BigComplex centre;
    double zoom, target;
};

MelodyFlight plan(const Melody& m, MelodyFlight::Find find = nearby, std::uint32_t seed = 7, Pose from = home(),
                  double maxZoom = 1e10, double bpm = -1, double fromBeat = 0)
{
    return MelodyFlight(m, bpm < 0 ? m.bpm() : bpm, from, fromBeat, 2 * (bpm < 0 ? m.bpm() : bpm) / 60, seed, maxZoom,
                        find);
}

bool finite(const Pose& p)
{
    const Complex c = p.centre.doubles();
    return std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(p.zoom) && p.zoom > 0 && std::isfinite(p.rotation);
}

// Every 1/8 beat from before the start to past the end is a finite pose; at each `arrive` the pose is
// the shot's destination exactly, with only the pulse and the sway on top.
void expectSound(const MelodyFlight& f)
{
    for (double x = -1; x <= f.endBeat() + 4; x += 0.125) ASSERT_TRUE(finite(f.pose(x))) << x;
    for (const MelodyFlight::Shot& s : f.shots()) {
        const Pose at = f.pose(s.arrive);
        EXPECT_EQ(at.centre, s.to.centre) << s.start;
        EXPECT_EQ(at.zoom, s.to.zoom * (1 + f.pulseBoost(s.arrive))) << s.start;
        EXPECT_EQ(at.rotation, s.to.rotation + f.swayRotation(s.arrive)) << s.start;
    }
    if (!f.shots().empty()) {
        const MelodyFlight::Shot& last = f.shots().back();
        EXPECT_EQ(f.pose(last.end + 10).zoom, last.to.zoom * last.drift * (1 + f.pulseBoost(last.end + 10)));
    }
}

void expectEmpty(const MelodyFlight& f, const Pose& from)
{
    EXPECT_TRUE(f.shots().empty());
    EXPECT_TRUE(f.pulses().empty() && f.sway().empty() && f.colours().empty() && f.harmonyColours().empty());
    EXPECT_EQ(f.endBeat(), 0);
    for (double x : {-1.0, 0.0, 3.5, 1e9, nan, inf}) {
        const Pose p = f.pose(x);
        EXPECT_EQ(p.centre, from.centre);
        EXPECT_TRUE(p.zoom == from.zoom || (std::isnan(p.zoom) && std::isnan(from.zoom)));
        EXPECT_EQ(f.colour(x), 0);
    }
}

TEST(MelodyFlight, PlannedTwiceGivesTheSameFlight)
{
    const Melody& m = Melodies::all().front();
    const MelodyFlight a = plan(m), b = plan(m);
    ASSERT_GE(a.shots().size(), 3u);
    EXPECT_EQ(a.shots(), b.shots());
    EXPECT_EQ(a.pulses(), b.pulses());
    EXPECT_EQ(a.sway(), b.sway());
    EXPECT_EQ(a.colours(), b.colours());
    EXPECT_EQ(a.harmonyColours(), b.harmonyColours());
    EXPECT_NE(plan(m, nearby, 8).shots(), a.shots());
}

TEST(MelodyFlight, EveryTextTuneFliesFiniteAndLandsOnItsDestinations)
{
    for (const Melody& m : Melodies::all()) {
        SCOPED_TRACE(m.id());
        const MelodyFlight f = plan(m);
        ASSERT_FALSE(f.shots().empty());
        expectSound(f);
        const double travelCap = m.bpm() * 1.6 / 60;
        for (const MelodyFlight::Shot& s : f.shots()) {
            const double duration = s.end - s.start;
            EXPECT_LE(s.arrive - s.start, duration + 1e-12);
            EXPECT_GE(s.arrive - s.start, std::min(duration, travelCap) - 1e-12);
            EXPECT_GE(s.to.zoom, 0.8);
        }
        EXPECT_EQ(f.pose(-1), f.start());
    }
}

TEST(MelodyFlight, NothingToPlanGivesAnEmptyFlight)
{
    const Melody m = tune(beatNotes(
        8, [](int bar, int beat) { return bar + beat; }, [](int) { return 0.7; }));
    // No phrase starts at or after fromBeat.
    int calls = 0;
    const auto counting = [&calls](const BigComplex& c, double z, double t) {
        ++calls;
        return nearby(c, z, t);
    };
    expectEmpty(MelodyFlight(m, 120, home(), 40, 4, 1, 1e10, counting), home());

    // Inputs outside the planner's domain: no NaN pose, no find call, no crash.
    const Melody silent("s", "S", "", 120, 4, "C4", "r r r r |", "");
    const Melody noGrid("g", "G", "", 120, 0, "C4", "|", "C2:8"); // bar count ∞ / no integer
    const Melody huge("h", "H", "", 120, 4, "C4", "C4:1e300", "");
    const Melody notANumber("n", "N", "", 120, 4, 60, {{0, 1, 0, nan}}, {}, 4);
    struct Case {
        const char* what;
        const Melody& melody;
        double bpm;
        Pose from;
    } cases[] = {
        {"tempo 0", m, 0, home()},
        {"negative tempo", m, -120, home()},
        {"NaN tempo", m, nan, home()},
        {"infinite tempo", m, inf, home()},
        {"no notes", silent, 120, home()},
        {"no bar grid", noGrid, 120, home()},
        {"too long", huge, 120, home()},
        {"NaN velocity", notANumber, 120, home()},
        {"NaN zoom", m, 120, {BigComplex(), nan, 0}},
        {"zoom 0", m, 120, {BigComplex(), 0, 0}},
        {"infinite rotation", m, 120, {BigComplex(), 1, inf}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectEmpty(MelodyFlight(c.melody, c.bpm, c.from, 0, 4, 1, 1e10, counting), c.from);
    }
    EXPECT_EQ(calls, 0);
}

TEST(MelodyFlight, AnswersTheCameraCannotShowCountAsNoAnswer)
{
    const Melody& m = Melodies::all()[1];
    const MelodyFlight reference = plan(m, never);
    for (double zoom : {nan, inf, -inf, 0.0, -2.0, 1e-320, 0.05, 1e301}) {
        SCOPED_TRACE(zoom);
        const MelodyFlight f = plan(m, [zoom](const BigComplex& c, double, double) {
            return std::optional<Destination>(Destination{c.offset(0.01, 0), zoom});
        });
        EXPECT_EQ(f.shots(), reference.shots());
        expectSound(f);
    }
    // NaN and out-of-range limits are brought into the instrument's zoom range.
    for (double maxZoom : {nan, inf, 0.0, -5.0}) expectSound(plan(m, nearby, 7, home(), maxZoom));
}

TEST(MelodyFlight, DeepFlightsStayFinite)
{
    // Eight-phrase tunes from and to zooms past 1e154, where squared widths underflow: the climax pulls
    // out to 2...6 and the next phrases dive back to 1e300.
    const Melody m = tune(beatNotes(
        32, [](int bar, int beat) { return (bar * 5 + beat * 3) % 17; }, [](int bar) { return 0.3 + 0.02 * bar; }));
    for (double zoom : {1e160, 1e290, 1e300}) {
        SCOPED_TRACE(zoom);
        const MelodyFlight f = plan(m, nearby, 3, home(zoom), 1e300);
        ASSERT_GE(f.shots().size(), 6u);
        EXPECT_LT(f.shots()[f.shots().size() / 2].to.zoom, 6);
        expectSound(f);
    }
}

// A tune in four-bar phrases (16 beats at 120 bpm) from a list of phrase patterns.
Melody phrased(const std::vector<int>& patterns)
{
    std::vector<Note> notes;
    for (std::size_t p = 0; p < patterns.size(); ++p)
        for (int b = 0; b < 16; ++b)
            notes.push_back({double(p * 16 + b), 1, (patterns[p] * 7 + b * (patterns[p] + 1)) % 13, 0.6});
    return tune(notes);
}

TEST(MelodyFlight, DivesOfManyDecadesKeepTheDestinationInView)
{
    // Every answer sends the camera to zoom 1e300 in one shot: through the second half of the dive the
    // destination stays within a view width of the centre, across 300 decades of zoom.
    const MelodyFlight f = plan(
        phrased({0, 1, 2}),
        [](const BigComplex& c, double zoom, double) {
            const int limbs = BigFixed::limbsForZoom(1e300, 64);
            return std::optional<Destination>(
                Destination{c.withFracLimbs(limbs).offset(0.3 / zoom, 0.2 / zoom), 1e300});
        },
        4, home(), 1e300);
    ASSERT_FALSE(f.shots().empty());
    const MelodyFlight::Shot& dive = f.shots().front();
    ASSERT_EQ(dive.to.zoom, 1e300);
    int checked = 0;
    for (double x = (dive.start + dive.arrive) / 2; x < dive.arrive; x += (dive.arrive - dive.start) / 64) {
        const Pose p = f.pose(x);
        const Complex left = dive.to.centre.difference(p.centre);
        const double viewWidth = 2.5 / (p.zoom / (1 + f.pulseBoost(x)));
        EXPECT_LE(std::hypot(left.x, left.y), viewWidth) << x;
        ++checked;
    }
    EXPECT_GT(checked, 30);
    expectSound(f);
}

TEST(MelodyFlight, RepeatsStayOrReturnToTheirModel)
{
    // A A B A C: phrase 1 repeats the one before it (stays put), phrase 3 repeats phrase 0.
    const Melody m = phrased({0, 0, 1, 0, 2});
    std::vector<Request> requests;
    const MelodyFlight f = plan(m, [&requests](const BigComplex& c, double z, double t) -> std::optional<Destination> {
        requests.push_back({c, z, t});
        return std::nullopt;
    });
    const auto& shots = f.shots();
    ASSERT_EQ(shots.size(), 5u);
    EXPECT_EQ(shots[1].repeats, 0);
    EXPECT_EQ(shots[1].to.centre, shots[1].from.centre);
    EXPECT_EQ(shots[1].path.distance(), 0);
    EXPECT_EQ(shots[3].repeats, 0);
    EXPECT_EQ(shots[3].to.centre, shots[0].to.centre);
    EXPECT_EQ(shots[3].to.zoom, shots[0].to.zoom);
    // The model's destination was asked for first, aiming at six times its zoom.
    const auto asked = std::find_if(requests.begin(), requests.end(),
                                    [&](const Request& r) { return r.centre == shots[0].to.centre; });
    ASSERT_NE(asked, requests.end());
    EXPECT_EQ(asked->zoom, shots[0].to.zoom);
    EXPECT_EQ(asked->target, shots[0].to.zoom * 6);
    expectSound(f);
}

TEST(MelodyFlight, ClimaxPullsOutAndTheLastPhraseDives)
{
    const MelodyFlight six = plan(phrased({0, 1, 2, 3, 4, 5}), never, 11, home(), 1e10);
    ASSERT_EQ(six.shots().size(), 6u);
    EXPECT_GE(six.shots()[3].to.zoom, 2);
    EXPECT_LT(six.shots()[3].to.zoom, 6);
    const MelodyFlight::Shot& before = six.shots()[4];
    EXPECT_GE(six.shots()[5].to.zoom, 20 * before.to.zoom * before.drift);
    // A low limit caps the final dive at exactly the limit.
    EXPECT_EQ(plan(phrased({0, 1, 2, 3, 4, 5}), never, 11, home(), 40).shots().back().to.zoom, 40);
}

TEST(MelodyFlight, DeepSearchProbesAroundTheCentreAtTheProbeScale)
{
    // A one-limb centre cannot carry offsets of 1e-100: the probe is widened first, not left in place.
    const Pose from{BigComplex(-0.5, 0, 1), 1e100, 0};
    std::vector<Request> requests;
    plan(
        phrased({0, 1}),
        [&requests](const BigComplex& c, double z, double t) -> std::optional<Destination> {
            requests.push_back({c, z, t});
            return std::nullopt;
        },
        5, from, 1e120);
    ASSERT_FALSE(requests.empty());
    for (const Request& r : requests) {
        const Complex d = r.centre.difference(from.centre);
        const double step = std::hypot(d.x, d.y);
        EXPECT_GE(step, 0.12 * 2.5 / r.zoom * (1 - 1e-9));
        EXPECT_LE(step, 0.38 * 2.5 / r.zoom * (1 + 1e-9));
    }
}

TEST(MelodyFlight, PulsesKickOnOnsetsWithAccents)
{
    // Melody on the downbeat, another beat and between beats; bass on the next downbeat.
    const Melody m = tune({{0, 1, 0, 1}, {1, 0.5, 2, 1}, {1.5, 0.5, 4, 1}}, {{4, 4, -12, 0.55}}, 4, 8);
    const MelodyFlight f = plan(m);
    ASSERT_EQ(f.pulses().size(), 4u);
    const std::vector<MelodyFlight::Pulse> expected{
        {0, 0.022 * 1.5, 0.3}, {1, 0.022, 0.3}, {1.5, 0.022 * 0.75, 0.3}, {4, 0.04 * 1.5, 0.55}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(f.pulses()[i].beat, expected[i].beat);
        EXPECT_DOUBLE_EQ(f.pulses()[i].size, expected[i].size);
        EXPECT_EQ(f.pulses()[i].decay, expected[i].decay);
    }
    // A lone pulse rises from 0 at its own beat and is gone 4 beats later.
    const MelodyFlight lone = plan(tune({{0, 1, 0, 1}}));
    EXPECT_EQ(lone.pulseBoost(0), 0);
    EXPECT_GT(lone.pulseBoost(0.1), 0);
    EXPECT_GT(lone.pulseBoost(3.99), 0);
    EXPECT_EQ(lone.pulseBoost(4), 0);

    // However many onsets pile up, the boost stays at most 15 %.
    std::vector<Note> dense;
    for (int i = 0; i < 200; ++i)
        for (int chord = 0; chord < 5; ++chord) dense.push_back({i * 0.03, 0.03, chord * 4, 1});
    const MelodyFlight busy = plan(tune(dense));
    double peak = 0;
    for (double x = 0; x < 8; x += 0.01) peak = std::max(peak, busy.pulseBoost(x));
    EXPECT_EQ(peak, 0.15);
}

TEST(MelodyFlight, SwayFollowsTheContourFromTheFirstPhrase)
{
    const Melody m = tune(beatNotes(
        16, [](int bar, int beat) { return bar % 2 ? 12 + beat : -beat; }, [](int) { return 0.7; }));
    const MelodyFlight f(m, 120, home(), 16, 4, 9, 1e10, nearby); // the flight starts at beat 16
    ASSERT_FALSE(f.sway().empty());
    for (std::size_t i = 0; i < f.sway().size(); ++i) {
        const double t = double(i) * 0.125;
        if (t <= 16) {
            EXPECT_EQ(f.sway()[i], 0) << t;
        }
        EXPECT_LE(std::abs(f.sway()[i]), 0.12);
    }
    EXPECT_NE(f.swayRotation(20), 0);
    expectSound(f);

    // A tune with a bass but no melody has no sway; its poses are still whole.
    const MelodyFlight bassOnly = plan(tune({}, {{0, 2, -12, 0.55}, {2, 2, -5, 0.55}, {4, 4, -7, 0.55}}));
    EXPECT_TRUE(bassOnly.sway().empty());
    EXPECT_FALSE(bassOnly.shots().empty());
    expectSound(bassOnly);
}

TEST(MelodyFlight, ColoursMoveWithBeatsAndHarmony)
{
    // Bass root G (fifths 1: 5/12) for a bar, then F (fifths -1: -5/12): the harmony colour heads for
    // the nearer copy, -5/12 + 1, so it rises by 1/6 instead of falling by 5/6.
    const Melody m = tune(beatNotes(
                              8, [](int, int beat) { return beat; }, [](int) { return 0.7; }),
                          {{0, 4, 7, 0.55}, {4, 28, 5, 0.55}});
    const MelodyFlight f = plan(m);
    ASSERT_FALSE(f.harmonyColours().empty());
    EXPECT_EQ(f.harmonyColours().size(), f.colours().size());
    for (double h : f.harmonyColours()) EXPECT_GE(h, -1e-12);
    EXPECT_NEAR(f.harmonyColours().back(), 1.0 / 6, 1e-6);

    // Sampling: linear between samples, clamped to the first and last sample outside.
    EXPECT_EQ(f.colour(-3), f.colours().front());
    EXPECT_EQ(f.colour(1e12), f.colours().back());
    EXPECT_EQ(f.colour(nan), f.colours().front());
    EXPECT_DOUBLE_EQ(f.colour(1 + 1.0 / 64), (f.colours()[32] + f.colours()[33]) / 2);
    // The beat steps move the colour along: it does not stand still over a bar.
    EXPECT_GT(std::abs(f.colour(8) - f.colour(4)), 0.1);
}

} // namespace
} // namespace veltrane
