// The sound bridge over the live engine and JACK MIDI (BridgeFixture.h): the view reaching the
// engine, the locked tone played from keys and MIDI, MIDI out and clock, melodies and flights, the
// movement driver, orbit tails, and every note ending on every way of stopping.
#include "BridgeFixture.h"

#include "Music/Melodies.h"
#include "Music/Notes.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>

using namespace veltrane;
using namespace veltrane::test;

namespace {

// Indices of the kernel parameter vector (the fields of AudioParams in declaration order).
constexpr int frequencyIndex = 0;
constexpr int volumeIndex = 13;
constexpr int noiseIndex = 17;

KeyEvent letter(const char* text) { return KeyEvent{KeyEvent::Key::other, text}; }

// The shortest built-in tune with a bass part.
const Melody& shortTuneWithBass()
{
    const Melody* best = nullptr;
    for (const Melody& m : Melodies::all())
        if (!m.bass().empty() && (!best || m.length() / m.bpm() < best->length() / best->bpm())) best = &m;
    return *best;
}

std::vector<Seen> ofKind(const std::vector<Seen>& seen, int kind, int channel = -1)
{
    std::vector<Seen> out;
    for (const Seen& s : seen)
        if (s.kind() == kind && (channel < 0 || s.channel() == channel)) out.push_back(s);
    return out;
}

// Holds a serial queue's worker until released, so that requests pile up behind it.
class Gate {
public:
    void hold(SerialQueue& queue)
    {
        queue.async([this] {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return open_; });
        });
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        wake_.notify_all();
    }
    ~Gate() { release(); }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool open_ = false;
};

} // namespace

TEST_F(BridgeFixture, ViewChangesReachTheEngineAsChangedParametersOnly)
{
    makeBridge();
    tick();
    EXPECT_EQ(eventsOfType(0).size(), std::size_t(SoundEngine::parameterCount)); // the first frame sends all

    // A still view maps nothing and sends nothing.
    events.clear();
    EXPECT_EQ(notifications(state->audioParams, [&] { tick(5); }), 0);
    EXPECT_TRUE(eventsOfType(0).empty());

    // A pan maps once and sends exactly the values that changed.
    auto before = bridge->engine().sentParameters();
    state->centre.set(state->centre.get().offset(0.31, 0.07));
    EXPECT_EQ(notifications(state->audioParams, [&] { tick(); }), 1);
    const auto after = bridge->engine().sentParameters();
    std::set<int> changed, sent;
    for (int i = 0; i < SoundEngine::parameterCount; ++i)
        if (before[i] != after[i]) changed.insert(i);
    for (const vk_event& e : eventsOfType(0)) sent.insert(e.param);
    EXPECT_FALSE(changed.empty());
    EXPECT_EQ(sent, changed);

    // The Julia constant moves the orbit, not the sound.
    state->fractalType.set(FractalType::julia);
    tick();
    const auto orbit = state->scopeOrbit.get();
    state->juliaC.set(Complex{-0.4, 0.6});
    EXPECT_EQ(notifications(state->audioParams, [&] { tick(); }), 0);
    EXPECT_NE(state->scopeOrbit.get(), orbit);

    // Locked: no mapping; the tone's parameters go out with the live volume and the tone's noise.
    state->actions.get().togglePlay();
    state->actions.get().toggleLock();
    ASSERT_TRUE(state->toneLocked.get());
    const LockedTone tone = *state->lockedTone.get();
    state->centre.set(state->centre.get().offset(-0.2, 0.05));
    state->audioParams.modify([](AudioParams& p) {
        p.volume = 0.123;
        p.frequency = 999;
    });
    EXPECT_EQ(notifications(state->audioParams, [&] { tick(); }), 0);
    EXPECT_EQ(bridge->engine().sentParameters()[frequencyIndex], float(tone.params.frequency));
    EXPECT_EQ(bridge->engine().sentParameters()[volumeIndex], 0.123f);
    EXPECT_EQ(bridge->engine().sentParameters()[noiseIndex], float(tone.params.noiseLevel));

    // The first unlocked frame maps the view panned while locked; the drone plays again.
    state->actions.get().toggleLock();
    EXPECT_TRUE(bridge->engine().isPlaying());
    EXPECT_EQ(notifications(state->audioParams, [&] { tick(); }), 1);
    EXPECT_NE(state->audioParams.get().frequency, 999);

    // Stopped and unlocked: no noise whatever the sound says, and the visuals fade.
    state->actions.get().togglePlay();
    state->audioParams.modify([](AudioParams& p) { p.noiseLevel = 0.4; });
    AudioVisuals loud;
    loud.amplitude = 1;
    loud.bass = 0.5;
    loud.transientPulse = 1;
    loud.dominantFrequency = 440;
    state->audioVisuals.set(loud);
    const auto waveform = state->scopeWaveform.get();
    tick();
    EXPECT_EQ(bridge->engine().sentParameters()[noiseIndex], 0.0f);
    EXPECT_DOUBLE_EQ(state->audioVisuals.get().amplitude, 0.92);
    EXPECT_DOUBLE_EQ(state->audioVisuals.get().bass, 0.46);
    EXPECT_DOUBLE_EQ(state->audioVisuals.get().transientPulse, 0.9);
    EXPECT_DOUBLE_EQ(state->audioVisuals.get().dominantFrequency, 440);
    EXPECT_EQ(state->scopeWaveform.get(), waveform);

    // A take logs the view and the HUD state of every frame that changes them.
    int hudCalls = 0;
    bridge->hudState = [&](const InstrumentState& s) -> std::optional<std::string> {
        ++hudCalls;
        return "{\"zoom\":" + std::to_string(s.zoom.get()) + "}";
    };
    bridge->takes().start(bridge->engine());
    tick(3);
    state->zoom.set(2);
    tick(3);
    EXPECT_EQ(hudCalls, 6);
    EXPECT_EQ(bridge->takes().views().size(), 2u);
    EXPECT_EQ(bridge->takes().hud().size(), 2u);
    bridge->takes().stop();
    EXPECT_TRUE(logLines.empty()) << logLines.front();
}

