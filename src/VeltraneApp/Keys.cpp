// Keyboard input, notes and melody choice of the instrument state.
#include "VeltraneApp/InstrumentState.h"

#include "FractalCore/ZoomRules.h"
#include "Music/Classics.h"
#include "Music/Melodies.h"
#include "Music/Notes.h"
#include "VeltraneApp/MelodyLibrary.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace veltrane {

namespace {

std::string lowerCased(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<int> qwertySemitone(const std::string& characters)
{
    if (characters.size() != 1) return std::nullopt;
    for (const auto& [key, semitone] : InstrumentState::qwerty)
        if (key == characters[0]) return semitone;
    return std::nullopt;
}

void toggle(Observable<bool>& flag)
{
    flag.modify([](bool& v) { v = !v; });
}

// Notes outside the MIDI range (a tone locked at an extreme pitch, shifted by octaves) are not
// played: no device could take them.
constexpr bool isMIDINote(std::int64_t note) { return note >= 0 && note <= 127; }

} // namespace

bool InstrumentState::handleKey(const KeyEvent& event)
{
    if (event.has(KeyEvent::ctrl)) return false;
    if (pianoKeyDown(event)) return true;

    switch (event.key) {
    case KeyEvent::Key::escape:
        if (helpOpen.get() || presetMenuOpen.get() || introVisible.get() || melodyMenuOpen.get()) {
            for (Observable<bool>* panel : {&helpOpen, &presetMenuOpen, &introVisible, &melodyMenuOpen})
                panel->set(false);
        } else {
            hudVisible.set(false);
        }
        return true;
    case KeyEvent::Key::left:
    case KeyEvent::Key::right:
    case KeyEvent::Key::down:
    case KeyEvent::Key::up: {
        userTookControl();
        // A tenth of the view's shorter side, along the plane's axes (not turned with the view).
        const double s = 0.25 / zoom.get();
        const double dx = event.key == KeyEvent::Key::left ? -s : event.key == KeyEvent::Key::right ? s : 0;
        const double dy = event.key == KeyEvent::Key::down ? -s : event.key == KeyEvent::Key::up ? s : 0;
        centre.set(centre.get().offset(dx, dy));
        return true;
    }
    default: break;
    }

    const std::string chars = lowerCased(event.characters);
    if (chars.empty()) return false;
    const auto is = [&](std::initializer_list<std::string_view> options) {
        return std::find(options.begin(), options.end(), chars) != options.end();
    };
    if (is({"+", "="}) || is({"-", "_"})) {
        userTookControl();
        const double factor = chars == "+" || chars == "=" ? zoomStep : 1 / zoomStep;
        zoomTo(std::clamp(zoom.get() * factor, ZoomRules::minZoom, maxZoom), 0, 0);
    } else if (chars == "[") {
        maxIterations.set(std::max(maxIterations.get() - iterationStep, iterationStep));
    } else if (chars == "]") {
        maxIterations.set(std::min(maxIterations.get(), iterationCap - iterationStep) + iterationStep);
    } else if (chars == "r") {
        const FractalTarget home = veltrane::home(fractalType.get());
        const int limbs = BigFixed::limbsForZoom(home.zoom, guardBits);
        fly(BigComplex(BigFixed(home.centerX, limbs), BigFixed(home.centerY, limbs)), home.zoom, 0, flyHomeMs);
    } else if (chars == "h") {
        toggle(hudVisible);
    } else if (chars == "g") {
        movement.modify([](MovementSettings& m) { m.enabled = !m.enabled; });
    } else if (chars == "p" || is({"?", "/"})) {
        toggle(chars == "p" ? presetMenuOpen : helpOpen);
        if (!hudVisible.get()) hudVisible.set(true);
    } else if (chars == "m") {
        fractalType.set(fractalType.get() == FractalType::mandelbrot ? FractalType::julia : FractalType::mandelbrot);
    } else if (chars == " ") {
        actions.get().togglePlay();
    } else if (chars.size() == 1 && chars[0] >= '1' && chars[0] <= '4') {
        const auto mode = allCases<AudioParams::SynthMode>[static_cast<std::size_t>(chars[0] - '1')];
        audioParams.modify([mode](AudioParams& p) { p.synthMode = mode; });
    } else {
        return false;
    }
    return true;
}

bool InstrumentState::pianoKeyDown(const KeyEvent& event)
{
    if (!toneLocked.get() || event.has(KeyEvent::ctrl) || event.has(KeyEvent::alt) || event.has(KeyEvent::super))
        return false;
    if (event.key == KeyEvent::Key::returnKey || event.key == KeyEvent::Key::keypadEnter) {
        if (!event.isRepeat) toggle(melodyPlaying);
        return true;
    }
    const std::string chars = lowerCased(event.characters);
    if (chars.empty()) return false;
    if (chars == "z" || chars == "x") {
        if (!event.isRepeat) setKeyboardOctaveOffset(keyboardOctaveOffset_.get() + (chars == "z" ? -1 : 1));
        return true;
    }
    const auto semitone = qwertySemitone(chars);
    if (!semitone) return false;
    if (event.isRepeat || heldQwerty_.contains(chars)) return true;
    const std::int64_t note = keyboardStartNote() + *semitone;
    if (!isMIDINote(note)) return true;
    heldQwerty_[chars] = note;
    noteOn(note, keyVelocity);
    return true;
}

bool InstrumentState::handleKeyUp(const KeyEvent& event)
{
    const std::string chars = lowerCased(event.characters);
    if (chars.empty()) return false;
    const auto held = heldQwerty_.find(chars);
    if (held == heldQwerty_.end()) return false;
    const std::int64_t note = held->second;
    heldQwerty_.erase(held);
    noteOff(note);
    return true;
}

std::int64_t InstrumentState::keyboardStartNote() const
{
    const std::int64_t base = lockedTone.get() ? lockedTone.get()->baseMidiNote : defaultBaseNote;
    const std::int64_t aboveC = ((base - 12) % 12 + 12) % 12;
    return base - aboveC - 12 + 12 * keyboardOctaveOffset_.get();
}

void InstrumentState::noteOn(std::int64_t note, double velocity)
{
    if (!toneLocked.get() || !isMIDINote(note)) return;
    activeNotes.modify([note](std::set<std::int64_t>& notes) { notes.insert(note); });
    actions.get().keyOn(static_cast<std::int32_t>(note), Notes::midiToFrequency(static_cast<int>(note)), velocity);
}

void InstrumentState::noteOff(std::int64_t note)
{
    if (!activeNotes.get().contains(note)) return;
    activeNotes.modify([note](std::set<std::int64_t>& notes) { notes.erase(note); });
    actions.get().keyOff(static_cast<std::int32_t>(note));
}

void InstrumentState::releaseAllNotes()
{
    heldQwerty_.clear();
    // A copy: a keyOff callback may itself change the held notes.
    const std::set<std::int64_t> notes = activeNotes.get();
    for (std::int64_t note : notes) actions.get().keyOff(static_cast<std::int32_t>(note));
    activeNotes.set({});
}

void InstrumentState::resetTone()
{
    if (!toneLocked.get()) return;
    AudioParams p = presetSound.get().value_or(AudioParams::defaults());
    p.volume = audioParams.get().volume;
    audioParams.set(p);
    lockedTone.set(LockedTone::locking(p, std::string(toText(waveform_.get()))));
}

Melody InstrumentState::melody() const
{
    if (auto builtIn = Melodies::melody(melodyID.get())) return *builtIn;
    if (auto imported = library.melody(melodyID.get())) return *imported;
    return Melodies::all().front();
}

std::vector<Melody> InstrumentState::allMelodies() const
{
    std::vector<Melody> all = Melodies::all();
    const auto& classics = Classics::all();
    all.insert(all.end(), classics.begin(), classics.end());
    const auto& imported = library.imported().get();
    all.insert(all.end(), imported.begin(), imported.end());
    return all;
}

void InstrumentState::nudgeMelodyTempo(double delta)
{
    if (std::isnan(delta)) return;
    const auto& override = melodyBPM.get();
    const double current = override && std::isfinite(*override) ? *override : melody().bpm();
    melodyBPM.set(std::clamp(std::round(current + delta), minMelodyBPM, maxMelodyBPM));
}

void InstrumentState::removeMelody(const std::string& id)
{
    library.remove(id);
    if (melodyID.get() != id) return;
    melodyPlaying.set(false);
    melodyID.set(Melodies::all().front().id());
    melodyBPM.set(std::nullopt);
}

} // namespace veltrane
