#include "Music/MIDIFile.h"
#include "Music/Melody.h"

#include <gtest/gtest.h>

#include <cmath>

#include "MIDIBuilder.h"

namespace veltrane {
namespace {

using namespace test;
using N = MIDIFile::Note;

MIDIFile fileOf(std::vector<N> notes, int ticksPerQuarter = 96)
{
    MIDIFile file;
    file.ticksPerQuarter = ticksPerQuarter;
    file.notes = std::move(notes);
    return file;
}

std::optional<MIDIFile::Failure> importFailure(const MIDIFile& file)
{
    try {
        Melody::fromMIDI(file, "id", "name");
    } catch (const MIDIFile::Failure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST(MelodyFromMIDI, ImportsAScaleInFourFour)
{
    TrackBuilder t;
    t.tempo(500000).timeSignature(4, 2).melody({60, 62, 64, 65, 67, 69, 71, 72}, 480, 127);
    const Bytes bytes = smf(0, 480, {t.end()});
    const Melody m = Melody::fromMIDI(MIDIFile(std::span<const uint8_t>(bytes)), "scale", "Scale");

    EXPECT_EQ(m.id(), "scale");
    EXPECT_EQ(m.name(), "Scale");
    EXPECT_EQ(m.credit(), "MIDI file");
    EXPECT_EQ(m.bpm(), 120);
    EXPECT_EQ(m.beatsPerBar(), 4);
    // Ends on C5 with a median melody key of G4: the tonic is the C within six semitones above it.
    EXPECT_EQ(m.tonic(), 72);
    EXPECT_EQ(m.length(), 8);
    EXPECT_EQ(m.bars(), (std::vector<double>{4, 4}));
    EXPECT_TRUE(m.bass().empty());
    EXPECT_TRUE(m.bassBars().empty());
    ASSERT_EQ(m.notes().size(), 8u);
    const int keys[] = {60, 62, 64, 65, 67, 69, 71, 72};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(m.notes()[i], (Melody::Note{double(i), 1, keys[i] - 72, 1.0})) << i;
}

TEST(MelodyFromMIDI, SettlesTheTempo)
{
    struct Case {
        std::optional<int> fileTempo;
        std::optional<double> bpm;
        double expected;
    };
    const Case cases[] =
        {
            {250000, {}, 240}, {100000, {}, 300},  {3000000, {}, 30},      {{}, {}, 120},
            {0, {}, 120}, // a zero tempo is corrupt: the default, never a division by zero
            {1, {}, 300},      {16777215, {}, 30}, {500000, 97.25, 97.3},  {{}, 66, 66},
            {{}, 1000, 300},   {{}, -5, 30},       {{}, std::nan(""), 30}, {{}, 72.04, 72},
        };
    for (const auto& c : cases) {
        MIDIFile file = fileOf({{0, 96, 60, 100, 0, 0}});
        file.tempo = c.fileTempo;
        const Melody m = Melody::fromMIDI(file, "t", "T", std::nullopt, c.bpm);
        EXPECT_DOUBLE_EQ(m.bpm(), c.expected) << c.fileTempo.value_or(-1) << " " << c.bpm.value_or(-1);
    }
}

TEST(MelodyFromMIDI, FailsWithoutNotesToPlay)
{
    TrackBuilder drums;
    drums.melody({36, 38, 42}, 96, 100, 9);
    const Bytes drumFile = smf(1, 96, {drums});
    const Bytes noTracks = header(1, 0, 96);
    for (const Bytes* bytes : {&drumFile, &noTracks}) {
        const MIDIFile file{std::span<const uint8_t>(*bytes)}; // the reader itself accepts it
        auto failure = importFailure(file);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), MIDIFile::Failure::Kind::noNotes);
        EXPECT_STREQ(failure->what(), "This MIDI file has no notes to play.");
    }
}

TEST(MelodyFromMIDI, SeparatesTheBass)
{
    // One part entirely below the bass line is still the melody.
    const Melody low = Melody::fromMIDI(fileOf({{0, 96, 40, 127, 0, 0}, {96, 96, 45, 127, 0, 0}}), "a", "A");
    EXPECT_EQ(low.notes().size(), 2u);
    EXPECT_TRUE(low.bass().empty());

    // Two channels of one track with mean keys 64 and 45: a melody and a bass, bass velocities scaled.
    const MIDIFile twoParts = fileOf({{0, 96, 43, 127, 1, 0},
                                      {0, 96, 62, 127, 0, 0},
                                      {96, 96, 47, 127, 1, 0},
                                      {96, 96, 66, 127, 0, 0},
                                      {192, 96, 42, 100, 9, 0}});
    const Melody split = Melody::fromMIDI(twoParts, "b", "B");
    ASSERT_EQ(split.notes().size(), 2u);
    ASSERT_EQ(split.bass().size(), 2u);
    EXPECT_EQ(split.bass()[0].semitones + split.tonic(), 43);
    EXPECT_DOUBLE_EQ(split.bass()[0].velocity, 0.55);
    EXPECT_DOUBLE_EQ(split.notes()[0].velocity, 1.0);
    EXPECT_EQ(split.bassBars(), split.bars());

    // All parts low: the highest of them is the melody.
    const Melody allLow = Melody::fromMIDI(fileOf({{0, 96, 30, 127, 0, 0}, {0, 96, 40, 127, 0, 1}}), "c", "C");
    ASSERT_EQ(allLow.notes().size(), 1u);
    EXPECT_EQ(allLow.notes()[0].semitones + allLow.tonic(), 40);

    // Given bass tracks replace the mean-key rule: a high track can be the bass, a low one the melody.
    const MIDIFile tracks = fileOf({{0, 96, 40, 127, 0, 0}, {0, 96, 80, 127, 0, 1}, {0, 96, 84, 127, 3, 1}});
    const Melody named = Melody::fromMIDI(tracks, "d", "D", "credit", std::nullopt, std::set<int>{1});
    EXPECT_EQ(named.notes().size(), 1u);
    EXPECT_EQ(named.bass().size(), 2u);
    const Melody none = Melody::fromMIDI(tracks, "e", "E", "credit", std::nullopt, std::set<int>{});
    EXPECT_EQ(none.notes().size(), 3u);
    EXPECT_TRUE(none.bassBars().empty());
    const Melody allBass = Melody::fromMIDI(tracks, "f", "F", "credit", std::nullopt, std::set<int>{0, 1});
    EXPECT_TRUE(allBass.notes().empty());
    EXPECT_EQ(allBass.bass().size(), 3u);
}

TEST(MelodyFromMIDI, StartsAtTheBarLineAndFillsWholeBars)
{
    struct Case {
        const char* what;
        std::optional<MIDIFile::TimeSignature> signature;
        int ticksPerQuarter;
        std::vector<N> notes;
        double beatsPerBar, firstBeat, length;
    };
    const std::vector<Case> cases = {
        {"first note at beat 5", MIDIFile::TimeSignature{4, 4}, 96, {{480, 96, 60, 100, 0, 0}}, 4, 1, 4},
        {"8.000002 beats", {}, 1'000'000, {{0, 8'000'002, 60, 100, 0, 0}}, 4, 0, 8},
        {"8.0001 beats", {}, 10'000, {{0, 80'001, 60, 100, 0, 0}}, 4, 0, 12},
        {"half a beat", {}, 96, {{0, 48, 60, 100, 0, 0}}, 4, 0, 4},
        {"6/8", MIDIFile::TimeSignature{6, 8}, 96, {{96 * 4, 96 * 3, 60, 100, 0, 0}}, 3, 1, 6},
        {"2/2", MIDIFile::TimeSignature{2, 2}, 96, {{0, 96, 60, 100, 0, 0}}, 4, 0, 4},
        {"1/16", MIDIFile::TimeSignature{1, 16}, 96, {{0, 96, 60, 100, 0, 0}}, 0.5, 0, 1},
        {"0/4", MIDIFile::TimeSignature{0, 4}, 96, {{0, 96, 60, 100, 0, 0}}, 0.5, 0, 1},
        {"denominator 0", MIDIFile::TimeSignature{3, 0}, 96, {{0, 96, 60, 100, 0, 0}}, 12, 0, 12},
    };
    for (const auto& c : cases) {
        MIDIFile file = fileOf(c.notes, c.ticksPerQuarter);
        file.timeSignature = c.signature;
        const Melody m = Melody::fromMIDI(file, "s", "S");
        EXPECT_EQ(m.beatsPerBar(), c.beatsPerBar) << c.what;
        EXPECT_DOUBLE_EQ(m.notes()[0].beat, c.firstBeat) << c.what;
        EXPECT_EQ(m.length(), c.length) << c.what;
        EXPECT_EQ(m.bars().size(), size_t(std::llround(c.length / c.beatsPerBar))) << c.what;
    }
}