TEST_F(BridgeFixture, TheMicrophoneSwitchFollowsTheEngineAndAFailureChangesNothing)
{
    makeBridge(); // the dummy backend's capture ports are the microphone
    state->actions.get().toggleMic();
    EXPECT_TRUE(state->micEnabled.get());
    EXPECT_TRUE(bridge->engine().micEnabled());
    // With the microphone on, a silent instrument still analyses its input (no fading out).
    state->audioVisuals.set(AudioVisuals{.amplitude = 1});
    tick();
    EXPECT_EQ(bridge->engine().sentParameters()[29], 1.0f); // microphone gain
    EXPECT_NE(state->audioVisuals.get().amplitude, 0.92);
    state->actions.get().toggleMic();
    EXPECT_FALSE(state->micEnabled.get());
    EXPECT_FALSE(bridge->engine().micEnabled());
    tick();
    EXPECT_EQ(bridge->engine().sentParameters()[29], 0.0f);
    EXPECT_TRUE(logLines.empty()) << logLines.front();

    bridge.reset();
    makeBridge(AudioBackend::null, 0); // no input at all
    state->actions.get().toggleMic();
    EXPECT_FALSE(state->micEnabled.get());
    ASSERT_EQ(logLines.size(), 1u);
    EXPECT_EQ(logLines[0], "microphone unavailable: No audio input");
}

