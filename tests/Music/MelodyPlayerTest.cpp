#include "Music/MelodyPlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>

using namespace veltrane;
using Event = MelodyPlayer::Event;
using Kind = Event::Kind;
using Part = Melody::Part;

namespace {

constexpr double rate = 48000;

Melody tune(std::vector<Melody::Note> notes, std::vector<Melody::Note> bass = {}, double length = -1, double bpm = 120)
{
    if (length < 0) {
        length = 0;
        for (const auto& n : notes) length = std::max(length, n.beat + n.length);
        for (const auto& n : bass) length = std::max(length, n.beat + n.length);
    }
    return Melody("t", "T", "", bpm, 4, 60, std::move(notes), std::move(bass), length);
}

// Four one-beat notes on the tonic and above.
Melody fourBeats() { return tune({{0, 1, 0, 0.8}, {1, 1, 2, 0.7}, {2, 1, 4, 0.7}, {3, 1, 5, 0.7}}); }

} // namespace

TEST(MelodyPlayer, FourNotesAtOneTwentyBPM)
{
    MelodyPlayer player(fourBeats(), 60, std::nullopt, false, true, 1000, rate);
    EXPECT_EQ(player.frame(1), 25000);
    EXPECT_EQ(player.beat(73000), 3);

    auto first = player.schedule(22600);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], (Event{1000, Kind::on, 60, 0.8, MelodyPlayer::firstID, Part::melody}));

    auto second = player.schedule(22601);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0], (Event{22600, Kind::off, 60, 0, MelodyPlayer::firstID, Part::melody}));

    auto third = player.schedule(25001);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].frame, 25000);
    EXPECT_EQ(third[0].note, 62);
    EXPECT_EQ(third[0].id, MelodyPlayer::firstID + 1);

    auto rest = player.schedule(200000);
    std::vector<std::int64_t> frames;
    for (const auto& e : rest) frames.push_back(e.frame);
    EXPECT_EQ(frames, (std::vector<std::int64_t>{46600, 49000, 70600, 73000, 94600}));
    EXPECT_TRUE(player.isFinished());
}

TEST(MelodyPlayer, ZeroLengthNoteGetsOneFrame)
{
    MelodyPlayer player(tune({{0, 0, 0, 0.8}}, {}, 1), 60, std::nullopt, false, false, 0, rate);
    auto events = player.schedule(10);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, Kind::off);
    EXPECT_EQ(events[1].frame, 1);
}

TEST(MelodyPlayer, LoopingAndFinishing)
{
    MelodyPlayer looping(fourBeats(), 60, std::nullopt, true, false, 0, rate);
    auto events = looping.schedule(4 * 24000 + 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, Kind::on);
    EXPECT_EQ(events.back().frame, 96000); // the second pass starts `length` beats after the first
    EXPECT_EQ(events.back().note, 60);
    EXPECT_FALSE(looping.isFinished());

    MelodyPlayer once(fourBeats(), 60, std::nullopt, false, false, 0, rate);
    once.schedule(72001);            // the last note's on
    EXPECT_FALSE(once.isFinished()); // its off is still to come
    once.schedule(93600);
    EXPECT_FALSE(once.isFinished());
    auto last = once.schedule(93601);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].kind, Kind::off);
    EXPECT_TRUE(once.isFinished());
    EXPECT_TRUE(once.schedule(10'000'000).empty());
}

TEST(MelodyPlayer, LoopShorterThanAFrameDoesNotHang)
{
    MelodyPlayer player(tune({{0, 1e-9, 0, 0.8}}, {}, 1e-9), 60, std::nullopt, true, false, 0, rate);
    EXPECT_EQ(player.schedule(48000).size(), 2u); // the first pass plays; later passes cannot advance
    EXPECT_TRUE(player.schedule(96000).empty());
    EXPECT_TRUE(player.stop(96000).empty());
}

