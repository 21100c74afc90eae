// MIDI input and output through a private JACK server on its dummy backend, with a JACK MIDI client
// of the test's own on the other side.
#include "../Support/JackMidiPeer.h"
#include "../Support/JackServer.h"

#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIClock.h"
#include "MIDIIO/MIDIInput.h"
#include "MIDIIO/MIDIOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

using namespace veltrane;
using E = MIDIEvent;
using testsupport::JackMidiPeer;

namespace {

class MIDIJack : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = server.start(48000, 256, false, /*synchronous*/ true);
        ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;
        ASSERT_TRUE(peer.open("peer"));
    }
    void TearDown() override { peer.close(); }

    // Pumps the main queue until `done` or the time is up; true when done.
    bool pumpUntil(const std::function<bool()>& done, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            queue.pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::string outputPortName()
    {
        const char** ports = jack_get_ports(peer.client(), "^Veltrane Out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        std::string name = ports && ports[0] ? ports[0] : "";
        jack_free(ports);
        return name;
    }

    testsupport::JackServer server;
    JackMidiPeer peer;
    MainQueue queue; // on the steady clock: the polling timer runs in real time
};

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

TEST_F(MIDIJack, ThousandEventsInBurstsArriveInOrderAroundMalformedOnes)
{
    const std::string keys = peer.addOutput("keys");
    MIDIInput input("Veltrane", MidiBackend::automatic, queue);
    std::vector<MIDIEvent> got;
    std::vector<std::int32_t> ids;
    input.onEvent = [&](const MIDIEvent& e, std::int32_t id) {
        got.push_back(e);
        ids.push_back(id);
    };
    input.start();
    ASSERT_EQ(input.backend(), MidiBackend::jack);
    ASSERT_TRUE(contains(input.sourceNames(), keys));

    std::vector<MIDIEvent> expected;
    std::vector<std::vector<std::uint8_t>> messages;
    for (int i = 0; i < 1000; ++i) {
        const auto ch = static_cast<std::uint8_t>(i % 16), a = static_cast<std::uint8_t>(i % 128),
                   b = static_cast<std::uint8_t>(1 + i % 127);
        switch (i % 5) {
        case 0:
            messages.push_back({std::uint8_t(0x90 | ch), a, b});
            expected.push_back(E::noteOn(a, b, ch));
            break;
        case 1:
            messages.push_back({std::uint8_t(0x80 | ch), a, b});
            expected.push_back(E::noteOff(a, b, ch));
            break;
        case 2:
            messages.push_back({std::uint8_t(0xB0 | ch), 74, a});
            expected.push_back(E::controlChange(74, a, ch));
            break;
        case 3:
            messages.push_back({0xB0, 64, std::uint8_t(i % 2 ? 127 : 0)});
            expected.push_back(E::controlChange(64, i % 2 ? 127 : 0, 0));
            break;
        case 4:
            messages.push_back({0xF8});
            expected.push_back(E::clock());
            break;
        }
        // Malformed messages between them change nothing around them.
        if (i % 97 == 0) messages.push_back({0x92});
        if (i % 89 == 0) messages.push_back({60, 64});
        if (i % 101 == 0) {
            std::vector<std::uint8_t> sysex(1 + i % 700, 0x11);
            sysex.front() = 0xF0;
            sysex.push_back(0xF7);
            messages.push_back(sysex);
        }
    }
    // Bursts of about a hundred messages in one period each.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        peer.send(keys, messages[i]);
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    ASSERT_TRUE(pumpUntil([&] { return got.size() >= expected.size(); }, 20)) << got.size() << " arrived";
    queue.pump();
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [&](std::int32_t id) { return id == midiPortId(keys); }));
}

TEST_F(MIDIJack, PortsThatComeAndGoAreFollowed)
{
    MIDIInput input("Veltrane", MidiBackend::automatic, queue);
    std::vector<MIDIEvent> got;
    input.onEvent = [&](const MIDIEvent& e, std::int32_t) { got.push_back(e); };
    int changes = 0;
    auto token = input.sources().observe([&] { ++changes; });
    input.start();
    EXPECT_TRUE(input.sources().get().empty());

    const std::string late = peer.addOutput("late");
    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return contains(input.sourceNames(), late); }, 5));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count(), 2.0);
    EXPECT_EQ(changes, 1);
    peer.send(late, {0x90, 60, 100});
    ASSERT_TRUE(pumpUntil([&] { return !got.empty(); }, 5));
    EXPECT_EQ(got.front(), E::noteOn(60, 100, 0));

    peer.removePort(late);
    ASSERT_TRUE(pumpUntil([&] { return input.sources().get().empty(); }, 5));
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(input.isRunning().get());
    input.stop();
}

TEST_F(MIDIJack, TimedSendsLeaveAtTheFrameOfTheirStamp)
{
    MIDIOutput out("Veltrane");
    out.start();
    ASSERT_TRUE(out.isRunning());
    ASSERT_EQ(out.backend(), MidiBackend::jack);
    const std::string source = outputPortName();
    EXPECT_EQ(out.uniqueID(), midiPortId(source));
    const std::string rec = peer.addInput("rec");
    ASSERT_TRUE(peer.connect(source, rec));

    // Notes stamped 2.7 ms apart (so they fall at every offset of the 5.3 ms periods), then clock.
    std::vector<std::uint64_t> stamps;
    const std::uint64_t first = HostTime::fromNow(0.1);
    for (int i = 0; i < 300; ++i) {
        stamps.push_back(first + static_cast<std::uint64_t>(i) * 2'700'000u);
        out.send(E::noteOn(static_cast<std::uint8_t>(i % 128), 100, static_cast<std::uint8_t>(i / 128)), stamps.back());
    }
    MIDIClockOut clock(120);
    clock.start(0.95);
    for (std::uint64_t t : clock.pump(1.2)) {
        out.send(E::clock(), t);
        stamps.push_back(t);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1400));
    const auto received = peer.received(rec);
    ASSERT_EQ(received.size(), stamps.size());
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        worst = std::max(worst, std::abs(received[i].frameHostNs - static_cast<std::int64_t>(stamps[i])));
        EXPECT_EQ(received[i].bytes.size(), i < 300 ? 3u : 1u);
    }
    // 1 ms = 48 frames at the server's 48 kHz.
    EXPECT_LE(worst, 1'000'000) << "ns between a stamp and the time of its JACK frame";
    EXPECT_EQ(received.back().bytes, (std::vector<std::uint8_t>{0xF8}));

    // Stopping releases what it turned on, also with the note-off still far ahead.
    out.send(E::noteOn(70, 80, 9), 0);
    out.send(E::noteOff(70, 0, 9), HostTime::fromNow(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    out.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto after = peer.received(rec);
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const auto& m) {
        return m.bytes == std::vector<std::uint8_t>{0x89, 70, 0};
    }));
}
