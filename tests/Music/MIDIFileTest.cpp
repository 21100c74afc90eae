#include "Music/MIDIFile.h"

#include <gtest/gtest.h>

#include "MIDIBuilder.h"

namespace veltrane {
namespace {

using namespace test;
using Kind = MIDIFile::Failure::Kind;

MIDIFile read(const Bytes& bytes) { return MIDIFile(std::span<const uint8_t>(bytes)); }

// The failure a file raises, or nothing when it reads.
std::optional<MIDIFile::Failure> failureOf(const Bytes& bytes)
{
    try {
        read(bytes);
    } catch (const MIDIFile::Failure& failure) {
        return failure;
    }
    return std::nullopt;
}

TEST(MIDIFileFailure, MessagesAreTheUserFacingTexts)
{
    EXPECT_STREQ(MIDIFile::Failure::notMIDI().what(), "This isn't a MIDI file.");
    EXPECT_STREQ(MIDIFile::Failure::truncated().what(), "This MIDI file is cut short.");
    EXPECT_STREQ(MIDIFile::Failure::noNotes().what(), "This MIDI file has no notes to play.");
    EXPECT_STREQ(MIDIFile::Failure::unsupported("SMPTE timing").what(),
                 "This MIDI file uses SMPTE timing, which Veltrane can't read.");
    EXPECT_EQ(MIDIFile::Failure::unsupported("format 3"), MIDIFile::Failure::unsupported("format 3"));
    EXPECT_FALSE(MIDIFile::Failure::unsupported("format 3") == MIDIFile::Failure::unsupported("format 4"));
    EXPECT_FALSE(MIDIFile::Failure::notMIDI() == MIDIFile::Failure::truncated());
}

TEST(MIDIFileFailure, MalformedFilesFailWithTheirKind)
{
    Bytes shortFile = header(0, 1, 480) + chunk("MTrk", Bytes(50, 0), 100);
    Bytes thirteen = header(0, 1, 480);
    thirteen.resize(13);
    Bytes notMThd = header(0, 1, 480);
    notMThd[3] = 'x';
    Bytes longHeaderCut = header(0, 0, 480, 20);
    longHeaderCut.resize(20);

    struct Case {
        const char* what;
        Bytes bytes;
        MIDIFile::Failure failure;
    };
    const std::vector<Case> cases = {
        {"13 bytes", thirteen, MIDIFile::Failure::notMIDI()},
        {"no MThd", notMThd, MIDIFile::Failure::notMIDI()},
        {"header length 5", header(0, 0, 480, 5) + Bytes(2, 0), MIDIFile::Failure::notMIDI()},
        {"further header bytes missing", longHeaderCut, MIDIFile::Failure::truncated()},
        {"format 3", header(3, 1, 480), MIDIFile::Failure::unsupported("format 3")},
        {"format 65535", header(65535, 1, 480), MIDIFile::Failure::unsupported("format 65535")},
        {"time-code division", header(1, 1, 0xE250), MIDIFile::Failure::unsupported("SMPTE timing")},
        {"division 0", header(0, 1, 0), MIDIFile::Failure::notMIDI()},
        {"track declares 100 bytes, 50 remain", shortFile, MIDIFile::Failure::truncated()},
        {"skipped chunk longer than the file", header(0, 1, 480) + chunk("XFIH", Bytes(4, 0), 9),
         MIDIFile::Failure::truncated()},
        {"variable-length number of five bytes",
         header(0, 1, 480) + chunk("MTrk", {0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 100}),
         MIDIFile::Failure::notMIDI()},
        {"delta time with nothing after it", header(0, 1, 480) + chunk("MTrk", {0x00}), MIDIFile::Failure::truncated()},
        {"delta time cut inside", header(0, 1, 480) + chunk("MTrk", {0x81}), MIDIFile::Failure::truncated()},
        {"data byte without running status", header(0, 1, 480) + chunk("MTrk", {0x00, 60, 100}),
         MIDIFile::Failure::notMIDI()},
        {"data byte right after a meta event", smf(0, 480, {TrackBuilder().on(0, 60).name("x").event(0, {60, 0})}),
         MIDIFile::Failure::notMIDI()},
        {"data byte right after a sysex",
         smf(0, 480, {TrackBuilder().on(0, 60).event(0, {0xF0, 1, 0xF7}).event(0, {60, 0})}),
         MIDIFile::Failure::notMIDI()},
        {"system common status in a track", smf(0, 480, {TrackBuilder().event(0, {0xF2, 0, 0})}),
         MIDIFile::Failure::notMIDI()},
        {"real-time status in a track", smf(0, 480, {TrackBuilder().event(0, {0xF8})}), MIDIFile::Failure::notMIDI()},
        {"note on without its velocity", smf(0, 480, {TrackBuilder().event(0, {0x90, 60})}),
         MIDIFile::Failure::truncated()},
        {"program change without its program", smf(0, 480, {TrackBuilder().event(0, {0xC0})}),
         MIDIFile::Failure::truncated()},
        {"meta event without its type", smf(0, 480, {TrackBuilder().event(0, {0xFF})}), MIDIFile::Failure::truncated()},
        {"meta event shorter than its length", smf(0, 480, {TrackBuilder().event(0, {0xFF, 0x03, 5, 'a'})}),
         MIDIFile::Failure::truncated()},
        {"sysex shorter than its length", smf(0, 480, {TrackBuilder().event(0, {0xF0, 0x7F, 1})}),
         MIDIFile::Failure::truncated()},
        {"failure in a later track",
         smf(1, 480, {TrackBuilder().on(0, 60).off(10, 60).end(), TrackBuilder().event(0, {0xF4})}),
         MIDIFile::Failure::notMIDI()},
    };
    for (const auto& c : cases) {
        auto failure = failureOf(c.bytes);
        ASSERT_TRUE(failure.has_value()) << c.what;
        EXPECT_EQ(*failure, c.failure) << c.what << ": " << failure->what();
    }
}

TEST(MIDIFile, ReadsAScaleWithItsTimingAndSignatures)
{
    TrackBuilder t;
    t.name("Piano").tempo(500000).timeSignature(3, 3).keySignature(-3, true);
    t.melody({60, 62, 64, 65, 67, 69, 71, 72}, 480, 90);
    const MIDIFile file = read(smf(0, 480, {t.end()}));

    EXPECT_EQ(file.format, 0);
    EXPECT_EQ(file.ticksPerQuarter, 480);
    EXPECT_EQ(file.tempo, 500000);
    EXPECT_EQ(file.timeSignature, (MIDIFile::TimeSignature{3, 8}));
    EXPECT_EQ(file.keySignature, (MIDIFile::KeySignature{-3, true}));
    EXPECT_EQ(file.trackNames, (std::map<int, std::string>{{0, "Piano"}}));
    ASSERT_EQ(file.notes.size(), 8u);
    const int keys[] = {60, 62, 64, 65, 67, 69, 71, 72};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(file.notes[i], (MIDIFile::Note{480 * i, 480, keys[i], 90, 0, 0})) << i;
}

TEST(MIDIFile, PairsNotesFirstInFirstOut)
{
    // Two overlapping C4s on one channel, a note-on of velocity 0 as note-off, running status.
    TrackBuilder t;
    t.on(0, 60, 100).on(100, 60, 50).off(100, 60).event(100, {0x90, 60, 0});
    t.event(0, {0x90, 64, 70}).event(10, {64, 0}).event(0, {67, 80}).event(20, {67, 0});
    t.off(5, 72); // nothing open: ignored
    const MIDIFile file = read(smf(0, 96, {t.end()}));
    EXPECT_EQ(file.notes, (std::vector<MIDIFile::Note>{
                              {0, 200, 60, 100, 0, 0},
                              {100, 200, 60, 50, 0, 0},
                              {300, 10, 64, 70, 0, 0},
                              {310, 20, 67, 80, 0, 0},
                          }));
}

TEST(MIDIFile, ClosesOpenNotesAtTheEndOfTheTrack)
{
    // An open note ends at the end-of-track event; a note-on that is the track's last event lasts one tick;
    // two notes open on one key both end at the same end; bytes after end-of-track are never read.
    TrackBuilder a;
    a.on(0, 48).on(100, 50).on(100, 50).end(60).raw({0xF4, 0xF4});
    TrackBuilder b; // no end-of-track event: the chunk's bytes end the track
    b.on(0, 70).on(40, 72);
    const MIDIFile file = read(smf(1, 96, {a, b}));
    EXPECT_EQ(file.notes, (std::vector<MIDIFile::Note>{
                              {0, 260, 48, 100, 0, 0},
                              {0, 40, 70, 100, 0, 1},
                              {40, 1, 72, 100, 0, 1},
                              {100, 160, 50, 100, 0, 0},
                              {200, 60, 50, 100, 0, 0},
                          }));
}

TEST(MIDIFile, SortsByTickKeyAndTrackKeepingCloseOrder)
{
    TrackBuilder t0, t1;
    t0.on(10, 64).on(0, 60).off(5, 64).off(0, 60);
    // Two C4s from tick 0 on channels 1 and 2, the later-opened one closed first; then a C4 at tick 10.
    t1.on(0, 60, 80, 1).on(0, 60, 90, 2).off(5, 60, 2).off(0, 60, 1).on(5, 60, 70, 3).off(5, 60, 3);
    const MIDIFile file = read(smf(1, 96, {t0, t1}));
    EXPECT_EQ(file.notes, (std::vector<MIDIFile::Note>{
                              {0, 5, 60, 90, 2, 1},
                              {0, 5, 60, 80, 1, 1},
                              {10, 5, 60, 100, 0, 0},
                              {10, 5, 60, 70, 3, 1},
                              {10, 5, 64, 100, 0, 0},
                          }));
}

TEST(MIDIFile, SkipsWhatAMelodyDoesNotNeed)
{
    TrackBuilder t;
    t.event(0, {0xF0, 3, 1, 2, 0xF7}).event(0, {0xF7, 1, 0}); // sysex, escape
    t.event(0, {0xB0, 7, 100}).event(0, {0xC0, 5}).event(0, {0xD0, 9}).event(0, {0xE0, 0, 64}).event(0, {0xA0, 60, 1});
    t.meta(0, 0x01, {'t', 'e', 'x', 't'}).meta(0, 0x7F, {1, 2, 3});
    t.meta(0, 0x51, {7, 0xA1}).meta(0, 0x58, {4}).meta(0, 0x59, {2}); // too short: not a tempo or signature
    t.on(0, 60).off(480, 60).end();
    // Header of 10 bytes, a foreign chunk before the track, bytes after the last track.
    const Bytes bytes = header(2, 1, 240, 10) + chunk("XFIH", {1, 2, 3}) + chunk("MTrk", t.bytes()) + Bytes{1, 2, 3};
    const MIDIFile file = read(bytes);
    EXPECT_EQ(file.format, 2);
    EXPECT_EQ(file.ticksPerQuarter, 240);
    EXPECT_FALSE(file.tempo);
    EXPECT_FALSE(file.timeSignature);
    EXPECT_FALSE(file.keySignature);
    EXPECT_TRUE(file.trackNames.empty());
    EXPECT_EQ(file.notes, (std::vector<MIDIFile::Note>{{0, 480, 60, 100, 0, 0}}));
}

TEST(MIDIFile, TheFirstTempoAndSignaturesInFileOrderWin)
{
    TrackBuilder t0, t1;
    t0.tempo(400000, 1000).timeSignature(6, 9, 0).keySignature(200 - 256, false);
    t1.tempo(300000).timeSignature(2, 1).keySignature(3, true).tempo(200000);
    const MIDIFile file = read(smf(1, 96, {t0, t1}));
    EXPECT_EQ(file.tempo, 400000);
    EXPECT_EQ(file.timeSignature, (MIDIFile::TimeSignature{6, 64})); // the power of two stops at 6
    EXPECT_EQ(file.keySignature, (MIDIFile::KeySignature{-56, false}));
}

TEST(MIDIFile, KeepsTheFirstNonEmptyNameOfEachTrack)
{
    TrackBuilder t0, t1, t2, t3;
    t0.name(" \t\r\n ").name("\x01 Melody \x7f\n").name("Later");
    t1.name("R\xC3\xA9ponse \xFF\xC3"); // invalid bytes become U+FFFD
    t2.name("   ");
    t3.name("\xE2\x80\x8B Bass\xC2\xA0"); // zero-width space and no-break space are trimmed
    const MIDIFile file = read(smf(1, 96, {t0, t1, t2, t3}));
    EXPECT_EQ(file.trackNames,
              (std::map<int, std::string>{{0, "Melody"}, {1, "R\xC3\xA9ponse \xEF\xBF\xBD\xEF\xBF\xBD"}, {3, "Bass"}}));
}

TEST(MIDIFile, ReadsTheTracksThatAreThere)
{
    // Declares three tracks, holds one, then a few stray bytes; a foreign chunk does not count as a track.
    TrackBuilder t;
    t.on(0, 60).off(10, 60);
    const MIDIFile short3 = read(header(1, 3, 96) + chunk("MTrk", t.bytes()) + Bytes{0, 0, 0});
    EXPECT_EQ(short3.notes.size(), 1u);

    TrackBuilder u;
    u.on(0, 62).off(10, 62);
    const MIDIFile skipped = read(header(1, 2, 96) + chunk("MTrk", t.bytes()) + chunk("XYZW", {9}) +
                                  chunk("MTrk", u.bytes()) + chunk("MTrk", u.bytes()));
    ASSERT_EQ(skipped.notes.size(), 2u); // the third track chunk is beyond the declared count
    EXPECT_EQ(skipped.notes[1].track, 1);

    const MIDIFile empty = read(header(0, 0, 96));
    EXPECT_TRUE(empty.notes.empty());
}

} // namespace
} // namespace veltrane
