// MIDI input and output on the in-process dummy system: the logic of connecting, listing, delivering
// and sending, without a MIDI server.
#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIInput.h"
#include "MIDIIO/MIDIOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace veltrane;
using E = MIDIEvent;

namespace {

struct Received {
    MIDIEvent event;
    std::int32_t id;
    friend bool operator==(const Received&, const Received&) = default;
};

class MIDIDummy : public ::testing::Test {
protected:
    void SetUp() override { MidiDummy::reset(); }
    void TearDown() override { MidiDummy::reset(); }

    ManualClock clock;
    MainQueue queue{clock};
};

// What a dummy output sends, as it leaves.
struct Tap {
    Tap()
    {
        MidiDummy::setOutputTap([this](const std::string& port, const std::uint8_t* b, std::size_t n) {
            std::lock_guard lock(mutex);
            sent.push_back({port, HostTime::now(), std::vector<std::uint8_t>(b, b + n)});
        });
    }
    ~Tap() { MidiDummy::setOutputTap(nullptr); }
    struct Message {
        std::string port;
        std::uint64_t at;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Message> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
    }
    std::mutex mutex;
    std::vector<Message> sent;
};

} // namespace

TEST_F(MIDIDummy, SourcesAreConnectedListedAndSorted)
{
    MidiDummy::addSource("hw:keys-9", "Keys", 9);
    MidiDummy::addSource("hw:keys-4", "Keys", 4);
    MidiDummy::addSource("hw:alpha", "Alpha", 77);
    MidiDummy::addSource("hw:anon", "", 5);
    MidiDummy::addSource("hw:sleeping", "Sleeping", 6, /*offline*/ true);
    MidiDummy::addSource("hw:stubborn", "Stubborn", 8, false, /*refuseConnections*/ true);

    MIDIInput input("Veltrane", MidiBackend::dummy, queue);
    int notified = 0;
    auto token = input.sources().observe([&] { ++notified; });
    input.refresh(); // while stopped: nothing
    EXPECT_TRUE(input.sources().get().empty());
    EXPECT_EQ(MidiDummy::connectionCount("hw:alpha"), 0);

    input.start();
    EXPECT_TRUE(input.isRunning().get());
    EXPECT_EQ(input.sourceNames(), (std::vector<std::string>{"Alpha", "Keys", "Keys", "MIDI source"}));
    EXPECT_EQ(input.sources().get()[1].id, 4);
    EXPECT_EQ(input.sources().get()[2].id, 9);
    EXPECT_EQ(MidiDummy::connectionCount("hw:sleeping"), 1); // offline: connected, not listed
    EXPECT_EQ(MidiDummy::connectionCount("hw:stubborn"), 0);
    EXPECT_EQ(notified, 1);
    input.start(); // once
    EXPECT_EQ(MidiDummy::connectionCount("hw:alpha"), 1);

    // An unchanged system notifies nobody; a new source is found by the polling timer.
    input.refresh();
    EXPECT_EQ(notified, 1);
    MidiDummy::addSource("hw:late", "Late", 3);
    clock.advance(MIDIInput::pollInterval);
    queue.pump();
    EXPECT_EQ(input.sourceNames(), (std::vector<std::string>{"Alpha", "Keys", "Keys", "Late", "MIDI source"}));
    EXPECT_EQ(MidiDummy::connectionCount("hw:late"), 1);
    EXPECT_EQ(notified, 2);

    // A vanished source is dropped; an ignored one is disconnected at once.
    MidiDummy::removeSource("hw:keys-9");
    input.setIgnoredSourceIDs({77});
    EXPECT_EQ(input.sourceNames(), (std::vector<std::string>{"Keys", "Late", "MIDI source"}));
    EXPECT_EQ(MidiDummy::connectionCount("hw:alpha"), 0);

    input.stop();
    EXPECT_FALSE(input.isRunning().get());
    EXPECT_TRUE(input.sources().get().empty());
    EXPECT_EQ(MidiDummy::connectionCount("hw:late"), 0);
    input.stop();
}

TEST_F(MIDIDummy, EventsReachTheMainThreadOnlyWhileTheGenerationHolds)
{
    MidiDummy::addSource("hw:a", "A", 11);
    MIDIInput input("Veltrane", MidiBackend::dummy, queue);
    std::vector<Received> got;
    input.onEvent = [&](const MIDIEvent& e, std::int32_t id) { got.push_back({e, id}); };
    input.start();

    // Decoded on the system's thread (here, this one), delivered at the next pump.
    MidiDummy::send("hw:a", {0x90, 60, 100, 62, 0, 0xF8});
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(queue.pump(), 1u);
    EXPECT_EQ(got, (std::vector<Received>{{E::noteOn(60, 100, 0), 11}, {E::noteOff(62, 0, 0), 11}, {E::clock(), 11}}));

    // A message with no event makes no main-thread work.
    MidiDummy::send("hw:a", {0xF0, 1, 2, 3, 0xF7});
    MidiDummy::send("hw:a", {0x90});
    EXPECT_EQ(queue.pump(), 0u);

    // Stopped with events on their way: none arrives, also not after a new start.
    got.clear();
    MidiDummy::send("hw:a", {0xB0, 7, 1});
    input.stop();
    input.start();
    queue.pump();
    EXPECT_TRUE(got.empty());

    // Clearing the callback in the middle of a list ends that list.
    input.onEvent = [&](const MIDIEvent& e, std::int32_t id) {
        got.push_back({e, id});
        input.onEvent = nullptr;
    };
    MidiDummy::send("hw:a", {0x90, 1, 1, 2, 1, 3, 1});
    queue.pump();
    EXPECT_EQ(got, (std::vector<Received>{{E::noteOn(1, 1, 0), 11}}));

    // An input destroyed with events on their way: the queued task finds nothing.
    {
        MIDIInput other("Other", MidiBackend::dummy, queue);
        other.onEvent = [&](const MIDIEvent&, std::int32_t) { ADD_FAILURE() << "delivered after destruction"; };
        other.start();
        MidiDummy::send("hw:a", {0x90, 1, 1});
    }
    queue.pump();
}

