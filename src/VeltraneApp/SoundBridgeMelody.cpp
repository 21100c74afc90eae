// Melody playback and the melody flight of the sound bridge: the selected tune (and its bass) played
// with the locked tone on the engine and on MIDI out, the keyboard lit as the notes are heard, and
// the view flown along a route planned from the tune.
#include "VeltraneApp/SoundBridge.h"

#include "FractalRender/FlightStops.h"
#include "FractalRender/FractalRenderer.h"
#include "MIDIIO/HostTime.h"
#include "Platform/Gpu/GpuDevice.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane {

namespace {
constexpr double startDelay = 0.05;       // seconds from now to the melody's first beat
constexpr double captureStartDelay = 0.5; // the same while a melody capture is armed
constexpr double lookAhead = 0.15;        // seconds scheduled beyond the output latency
constexpr double flightMaxZoom = 1e10;
constexpr double flightTailSeconds = 2;
constexpr double minimumMIDINote = 0.001; // seconds between a melody note's MIDI start and end

std::int64_t framesOf(double sampleRate, double seconds) { return static_cast<std::int64_t>(sampleRate * seconds); }
} // namespace

void SoundBridge::runMelody(InstrumentState& state)
{
    const auto& tone = state.lockedTone.get();
    // Without a locked tone (or while the audio stands still) a play request is refused.
    if (!state.melodyPlaying.get() || !state.toneLocked.get() || !tone || audioLost_) {
        if (melodyPlayer_) stopMelody(state);
        if (state.melodyPlaying.get()) state.melodyPlaying.set(false);
        return;
    }
    if (melodyPlayer_ && melodyPlayingID_ != state.melodyID.get()) stopMelody(state);

    const int tonic = tone->baseMidiNote + 12 * static_cast<int>(state.keyboardOctaveOffset().get());
    const bool loop = state.melodyLoop.get() && !state.melodyCapture.get();
    const double sampleRate = engine_->sampleRate();
    if (!melodyPlayer_) {
        const std::int64_t start =
            engine_->currentFrame() + framesOf(sampleRate, state.melodyCapture.get() ? captureStartDelay : startDelay);
        melodyPlayer_.emplace(state.melody(), tonic, state.melodyBPM.get(), loop, state.melodyBass.get(), start,
                              sampleRate);
        melodyPlayingID_ = state.melodyID.get();
        flightPlan_.reset();
        flightClock_.reset();
    }
    MelodyPlayer& player = *melodyPlayer_;
    player.tonic = tonic;
    player.loop = loop;

    if (player.bass() != state.melodyBass.get())
        sendMelody(player.setBass(state.melodyBass.get(), engine_->currentFrame()));
    const double wanted = state.melodyBPM.get().value_or(player.melody().bpm());
    if (player.bpm() != std::clamp(wanted, MelodyPlayer::minimumBPM, MelodyPlayer::maximumBPM)) player.setTempo(wanted);

    sendMelody(
        player.schedule(engine_->currentFrame() + framesOf(sampleRate, lookAhead) + engine_->outputLatencyFrames()));

    // The keyboard lights what is heard now: the events whose frames have left the speakers.
    const std::int64_t heard = engine_->currentFrame() - engine_->outputLatencyFrames();
    std::size_t shown = 0;
    for (; shown < melodyLights_.size() && melodyLights_[shown].frame <= heard; ++shown) {
        const MelodyPlayer::Event& e = melodyLights_[shown];
        if (e.kind == MelodyPlayer::Event::Kind::on)
            melodyLit_[e.id] = {e.note, e.part};
        else
            melodyLit_.erase(e.id);
    }
    if (shown > 0) {
        melodyLights_.erase(melodyLights_.begin(), melodyLights_.begin() + static_cast<std::ptrdiff_t>(shown));
        std::set<std::int64_t> melodyNotes, bassNotes;
        for (const auto& [id, lit] : melodyLit_)
            (lit.second == Melody::Part::bass ? bassNotes : melodyNotes).insert(lit.first);
        state.melodyNotes.set(std::move(melodyNotes));
        state.melodyBassNotes.set(std::move(bassNotes));
    }
    state.melodyProgress.set(player.progress(heard));

    if (player.isFinished() && melodyLights_.empty()) {
        melodyPlayer_.reset();
        melodyLit_.clear();
        state.melodyNotes.set({});
        state.melodyBassNotes.set({});
        state.melodyProgress.set(0);
        state.melodyPlaying.set(false);
    }
}

void SoundBridge::stopMelody(InstrumentState& state)
{
    if (!melodyPlayer_) return;
    sendMelody(melodyPlayer_->stop(engine_->currentFrame()));
    melodyPlayer_.reset();
    melodyLights_.clear();
    melodyLit_.clear();
    state.melodyNotes.set({});
    state.melodyBassNotes.set({});
    state.melodyProgress.set(0);
}