TEST(MelodyPlayer, BassFloorAndOutOfRangeNotes)
{
    // Tonic 0: semitones are the notes. A melody note at 128 is skipped and takes no id.
    const Melody m = tune({{0, 1, 128, 0.8}, {1, 1, 64, 0.8}}, {{0, 1, 16, 0.5}, {1, 1, 27, 0.5}, {2, 1, -30, 0.5}});
    MelodyPlayer player(m, 0, std::nullopt, false, true, 0, rate);
    std::vector<Event> ons;
    for (const auto& e : player.schedule(1'000'000))
        if (e.kind == Kind::on) ons.push_back(e);
    ASSERT_EQ(ons.size(), 4u);
    EXPECT_EQ(ons[0].note, 28);
    EXPECT_EQ(ons[0].id, MelodyPlayer::firstBassID);
    EXPECT_EQ(ons[1].note, 64);
    EXPECT_EQ(ons[1].id, MelodyPlayer::firstID);
    EXPECT_EQ(ons[2].note, 39);
    EXPECT_EQ(ons[3].note, 30);
    EXPECT_EQ(ons[3].id, MelodyPlayer::firstBassID + 2);
}

TEST(MelodyPlayer, BassSwitchedOnMidPass)
{
    const Melody m = tune({{0, 4, 0, 0.8}}, {{0, 1, -12, 0.5}, {1, 1, -10, 0.5}, {2, 1, -8, 0.5}});
    MelodyPlayer player(m, 60, std::nullopt, false, false, 0, rate);
    for (const auto& e : player.schedule(30000)) EXPECT_EQ(e.part, Part::melody);
    EXPECT_TRUE(player.setBass(true, 30000).empty());
    EXPECT_TRUE(player.bass());
    std::vector<int> bassNotes;
    for (const auto& e : player.schedule(200000))
        if (e.kind == Kind::on && e.part == Part::bass) bassNotes.push_back(e.note);
    EXPECT_EQ(bassNotes, (std::vector<int>{52})); // beat 1 was skipped while off; beat 2 plays
}

TEST(MelodyPlayer, IDSequencesWrapWithoutOverflow)
{
    EXPECT_EQ(MelodyPlayer::followingID(MelodyPlayer::firstID, Part::melody), MelodyPlayer::firstID + 1);
    EXPECT_EQ(MelodyPlayer::followingID(0xFFFFFFF, Part::melody), 0x100000);
    EXPECT_EQ(MelodyPlayer::followingID(0x7FFFFFFE, Part::bass), 0x7FFFFFFF);
    EXPECT_EQ(MelodyPlayer::followingID(0x7FFFFFFF, Part::bass), 0x10000000);

    EXPECT_EQ(MelodyPlayer::part(0xFFFFF), std::nullopt);
    EXPECT_EQ(MelodyPlayer::part(-1), std::nullopt);
    EXPECT_EQ(MelodyPlayer::part(0x100000), Part::melody);
    EXPECT_EQ(MelodyPlayer::part(0xFFFFFFF), Part::melody);
    EXPECT_EQ(MelodyPlayer::part(0x10000000), Part::bass);
    EXPECT_EQ(MelodyPlayer::part(0x7FFFFFFF), Part::bass);
}

TEST(MelodyPlayer, EqualFramesOffsThenMelodyOnsThenBassOns)
{
    // The first note's off falls exactly on beat 1, where a melody and a bass note start.
    const Melody m = tune({{0, 1 / 0.9, 0, 0.8}, {1, 1, 2, 0.8}}, {{1, 1, -12, 0.5}}, 2);
    MelodyPlayer player(m, 60, std::nullopt, false, true, 0, rate);
    auto events = player.schedule(24001);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].frame, 24000);
    EXPECT_EQ(events[1].kind, Kind::off);
    EXPECT_EQ(events[2].frame, 24000);
    EXPECT_EQ(events[2].part, Part::melody);
    EXPECT_EQ(events[3].part, Part::bass);

    // Regardless of the order they come in; equal events keep their order.
    std::vector<Event> mixed{
        {5, Kind::on, 40, 0.5, 7, Part::bass},  {5, Kind::on, 60, 0.8, 1, Part::melody},
        {5, Kind::off, 61, 0, 2, Part::bass},   {4, Kind::on, 62, 0.8, 3, Part::bass},
        {5, Kind::off, 63, 0, 4, Part::melody}, {5, Kind::on, 64, 0.8, 5, Part::melody},
    };
    MelodyPlayer::sortEvents(mixed);
    std::vector<std::int32_t> ids;
    for (const auto& e : mixed) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{3, 4, 2, 1, 5, 7}));
}

