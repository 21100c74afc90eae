// MIDI latency through a private JACK server on its dummy backend (48 kHz, 256-frame periods,
// synchronous), over 10,000 events each way:
//   - input: from the moment another JACK client writes an event in its process callback to the
//     event's delivery on the main queue (pumped continuously, so its own interval adds nothing);
//   - output: from an event's host-time stamp to the time of the JACK frame it left at, as the
//     receiving client reads that frame's time in the same period.
// Counters: median and 99th percentile in microseconds (the output's as absolute differences).
#include "../../tests/Support/JackMidiPeer.h"
#include "../../tests/Support/JackServer.h"

#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIInput.h"
#include "MIDIIO/MIDIOutput.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

using namespace veltrane;

namespace {

constexpr int eventCount = 10000;

struct Percentiles {
    double median, p99;
};

Percentiles percentiles(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

void report(benchmark::State& state, const Percentiles& p)
{
    state.counters["median_us"] = p.median;
    state.counters["p99_us"] = p.p99;
}

// Synchronous: a client that runs late delays the period rather than shifting its output by one.
bool startServerAndPeer(benchmark::State& state, testsupport::JackServer& server, testsupport::JackMidiPeer& peer)
{
    if (const std::string why = server.start(48000, 256, false, true); !why.empty()) {
        state.SkipWithError(why.c_str());
        return false;
    }
    if (!peer.open("peer")) {
        state.SkipWithError("the peer client did not open");
        return false;
    }
    return true;
}

void BM_InputToMainQueue(benchmark::State& state)
{
    testsupport::JackServer server;
    testsupport::JackMidiPeer peer;
    if (!startServerAndPeer(state, server, peer)) return;
    const std::string keys = peer.addOutput("keys");
    MainQueue queue;
    MIDIInput input("Veltrane", MidiBackend::automatic, queue);
    std::vector<std::uint64_t> delivered;
    delivered.reserve(eventCount);
    input.onEvent = [&](const MIDIEvent&, std::int32_t) { delivered.push_back(HostTime::now()); };
    input.start();

    for (auto _ : state) {
        delivered.clear();
        peer.sent(keys);
        // Ten events a millisecond, two periods' worth at a time at most.
        std::thread sender([&] {
            for (int i = 0; i < eventCount; ++i) {
                peer.send(keys, {std::uint8_t(0x90 | (i % 16)), std::uint8_t(i % 128), 100});
                if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (delivered.size() < eventCount && std::chrono::steady_clock::now() < deadline)
            if (queue.pump() == 0) std::this_thread::yield();
        sender.join();
    }
    const auto sent = peer.sent(keys);
    if (sent.size() != delivered.size()) {
        state.SkipWithError("events lost");
        return;
    }
    std::vector<double> us;
    for (std::size_t i = 0; i < sent.size(); ++i)
        us.push_back((static_cast<double>(delivered[i]) - static_cast<double>(sent[i].hostNs)) / 1000);
    report(state, percentiles(us));
}

void BM_StampToJackFrame(benchmark::State& state)
{
    testsupport::JackServer server;
    testsupport::JackMidiPeer peer;
    if (!startServerAndPeer(state, server, peer)) return;
    const std::string rec = peer.addInput("rec");
    MIDIOutput out("Veltrane");
    out.start();
    const char** ports = jack_get_ports(peer.client(), "^Veltrane Out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    const bool connected = ports && ports[0] && peer.connect(ports[0], rec);
    jack_free(ports);
    if (!connected) {
        state.SkipWithError("no JACK output port");
        return;
    }

    std::vector<std::uint64_t> stamps;
    for (auto _ : state) {
        stamps.clear();
        peer.received(rec);
        // Stamped 20 ms ahead, one every 0.37 ms (they fall at every offset of a period).
        const std::uint64_t start = HostTime::fromNow(0.05);
        for (int i = 0; i < eventCount; ++i) {
            const std::uint64_t stamp = start + static_cast<std::uint64_t>(i) * 370'000u;
            while (HostTime::now() + 20'000'000u < stamp) std::this_thread::sleep_for(std::chrono::microseconds(200));
            out.send(MIDIEvent::noteOn(static_cast<std::uint8_t>(i % 128), 100, 0), stamp);
            stamps.push_back(stamp);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const auto received = peer.received(rec);
    if (received.size() != stamps.size()) {
        state.SkipWithError("events lost");
        return;
    }
    std::vector<double> us;
    for (std::size_t i = 0; i < stamps.size(); ++i)
        us.push_back(std::abs(static_cast<double>(received[i].frameHostNs) - static_cast<double>(stamps[i])) / 1000);
    report(state, percentiles(us));
}

} // namespace

BENCHMARK(BM_InputToMainQueue)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StampToJackFrame)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