TEST_F(BridgeFixture, LockedTonePlaysFromKeysAndMIDINotesWithSustain)
{
    makeBridge();
    connectMIDIOut();
    awaitMIDIIn();

    // Unlocked: notes and the pedal are dropped, a controller still plays the sound.
    events.clear();
    sendMIDI({0x90, 60, 100});
    sendMIDI({0xB0, 64, 127});
    sendMIDI({0xB0, 74, 127});
    EXPECT_TRUE(state->activeNotes.get().empty());
    EXPECT_TRUE(eventsOfType(4).empty());
    EXPECT_EQ(state->audioParams.get().filterCutoff, 20000);

    state->actions.get().togglePlay();
    tick();
    state->actions.get().toggleLock();
    tick();
    ASSERT_TRUE(state->toneLocked.get());

    // A letter of the computer keyboard.
    events.clear();
    const std::int64_t start = state->keyboardStartNote();
    ASSERT_TRUE(state->handleKey(letter("a")));
    ASSERT_EQ(eventsOfType(4).size(), 1u);
    EXPECT_EQ(eventsOfType(4)[0].id, start);
    EXPECT_FLOAT_EQ(eventsOfType(4)[0].value, float(Notes::midiToFrequency(int(start))));
    EXPECT_FLOAT_EQ(eventsOfType(4)[0].value3, 0.8f);
    ASSERT_TRUE(state->handleKeyUp(letter("a")));
    ASSERT_EQ(eventsOfType(5).size(), 1u);

    // A MIDI note held past its release by the pedal (the pedal went down while unlocked: dropped).
    events.clear();
    sendMIDI({0x90, 64, 64});
    EXPECT_EQ(state->activeNotes.get(), std::set<std::int64_t>{64});
    sendMIDI({0xB0, 64, 127});
    sendMIDI({0x80, 64, 0});
    EXPECT_EQ(state->activeNotes.get(), std::set<std::int64_t>{64});
    EXPECT_TRUE(eventsOfType(5).empty());
    sendMIDI({0xB0, 64, 0});
    EXPECT_TRUE(state->activeNotes.get().empty());
    ASSERT_EQ(eventsOfType(4).size(), 1u);
    ASSERT_EQ(eventsOfType(5).size(), 1u);
    EXPECT_EQ(eventsOfType(4)[0].id, 64);
    EXPECT_NEAR(eventsOfType(4)[0].value3, 64.0 / 127, 1e-6);
    EXPECT_EQ(eventsOfType(5)[0].id, 64);

    // A controller while locked changes the live sound and the tone.
    sendMIDI({0xB0, 74, 0});
    EXPECT_EQ(state->audioParams.get().filterCutoff, state->lockedTone.get()->params.filterCutoff);
    EXPECT_LT(state->lockedTone.get()->params.filterCutoff, 100);

    settleMIDI(0.2);
    const auto notes = ofKind(decode(received()), 0x90, 0);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].data1, start);
    EXPECT_EQ(notes[0].data2, 101); // 0.8 x 127
    EXPECT_EQ(notes[1].data1, 64);
    EXPECT_TRUE(stillSounding(decode(received())).empty());
}

TEST_F(BridgeFixture, DroneNoteControllersAndClockLeaveOnTheirChannels)
{
    makeBridge();
    connectMIDIOut();
    state->actions.get().togglePlay();
    tick();
    // The view stays, so these live values are not mapped over.
    state->audioParams.modify([](AudioParams& p) {
        p.frequency = 440;
        p.filterCutoff = 20000;
        p.volume = 0.9;
    });
    tick();
    state->audioParams.modify([](AudioParams& p) { p.frequency = 466.2; });
    tick();
    settleMIDI(0.2);
    std::vector<Seen> seen = decode(received());
    const auto drone = [&](int kind) { return ofKind(seen, kind, 2); };
    ASSERT_GE(drone(0x90).size(), 2u);
    EXPECT_EQ(drone(0x90)[drone(0x90).size() - 2].data1, 69);
    EXPECT_EQ(drone(0x90)[drone(0x90).size() - 2].data2, 100);
    EXPECT_EQ(drone(0x90).back().data1, 70);
    EXPECT_EQ(drone(0x80).back().data1, 69);
    const auto controllers = ofKind(seen, 0xB0, 0);
    std::set<int> numbers;
    for (const Seen& s : controllers) numbers.insert(s.data1);
    EXPECT_TRUE(numbers.contains(74) && numbers.contains(7));
    EXPECT_EQ(ofKind(seen, 0xB0).size(), controllers.size()); // all on the first channel

    // Unchanged sound: nothing more. A frequency that names no note ends the drone's note, sends
    // none and stops nothing.
    forgetMIDI();
    tick(3);
    for (double bad : {0.0, -5.0, std::nan(""), double(INFINITY)}) {
        state->audioParams.modify([bad](AudioParams& p) { p.frequency = bad; });
        tick();
    }
    settleMIDI(0.2);
    seen = decode(received());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind(), 0x80);
    EXPECT_EQ(seen[0].data1, 70);
    state->audioParams.modify([](AudioParams& p) { p.frequency = 440; });
    tick();

    // Clock at the movement's tempo: 24 pulses a beat, measured on the steady clock (the dummy
    // backend's frames drift from real time on a loaded machine).
    forgetMIDI();
    state->movement.modify([](MovementSettings& m) { m.bpm = 150; });
    state->midiClockOut.set(true);
    const double until = clock.now() + 1.0;
    while (clock.now() < until) tick();
    settleMIDI(0.2);
    seen = decode(received());
    std::vector<std::int64_t> pulses;
    for (const Seen& s : seen)
        if (s.status == 0xF8) pulses.push_back(s.hostNs);
    auto firstStart = std::find_if(seen.begin(), seen.end(), [](const Seen& s) { return s.status == 0xFA; });
    ASSERT_NE(firstStart, seen.end());
    ASSERT_GE(pulses.size(), 20u);
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < pulses.size(); ++i) gaps.push_back(pulses[i] - pulses[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_NEAR(double(gaps[gaps.size() / 2]) * 1e-9, 60.0 / (150 * 24), 0.5e-3);

    // Output off while the clock runs: the drone's note-off, then stop; after them only the
    // output's own note-offs of whatever it turned on.
    forgetMIDI();
    state->midiOut.set(false);
    tick(3);
    settleMIDI(0.2);
    seen = decode(received());
    std::vector<Seen> after;
    for (const Seen& s : seen)
        if (s.status != 0xF8) after.push_back(s); // pulses due before the switch still leave
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[0].kind(), 0x80);
    EXPECT_EQ(after[0].channel(), 2);
    EXPECT_EQ(after[0].data1, 69);
    EXPECT_EQ(after[1].status, 0xFC);
    for (std::size_t i = 2; i < after.size(); ++i) EXPECT_EQ(after[i].kind(), 0x80);
    EXPECT_TRUE(logLines.empty()) << logLines.front();
}