void SoundBridge::sendMelody(const std::vector<MelodyPlayer::Event>& events)
{
    if (events.empty()) return;
    MelodyPlayer::prune(melodySent_, engine_->currentFrame());
    for (const MelodyPlayer::Event& e : events) {
        engine_->send(e);
        melodySent_.push_back(e);
        if (midiOut_.isRunning()) {
            const std::uint8_t note = static_cast<std::uint8_t>(std::clamp(e.note, 0, 127));
            const std::uint8_t channel = e.part == Melody::Part::bass ? 1 : 0;
            std::uint64_t at = hostTimeOfFrame(e.frame);
            if (e.kind == MelodyPlayer::Event::Kind::on) {
                midiOut_.send(MIDIEvent::noteOn(note, midiVelocity(e.velocity), channel), at);
                melodyMIDIOns_[e.id] = at;
            } else {
                // A note cut short lies one frame after its start; stamped in a later display frame,
                // its end could land before its start if the audio clock drifts from the host clock.
                if (const auto on = melodyMIDIOns_.find(e.id); on != melodyMIDIOns_.end()) {
                    at = std::max(at, HostTime::add(on->second, HostTime::seconds(minimumMIDINote)));
                    melodyMIDIOns_.erase(on);
                }
                midiOut_.send(MIDIEvent::noteOff(note, 0, channel), at);
            }
        }
        melodyLights_.push_back(e);
    }
    std::stable_sort(melodyLights_.begin(), melodyLights_.end(),
                     [](const MelodyPlayer::Event& a, const MelodyPlayer::Event& b) { return a.frame < b.frame; });
}

std::optional<SoundBridge::FlightClock> SoundBridge::clockOf(const std::optional<MelodyPlayer>& player) const
{
    if (!player) return std::nullopt;
    const std::int64_t now = engine_->currentFrame();
    return FlightClock{now,          player->beat(now),        player->bpm(), player->sampleRate(),
                       player->loop, player->melody().length()};
}

void SoundBridge::runFlight(InstrumentState& state, double now)
{
    const bool fly = state.melodyFly.get();
    if (!fly) flightRendererFailed_ = false; // switching flights on again tries again
    if (fly && !flightRenderer_ && !flightRendererFailed_) {
        try {
            const std::shared_ptr<GpuDevice> device =
                setup_.flightDevice ? setup_.flightDevice() : GpuDevice::systemDefault();
            if (device) flightRenderer_ = std::make_unique<FractalRenderer>(device);
        } catch (const std::exception& e) {
            log(std::string("melody flight unavailable: ") + e.what());
        }
        flightRendererFailed_ = !flightRenderer_;
    }
    if (melodyPlayer_) flightClock_ = clockOf(melodyPlayer_);
    if (!fly || !(state.melodyPlaying.get() || state.melodyCapture.get()) || !flightClock_ || !flightRenderer_) {
        flightPlan_.reset();
        flightClock_ = clockOf(melodyPlayer_);
        flightHandsOff_ = false;
        return;
    }

    const FlightClock& clock = *flightClock_;
    const double length = std::max(clock.length, 1e-6);
    double beat = clock.beatAt(engine_->currentFrame());
    int pass = 0;
    if (clock.loop) {
        const double turns = std::max(0.0, std::floor(beat / length));
        pass = static_cast<int>(std::min(turns, static_cast<double>(std::numeric_limits<int>::max())));
        beat -= length * turns;
    }

    const std::uint32_t seed = state.flightSeed.get();
    const std::string& melodyID = state.melodyID.get();
    const bool samePlan = flightPlan_ && flightSeedUsed_ == seed && flightMelodyID_ == melodyID;
    if (!samePlan || flightPass_ != pass) {
        const Melody melody = state.melody();
        const double bpm = state.melodyBPM.get().value_or(melody.bpm());
        const MelodyFlight::Pose from{state.centre.get(), state.zoom.get(), state.rotation.get()};
        const double fromBeat = !samePlan && beat > 0.05 ? beat : 0;
        const FractalType type = state.fractalType.get();
        const Complex juliaC = state.juliaC.get();
        FractalRenderer& renderer = *flightRenderer_;
        const MelodyFlight::Find find = [&renderer, type,
                                         juliaC](const BigComplex& centre, double zoom,
                                                 double target) -> std::optional<MelodyFlight::Destination> {
            const std::optional<FlightStop> stop = flightStop(renderer, type, juliaC, centre, zoom, target);
            if (!stop) return std::nullopt;
            return MelodyFlight::Destination{stop->centre, stop->zoom};
        };
        flightPlan_.emplace(melody, bpm, from, fromBeat, flightTailSeconds * bpm / 60,
                            seed + static_cast<std::uint32_t>(pass), flightMaxZoom, find);
        flightPass_ = pass;
        flightSeedUsed_ = seed;
        flightMelodyID_ = melodyID;
        flightPlanned_ = now;
        flightHandsOff_ = false;
        flightColour_.reset();
    }

    const double colour = flightPlan_->colour(beat);
    if (state.melodyColours.get() && flightColour_)
        state.colourShift.set(state.colourShift.get() + (colour - *flightColour_));
    flightColour_ = colour;

    if (flightPlanned_ < state.lastManualMove.get() || state.flight.get()) {
        flightHandsOff_ = true;
    } else if (!flightHandsOff_) {
        const MelodyFlight::Pose pose = flightPlan_->pose(beat);
        state.setView(pose.centre, pose.zoom, pose.rotation, true);
    }
}

} // namespace veltrane