TEST(MelodyFromMIDI, FindsTheTonic)
{
    // Melody median 67 (G4); 72 (C5) for the minor case.
    const std::vector<N> aroundG = {{0, 96, 62, 100, 0, 0}, {96, 96, 67, 100, 0, 0}, {192, 96, 71, 100, 0, 0}};
    const std::vector<N> aroundC = {{0, 96, 69, 100, 0, 0}, {96, 96, 72, 100, 0, 0}, {192, 96, 75, 100, 0, 0}};
    // Ends on G3 B4 D5 while an E3 held from the start still sounds and an F2 has ended: the lowest
    // sounding key is E. A held note that ends exactly at the last onset no longer sounds.
    const std::vector<N> endsOverE = {{0, 300, 52, 100, 0, 0},  {0, 96, 41, 100, 0, 2},   {96, 96, 67, 100, 0, 0},
                                      {192, 96, 55, 100, 0, 1}, {192, 96, 71, 100, 0, 0}, {192, 96, 74, 100, 0, 0}};
    std::vector<N> endsOnG = endsOverE;
    endsOnG[0].length = 192;
    struct Case {
        const char* what;
        std::vector<N> notes;
        std::optional<MIDIFile::KeySignature> key;
        int tonic;
    };
    const std::vector<Case> cases = {
        {"D major", aroundG, MIDIFile::KeySignature{2, false}, 62},
        {"C minor", aroundC, MIDIFile::KeySignature{-3, true}, 72},
        {"A minor", aroundC, MIDIFile::KeySignature{0, true}, 69},
        {"B minor", aroundG, MIDIFile::KeySignature{2, true}, 71},
        {"out-of-range key signature", aroundG, MIDIFile::KeySignature{-128, false}, 64},
        {"C major is ignored", endsOverE, MIDIFile::KeySignature{0, false}, 64},
        {"no key signature", endsOverE, std::nullopt, 64},
        {"a note ending at the last onset", endsOnG, std::nullopt, 67},
    };
    for (const auto& c : cases) {
        MIDIFile file = fileOf(c.notes);
        file.keySignature = c.key;
        const Melody m = Melody::fromMIDI(file, "k", "K");
        EXPECT_EQ(m.tonic(), c.tonic) << c.what;
        EXPECT_EQ(m.notes()[0].semitones, c.notes[0].key - c.tonic) << c.what;
    }
}