TEST_F(BridgeFixture, MIDIClockInFollowsTheTempoOnlyWhenOn)
{
    makeBridge();
    awaitMIDIIn();
    state->movement.modify([](MovementSettings& m) { m.bpm = 90; });

    // Off: clock, start and stop change nothing.
    sendMIDI({0xFA});
    for (int i = 0; i < 8; ++i) {
        sendMIDI({0xF8});
        clock.advance(1.0 / 48);
    }
    sendMIDI({0xFC});
    EXPECT_FALSE(state->movement.get().enabled);
    EXPECT_EQ(state->movement.get().bpm, 90);

    state->midiClockIn.set(true);
    sendMIDI({0xFA});
    EXPECT_TRUE(state->movement.get().enabled);
    for (int i = 0; i < 7; ++i) {
        sendMIDI({0xF8});
        clock.advance(1.0 / 48); // 24 pulses a beat, 1/48 s apart: 120 bpm
    }
    EXPECT_EQ(state->movement.get().bpm, 120);
    sendMIDI({0xFC});
    EXPECT_FALSE(state->movement.get().enabled);
}

TEST_F(BridgeFixture, MelodyPlaysWithItsBassLightsTheKeysAndReleasesEveryNote)
{
    makeBridge();
    connectMIDIOut();
    state->actions.get().togglePlay();
    tick();
    state->actions.get().toggleLock();
    const Melody& tune = shortTuneWithBass();
    state->melodyID.set(tune.id());
    state->melodyLoop.set(false);
    state->melodyBPM.set(240);
    state->melodyPlaying.set(true);
    events.clear();

    bool litMelody = false, litBass = false, lightEarly = false;
    const int frames = int(tune.length() / 240 * 60 * 120) + 600;
    ASSERT_TRUE(tickUntil(
        [&] {
            const std::int64_t heard = bridge->engine().currentFrame() - bridge->engine().outputLatencyFrames();
            if (!state->melodyNotes.get().empty() && !litMelody) {
                litMelody = true;
                const auto ons = eventsOfType(4);
                lightEarly = ons.empty() || ons.front().frame > heard;
            }
            litBass = litBass || !state->melodyBassNotes.get().empty();
            return !state->melodyPlaying.get();
        },
        frames));
    settleMIDI();

    std::size_t melodyOns = 0, bassOns = 0;
    for (const vk_event& e : eventsOfType(4))
        (MelodyPlayer::part(e.id) == Melody::Part::bass ? bassOns : melodyOns) += 1;
    EXPECT_EQ(melodyOns, tune.notes().size());
    EXPECT_EQ(bassOns, tune.bass().size());
    EXPECT_TRUE(keysHeld(events).empty());
    EXPECT_TRUE(litMelody);
    EXPECT_TRUE(litBass);
    EXPECT_FALSE(lightEarly) << "a key lit before its note was heard";
    EXPECT_TRUE(state->melodyNotes.get().empty());
    EXPECT_EQ(state->melodyProgress.get(), 0);

    const auto seen = decode(received());
    EXPECT_EQ(ofKind(seen, 0x90, 0).size(), tune.notes().size());
    EXPECT_EQ(ofKind(seen, 0x90, 1).size(), tune.bass().size());
    EXPECT_TRUE(stillSounding(seen).empty());
}

