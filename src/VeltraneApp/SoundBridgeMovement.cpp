// The movement driver of the sound bridge: a Conductor kept in step with the movement settings, its
// step notes scheduled a little ahead on the engine and on MIDI out, and the view glided towards the
// note that is due; a manual move holds it all back for the settings' resume delay.
#include "VeltraneApp/SoundBridge.h"

#include "FractalCore/RandomSource.h"
#include "MIDIIO/HostTime.h"
#include "Music/Mapping.h"

#include <algorithm>
#include <cmath>

namespace veltrane {

namespace {
constexpr double lookAheadSeconds = 0.12;
constexpr double midiVelocityScale = 110;
constexpr std::uint8_t stepChannel = 1;
constexpr double glideFrameRate = 60;

// Equal but for the tempo: a tempo change re-times the running conductor, anything else rebuilds it.
bool sameButTempo(const MovementSettings& running, MovementSettings wanted)
{
    wanted.bpm = running.bpm;
    wanted.subdivision = running.subdivision;
    return wanted == running;
}
} // namespace

void SoundBridge::runMovement(InstrumentState& state, double now, double dt)
{
    const MovementSettings& s = state.movement.get();
    if (!s.enabled) {
        conductor_.reset();
        conductorSettings_.reset();
        movementTarget_.reset();
        pausedSince_.reset();
        if (state.movementPaused.get()) state.movementPaused.set(false);
        return;
    }

    const double sampleRate = engine_->sampleRate();
    const std::int64_t horizon =
        static_cast<std::int64_t>(sampleRate * lookAheadSeconds) + engine_->outputLatencyFrames();
    const std::int64_t nowFrame = engine_->currentFrame();

    if (conductor_ && conductorSettings_ && sameButTempo(*conductorSettings_, s)) {
        if (s.bpm != conductorSettings_->bpm || s.subdivision != conductorSettings_->subdivision) {
            conductor_->setTempo(s.bpm, s.subdivision);
            conductorSettings_ = s;
        }
    } else {
        conductor_.emplace(s, state.centre.get(), state.zoom.get(), state.rotation.get(), nowFrame + horizon,
                           sampleRate, SystemRandomSource());
        conductorSettings_ = s;
        movementTarget_.reset();
    }

    if (now - state.lastManualMove.get() < s.manualResumeDelay) {
        if (!state.movementPaused.get()) state.movementPaused.set(true);
        pausedSince_ = state.lastManualMove.get();
        movementTarget_.reset();
        return;
    }
    if (pausedSince_) {
        pausedSince_.reset();
        state.movementPaused.set(false);
        conductor_->reanchor(state.centre.get(), state.zoom.get(), state.rotation.get(), nowFrame + horizon);
    }

    const Scale scale = state.scale.get();
    const int root = static_cast<int>(state.rootNote.get());
    const auto pitch = [scale, root](const FractalTarget& target) {
        return Mapping::positionToFrequency(target.centerX, scale, root);
    };
    const std::vector<Conductor::Note> notes = conductor_->schedule(nowFrame + horizon, pitch);
    if (engine_->isPlaying()) {
        for (const Conductor::Note& note : notes) {
            const double f = pitch(note.target);
            engine_->step(f, note.duration, note.accent, note.frame);
            if (!midiOut_.isRunning() || !(f > 0) || !std::isfinite(f)) continue;
            const auto number =
                static_cast<std::uint8_t>(std::clamp(std::floor(12 * std::log2(f / 440) + 69 + 0.5), 0.0, 127.0));
            const auto velocity =
                static_cast<std::uint8_t>(std::clamp(std::trunc(note.accent * midiVelocityScale), 0.0, 127.0));
            const std::int64_t end = note.frame + static_cast<std::int64_t>(note.duration * sampleRate);
            const std::uint64_t on = hostTimeOfFrame(note.frame);
            midiOut_.note(number, velocity, stepChannel, on, hostTimeOfFrame(end));
        }
    }

    if (const std::optional<Conductor::Note> due =
            conductor_->follow(engine_->currentFrame() + engine_->outputLatencyFrames()))
        movementTarget_ = MovementTarget{conductor_->exactCentre(due->local), due->local.zoom, due->local.rotation};

    if (!movementTarget_ || state.flight.get()) return;
    const double b = s.lerpSpeed >= 0 ? 1 - std::min(s.lerpSpeed, 1.0) : 1;
    const double k = 1 - std::pow(b, dt * glideFrameRate);
    if (!(k > 0)) return; // no glide: the view (and its iterations) stay as they are
    const double zoom = state.zoom.get() + k * (movementTarget_->zoom - state.zoom.get());
    const double rotation = state.rotation.get() + k * (movementTarget_->rotation - state.rotation.get());
    const int limbs = std::max(state.centre.get().fracLimbs(), movementTarget_->centre.fracLimbs());
    const BigComplex centre =
        state.centre.get().withFracLimbs(limbs).lerp(movementTarget_->centre.withFracLimbs(limbs), k);
    state.setView(centre, zoom, rotation, true);
}

} // namespace veltrane
