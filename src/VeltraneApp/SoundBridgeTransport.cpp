// Transport, tone lock, microphone and MIDI routing of the sound bridge: the drone started and
// stopped, a tone locked and unlocked, incoming MIDI played into the state, and MIDI out brought up
// to date every frame (the drone's note, the controller values of the sound, the clock).
#include "VeltraneApp/SoundBridge.h"

#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIControlMap.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <span>

namespace veltrane {

namespace {
constexpr std::uint8_t droneChannel = 2;
constexpr std::uint8_t droneVelocity = 100;
constexpr std::uint8_t controllerChannel = 0;
constexpr double clockLead = 0.05;   // seconds before the first pulse
constexpr double clockHorizon = 0.1; // seconds of pulses sent ahead

// The nearest note of a frequency, or nothing for one that names no pitch.
std::optional<std::uint8_t> droneNoteOf(double frequency)
{
    if (!(frequency > 0) || !std::isfinite(frequency)) return std::nullopt;
    const double note = std::floor(12 * std::log2(frequency / 440) + 69 + 0.5);
    return static_cast<std::uint8_t>(std::clamp(note, 0.0, 127.0));
}
} // namespace

void SoundBridge::togglePlay(InstrumentState& state)
{
    if (state.isPlaying.get()) {
        engine_->stopDrone(0);
        state.isPlaying.set(false);
    } else {
        if (!state.toneLocked.get()) engine_->play(0);
        state.isPlaying.set(true);
    }
    state.introVisible.set(false);
}

void SoundBridge::toggleLock(InstrumentState& state)
{
    if (state.toneLocked.get()) {
        stopMelody(state);
        state.melodyPlaying.set(false);
        midiKeys_.releaseAll(); // the state's notes below include the MIDI keys
        state.releaseAllNotes();
        engine_->allKeysOff();
        state.toneLocked.set(false);
        state.lockedTone.set(std::nullopt);
        state.setKeyboardOctaveOffset(0);
        engine_->play(0);
        state.isPlaying.set(true);
        return;
    }
    if (!state.isPlaying.get()) return;
    state.lockedTone.set(LockedTone::locking(state.audioParams.get(), std::string(toText(state.waveform().get()))));
    state.setKeyboardOctaveOffset(0);
    state.toneLocked.set(true);
    engine_->stopDrone(0);
}

void SoundBridge::toggleMic(InstrumentState& state)
{
    if (engine_->micEnabled()) {
        engine_->disableMic();
        state.micEnabled.set(false);
        return;
    }
    try {
        engine_->enableMic();
        state.micEnabled.set(true);
    } catch (const std::exception& e) {
        log(std::string("microphone unavailable: ") + e.what());
    }
}

void SoundBridge::handleMIDI(const MIDIEvent& event, InstrumentState& state)
{
    using Kind = MIDIEvent::Kind;
    const bool pedal = event.kind == Kind::controlChange && event.controller() == MIDIControlMap::sustainPedal;
    if (event.kind == Kind::controlChange && !pedal) {
        // Controllers play the sound whether or not a tone is locked; observers hear of every one.
        state.audioParams.modify([&](AudioParams& p) { MIDIControlMap::apply(event.controller(), event.value(), p); });
        if (state.toneLocked.get() && state.lockedTone.get()) {
            LockedTone tone = *state.lockedTone.get();
            MIDIControlMap::apply(event.controller(), event.value(), tone);
            state.lockedTone.set(std::move(tone));
        }
        return;
    }
    switch (event.kind) {
    case Kind::clock:
        if (!state.midiClockIn.get()) return;
        clockIn_.tick(mediaNow());
        if (const std::optional<double> tempo = clockIn_.bpm()) {
            const double rounded = std::round(*tempo);
            MovementSettings movement = state.movement.get();
            if (std::abs(rounded - movement.bpm) >= 1) {
                movement.bpm = std::clamp(rounded, Conductor::minTempo, Conductor::maxTempo);
                state.movement.set(movement);
            }
        }
        return;
    case Kind::start:
    case Kind::continue_:
        if (!state.midiClockIn.get()) return;
        clockIn_.reset();
        if (!state.movement.get().enabled) state.movement.modify([](MovementSettings& m) { m.enabled = true; });
        return;
    case Kind::stop:
        if (state.midiClockIn.get() && state.movement.get().enabled)
            state.movement.modify([](MovementSettings& m) { m.enabled = false; });
        return;
    default: break;
    }
    // Notes and the sustain pedal play the locked tone; without one they are dropped untouched.
    if (!state.toneLocked.get()) return;
    for (const MIDIKeyboard::Action& action : midiKeys_.handle(event)) {
        if (action.kind == MIDIKeyboard::Action::Kind::noteOff)
            state.noteOff(action.note);
        else
            state.noteOn(action.note, action.velocity); // plays only while a tone is still locked
    }
}

void SoundBridge::releaseDroneNote()
{
    if (droneNote_ && midiOut_.isRunning()) midiOut_.send(MIDIEvent::noteOff(*droneNote_, 0, droneChannel), 0);
    droneNote_.reset();
}

void SoundBridge::runMIDIOut(InstrumentState& state)
{
    if (state.midiOut.get() != midiOut_.isRunning()) {
        if (state.midiOut.get()) {
            try {
                midiOut_.start();
                if (midiOut_.isRunning()) {
                    melodyMIDIOns_.clear();
                    std::set<std::int32_t> ignored = midi_.ignoredSourceIDs();
                    ignored.insert(midiOut_.uniqueID());
                    midi_.setIgnoredSourceIDs(std::move(ignored));
                } else {
                    // No MIDI system at all: trying again every frame would only cost time.
                    log("MIDI out unavailable: no MIDI system");
                    state.midiOut.set(false);
                }
            } catch (const std::exception& e) {
                log(std::string("MIDI out unavailable: ") + e.what());
                state.midiOut.set(false);
            }
        } else {
            releaseDroneNote();
            if (clockOut_.running()) {
                midiOut_.send(MIDIEvent::stop(), 0);
                clockOut_.stop();
            }
            sentCC_.clear();
            midiOut_.stop(); // ends every note it turned on, melody and step notes included
        }
    }
    if (!midiOut_.isRunning()) return;

    // The drone's note, while the drone sounds (and the audio runs).
    const std::optional<std::uint8_t> note = engine_->isPlaying() && !state.toneLocked.get() && !audioLost_
                                                 ? droneNoteOf(state.audioParams.get().frequency)
                                                 : std::nullopt;
    if (note != droneNote_) {
        releaseDroneNote();
        if (note) midiOut_.send(MIDIEvent::noteOn(*note, droneVelocity, droneChannel), 0);
        droneNote_ = note;
    }

    // Controller values of the sound that changed since they were last sent.
    const auto& tone = state.lockedTone.get();
    const AudioParams& sound = state.toneLocked.get() && tone ? tone->params : state.audioParams.get();
    std::array<MIDIEvent, MIDIControlMap::exportOrder.size()> changes;
    std::size_t count = 0;
    for (const auto& [controller, value] : MIDIControlMap::controllerValues(sound)) {
        const std::uint8_t number = MIDIControlMap::rawValue(controller);
        const auto sent = sentCC_.find(number);
        if (sent != sentCC_.end() && sent->second == value) continue;
        sentCC_[number] = value;
        changes[count++] = MIDIEvent::controlChange(number, value, controllerChannel);
    }
    if (count > 0) midiOut_.send(std::span<const MIDIEvent>(changes.data(), count), 0);

    // The clock, at the movement's tempo.
    if (state.midiClockOut.get()) {
        clockOut_.setBpm(state.movement.get().bpm);
        if (!clockOut_.running()) {
            const std::uint64_t firstPulse = clockOut_.start(clockLead);
            midiOut_.send(MIDIEvent::start(), firstPulse);
        }
        for (const std::uint64_t at : clockOut_.pump(clockHorizon)) midiOut_.send(MIDIEvent::clock(), at);
    } else if (clockOut_.running()) {
        midiOut_.send(MIDIEvent::stop(), 0);
        clockOut_.stop();
    }
}

} // namespace veltrane
