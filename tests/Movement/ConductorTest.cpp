#include "Movement/Conductor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace veltrane {
namespace {

constexpr double rate48k = 48000;
const Conductor::Pitch noPitch = [](const FractalTarget&) -> double {
    ADD_FAILURE() << "pitch was called";
    return 0;
};

MovementSettings arpeggio(double bpm = 120, std::int64_t subdivision = 4)
{
    MovementSettings s;
    s.enabled = true;
    s.bpm = bpm;
    s.subdivision = subdivision;
    return s; // the default arpeggiator steps on every tick
}

Conductor conductor(const MovementSettings& settings, std::int64_t start = 1000, double sampleRate = rate48k)
{
    return Conductor(settings, BigComplex(-0.75, 0.1, 1), 2, 0.25, start, sampleRate, Mulberry32(7));
}

TEST(Conductor, TicksNotesAndAccentsOnTheGrid)
{
    auto c = conductor(arpeggio());
    EXPECT_DOUBLE_EQ(c.samplesPerTick(), 6000);
    const auto notes = c.schedule(1000 + 6000 * 9 + 1, noPitch);
    ASSERT_EQ(notes.size(), 10u);
    for (std::size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(notes[i].frame, 1000 + 6000 * static_cast<std::int64_t>(i));
        EXPECT_DOUBLE_EQ(notes[i].duration, 0.1);
        EXPECT_EQ(notes[i].accent, i % 4 == 0 ? 1.0 : 0.72) << i;
        EXPECT_EQ(notes[i].target,
                  (FractalTarget{-0.75 + notes[i].local.centerX, 0.1 + notes[i].local.centerY, 2, 0.25}));
    }
    // The arpeggiator's first step after its reset at (0, 0), zoom 2: index 1 of a circle of 8.
    EXPECT_DOUBLE_EQ(notes[0].local.centerY, 0.05 * std::sin(2 * std::numbers::pi / 8));
    EXPECT_EQ(c.tickIndex(), 10);
    EXPECT_EQ(c.pending().size(), 10u);
    EXPECT_EQ(c.plannedLocal(), notes.back().local);
}

TEST(Conductor, EachTickRunsOnceAndOnlyBeforeUntil)
{
    auto c = conductor(arpeggio());
    EXPECT_TRUE(c.schedule(1000, noPitch).empty());
    EXPECT_TRUE(c.schedule(1000, noPitch).empty());
    EXPECT_EQ(c.engine().as<ArpeggiatorEngine>()->currentStep, 0); // not asked
    EXPECT_EQ(c.schedule(7001, noPitch).size(), 2u);
    EXPECT_TRUE(c.schedule(7001, noPitch).empty());
    EXPECT_TRUE(c.schedule(5000, noPitch).empty());
    EXPECT_EQ(c.engine().as<ArpeggiatorEngine>()->currentStep, 2);
}

TEST(Conductor, SilentTicksAdvanceWithoutPlanning)
{
    MovementSettings s = arpeggio();
    s.mode = MovementMode::euclidean; // x..x..x.
    auto c = conductor(s);
    const auto notes = c.schedule(1000 + 6000 * 8, noPitch);
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[1].frame, 1000 + 6000 * 3);
    EXPECT_EQ(notes[1].accent, 0.72);
    EXPECT_EQ(c.tickIndex(), 8);
    EXPECT_EQ(c.plannedLocal(), notes[2].local); // the silent ticks 7 and after kept it
}

TEST(Conductor, FramesRoundHalvesAwayFromZero)
{
    auto c = conductor(arpeggio(), 0, 44100); // 5512.5 frames per tick
    EXPECT_DOUBLE_EQ(c.samplesPerTick(), 5512.5);
    EXPECT_EQ(c.frame(1), 5513);
    EXPECT_EQ(c.frame(-1), -5513);
    EXPECT_EQ(c.frame(2), 11025);
    EXPECT_EQ(c.frame(3), 16538);
}

TEST(Conductor, TempoChangesKeepTheBeat)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double bpm;
        double expected;
    } cases[]{{500, 300}, {10, 40}, {90, 90}, {nan, 120}, {inf, 120}, {-inf, 120}};
    for (const auto& t : cases) {
        auto c = conductor(arpeggio());
        c.schedule(1000 + 6000 * 5 + 1, noPitch); // ticks 0 … 5; tick 6 is next, at 37000
        const auto pending = c.pending();
        c.setTempo(t.bpm, 4);
        EXPECT_EQ(c.settings().bpm, t.expected) << t.bpm;
        EXPECT_EQ(c.originFrame(), 37000) << t.bpm;
        EXPECT_EQ(c.tickIndex(), 0);
        EXPECT_EQ(c.pending(), pending);
        const auto next = c.schedule(37001, noPitch);
        ASSERT_EQ(next.size(), 1u) << t.bpm;
        EXPECT_EQ(next[0].frame, 37000);
        EXPECT_EQ(next[0].accent, 1.0); // beats count from the new origin
        EXPECT_EQ(c.frame(1), 37000 + std::llround(rate48k * 60 / (t.expected * 4))) << t.bpm;
    }
}