TEST_F(MIDIDummy, OutputSendsAtItsTimesAndIsHeardByAnInput)
{
    Tap tap;
    MIDIOutput out("Veltrane", MidiBackend::dummy);
    out.send(E::clock(), 0); // stopped: nothing
    out.start();
    ASSERT_TRUE(out.isRunning());
    EXPECT_EQ(out.uniqueID(), midiPortId("Veltrane Out:Veltrane"));

    MIDIInput input("Veltrane", MidiBackend::dummy, queue);
    std::vector<Received> got;
    input.onEvent = [&](const MIDIEvent& e, std::int32_t id) { got.push_back({e, id}); };
    input.start();
    ASSERT_EQ(input.sourceNames(), (std::vector<std::string>{"Veltrane"}));

    const std::uint64_t at = HostTime::fromNow(0.05), off = HostTime::fromNow(0.08);
    out.note(60, 0, 0, at, off);
    out.send(std::vector<MIDIEvent>{}, 0);
    ASSERT_TRUE(out.isRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto sent = tap.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, (std::vector<std::uint8_t>{0x90, 60, 1})); // velocity 0 still sounds
    EXPECT_EQ(sent[1].bytes, (std::vector<std::uint8_t>{0x80, 60, 0}));
    EXPECT_GE(sent[0].at, at);
    EXPECT_GE(sent[1].at, off);
    EXPECT_LT(sent[0].at - at, 20'000'000u); // a scheduler thread on a busy machine: loose bound
    queue.pump();
    EXPECT_EQ(got.size(), 2u);

    // Ignoring the output's own id: the input no longer hears it.
    input.setIgnoredSourceIDs({out.uniqueID()});
    EXPECT_TRUE(input.sources().get().empty());
}

TEST_F(MIDIDummy, ALongListIsSplitAndStoppingReleasesEveryNote)
{
    Tap tap;
    MIDIOutput out("Veltrane", MidiBackend::dummy);
    out.start();
    // 2048 note-ons at one time: 8 kB of words, twice the event-list buffer.
    std::vector<MIDIEvent> chord;
    for (int ch = 0; ch < 16; ++ch)
        for (int n = 0; n < 128; ++n)
            chord.push_back(E::noteOn(static_cast<std::uint8_t>(n), 100, static_cast<std::uint8_t>(ch)));
    out.send(chord, 0);
    // A note turned on but whose note-off still waits when the output stops.
    out.note(61, 90, 3, 0, HostTime::fromNow(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto sent = tap.take();
    ASSERT_EQ(sent.size(), chord.size() + 1);
    for (std::size_t i = 0; i < chord.size(); ++i) {
        std::uint8_t b[3];
        chord[i].bytes(b);
        ASSERT_EQ(sent[i].bytes, std::vector<std::uint8_t>(b, b + 3)) << i; // in order, none lost
    }
    EXPECT_EQ(out.dropped(), 0u);

    out.stop();
    sent = tap.take();
    EXPECT_EQ(sent.size(), 16u * 128u); // every note it turned on, 61 on channel 3 among them
    const auto has = [&](std::vector<std::uint8_t> bytes) {
        return std::any_of(sent.begin(), sent.end(), [&](const Tap::Message& m) { return m.bytes == bytes; });
    };
    EXPECT_TRUE(has({0x83, 61, 0}));
    EXPECT_TRUE(has({0x8F, 127, 0}));
    EXPECT_FALSE(out.isRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(tap.take().empty());

    // Destroying a running output releases its notes too.
    {
        MIDIOutput other("Other", MidiBackend::dummy);
        other.start();
        other.send(E::noteOn(5, 5, 5), 0);
        other.send(E::noteOff(5, 0, 5), HostTime::fromNow(30));
    }
    sent = tap.take(); // the note-on, unless it was still waiting, and then its note-off
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().bytes, (std::vector<std::uint8_t>{0x85, 5, 0}));
}

TEST_F(MIDIDummy, NoMIDISystemMeansNoSourcesAndNoOutput)
{
    // Neither JACK nor the ALSA sequencer exists in a bare test environment; when they do, this test
    // says nothing.
    MIDIOutput out("Veltrane", MidiBackend::alsa);
    EXPECT_NO_THROW(out.start());
    MIDIInput input("Veltrane", MidiBackend::alsa, queue);
    EXPECT_NO_THROW(input.start());
    if (out.backend() == MidiBackend::none) {
        EXPECT_FALSE(out.isRunning());
        out.send(E::clock(), 0);
        EXPECT_TRUE(input.sources().get().empty());
        EXPECT_EQ(input.backend(), MidiBackend::none);
    }
}