TEST(MelodyPlayer, TempoChangeReanchorsAtTheHorizon)
{
    MelodyPlayer player(fourBeats(), 60, std::nullopt, false, false, 0, rate);
    auto first = player.schedule(12000); // first on; its off (21600) waits
    const double beatAtHorizon = player.beat(12000);
    player.setTempo(10);
    EXPECT_EQ(player.bpm(), 20);
    EXPECT_DOUBLE_EQ(player.beat(12000), beatAtHorizon);
    auto next = player.schedule(30000);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].frame, 21600); // the waiting off keeps the frame computed at the old tempo
    // Beat 1 is half a beat after the anchor: 0.5 beats at 20 BPM = 1.5 s.
    EXPECT_EQ(player.frame(1), 12000 + 72000);
}

// Tempi that make no music are limited, at creation and on a change alike; after the fastest, a
// return to a normal tempo goes on from where the tune is instead of replaying what it skipped.
TEST(MelodyPlayer, TempoIsLimitedBothWays)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double asked;
        double bpm;
    } cases[] = {{97.5, 97.5},
                 {10, 20},
                 {-inf, 20},
                 {std::nan(""), 20},
                 {1e300, MelodyPlayer::maximumBPM},
                 {inf, MelodyPlayer::maximumBPM}};
    for (const auto& c : cases) {
        EXPECT_EQ(MelodyPlayer(fourBeats(), 60, c.asked, false, false, 0, rate).bpm(), c.bpm) << c.asked;

        MelodyPlayer player(fourBeats(), 60, std::nullopt, true, false, 0, rate);
        std::int64_t clock = 0;
        for (int i = 0; i < 10; ++i) player.schedule(clock += 800);
        player.setTempo(c.asked);
        EXPECT_EQ(player.bpm(), c.bpm) << c.asked;
        for (int i = 0; i < 10; ++i) player.schedule(clock += 800);
        player.setTempo(120);
        EXPECT_TRUE(std::isfinite(player.beat(clock))) << c.asked;
        // One display frame at 120 BPM holds at most one note of the tune and its off.
        EXPECT_LE(player.schedule(clock += 800).size(), 2u) << c.asked;
    }
}

TEST(MelodyPlayer, StopCutsFutureNotesAndCarryOverLeavesThemOut)
{
    MelodyPlayer player(fourBeats(), 60, std::nullopt, false, false, 1000, rate);
    auto sent = player.schedule(26000); // on at 1000 and 25000, off at 22600
    auto offs = player.stop(20000);
    ASSERT_EQ(offs.size(), 2u);
    EXPECT_EQ(offs[0], (Event{20000, Kind::off, 60, 0, MelodyPlayer::firstID, Part::melody}));
    EXPECT_EQ(offs[1], (Event{25001, Kind::off, 62, 0, MelodyPlayer::firstID + 1, Part::melody}));
    EXPECT_TRUE(player.isFinished());
    EXPECT_FALSE(player.loop);

    sent.insert(sent.end(), offs.begin(), offs.end());
    for (std::int64_t at : {0, 1000, 20000, 25000, 25001, 30000})
        for (const auto& e : MelodyPlayer::carryOver(sent, at)) EXPECT_NE(e.id, MelodyPlayer::firstID + 1) << at;
}

TEST(MelodyPlayer, PruneAndCarryOverAtAnOffFrame)
{
    const std::vector<Event> sent{
        {1000, Kind::on, 60, 0.8, 1, Part::melody},
        {22600, Kind::off, 60, 0, 1, Part::melody},
        {25000, Kind::on, 62, 0.7, 2, Part::melody},
        {46600, Kind::off, 62, 0, 2, Part::melody},
    };
    auto kept = sent;
    MelodyPlayer::prune(kept, 22600);
    EXPECT_EQ(kept, sent);
    MelodyPlayer::prune(kept, 22601);
    EXPECT_EQ(kept, (std::vector<Event>(sent.begin() + 2, sent.end())));

    EXPECT_EQ(MelodyPlayer::carryOver(sent, 22600), (std::vector<Event>(sent.begin() + 2, sent.end())));
    // A note sounding at the start moves its on there; one that has not begun is unchanged.
    const auto carried = MelodyPlayer::carryOver(sent, 10000);
    ASSERT_EQ(carried.size(), 4u);
    EXPECT_EQ(carried[0].frame, 10000);
    EXPECT_EQ(carried[0].id, 1);
    EXPECT_EQ(carried[1].frame, 22600);
    EXPECT_EQ(carried[2].frame, 25000);
}

