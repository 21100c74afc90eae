// The sound bridge on a private JACK server (dummy backend, 48 kHz, 256-frame periods, synchronous,
// no real-time scheduling), its frame tick paced at 120 Hz as the canvas paces it:
//   - BM_FrameTick/locked: a locked tone plays a looping melody with its bass and flies the view
//     along it (the flight's renderer on the system's GPU device, lavapipe here), the arpeggiator
//     runs (silent while the tone is locked), MIDI out sends notes, controllers and clock;
//   - BM_FrameTick/drone: the drone plays, the view is on a camera flight (to zoom 1e12 and back,
//     again and again), the arpeggiator's step notes sound and go out on MIDI with the drone note,
//     controllers and clock.
//   Counters: the time of SoundBridge::frame alone, median and 99th percentile in microseconds, over
//   2,400 frames after 240 frames of warm-up (the flight's renderer and first plan are made there).
//   - BM_NoteLatency: a note-on written into the bridge's MIDI input port by another JACK client, to
//     the first sample of the note in the bridge's audio output, both in JACK frames. Counters in
//     milliseconds: median and 99th percentile of the whole, and medians of its parts: the MIDI
//     system and main queue up to the frame tick that plays the note (host time of the JACK period
//     the note entered to the key-on), and from the key-on to the output.
#include "../../tests/Support/JackServer.h"

#include "MIDIIO/HostTime.h"
#include "Music/Melodies.h"
#include "Platform/Resources/Resources.h"
#include "VeltraneApp/MelodyLibrary.h"
#include "VeltraneApp/SoundBridge.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace veltrane;

namespace {

constexpr double frameSeconds = 1.0 / 120;

struct Percentiles {
    double median, p99;
};

Percentiles percentiles(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

double median(std::vector<double> v) { return percentiles(std::move(v)).median; }

// A state with its melody library in a folder of its own.
struct Instrument {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("veltrane-bridge-bench-" + std::to_string(::getpid()));
    MelodyLibrary library{folder / "Melodies"};
    InstrumentState state{library};
    std::unique_ptr<SoundBridge> bridge;

    Instrument()
    {
        Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
        SoundBridge::Setup setup;
        setup.log = [](const std::string&) {};
        bridge = std::make_unique<SoundBridge>(std::move(setup));
        bridge->start();
        bridge->wire(state);
    }
    ~Instrument()
    {
        bridge.reset();
        std::filesystem::remove_all(folder);
    }
};

// Sleeps to the next 1/120 s; a late frame is not caught up with a burst.
class Pacer {
public:
    void wait()
    {
        next_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(frameSeconds));
        const auto now = std::chrono::steady_clock::now();
        if (next_ < now) next_ = now;
        std::this_thread::sleep_until(next_);
    }

private:
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now();
};

bool startServer(benchmark::State& s, testsupport::JackServer& server)
{
    if (const std::string why = server.start(48000, 256, false, true); !why.empty()) {
        s.SkipWithError(why.c_str());
        return false;
    }
    return true;
}

void BM_FrameTick(benchmark::State& s)
{
    const bool locked = s.range(0) == 0;
    testsupport::JackServer server;
    if (!startServer(s, server)) return;
    Instrument instrument;
    InstrumentState& state = instrument.state;
    SoundBridge& bridge = *instrument.bridge;
    MainQueue& queue = MainQueue::main();
    const Clock& clock = Clock::steady();

    state.midiOut.set(true);
    state.midiClockOut.set(true);
    state.movement.modify([](MovementSettings& m) {
        m.enabled = true;
        m.bpm = 140;
    });
    queue.pump();
    bridge.frame(state, clock.now());
    state.actions.get().togglePlay();
    if (locked) {
        state.actions.get().toggleLock();
        state.melodyID.set(Melodies::all().front().id());
        state.melodyFly.set(true);
        state.melodyPlaying.set(true);
    }
    const BigComplex home = state.centre.get();
    const BigComplex deep(BigFixed(-0.743643887037158704752191506114774, 2),
                          BigFixed(0.131825904205311970493132056385139, 2));
    bool inward = true;

    std::vector<double> us;
    for (auto _ : s) {
        us.clear();
        Pacer pacer;
        for (int frame = 0; frame < 240 + 2400; ++frame) {
            const double now = clock.now();
            queue.pump();
            if (!locked && !state.flight.get()) {
                state.fly(inward ? deep : home, inward ? 1e12 : 1, 0, 1500);
                inward = !inward;
            }
            state.advance(now);
            const auto start = std::chrono::steady_clock::now();
            bridge.frame(state, now);
            const auto end = std::chrono::steady_clock::now();
            if (frame >= 240) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
            pacer.wait();
        }
    }
    if (locked && !bridge.flightPlan()) {
        s.SkipWithError("the melody flight did not run");
        return;
    }
    const Percentiles p = percentiles(us);
    s.counters["median_us"] = p.median;
    s.counters["p99_us"] = p.p99;
    s.counters["max_us"] = *std::max_element(us.begin(), us.end());
    s.SetLabel(locked ? "locked: melody, melody flight, movement, MIDI out"
                      : "drone: camera flight, movement steps, MIDI out");
}

// Another program on the server: writes note-ons into the bridge's MIDI input and watches the
// bridge's audio output for each note's first sample.
class Listener {
public:
    static constexpr float threshold = 1e-4f;
    static constexpr float quietEnough = 1e-3f; // the last note's tail, at most

