// The musical analysis of melody flights: bar grid, phrases, energy, repeats, onsets, beats, harmony.
#include "Movement/MelodyFlight.h"

#include <gtest/gtest.h>

#include <cmath>

#include "FlightTunes.h"

namespace veltrane {
namespace {

using namespace test;
using F = MelodyFlight;

Melody text(std::string_view score, std::string_view bass = "", double beatsPerBar = 4)
{
    return Melody("text", "Text", "", 120, beatsPerBar, "C4", score, bass);
}

TEST(MelodyAnalysis, BarsFromTheMelodyOrFromBeatsPerBar)
{
    // Bar lines give the bars; a bar of no length is left out.
    EXPECT_EQ(F::bars(text("| C4:3.5 | C4:2 D4")), (std::vector<F::Bar>{{0, 3.5}, {3.5, 4}}));
    // Note lists: copies of beatsPerBar covering the length (10 beats: three bars of 4).
    EXPECT_EQ(F::bars(tune({{0, 1, 0, 1}}, {}, 4, 10)), (std::vector<F::Bar>{{0, 4}, {4, 4}, {8, 4}}));
    // No bar at all and length 0: still one bar.
    EXPECT_EQ(F::bars(text("")), (std::vector<F::Bar>{{0, 4}}));
    // Only a bar of no length and a length (from the bass) whose bar count is no usable integer: no grid.
    EXPECT_TRUE(F::bars(text("|", "C2:1e300")).empty());
    EXPECT_TRUE(F::bars(text("|", "C2:1e6", 0.5)).empty());
    EXPECT_TRUE(F::bars(text("|", "C2:8", 0)).empty());
    EXPECT_EQ(F::barStarts(tune({{0, 1, 0, 1}}, {}, 3, 9)), (std::vector<double>{0, 3, 6}));
}

TEST(MelodyAnalysis, PhrasesLastClosestToSixSeconds)
{
    const Melody sixteenBars = tune({{0, 1, 0, 1}}, {}, 4, 64);
    struct Case {
        double bpm;
        double beatsPerBar;
        double phraseBeats;
    } cases[] = {
        {120, 4, 16}, // 2 s bars: 8 s (0.288) beats 4 s (0.405)
        {90, 4, 8},   // 2.667 s bars: 5.33 s (0.118) beats 10.67 s (0.575)
        {240, 4, 32}, // 1 s bars: 8 bars
        {20, 4, 4},   // 12 s bars: one bar
        {0, 4, 4},    // the tempo counts as at least 1
        // Either side of the midpoint on the log scale between one and two bars (6/√2 s per bar).
        {60, 6 / std::sqrt(2.0) * 0.999, 2 * 6 / std::sqrt(2.0) * 0.999},
        {60, 6 / std::sqrt(2.0) * 1.001, 6 / std::sqrt(2.0) * 1.001},
    };
    for (const Case& c : cases) {
        const Melody m("m", "M", "", c.bpm, c.beatsPerBar, 60, {{0, 1, 0, 1}}, {}, c.beatsPerBar * 16);
        const std::vector<double> starts = F::phrases(m, c.bpm);
        ASSERT_GE(starts.size(), 2u) << c.bpm;
        EXPECT_DOUBLE_EQ(starts[1] - starts[0], c.phraseBeats) << c.bpm << " " << c.beatsPerBar;
    }
    EXPECT_EQ(F::phrases(sixteenBars, 120), (std::vector<double>{0, 16, 32, 48}));
    // Nine bars in four-bar phrases: the ninth bar is less than half a phrase and joins the second.
    EXPECT_EQ(F::phrases(tune({{0, 1, 0, 1}}, {}, 4, 36), 120), (std::vector<double>{0, 16}));
    // A lone short phrase is kept.
    EXPECT_EQ(F::phrases(tune({{0, 1, 0, 1}}, {}, 4, 4), 120), (std::vector<double>{0}));
}

TEST(MelodyAnalysis, EnergyIsNormalisedOnsetDensity)
{
    // Bar 0: four melody notes of 0.5; bar 1: two bass notes of 0.55 (weight 1 each); bar 2: nothing.
    const Melody m = tune(beatNotes(
                              1, [](int, int) { return 0; }, [](int) { return 0.5; }),
                          {{4, 1, -12, 0.55}, {6, 1, -12, 0.55}}, 4, 12);
    const std::vector<double> starts{0, 4, 8}, ends{4, 8, 12};
    const std::vector<double> e = F::energy(m, starts, ends);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e, (std::vector<double>{1, 1, 0})); // 2 / 4, 2 / 4 and 0 weighted onsets per beat
    const std::vector<double> uneven = F::energy(m, std::vector<double>{0, 8}, std::vector<double>{8, 12});
    EXPECT_EQ(uneven, (std::vector<double>{1, 0}));
    // Equal raw energies are all 0.5; no starts give nothing; too few ends are refused.
    EXPECT_EQ(F::energy(m, std::vector<double>{0, 4}, std::vector<double>{4, 8}), (std::vector<double>{0.5, 0.5}));
    EXPECT_TRUE(F::energy(m, {}, {}).empty());
    EXPECT_THROW(F::energy(m, starts, std::vector<double>{4}), std::invalid_argument);
    EXPECT_THROW(F::repeats(m, starts, std::vector<double>{4}), std::invalid_argument);
}

TEST(MelodyAnalysis, RepeatsPointAtTheFirstModel)
{
    // Four-beat phrases: A, A, A' (one note of four changed: 3/4 < 85 %), A, two notes only, same two.
    const auto phrase = [](double at, std::vector<int> pitches) {
        std::vector<Note> notes;
        for (std::size_t i = 0; i < pitches.size(); ++i) notes.push_back({at + double(i), 1, pitches[i], 0.7});
        return notes;
    };
    std::vector<Note> notes;
    for (auto [at, pitches] : std::vector<std::pair<double, std::vector<int>>>{
             {0, {0, 2, 4, 5}}, {4, {0, 2, 4, 5}}, {8, {0, 2, 4, 7}}, {12, {0, 2, 4, 5}}, {16, {0, 2}}, {20, {0, 2}}}) {
        auto more = phrase(at, pitches);
        notes.insert(notes.end(), more.begin(), more.end());
    }
    const Melody m = tune(notes, {}, 4, 24);
    const std::vector<double> starts{0, 4, 8, 12, 16, 20}, ends{4, 8, 12, 16, 20, 24};
    // Phrase 3 matches phrase 1 too, but phrase 1 is itself a repeat and never a model.
    EXPECT_EQ(F::repeats(m, starts, ends),
              (std::vector<std::optional<int>>{std::nullopt, 0, std::nullopt, 0, std::nullopt, std::nullopt}));
    // Lengths must match: the same four notes in a phrase half a beat shorter are no repeat.
    EXPECT_EQ(F::repeats(m, std::vector<double>{0, 4}, std::vector<double>{4, 8})[1], 0);
    EXPECT_EQ(F::repeats(m, std::vector<double>{0, 4}, std::vector<double>{4, 7.5})[1], std::nullopt);
}

TEST(MelodyAnalysis, OnsetsGroupNotesOnAGridOf48PerBeat)
{
    const std::vector<Note> notes{
        {1.0, 1, 0, 0.5}, {0.0 + 1.0 / 100, 1, 4, 0.6},
        {0.0, 1, 7, 0.4}, // 1/100 apart: one onset
        {2, 1, 0, 0.2},   {2, 1, 1, 0.2},
        {2, 1, 2, 0.3},   {2, 1, 3, 0.2},
        {2, 1, 4, 0.2},   {2, 1, 5, 0.2},
    };
    const std::vector<F::Onset> onsets = F::onsets(notes, 0.5);
    ASSERT_EQ(onsets.size(), 3u);
    EXPECT_DOUBLE_EQ(onsets[0].beat, 0.01); // the beat of the earlier-listed note
    EXPECT_DOUBLE_EQ(onsets[0].loudness, 1.1 * (0.6 / 0.5));
    EXPECT_DOUBLE_EQ(onsets[1].beat, 1.0);
    EXPECT_DOUBLE_EQ(onsets[1].loudness, 1.0);
    EXPECT_DOUBLE_EQ(onsets[2].loudness, 1.4 * (0.3 / 0.5)); // six notes count as five
}

TEST(MelodyAnalysis, BeatsFollowTheBarsThenWholeBeats)
{
    const std::vector<F::Beat> beats = F::beats(text("C4:3.5 |", "", 3), 6);
    const std::vector<F::Beat> expected{{0, 1, true},   {1, 1, false},   {2, 1, false},  {3, 0.5, false},
                                        {3.5, 1, true}, {4.5, 1, false}, {5.5, 1, false}};
    EXPECT_EQ(beats, expected);
    // A far `until` is bounded, not a hang.
    EXPECT_EQ(F::beats(text("C4 |"), 1e300).size(), 1 + static_cast<std::size_t>(MelodyFlight::maxFlightBeats));
}

TEST(MelodyAnalysis, HarmonyOnTheCircleOfFifths)
{
    // Bass roots in 4/4, changing at half bars: -1 (pc 11 → 5), 6 → 6, 1 → -5, 5 → -1, 5 again (no entry),
    // then a rest at the change point and two notes starting later together (the lower one, 0, is the root).
    const Melody m = tune({{0, 16, 0, 0.7}},
                          {{0, 2, -1, 0.55},
                           {2, 2, 6, 0.55},
                           {4, 2, 13, 0.55},
                           {6, 2, 5, 0.55},
                           {8, 2, -7, 0.55},
                           {10.5, 1, 4, 0.55},
                           {10.5, 1, 0, 0.55},
                           {11.8, 0.1, -20, 0.55}},
                          4, 16);
    const std::vector<F::Chord> expected{{0, 5}, {2, 6}, {4, -5}, {6, -1}, {10, 0}};
    EXPECT_EQ(F::harmony(m), expected);

    // Without bass: the pitch class held longest in each bar, ties to the lower one.
    const Melody melodyOnly =
        tune({{0, 3, 7, 0.7}, {3, 1, 0, 0.7}, {4, 2, 2, 0.7}, {6, 2, 9, 0.7}, {12, 4, 7, 0.7}}, {}, 4, 16);
    EXPECT_EQ(F::harmony(melodyOnly), (std::vector<F::Chord>{{0, 1}, {4, 2}, {12, 1}}));
}

} // namespace
} // namespace veltrane