TEST(MelodyFromMIDI, ChoosesTheCredit)
{
    struct Case {
        std::map<int, std::string> names;
        std::optional<std::string> credit;
        std::string expected;
    };
    const Case cases[] = {
        {{{0, "Piano"}}, "Bach, 1722", "Bach, 1722"},
        {{{2, "Left"}, {1, "Right"}}, std::nullopt, "Right"},
        {{{0, "Tune"}, {1, "Other"}}, std::nullopt, "MIDI file"}, // the first name is the tune's own
        {{}, std::nullopt, "MIDI file"},
    };
    for (const auto& c : cases) {
        MIDIFile file = fileOf({{0, 96, 60, 100, 0, 0}});
        file.trackNames = c.names;
        EXPECT_EQ(Melody::fromMIDI(file, "tune", "Tune", c.credit).credit(), c.expected);
    }
}

TEST(MelodyFromMIDI, RefusesAPieceLongerThanAnyRealOne)
{
    const int limit = MIDIFile::maxMelodyBars;
    // Exactly the limit in 4/4 is a melody; one bar more is refused before any bar list is made.
    EXPECT_EQ(Melody::fromMIDI(fileOf({{0, int64_t(96) * 4 * limit, 60, 100, 0, 0}}), "a", "A").bars().size(),
              size_t(limit));
    EXPECT_FALSE(importFailure(fileOf({{96 * 4 * 100, int64_t(96) * 4 * limit, 60, 100, 0, 0}})));

    // A hostile file: one tick per quarter and the largest delta times, thousands of times over.
    TrackBuilder t;
    t.timeSignature(1, 6).on(0, 60);
    for (int i = 0; i < 1000; ++i) t.event(0x0FFFFFFF, {0xB0, 1, 0});
    const Bytes hostile = smf(0, 1, {t});
    const MIDIFile file{std::span<const uint8_t>(hostile)};
    ASSERT_EQ(file.notes.size(), 1u);
    EXPECT_EQ(file.notes[0].length, int64_t(1000) * 0x0FFFFFFF);

    auto failure = importFailure(file);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), MIDIFile::Failure::Kind::unsupported);
    EXPECT_STREQ(failure->what(), "This MIDI file uses more than 2000 bars, which Veltrane can't read.");
    auto justOver = importFailure(fileOf({{0, int64_t(96) * 4 * limit + 1, 60, 100, 0, 0}}));
    ASSERT_TRUE(justOver);
    EXPECT_EQ(justOver->kind(), MIDIFile::Failure::Kind::unsupported);
}

} // namespace
} // namespace veltrane