    bool open()
    {
        jack_status_t status;
        client_ = jack_client_open("listener", JackNoStartServer, &status);
        if (!client_) return false;
        midi_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        audio_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &Listener::process, this);
        return midi_ && audio_ && jack_activate(client_) == 0;
    }
    ~Listener()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    jack_client_t* client() const { return client_; }
    std::string midiPort() const { return jack_port_name(midi_); }
    std::string audioPort() const { return jack_port_name(audio_); }

    // Sends a note-on in the next period. Its onset is the first sample above the threshold and four
    // times the loudest sample of the period before; a note sent while the last one still sounds
    // louder than `quietEnough` is not counted.
    void note(std::uint8_t key)
    {
        std::lock_guard lock(mutex_);
        pending_ = key;
        sent_ = -1;
        onset_ = -1;
    }
    // Frames of the send and of the onset (-1 while not there), the host time of the send period.
    struct Result {
        std::int64_t sent = -1, onset = -1;
        std::uint64_t sentHost = 0;
        bool quietBefore = false;
    };
    Result result()
    {
        std::lock_guard lock(mutex_);
        return {sent_, onset_, sentHost_, quietBefore_};
    }

private:
    static int process(jack_nframes_t frames, void* arg)
    {
        auto& self = *static_cast<Listener*>(arg);
        const std::int64_t start = jack_last_frame_time(self.client_);
        void* midi = jack_port_get_buffer(self.midi_, frames);
        jack_midi_clear_buffer(midi);
        const auto* audio = static_cast<const float*>(jack_port_get_buffer(self.audio_, frames));
        std::lock_guard lock(self.mutex_);
        if (self.pending_ >= 0) {
            const std::uint8_t bytes[3]{0x90, static_cast<std::uint8_t>(self.pending_), 100};
            if (jack_midi_event_write(midi, 0, bytes, 3) == 0) {
                self.sent_ = start;
                self.sentHost_ = HostTime::now();
                self.quietBefore_ = self.lastPeak_ <= quietEnough;
                // The onset stands out of what still sounds of the last note.
                self.onsetLevel_ = std::max(threshold, 4 * self.lastPeak_);
                self.pending_ = -1;
            }
        }
        float loudest = 0;
        for (jack_nframes_t i = 0; i < frames; ++i) {
            const float a = std::abs(audio[i]);
            loudest = std::max(loudest, a);
            if (self.sent_ >= 0 && self.onset_ < 0 && a > self.onsetLevel_) self.onset_ = start + i;
        }
        self.lastPeak_ = loudest;
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* midi_ = nullptr;
    jack_port_t* audio_ = nullptr;
    std::mutex mutex_;
    int pending_ = -1;
    std::int64_t sent_ = -1, onset_ = -1;
    std::uint64_t sentHost_ = 0;
    float lastPeak_ = 1, onsetLevel_ = threshold;
    bool quietBefore_ = false;
};

void BM_NoteLatency(benchmark::State& s)
{
    testsupport::JackServer server;
    if (!startServer(s, server)) return;
    Listener listener;
    if (!listener.open()) {
        s.SkipWithError("the listening client did not open");
        return;
    }
    Instrument instrument;
    InstrumentState& state = instrument.state;
    SoundBridge& bridge = *instrument.bridge;
    MainQueue& queue = MainQueue::main();
    const Clock& clock = Clock::steady();

    // A dry, quiet-tailed tone: no reverb, delay or noise, so each note starts from silence.
    queue.pump();
    bridge.frame(state, clock.now());
    state.actions.get().togglePlay();
    state.audioParams.modify([](AudioParams& p) {
        p.reverbWet = 0;
        p.delayWet = 0;
        p.noiseLevel = 0;
        p.chorusAmount = 0;
    });
    bridge.frame(state, clock.now());
    state.actions.get().toggleLock();

    // The engine's first output port to the listener; the listener's keys reach the input by polling.
    const char** outs = jack_get_ports(listener.client(), nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    std::string enginePort;
    for (const char** p = outs; p && *p; ++p)
        if (std::string(*p).rfind("system:", 0) != 0 && std::string(*p).rfind("listener:", 0) != 0 &&
            enginePort.empty())
            enginePort = *p;
    jack_free(outs);
    if (enginePort.empty() || jack_connect(listener.client(), enginePort.c_str(), listener.audioPort().c_str()) != 0) {
        s.SkipWithError("the engine's output port was not found");
        return;
    }

    std::uint64_t keyOnHost = 0;
    auto inner = bridge.midiInput().onEvent;
    bridge.midiInput().onEvent = [&](const MIDIEvent& e, std::int32_t id) {
        inner(e, id);
        if (e.kind == MIDIEvent::Kind::noteOn) keyOnHost = HostTime::now();
    };
    Pacer pacer;
    const auto tick = [&] {
        const double now = clock.now();
        queue.pump();
        state.advance(now);
        bridge.frame(state, now);
        pacer.wait();
    };
    const auto connected = [&] {
        for (const auto& source : bridge.midiInput().sources().get())
            if (source.name == listener.midiPort()) return true;
        return false;
    };
    for (int i = 0; i < 600 && !connected(); ++i) tick();
    if (!connected()) {
        s.SkipWithError("the MIDI input did not find the listener");
        return;
    }

    std::vector<double> total, toKeyOn, afterKeyOn;
    int noisy = 0, unheard = 0;
    for (auto _ : s) {
        for (int n = 0; n < 200; ++n) {
            const std::uint8_t key = static_cast<std::uint8_t>(60 + n % 12);
            keyOnHost = 0;
            listener.note(key);
            Listener::Result r;
            for (int i = 0; i < 120; ++i) {
                tick();
                r = listener.result();
                if (r.onset >= 0) break;
            }
            // Release, and let the tone die away before the next note.
            state.noteOff(key);
            for (int i = 0; i < 48; ++i) tick();
            if (r.onset < 0 || r.sent < 0) {
                ++unheard;
                continue;
            }
            if (!r.quietBefore) {
                ++noisy;
                continue;
            }
            total.push_back(static_cast<double>(r.onset - r.sent) / 48.0);
            if (keyOnHost > r.sentHost) {
                const double ms = static_cast<double>(keyOnHost - r.sentHost) / 1e6;
                toKeyOn.push_back(ms);
                afterKeyOn.push_back(static_cast<double>(r.onset - r.sent) / 48.0 - ms);
            }
        }
    }
    if (total.size() < 100) {
        const std::string why = "too few notes were heard: " + std::to_string(total.size()) + " of 200, " +
                                std::to_string(noisy) + " after sound that had not died away, " +
                                std::to_string(unheard) + " never heard";
        s.SkipWithError(why.c_str());
        return;
    }
    const Percentiles p = percentiles(total);
    s.counters["median_ms"] = p.median;
    s.counters["p99_ms"] = p.p99;
    s.counters["to_key_on_median_ms"] = median(toKeyOn);
    s.counters["after_key_on_median_ms"] = median(afterKeyOn);
    s.counters["notes"] = static_cast<double>(total.size());
    s.counters["skipped_not_quiet"] = noisy;
}

} // namespace

BENCHMARK(BM_FrameTick)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NoteLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
