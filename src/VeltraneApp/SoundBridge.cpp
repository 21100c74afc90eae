// The sound bridge's construction, wiring and frame tick: the view mapped to sound, the parameters
// handed to the engine, the scope orbit and the orbit voice, and the analysis turned into visuals.
#include "VeltraneApp/SoundBridge.h"

#include "Support/EnumText.h"
#include "FractalRender/FractalRenderer.h"
#include "MIDIIO/HostTime.h"
#include "Music/Mapping.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace veltrane {

struct SoundBridge::Alive {
    SoundBridge* bridge;
};

namespace SoundMapping {

namespace {
int iterationsArgument(std::int64_t iterations)
{
    return static_cast<int>(std::clamp<std::int64_t>(iterations, 0, std::numeric_limits<int>::max()));
}
} // namespace

AudioParams map(const InstrumentState& state)
{
    const Complex c = state.centre.get().doubles();
    return Mapping::fractalToAudio(c.x, c.y, state.zoom.get(), iterationsArgument(state.maxIterations.get()),
                                   state.rotation.get(), state.audioParams.get(), state.fractalType.get(),
                                   state.scale.get(), static_cast<int>(state.rootNote.get()));
}

AudioParams mapDepth(const InstrumentState& state, std::pair<double, double> viewPhase)
{
    const Complex c = state.centre.get().doubles();
    return Mapping::fractalToAudioDepth(c.x, c.y, state.zoom.get(), iterationsArgument(state.maxIterations.get()),
                                        state.rotation.get(), state.audioParams.get(), state.fractalType.get(),
                                        state.scale.get(), static_cast<int>(state.rootNote.get()), 1e30,
                                        Mapping::ViewPhase{viewPhase.first, viewPhase.second});
}

Orbits::Centre orbit(const InstrumentState& state)
{
    const Complex c = state.centre.get().doubles();
    return Orbits::centre(state.fractalType.get(), c.x, c.y, state.juliaC.get(), 128);
}

} // namespace SoundMapping

