#pragma once
// A sound bridge on the real parts: the live engine on a private JACK dummy server (or on the null
// backend, driven by the test), MIDI through JACK MIDI ports with a peer client of the test's own on
// the other side, the main queue pumped by the test, and the frame tick driven by the state's
// hand-driven clock.
#include "../Support/JackMidiPeer.h"
#include "../Support/JackServer.h"
#include "../Support/WaitFor.h"
#include "StateFixture.h"

#include "MIDIIO/MIDIEvent.h"
#include "Platform/Gpu/GpuDevice.h"
#include "Platform/Resources/Resources.h"
#include "VeltraneApp/SoundBridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veltrane::test {

class BridgeFixture : public StateFixture {
protected:
    static constexpr double frameSeconds = 1.0 / 120;

    void SetUp() override
    {
        Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
        const std::string why = server.start(48000, 256, false, /*synchronous*/ true);
        ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;
        ASSERT_TRUE(peer.open("peer"));
        peerIn = peer.addInput("in");
        peerOut = peer.addOutput("keys");
        ASSERT_FALSE(peerIn.empty());
        ASSERT_FALSE(peerOut.empty());
    }

    void TearDown() override
    {
        bridge.reset();
        peer.close();
    }

    // The bridge on JACK (or the null backend, with or without a microphone) with JACK MIDI, started
    // and wired. Every kernel event
    // it queues lands in `events`, every log line in `logLines`, every MIDI event delivered to it
    // counts in `delivered`.
    void makeBridge(AudioBackend audio = AudioBackend::jack, int nullInputChannels = 2)
    {
        SoundBridge::Setup setup;
        setup.audio.backend = audio;
        setup.audio.nullInputChannels = nullInputChannels;
        setup.audio.clientName = "Veltrane";
        setup.midiBackend = MidiBackend::jack;
        setup.mainQueue = &queue;
        setup.clock = &clock;
        setup.flightDevice = [] { return GpuDevice::create({.preferCpu = true}); };
        setup.log = [this](const std::string& line) { logLines.push_back(line); };
        bridge = std::make_unique<SoundBridge>(std::move(setup));
        nullAudio = audio == AudioBackend::null;
        bridge->engine().eventTap = [this](const vk_event& e) { events.push_back(e); };
        bridge->start();
        bridge->wire(*state);
        auto inner = bridge->midiInput().onEvent;
        bridge->midiInput().onEvent = [this, inner](const MIDIEvent& e, std::int32_t id) {
            ++delivered;
            inner(e, id);
        };
        lastFrame = bridge->engine().currentFrame();
    }

    // One display frame: the audio moves on by at least one period first (on the null backend the
    // test renders it), then the clock moves by a frame, the main queue runs and the bridge ticks.
    void tick(int count = 1, bool audio = true)
    {
        for (int i = 0; i < count; ++i) {
            if (audio) advanceAudio();
            clock.advance(frameSeconds);
            queue.pump();
            state->advance(clock.now());
            bridge->frame(*state, clock.now());
        }
    }

    void advanceAudio()
    {
        if (nullAudio) {
            bridge->engine().audio().renderNull(256);
        } else {
            const std::int64_t from = lastFrame;
            ASSERT_TRUE(testsupport::waitFor([&] { return bridge->engine().currentFrame() != from; }, 30))
                << "the audio stood still";
        }
        lastFrame = bridge->engine().currentFrame();
    }

    // Ticks until `done` (at most `frames` ticks); true when done.
    bool tickUntil(const std::function<bool()>& done, int frames)
    {
        for (int i = 0; i < frames; ++i) {
            if (done()) return true;
            tick();
        }
        return done();
    }

