#include "Music/Melody.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace veltrane;

TEST(Melody, NoteNames)
{
    const struct {
        const char* text;
        std::optional<int> note;
    } cases[] = {
        {"C4", 60},  {"A4", 69},   {"G#3", 56},  {"Bb2", 46}, {"Cb4", 59}, {"E#4", 65}, {"C-1", 0},
        {"C+4", 60}, {"G9", 127},  {"C10", 132}, {"c4", {}},  {"H4", {}},  {"C", {}},   {"C#", {}},
        {"C4x", {}}, {"C##4", {}}, {"", {}},     {" C4", {}}, {"C4 ", {}}, {"C-", {}},  {"C99999999999", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(Melody::midi(c.text), c.note) << c.text;
}

TEST(Melody, Durations)
{
    const struct {
        const char* text;
        std::optional<double> beats;
    } cases[] = {
        {"1/2", 0.5},   {".25", 0.25}, {"2", 2.0}, {"1.5", 1.5}, {"1/3", 1.0 / 3}, {"0/2", 0.0},
        {"-1/2", -0.5}, {"0", {}},     {"-1", {}}, {"1/0", {}},  {"1/-2", {}},     {"1/2/3", {}},
        {"", {}},       {"/", {}},     {"x", {}},  {"1/x", {}},  {"nan", {}},      {"inf", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(Melody::length(c.text), c.beats) << c.text;
}

TEST(Melody, DurationPersistsAcrossTokensAndBars)
{
    const auto parsed = Melody::parse("D5:1 G4:.5 A4 | B4 C5", 60, "t");
    ASSERT_EQ(parsed.notes.size(), 5u);
    const double beats[] = {0, 1, 1.5, 2, 2.5};
    const double lengths[] = {1, 0.5, 0.5, 0.5, 0.5};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(parsed.notes[i].beat, beats[i]) << i;
        EXPECT_EQ(parsed.notes[i].length, lengths[i]) << i;
    }
    EXPECT_EQ(parsed.notes[0].semitones, 14);
    EXPECT_EQ(parsed.notes[1].semitones, 7);
    EXPECT_EQ(parsed.bars, (std::vector<double>{2, 1}));
    EXPECT_EQ(parsed.length, 3);
}

TEST(Melody, RestsAccentsAndBarStartVelocities)
{
    // Bar 1: rest then a note (not on the bar's first beat); bar 2: accent on the first beat;
    // bar 3: plain first-beat note and a note after it.
    const auto parsed = Melody::parse("r:.75 C4 | >D4:1 E4 | F4 G4", 60, "t");
    ASSERT_EQ(parsed.notes.size(), 5u);
    EXPECT_EQ(parsed.notes[0].beat, 0.75);
    EXPECT_EQ(parsed.notes[0].length, 0.75); // the rest set the duration for what follows
    EXPECT_EQ(parsed.notes[0].velocity, 0.7);
    EXPECT_EQ(parsed.notes[1].velocity, 0.95);
    EXPECT_EQ(parsed.notes[2].velocity, 0.7);
    EXPECT_EQ(parsed.notes[3].velocity, 0.82);
    EXPECT_EQ(parsed.notes[4].velocity, 0.7);
    EXPECT_EQ(parsed.bars, (std::vector<double>{1.5, 2, 2}));
}

TEST(Melody, BarLines)
{
    const struct {
        const char* text;
        std::vector<double> bars;
        double length;
    } cases[] = {
        {"", {}, 0},
        {"  \n\t ", {}, 0},
        {"| C4 | | D4", {0, 1, 0, 1}, 2}, // a leading bar line and two adjacent ones record empty bars
        {"C4 D4 |", {2}, 2},              // ending on a bar line adds no final bar
        {"C4 D4 | E4:.5", {2, 0.5}, 2.5}, // ending mid-bar adds the partial bar
        {"E4:", {1}, 1},                  // an empty duration is no duration
    };
    for (const auto& c : cases) {
        const auto parsed = Melody::parse(c.text, 60, "t");
        EXPECT_EQ(parsed.bars, c.bars) << c.text;
        EXPECT_EQ(parsed.length, c.length) << c.text;
    }
}

TEST(Melody, PickupBarOfABuiltInOpening)
{
    const auto parsed = Melody::parse("E5:.25 D#5 |\nE5 D#5 E5 B4 D5 C5 |", 69, "fur-elise");
    EXPECT_EQ(parsed.bars, (std::vector<double>{0.5, 1.5}));
    ASSERT_EQ(parsed.notes.size(), 8u);
    for (size_t i = 0; i < parsed.notes.size(); ++i) {
        EXPECT_EQ(parsed.notes[i].length, 0.25);
        EXPECT_EQ(parsed.notes[i].velocity, i == 0 || i == 2 ? 0.82 : 0.7) << i;
    }
}

TEST(Melody, DefectiveTextsThrow)
{
    for (const char* text : {"C4 X4", ">", "C4:0", "C4:1/2/3", ">|", "c4"})
        EXPECT_THROW(Melody::parse(text, 60, "t"), std::invalid_argument) << text;
    EXPECT_THROW(Melody("t", "T", "", 120, 4, "H4", "C4", ""), std::invalid_argument);
}

TEST(Melody, TextInitializerScalesBassAndTakesLongerLength)
{
    const Melody m("id", "Name", "Credit", 96, 3, "G3", ">G3 A3 | B3", "G2:2 | D3 | G2:4");
    EXPECT_EQ(m.tonic(), 55);
    EXPECT_EQ(m.bpm(), 96);
    EXPECT_EQ(m.beatsPerBar(), 3);
    EXPECT_EQ(m.length(), 8);
    EXPECT_EQ(m.bars(), (std::vector<double>{2, 1}));
    EXPECT_EQ(m.bassBars(), (std::vector<double>{2, 2, 4}));
    ASSERT_EQ(m.bass().size(), 3u);
    EXPECT_EQ(m.bass()[0].semitones, -12);
    EXPECT_DOUBLE_EQ(m.bass()[0].velocity, 0.451);
    EXPECT_DOUBLE_EQ(Melody("a", "", "", 120, 4, "C4", "", ">C3 C3 D3").bass()[0].velocity, 0.5225);
    EXPECT_DOUBLE_EQ(Melody("a", "", "", 120, 4, "C4", "", ">C3 C3 D3").bass()[2].velocity, 0.385);
    EXPECT_EQ(m.notes()[0].velocity, 0.95); // melody velocities are not scaled

    const Melody noBass("id", "Name", "", 120, 4, "C4", "C4 D4", "");
    EXPECT_TRUE(noBass.bass().empty());
    EXPECT_TRUE(noBass.bassBars().empty());
}

TEST(Melody, NoteListInitializerDerivesBars)
{
    const std::vector<Melody::Note> notes{{0, 1, 0, 0.8}};
    const struct {
        double length;
        std::vector<Melody::Note> bass;
        std::vector<double> bars;
        std::vector<double> bassBars;
    } cases[] = {
        {10, notes, {4, 4, 4}, {4, 4, 4}},
        {8, {}, {4, 4}, {}},
        {0, {}, {4}, {}},
    };
    for (const auto& c : cases) {
        const Melody m("m", "M", "", 120, 4, 60, notes, c.bass, c.length);
        EXPECT_EQ(m.bars(), c.bars) << c.length;
        EXPECT_EQ(m.bassBars(), c.bassBars) << c.length;
        EXPECT_EQ(m.length(), c.length);
    }
    const Melody a("m", "M", "", 120, 4, 60, notes, {}, 4);
    EXPECT_EQ(a, Melody("m", "M", "", 120, 4, 60, notes, {}, 4));
    EXPECT_NE(a, Melody("m", "M", "x", 120, 4, 60, notes, {}, 4));
}