namespace {

// The shortest decimal text that reads back as the same double.
void appendShortest(std::string& out, double value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendTail(std::string& out, const std::string& text, std::size_t count)
{
    out.append(text.size() > count ? text.substr(text.size() - count) : text);
}

} // namespace

SoundBridge::SoundBridge() : SoundBridge(Setup{}) {}

SoundBridge::SoundBridge(Setup setup)
    : setup_(std::move(setup)), main_(setup_.mainQueue ? *setup_.mainQueue : MainQueue::main()),
      clock_(setup_.clock ? *setup_.clock : Clock::steady()), alive_(std::make_shared<Alive>(Alive{this})),
      midi_(setup_.midiName, setup_.midiBackend, main_), midiOut_(setup_.midiName, setup_.midiBackend),
      engine_(std::make_unique<SoundEngine>(setup_.audio, main_))
{}

SoundBridge::~SoundBridge()
{
    alive_->bridge = nullptr;
    // Work still queued for the orbit tail gives up at once.
    tailLatest_->store(-1);
    midi_.onEvent = nullptr;
    if (takes_.isRecording()) takes_.stop(); // the recorder lets go of the engine's observers while the engine exists
    if (state_) stopMelody(*state_);         // every melody note ends, also one whose start is still ahead
    // Whatever still sounds on MIDI out ends now: the drone's note, the clock, and (through the
    // output's own stop) every note turned on, melody notes waiting to leave included.
    if (midiOut_.isRunning()) {
        releaseDroneNote();
        if (clockOut_.running()) {
            midiOut_.send(MIDIEvent::stop(), 0);
            clockOut_.stop();
        }
        midiOut_.stop();
    }
    engine_->allKeysOff();
}

void SoundBridge::log(const std::string& line) const
{
    if (setup_.log)
        setup_.log(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

double SoundBridge::mediaNow() const { return clock_.now(); }

void SoundBridge::start()
{
    try {
        engine_->start();
    } catch (const std::exception& e) {
        log(std::string("audio failed to start: ") + e.what());
    }
}

void SoundBridge::wire(InstrumentState& state)
{
    state_ = &state;
    const std::weak_ptr<Alive> weak = alive_;
    InstrumentState* s = &state;
    // The bridge a callback reaches, or null once it has gone.
    const auto bridge = [](const std::weak_ptr<Alive>& w) -> SoundBridge* {
        const auto alive = w.lock();
        return alive ? alive->bridge : nullptr;
    };
    const auto onBridge = [weak, s, bridge](void (SoundBridge::*operation)(InstrumentState&)) {
        return [weak, s, bridge, operation] {
            if (SoundBridge* b = bridge(weak)) (b->*operation)(*s);
        };
    };

    SoundActions actions;
    actions.togglePlay = onBridge(&SoundBridge::togglePlay);
    actions.toggleRecord = onBridge(&SoundBridge::toggleRecord);
    actions.toggleLock = onBridge(&SoundBridge::toggleLock);
    actions.keyOn = [weak, bridge](std::int32_t id, double frequency, double velocity) {
        if (SoundBridge* b = bridge(weak)) b->playKey(id, frequency, velocity);
    };
    actions.keyOff = [weak, bridge](std::int32_t id) {
        if (SoundBridge* b = bridge(weak)) b->releaseKey(id);
    };
    actions.allKeysOff = [weak, bridge] {
        if (SoundBridge* b = bridge(weak)) b->engine_->allKeysOff();
    };
    actions.exportMIDI = [s, d = setup_.dialogs] { exportLockedTone(*s, ToneExportFormat::midi, d); };
    actions.exportAbleton = [s, d = setup_.dialogs] { exportLockedTone(*s, ToneExportFormat::ableton, d); };
    actions.toggleMic = onBridge(&SoundBridge::toggleMic);
    actions.toggleTake = onBridge(&SoundBridge::toggleTake);
    actions.exportMovie = onBridge(&SoundBridge::exportMovie);
    actions.cancelMovie = [weak, bridge] {
        if (SoundBridge* b = bridge(weak)) b->cancelMovie();
    };
    actions.toggleMelodyCapture = onBridge(&SoundBridge::toggleMelodyCapture);
    state.actions.set(std::move(actions));

    // The input belongs to the bridge, so the bridge outlives every delivery.
    midi_.onEvent = [this, s](const MIDIEvent& event, std::int32_t) { handleMIDI(event, *s); };
    try {
        midi_.start();
    } catch (const std::exception& e) {
        log(std::string("MIDI input unavailable: ") + e.what());
    }
}

namespace {
std::uint8_t midiNote(std::int64_t id) { return static_cast<std::uint8_t>(std::clamp<std::int64_t>(id, 0, 127)); }
} // namespace

std::uint8_t SoundBridge::midiVelocity(double velocity)
{
    const double v = std::isfinite(velocity) ? velocity * 127 : 0;
    return static_cast<std::uint8_t>(std::clamp(std::trunc(v), 1.0, 127.0));
}

void SoundBridge::playKey(std::int32_t id, double frequency, double velocity)
{
    engine_->keyOn(id, frequency, velocity, 0);
    midiOut_.send(MIDIEvent::noteOn(midiNote(id), midiVelocity(velocity), 0), 0);
}

void SoundBridge::releaseKey(std::int32_t id)
{
    engine_->keyOff(id, 0);
    midiOut_.send(MIDIEvent::noteOff(midiNote(id), 0, 0), 0);
}

std::uint64_t SoundBridge::hostTimeOfFrame(std::int64_t frame) const
{
    const double frames = static_cast<double>(frame - engine_->currentFrame() + engine_->outputLatencyFrames());
    return HostTime::fromNow(frames / engine_->sampleRate());
}

// ---- the frame tick ----

const AudioVisuals& SoundBridge::frame(InstrumentState& state, double now)
{
    // A clock that stood still, ran back or is not a number gives no negative or NaN step to the
    // glide and the analysis.
    double dt = 1.0 / 60;
    if (lastNow_ > 0) {
        const double step = now - lastNow_;
        dt = std::isfinite(step) ? std::clamp(step, 0.0, 0.1) : 1.0 / 60;
    }
    if (std::isfinite(now)) lastNow_ = now;
    watchAudioDevice(state, now);

    runMovement(state, now, dt);
    runMelody(state);
    runFlight(state, now);
    runCapture(state);
    runMIDIOut(state);

    if (takes_.isRecording()) logTakeFrame(state);
    updateDeviceList(state);
    updateViewPhase(state);
    const bool navChanged = updateNavKey(state);
    if (navKey_ != lastNavKey_ && !state.toneLocked.get()) {
        lastNavKey_ = navKey_;
        const AudioParams params =
            state.mappingMode.get() == "depth" ? SoundMapping::mapDepth(state, viewPhase_) : SoundMapping::map(state);
        state.audioParams.set(params);
    }
    applyParameters(state);
    updateOrbit(state, navChanged);

    if (!engine_->isPlaying() && !state.toneLocked.get() && !engine_->micEnabled()) {
        AudioVisuals v = state.audioVisuals.get();
        v.amplitude *= 0.92;
        v.transientPulse *= 0.9;
        v.bass *= 0.92;
        v.mid *= 0.92;
        v.treble *= 0.92;
        state.audioVisuals.set(v);
        return state.audioVisuals.get();
    }
    const AnalysisFrame a = engine_->analyse(dt);
    time_ += dt;
    const double damp = std::max(std::sqrt(state.zoom.get()), 1.0);
    AudioVisuals v;
    v.amplitude = a.amplitude;
    v.dominantFrequency = a.dominantFrequency;
    v.transientPulse = a.transientPulse;
    v.bass = a.bass;
    v.mid = a.mid;
    v.treble = a.treble;
    v.juliaCOffset =
        Complex{a.amplitude * std::sin(0.5 * time_) * 0.035 / damp, a.bass * std::cos(0.7 * time_) * 0.02 / damp};
    state.audioVisuals.set(v);
    const auto& waveform = engine_->analyser().waveform();
    const auto& spectrum = engine_->analyser().spectrumDB();
    state.scopeWaveform.set(std::vector<float>(waveform.begin(), waveform.end()));
    state.scopeSpectrum.set(std::vector<float>(spectrum.begin(), spectrum.end()));
    return state.audioVisuals.get();
}

void SoundBridge::watchAudioDevice(InstrumentState& state, double now)
{
    const std::int64_t frame = engine_->currentFrame();
    if (frame != watchedFrame_ || !std::isfinite(now)) {
        watchedFrame_ = frame;
        watchedSince_ = now;
        if (audioLost_) audioLost_ = false;
        return;
    }
    if (audioLost_ || now - watchedSince_ < audioLossSeconds) return;
    // No audio has been rendered for a while: the device is gone (or never came). Notes whose ends
    // lie in the future would never be scheduled; end them all now.
    audioLost_ = true;
    if (engine_->isRunning()) log("audio output stopped: every note released");
    releaseEverything(state);
}

void SoundBridge::releaseEverything(InstrumentState& state)
{
    stopMelody(state);
    if (state.melodyPlaying.get()) state.melodyPlaying.set(false);
    midiKeys_.releaseAll();
    state.releaseAllNotes();
    engine_->allKeysOff();
    releaseDroneNote();
}

void SoundBridge::logTakeFrame(InstrumentState& state)
{
    takes_.addView(Take::View(0, state.fractalType.get(), state.centre.get(), state.zoom.get(), state.rotation.get(),
                              state.juliaC.get(), state.palette().get(), state.maxIterations.get(), state.bloom.get(),
                              state.grain.get(), state.colourShift.get()));
    if (hudState) {
        try {
            if (std::optional<std::string> bytes = hudState(state)) takes_.addHUD(std::move(*bytes));
        } catch (const std::exception&) {
            // A HUD state that cannot be encoded is left out of this frame.
        }
    }
}

void SoundBridge::updateDeviceList(InstrumentState& state)
{
    // Compared without building the list, which changes only when a port comes or goes.
    const auto& sources = midi_.sources().get();
    const auto& devices = state.midiDevices.get();
    bool same = sources.size() == devices.size();
    for (std::size_t i = 0; same && i < sources.size(); ++i) same = sources[i].name == devices[i];
    if (!same) state.midiDevices.set(midi_.sourceNames());
}

void SoundBridge::updateViewPhase(const InstrumentState& state)
{
    const BigComplex& centre = state.centre.get();
    if (lastCentre_) {
        const Complex d = centre.difference(*lastCentre_);
        if (std::isfinite(d.x) && std::isfinite(d.y)) {
            const double scale = state.zoom.get() / 2.5;
            double x = viewPhase_.first + d.x * scale;
            double y = viewPhase_.second + d.y * scale;
            x -= std::floor(x);
            y -= std::floor(y);
            // A step too large to keep a fraction leaves the phase where it was.
            if (std::isfinite(x) && std::isfinite(y)) viewPhase_ = {x, y};
        }
    }
    if (!lastCentre_ || *lastCentre_ != centre) lastCentre_ = centre;
}

bool SoundBridge::updateNavKey(const InstrumentState& state)
{
    NavInputs inputs{state.fractalType.get(), state.centre.get(), state.zoom.get(),     state.maxIterations.get(),
                     state.rotation.get(),    state.scale.get(),  state.rootNote.get(), state.mappingMode.get()};
    if (navInputs_ && *navInputs_ == inputs) return false;
    std::string key;
    key.reserve(160);
    key += toText(inputs.type);
    key += '|';
    appendTail(key, inputs.centre.x().decimal(), 24);
    key += '|';
    appendTail(key, inputs.centre.y().decimal(), 24);
    key += '|';
    appendShortest(key, inputs.zoom);
    key += '|';
    key += std::to_string(inputs.maxIterations);
    key += '|';
    appendShortest(key, inputs.rotation);
    key += '|';
    key += toText(inputs.scale);
    key += '|';
    key += std::to_string(inputs.rootNote);
    key += '|';
    key += inputs.mappingMode;
    navInputs_ = std::move(inputs);
    navKey_ = std::move(key);
    return true;
}

void SoundBridge::applyParameters(InstrumentState& state)
{
    const bool locked = state.toneLocked.get();
    const auto& tone = state.lockedTone.get();
    AudioParams params = locked && tone ? tone->params : state.audioParams.get();
    params.volume = state.audioParams.get().volume;
    if (!engine_->isPlaying() && !locked) params.noiseLevel = 0;
    const Waveform waveform = state.waveform().get();
    const Waveform stepWaveform = state.waveformChosen.get() ? waveform : Waveform::triangle;
    engine_->apply(params, waveform, stepWaveform, state.micEnabled.get() ? 1.0 : 0.0, 0);
}

void SoundBridge::updateOrbit(InstrumentState& state, bool navChanged)
{
    const Complex juliaC = state.juliaC.get();
    if (navChanged || !orbitJulia_ || !(*orbitJulia_ == juliaC)) {
        orbitJulia_ = juliaC;
        std::string key;
        key.reserve(navKey_.size() + 64);
        key += toText(state.fractalType.get());
        key += '|';
        key += navKey_;
        key += '|';
        appendShortest(key, juliaC.x);
        key += '|';
        appendShortest(key, juliaC.y);
        if (key != lastOrbitKey_) {
            lastOrbitKey_ = std::move(key);
            if (state.mappingMode.get() == "depth") {
                requestOrbitTail(state);
            } else {
                // The orbit computed now is the newest: a tail still on its way must not replace it.
                tailLatest_->store(++tailToken_);
                Orbits::Centre c = SoundMapping::orbit(state);
                state.scopeOrbit.set(std::move(c.points));
                state.scopeOrbitLength.set(c.length);
            }
        }
    }

    if (state.audioParams.get().synthMode == AudioParams::SynthMode::orbit && !state.scopeOrbit.get().empty()) {
        // The engine skips an orbit it already has; comparing here spares it printing the key.
        const auto& last = engine_->lastOrbit();
        if (!last || last->length != state.scopeOrbitLength.get() || last->points != state.scopeOrbit.get())
            engine_->setOrbit(state.scopeOrbit.get(), static_cast<int>(state.scopeOrbitLength.get()));
    }
}

void SoundBridge::requestOrbitTail(InstrumentState& state)
{
    tailLatest_->store(++tailToken_);
    const std::int64_t token = tailToken_;
    const FractalType type = state.fractalType.get();
    const Complex juliaC = state.juliaC.get();
    const std::int64_t iterations = state.maxIterations.get();
    const int maxIterations = static_cast<int>(std::clamp<std::int64_t>(iterations, 0, InstrumentState::iterationCap));
    tailQueue_.async([token, type, juliaC, iterations, maxIterations, centre = state.centre.get(), latest = tailLatest_,
                      weak = std::weak_ptr<Alive>(alive_), s = &state, &main = main_] {
        const auto stale = [&] { return latest->load() != token; };
        if (stale()) return;
        Orbits::Centre c = Orbits::tail(type, centre, juliaC, maxIterations, 48, stale);
        if (stale()) return;
        main.post([token, type, juliaC, iterations, weak, s, c = std::move(c)]() mutable {
            const auto alive = weak.lock();
            SoundBridge* bridge = alive ? alive->bridge : nullptr;
            if (!bridge || token != bridge->tailToken_) return;
            // An orbit of another formula, Julia constant or iteration limit is not this view's.
            if (s->fractalType.get() != type || !(s->juliaC.get() == juliaC) || s->maxIterations.get() != iterations)
                return;
            s->scopeOrbit.set(std::move(c.points));
            s->scopeOrbitLength.set(c.length);
        });
    });
}

} // namespace veltrane