    // Pumps the main queue (no frame tick) until `done` or the time is up.
    bool pumpUntil(const std::function<bool()>& done, double seconds = 20)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            queue.pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // MIDI out on, its port connected to the peer's input.
    void connectMIDIOut()
    {
        state->midiOut.set(true);
        tick();
        ASSERT_TRUE(bridge->midiOutput().isRunning());
        const char** ports = jack_get_ports(peer.client(), "^Veltrane", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
        std::string name = ports && ports[0] ? ports[0] : "";
        jack_free(ports);
        ASSERT_FALSE(name.empty());
        ASSERT_TRUE(peer.connect(name, peerIn));
        // The graph takes the connection at a coming period; a loaded server may take a while.
        jack_port_t* in = jack_port_by_name(peer.client(), peerIn.c_str());
        ASSERT_TRUE(testsupport::waitFor([&] { return jack_port_connected(in) > 0; }, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // The MIDI input connected to the peer's output (a source appearing later is found by polling).
    void awaitMIDIIn()
    {
        ASSERT_TRUE(pumpUntil([&] {
            for (const auto& source : bridge->midiInput().sources().get())
                if (source.name == peerOut) return true;
            return false;
        }));
        // The connection is made by the same refresh; give JACK a couple of periods to settle it.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    // Sends bytes from the peer and pumps until the bridge has been handed one more event.
    void sendMIDI(std::vector<std::uint8_t> bytes)
    {
        const int before = delivered;
        peer.send(peerOut, std::move(bytes));
        ASSERT_TRUE(pumpUntil([&] { return delivered > before; })) << "a MIDI message did not arrive";
    }

    // Everything the peer has received so far, accumulated.
    const std::vector<testsupport::JackMidiPeer::Message>& received()
    {
        for (auto& m : peer.received(peerIn)) midiIn.push_back(std::move(m));
        return midiIn;
    }

    // Forgets what the peer has received so far.
    void forgetMIDI()
    {
        received();
        midiIn.clear();
    }

    // Waits (pumping) until the MIDI sent so far has had time to leave: the melody is scheduled at
    // most a fraction of a second ahead.
    void settleMIDI(double seconds = 0.6)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            queue.pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::vector<vk_event> eventsOfType(int type) const
    {
        std::vector<vk_event> out;
        for (const vk_event& e : events)
            if (e.type == type) out.push_back(e);
        return out;
    }

    testsupport::JackServer server;
    testsupport::JackMidiPeer peer;
    std::string peerIn, peerOut;
    MainQueue queue;
    std::unique_ptr<SoundBridge> bridge;
    bool nullAudio = false;
    std::int64_t lastFrame = 0;
    std::vector<vk_event> events;
    std::vector<std::string> logLines;
    std::vector<testsupport::JackMidiPeer::Message> midiIn;
    int delivered = 0;
};

// A MIDI message as the peer saw it.
struct Seen {
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::int64_t frame = 0;
    std::int64_t hostNs = 0; // the steady-clock time of that frame
    int kind() const { return status & 0xF0; }
    int channel() const { return status & 0x0F; }
};

inline std::vector<Seen> decode(const std::vector<testsupport::JackMidiPeer::Message>& messages)
{
    std::vector<Seen> out;
    for (const auto& m : messages) {
        if (m.bytes.empty()) continue;
        Seen s{m.bytes[0], 0, 0, m.frame, m.frameHostNs};
        if (m.bytes.size() > 1) s.data1 = m.bytes[1];
        if (m.bytes.size() > 2) s.data2 = m.bytes[2];
        // A note-on of velocity 0 is a note-off.
        if (s.kind() == 0x90 && s.data2 == 0) s.status = static_cast<std::uint8_t>(0x80 | s.channel());
        out.push_back(s);
    }
    return out;
}

// The notes (channel x 128 + note) a listening synthesizer would still be playing after `seen`.
inline std::vector<int> stillSounding(const std::vector<Seen>& seen)
{
    std::map<int, bool> on;
    for (const Seen& s : seen) {
        if (s.kind() == 0x90) on[s.channel() * 128 + s.data1] = true;
        if (s.kind() == 0x80) on[s.channel() * 128 + s.data1] = false;
    }
    std::vector<int> out;
    for (const auto& [key, sounding] : on)
        if (sounding) out.push_back(key);
    return out;
}

// The key voices (ids) the kernel would still be holding after `events`: each key-on needs a key-off
// after it (or an all-keys-off at or after it).
inline std::vector<std::int32_t> keysHeld(std::vector<vk_event> events)
{
    std::stable_sort(events.begin(), events.end(),
                     [](const vk_event& a, const vk_event& b) { return a.frame < b.frame; });
    std::map<std::int32_t, bool> held;
    for (const vk_event& e : events) {
        if (e.type == 4) held[e.id] = true;
        if (e.type == 5) held[e.id] = false;
        if (e.type == 6)
            for (auto& [id, h] : held) h = false;
    }
    std::vector<std::int32_t> out;
    for (const auto& [id, h] : held)
        if (h) out.push_back(id);
    return out;
}

} // namespace veltrane::test