TEST(Conductor, UnusableClockSettingsNeverStallTheGrid)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* what;
        double bpm;
        std::int64_t subdivision;
        double samplesPerTick;
        double duration;
    } created[]{
        {"subdivision 0 counts as 1", 120, 0, 24000, 0.4},
        {"a negative subdivision counts as 1", 120, -3, 24000, 0.4},
        {"a NaN tempo runs at the default", nan, 4, 6000, 0.1},
        {"an infinite tempo runs at the default", inf, 4, 6000, 0.1},
        {"a tempo of 0 is clamped", 0, 4, 18000, 0.3},
        {"a negative tempo is clamped", -120, 4, 18000, 0.3},
        {"ticks never shorter than a frame", 300, std::int64_t{1} << 62, 1, 60 / (300 * 0x1p62) * 0.8},
    };
    for (const auto& t : created) {
        auto c = conductor(arpeggio(t.bpm, t.subdivision));
        EXPECT_DOUBLE_EQ(c.samplesPerTick(), t.samplesPerTick) << t.what;
        EXPECT_EQ(c.settings().subdivision, t.subdivision) << t.what; // the copy keeps what it was given
        const auto notes = c.schedule(1000 + 48000, noPitch);
        ASSERT_FALSE(notes.empty()) << t.what;
        EXPECT_LE(notes.size(), 48000u) << t.what;
        for (const auto& n : notes) {
            ASSERT_GE(n.frame, 1000) << t.what;
            ASSERT_LT(n.frame, 1000 + 48000) << t.what;
            EXPECT_DOUBLE_EQ(n.duration, t.duration) << t.what;
        }
        if (t.subdivision < 1) {
            for (const auto& n : notes) EXPECT_EQ(n.accent, 1.0) << t.what; // every tick is a beat
        }
    }

    auto c = conductor(arpeggio(150, 4)); // 4800 frames per tick
    c.setTempo(nan, 0);
    EXPECT_EQ(c.settings().bpm, 150);
    EXPECT_EQ(c.settings().subdivision, 0);
    EXPECT_DOUBLE_EQ(c.samplesPerTick(), 19200);
    EXPECT_EQ(c.schedule(1000 + 19200 * 3, noPitch).size(), 3u);

    for (const double bad : {0.0, -48000.0, nan, inf})
        EXPECT_THROW(conductor(arpeggio(), 0, bad), std::invalid_argument) << bad;
}

TEST(Conductor, FollowReturnsTheLatestDueNote)
{
    auto c = conductor(arpeggio());
    const auto notes = c.schedule(1000 + 6000 * 5, noPitch); // ticks 0 … 4
    EXPECT_FALSE(c.follow(999));
    EXPECT_EQ(c.pending().size(), 5u);
    const auto due = c.follow(1000 + 6000 * 2 + 10);
    ASSERT_TRUE(due);
    EXPECT_EQ(*due, notes[2]);
    ASSERT_EQ(c.pending().size(), 2u);
    EXPECT_EQ(c.pending().front(), notes[3]);
    EXPECT_FALSE(c.follow(1000 + 6000 * 3 - 1));
    EXPECT_EQ(*c.follow(1000 + 6000 * 3), notes[3]);
}

TEST(Conductor, ReanchorRestartsTheGridAtTheNewView)
{
    auto c = conductor(arpeggio());
    c.schedule(1000 + 6000 * 3, noPitch);
    const BigComplex there(0.3, -0.2, 2);
    c.reanchor(there, 8, 1.5, 50000);
    EXPECT_TRUE(c.pending().empty());
    EXPECT_EQ(c.anchor(), there);
    EXPECT_EQ(c.originFrame(), 50000);
    EXPECT_EQ(c.tickIndex(), 0);
    EXPECT_EQ(c.plannedLocal(), (FractalTarget{0, 0, 8, 1.5}));
    const auto notes = c.schedule(50001, noPitch);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].frame, 50000);
    EXPECT_EQ(notes[0].accent, 1.0);
    // The arpeggiator kept its place (step 3) and redrew its figure round the new anchor at zoom 8.
    EXPECT_EQ(c.engine().as<ArpeggiatorEngine>()->currentStep, 4);
    EXPECT_DOUBLE_EQ(notes[0].local.centerX, -0.1 / 8);
    EXPECT_DOUBLE_EQ(notes[0].target.centerX, 0.3 - 0.1 / 8);
}

TEST(Conductor, ExactCentreKeepsThePrecisionTheZoomNeeds)
{
    auto c = conductor(arpeggio()); // anchor made at one fraction limb
    const FractalTarget deep{1e-30, -2e-31, 1e40, 0};
    const BigComplex centre = c.exactCentre(deep);
    EXPECT_EQ(centre.fracLimbs(), BigFixed::limbsForZoom(1e40, 64));
    const Complex offset = centre.difference(c.anchor());
    EXPECT_NEAR(offset.x, 1e-30, 1e-45);
    EXPECT_NEAR(offset.y, -2e-31, 1e-45);

    const Conductor fine(arpeggio(), BigComplex(0.5, 0.5, 6), 1, 0, 0, rate48k, Mulberry32(1));
    EXPECT_EQ(fine.exactCentre({0, 0, 1, 0}).fracLimbs(), 6); // never less than the anchor's
    EXPECT_EQ(fine.exactCentre({0, 0, 1, 0}), fine.anchor());
}

} // namespace
} // namespace veltrane