TEST_F(BridgeFixture, MelodyFlightMovesTheViewUntilTheUserTakesIt)
{
    makeBridge();
    state->actions.get().togglePlay();
    tick();
    state->actions.get().toggleLock();
    state->melodyFly.set(true);
    state->melodyBPM.set(240); // the first phrase holds still: reach the second soon
    state->melodyPlaying.set(true);
    ASSERT_TRUE(tickUntil([&] { return bridge->flightPlan().has_value(); }, 20));
    ASSERT_FALSE(bridge->flightPlan()->shots().empty());
    const BigComplex start = state->centre.get();
    const double startZoom = state->zoom.get();
    EXPECT_TRUE(tickUntil([&] { return state->centre.get() != start || state->zoom.get() != startZoom; }, 2400))
        << "the flight did not move";

    // A manual move leaves the view to the user until the next plan.
    state->userTookControl();
    tick();
    const BigComplex held = state->centre.get();
    const double heldZoom = state->zoom.get();
    tick(30);
    EXPECT_EQ(state->centre.get(), held);
    EXPECT_EQ(state->zoom.get(), heldZoom);
}

TEST_F(BridgeFixture, MovementSchedulesStepsAheadTheViewFollowsAndAManualMoveHoldsIt)
{
    makeBridge();
    connectMIDIOut();
    std::vector<std::pair<vk_event, std::int64_t>> steps; // a step and the frame it was queued at
    bridge->engine().eventTap = [&](const vk_event& e) {
        if (e.type == 3) steps.emplace_back(e, bridge->engine().currentFrame());
    };
    state->actions.get().togglePlay();
    state->movement.modify([](MovementSettings& m) {
        m.enabled = true;
        m.bpm = 240;
        m.lerpSpeed = 0.5;
    });
    tick();
    EXPECT_TRUE(steps.empty()); // the first tick lies exactly at the horizon
    const BigComplex start = state->centre.get();
    ASSERT_TRUE(tickUntil([&] { return steps.size() >= 8; }, 600));
    for (const auto& [step, queuedAt] : steps)
        EXPECT_GT(step.frame - queuedAt, 48000 * 0.05) << "a step was not scheduled ahead";
    ASSERT_TRUE(tickUntil([&] { return state->centre.get() != start; }, 240)) << "the view did not follow";

    // A drag holds everything for the resume delay, then the conductor restarts at the dragged view.
    state->userTookControl();
    state->centre.set(state->centre.get().offset(0.05, 0));
    tick(2);
    EXPECT_TRUE(state->movementPaused.get());
    const std::size_t before = steps.size();
    const BigComplex dragged = state->centre.get();
    tick(60);
    EXPECT_EQ(steps.size(), before);
    EXPECT_EQ(state->centre.get(), dragged);
    clock.advance(state->movement.get().manualResumeDelay);
    tick();
    EXPECT_FALSE(state->movementPaused.get());
    EXPECT_EQ(bridge->conductor()->anchor(), dragged);
    EXPECT_TRUE(tickUntil([&] { return steps.size() > before; }, 600));

    settleMIDI();
    const auto seen = decode(received());
    const auto stepNotes = ofKind(seen, 0x90, 1);
    ASSERT_FALSE(stepNotes.empty());
    std::set<int> velocities;
    for (const Seen& s : stepNotes) velocities.insert(s.data2);
    EXPECT_TRUE(velocities.contains(110)); // on the beat; 79 off it
    EXPECT_TRUE(std::all_of(velocities.begin(), velocities.end(), [](int v) { return v == 110 || v == 79; }));
}