TEST(MelodyPlayer, Progress)
{
    MelodyPlayer player(fourBeats(), 60, std::nullopt, false, false, 1000, rate);
    EXPECT_EQ(player.progress(0), 0);
    EXPECT_EQ(player.progress(1000 + 24000), 0.25);
    player.schedule(200000);
    EXPECT_EQ(player.progress(1000 + 4 * 24000), 1);
    EXPECT_EQ(MelodyPlayer(tune({}, {}, 0), 60, std::nullopt, false, false, 0, rate).progress(5000), 0);

    MelodyPlayer looping(fourBeats(), 60, std::nullopt, true, false, 0, rate);
    looping.schedule(5 * 24000 + 1);
    EXPECT_EQ(looping.progress(5 * 24000), 0.25);
}

// A note handed out whose off is still waiting when the display frame stalls past it: stopping must
// still release it, or it sounds for good.
TEST(MelodyPlayer, StopAfterAStalledFrameReleasesWaitingNotes)
{
    MelodyPlayer player(fourBeats(), 60, std::nullopt, false, false, 1000, rate);
    auto on = player.schedule(22600);
    ASSERT_EQ(on.size(), 1u);
    auto offs = player.stop(50000); // the clock jumped past the off at 22600
    ASSERT_EQ(offs.size(), 1u);
    EXPECT_EQ(offs[0], (Event{50000, Kind::off, 60, 0, on[0].id, Part::melody}));
}

TEST(MelodyPlayer, BassOffAfterAStalledFrameReleasesWaitingBassNotes)
{
    const Melody m = tune({{0, 4, 0, 0.8}}, {{0, 1, -12, 0.5}});
    MelodyPlayer player(m, 60, std::nullopt, true, true, 0, rate);
    auto on = player.schedule(100);
    ASSERT_EQ(on.size(), 2u);
    auto offs = player.setBass(false, 60000); // bass off (21600) waits, the clock is past it
    ASSERT_EQ(offs.size(), 1u);
    EXPECT_EQ(offs[0].id, MelodyPlayer::firstBassID);
    EXPECT_EQ(offs[0].frame, 60000);
    // The bass off is no longer handed out by schedule; the melody's still is.
    auto later = player.schedule(100000);
    for (const auto& e : later) EXPECT_NE(e.part, Part::bass);
    EXPECT_EQ(std::count_if(later.begin(), later.end(), [](const Event& e) { return e.kind == Kind::off; }), 1);
}

// Whatever the caller does (stalls, tempo changes, bass switches, loops), every note that was handed
// out is eventually released by exactly the events the player returns.
TEST(MelodyPlayer, NothingStaysSounding)
{
    const Melody m("t", "T", "", 140, 4, "C4", "C4:.5 D4 E4:1/3 F4 G4 | A4:2 r:.25 B4:1.75 |", "C2:1 G2 | C3:3 r:1");
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        MelodyPlayer player(m, 60, std::nullopt, seed % 2 == 0, true, 500, rate);
        std::map<std::int32_t, std::int64_t> sounding; // id -> on-frame
        auto take = [&](const std::vector<Event>& events) {
            for (const auto& e : events) {
                if (e.kind == Kind::on)
                    sounding[e.id] = e.frame;
                else if (sounding.contains(e.id)) {
                    EXPECT_GT(e.frame, sounding[e.id]);
                    sounding.erase(e.id);
                }
            }
        };
        std::int64_t clock = 0;
        for (int step = 0; step < 60; ++step) {
            const unsigned r = random() % 20;
            clock += r == 0 ? 200000 : 800; // now and then a stalled frame
            if (r == 1) take(player.setBass(!player.bass(), clock));
            if (r == 2) player.setTempo(60 + random() % 180);
            take(player.schedule(clock + 7200));
        }
        take(player.stop(clock + static_cast<std::int64_t>(random() % 300000)));
        EXPECT_TRUE(sounding.empty()) << "seed " << seed << ": " << sounding.size() << " notes left sounding";
    }
}