TEST_F(BridgeFixture, OrbitTailsKeepOnlyTheNewestRequestAndNeverAStaleOne)
{
    makeBridge(AudioBackend::null);
    state->mappingMode.set("depth");
    const auto deep = [&](double dx) {
        const BigComplex c(BigFixed(-0.743643887037158704752191506114774 + dx, 3),
                           BigFixed(0.131825904205311970493132056385139, 3));
        state->setView(c, 1e20, 0, true);
    };

    // Three requests wait behind a busy worker: only the last one's orbit reaches the state.
    Gate gate;
    gate.hold(bridge->tailQueue());
    for (double dx : {0.0, 1e-18, 2e-18}) {
        deep(dx);
        tick();
    }
    gate.release();
    bridge->tailQueue().drain();
    queue.pump();
    const Orbits::Centre want = Orbits::tail(state->fractalType.get(), state->centre.get(), state->juliaC.get(),
                                             int(state->maxIterations.get()), 48, [] { return false; });
    EXPECT_EQ(state->scopeOrbit.get(), want.points);
    EXPECT_EQ(state->scopeOrbitLength.get(), want.length);

    // A tail still on its way when the view turns to another formula in the plain mapping is dropped.
    Gate second;
    second.hold(bridge->tailQueue());
    deep(3e-18);
    tick();
    state->mappingMode.set("web");
    state->fractalType.set(FractalType::burningship);
    tick();
    const auto shown = state->scopeOrbit.get();
    second.release();
    bridge->tailQueue().drain();
    queue.pump();
    EXPECT_EQ(state->scopeOrbit.get(), shown);
    EXPECT_EQ(state->scopeOrbit.get(), SoundMapping::orbit(*state).points);
}

// Every way of stopping leaves no key voice held on the engine and no note sounding on MIDI out.
// The engine runs on the null backend, driven by the test, so that the audio can stand still.
TEST_F(BridgeFixture, EveryNoteEndsOnEveryWayOfStopping)
{
    enum class Scene { drone, melody };
    struct Path {
        const char* name;
        Scene scene;
        std::function<void()> stop;
    };
    const std::string other = Melodies::all()[1].id();
    const auto finish = [&] {
        state->melodyPlaying.set(false);
        state->handleKeyUp(letter("a"));
        tick(3);
    };
    const std::vector<Path> paths{
        {"stopping the drone", Scene::drone,
         [&] {
             state->actions.get().togglePlay();
             tick(3);
         }},
        {"stopping the melody", Scene::melody, [&] { finish(); }},
        {"unlocking", Scene::melody,
         [&] {
             state->actions.get().toggleLock();
             tick(3);
             state->actions.get().togglePlay(); // the drone resumed with the unlock
             tick(3);
         }},
        {"changing the melody", Scene::melody,
         [&] {
             state->melodyID.set(other);
             tick(10);
             finish();
         }},
        {"switching MIDI out off", Scene::melody,
         [&] {
             state->midiOut.set(false);
             tick(3);
             finish();
         }},
        {"losing the audio device", Scene::melody, [&] { tick(int(SoundBridge::audioLossSeconds * 120) + 10, false); }},
        {"quitting", Scene::melody, [&] { bridge.reset(); }},
    };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        events.clear();
        forgetMIDI();
        logLines.clear();
        state = std::make_unique<InstrumentState>(*library, clock);
        makeBridge(AudioBackend::null);
        connectMIDIOut();
        state->actions.get().togglePlay();
        state->movement.modify([](MovementSettings& m) {
            m.enabled = true;
            m.bpm = 240;
        });
        tick(40);
        if (path.scene == Scene::melody) {
            state->movement.modify([](MovementSettings& m) { m.enabled = false; });
            state->actions.get().toggleLock();
            state->handleKey(letter("a"));
            state->melodyID.set(Melodies::all()[0].id());
            state->melodyPlaying.set(true);
            tick(60);
        }
        settleMIDI(0.3);
        const auto played = decode(received());
        ASSERT_FALSE(stillSounding(played).empty()) << "nothing sounded before stopping";
        if (path.scene == Scene::melody) {
            ASSERT_GE(eventsOfType(4).size(), 3u);
            ASSERT_FALSE(keysHeld(events).empty());
        }

        path.stop();
        settleMIDI(0.8);
        const auto seen = decode(received());
        EXPECT_TRUE(stillSounding(seen).empty()) << stillSounding(seen).size() << " notes still sound on MIDI out";
        EXPECT_TRUE(keysHeld(events).empty()) << keysHeld(events).size() << " key voices still held";
        bridge.reset();
    }
}
