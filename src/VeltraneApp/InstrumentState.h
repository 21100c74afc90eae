#pragma once
// The one observable model of the instrument: everything the canvas draws, the HUD shows and the
// sound plays is read from here, and every control, key and menu writes here. Views and menus never
// reach the sound engine: they write a property or call one of the `actions` callbacks.
//
// Observation: each property is an Observable (Support/Observable.h) and follows its rule: an equal
// write notifies nobody; a different value, or an in-place `modify`, notifies; a type without
// equality (`actions`, `onSaveRequested`, `flight`, `renderStats`) always notifies. Subscribe with
// `state.zoom.observe(callback)` and keep the token.
//
// Three writes have side effects and go through setters, their properties being read-only outside:
// - setPalette: stores the palette, then sets colourShift to 0 (even when the palette was the same);
// - setWaveform: stores the waveform, then sets waveformChosen (even when it was the same);
// - setKeyboardOctaveOffset: stores the value, then pulls it into -3...3 (a second notification).
// `heldQwerty` and the flight's exact centres are touched only by the model's own operations.
//
// View operations refuse what would poison the view: a zoom that is not a number keeps the current
// zoom (an infinite one is clamped into 0.1...1e300), a rotation or centre offset that is not finite
// is ignored, and a flight step at a time that is not finite does nothing. The tempo nudge refuses
// a change that is not a number.
//
// Main thread only; no lock. One instance for the program's run, with identity: not copyable.
#include "FractalCore/BigComplex.h"
#include "FractalCore/Complex.h"
#include "FractalCore/Flight.h"
#include "FractalCore/FractalTarget.h"
#include "FractalCore/FractalType.h"
#include "FractalCore/Palette.h"
#include "FractalRender/RenderTypes.h"
#include "Movement/MovementSettings.h"
#include "Music/AudioParams.h"
#include "Music/LockedTone.h"
#include "Music/Melody.h"
#include "Music/Scale.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Json/JsonFwd.h"
#include "Presets/Preset.h"
#include "Support/EnumText.h"
#include "Support/Observable.h"
#include "Synth/Waveform.h"
#include "VeltraneApp/KeyEvent.h"
#include "VeltraneApp/SoundActions.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrane {

class MelodyLibrary;

class InstrumentState {
public:
    using Date = std::chrono::system_clock::time_point;

    enum class Tab { sound, movement, visual };

    // The exact start and end centres of the flight in progress, at one common precision.
    struct FlightCentres {
        BigComplex from;
        BigComplex to;
    };

    static constexpr double maxZoom = 1e300;
    static constexpr Complex defaultJuliaC{-0.7, 0.27015}; // also what a preset without one loads
    static constexpr std::int64_t iterationCap = 200000;
    static constexpr int guardBits = 64;
    static constexpr double deepCentreZoom = 1e11;    // above it the renderer gets the exact centre
    static constexpr double referenceHintZoom = 2500; // a flight zooming in past it pins its target's orbit
    static constexpr double vignette = 0.42;

    static constexpr double keyVelocity = 0.8;
    static constexpr double zoomStep = 1.2;
    static constexpr std::int64_t iterationStep = 16;
    static constexpr double flyHomeMs = 1800;
    static constexpr std::int64_t defaultBaseNote = 60;
    static constexpr double minMelodyBPM = 40, maxMelodyBPM = 240;
    static constexpr std::int64_t minOctaveOffset = -3, maxOctaveOffset = 3;

    // The computer-keyboard piano: two rows of letters laid out like piano keys, as semitones above
    // keyboardStartNote.
    static constexpr std::array<std::pair<char, int>, 15> qwerty{{
        {'a', 0},
        {'w', 1},
        {'s', 2},
        {'e', 3},
        {'d', 4},
        {'f', 5},
        {'t', 6},
        {'g', 7},
        {'y', 8},
        {'h', 9},
        {'u', 10},
        {'j', 11},
        {'k', 12},
        {'o', 13},
        {'l', 14},
    }};

    // `library` holds the imported melodies (the program passes MelodyLibrary::shared()); `clock` is
    // the media clock of flights and manual moves.
    explicit InstrumentState(MelodyLibrary& library, const Clock& clock = Clock::steady());
    InstrumentState(const InstrumentState&) = delete;
    InstrumentState& operator=(const InstrumentState&) = delete;

    // ---- stored properties, in declaration order ----
    // view
    Observable<FractalType> fractalType{FractalType::mandelbrot};
    Observable<BigComplex> centre{BigComplex(BigFixed(-0.5, 2), BigFixed(0.0, 2))};
    Observable<double> zoom{1.0};
    Observable<double> rotation{0.0}; // radians
    Observable<std::int64_t> maxIterations{128};
    Observable<Complex> juliaC{defaultJuliaC};
    const Observable<Palette>& palette() const noexcept { return palette_; }
    void setPalette(Palette value);
    Observable<double> colourShift{0.0};
    // image
    Observable<double> bloom{0.7};
    Observable<double> grain{0.5};
    Observable<bool> supersample{true};
    Observable<bool> autoQuality{true};
    Observable<bool> extendedRange{true};
    // sound
    Observable<AudioParams> audioParams{AudioParams::defaults()};
    const Observable<Waveform>& waveform() const noexcept { return waveform_; }
    void setWaveform(Waveform value);
    Observable<bool> waveformChosen{false};
    Observable<Scale> scale{Scale::off};
    Observable<std::int64_t> rootNote{0};
    Observable<bool> isPlaying{false};
    Observable<bool> toneLocked{false};
    Observable<bool> micEnabled{false};
    Observable<std::string> mappingMode{"web"}; // "web" or "depth"
    Observable<std::vector<float>> scopeWaveform;
    Observable<std::vector<float>> scopeSpectrum;
    // HUD and image
    Observable<bool> hudVisible{true};
    Observable<RenderStats> renderStats; // written by the canvas every frame
    Observable<AudioVisuals> audioVisuals;
    Observable<Tab> hudTab{Tab::sound};
    Observable<bool> helpOpen{false};
    Observable<bool> presetMenuOpen{false};
    Observable<bool> introVisible{true};
    // IO and sound
    Observable<bool> isRecording{false};
    Observable<std::optional<Date>> recordingStarted;
    Observable<std::optional<LockedTone>> lockedTone;
    const Observable<std::int64_t>& keyboardOctaveOffset() const noexcept { return keyboardOctaveOffset_; }
    void setKeyboardOctaveOffset(std::int64_t value);
    // movement
    Observable<MovementSettings> movement;
    Observable<bool> movementPaused{false};
    Observable<std::vector<double>> scopeOrbit; // x, y interleaved
    Observable<std::int64_t> scopeOrbitLength{0};
    Observable<std::optional<std::string>> activePresetId;
    Observable<std::optional<AudioParams>> presetSound;
    Observable<std::optional<std::string>> presetSoundName;
    Observable<std::vector<std::string>> midiDevices;
    Observable<bool> stageOutput{false};
    Observable<bool> midiOut{false};
    Observable<bool> midiClockOut{false};
    Observable<bool> midiClockIn{false};
    Observable<std::optional<Date>> takeStarted;
    Observable<std::optional<double>> movieProgress; // 0...1 while a movie export runs
    Observable<std::set<std::int64_t>> activeNotes;  // held on any keyboard
    // melody
    Observable<std::string> melodyID;
    Observable<bool> melodyPlaying{false};
    Observable<bool> melodyMenuOpen{false};
    Observable<bool> melodyLoop{true};
    Observable<bool> melodyBass{true};
    Observable<bool> melodyCapture{false};
    Observable<std::optional<std::filesystem::path>> captureDestination;
    Observable<std::optional<double>> melodyBPM; // absent: the melody's own tempo
    Observable<std::set<std::int64_t>> melodyNotes;
    Observable<std::set<std::int64_t>> melodyBassNotes;
    Observable<double> melodyProgress{0.0};
    MelodyLibrary& library; // not observed here; it is observable itself
    Observable<bool> melodyFly{false};
    Observable<std::uint32_t> flightSeed;
    Observable<bool> melodyColours{true};
    // hooks and view
    Observable<SoundActions> actions;
    Observable<std::optional<Flight>> flight;
    Observable<std::function<void()>> onSaveRequested; // empty: absent
    Observable<double> lastManualMove{0.0};            // media-clock seconds

    // ---- view navigation and camera flights ----
    // Zoom clamped into 0.1...1e300; a zoom change (or autoIterations) brings the automatic iteration
    // count; the centre is stored at the precision the zoom needs (more or fewer limbs).
    void setView(const BigComplex& centre, double zoom, double rotation, bool autoIterations);
    // The new zoom with the centre moved by (dx, dy) plane units; the canvas's zoom about a point and
    // the keyboard zoom come here. Never loses precision before the offset.
    void zoomTo(double zoom, double dx, double dy);
    // Called before every manual move: stops a flight and stamps lastManualMove.
    void userTookControl();
    // Starts (or restarts from where the view is) a timed flight to the exact target centre.
    void fly(const BigComplex& to, double zoom, double rotation, double baseDurationMs);
    // One flight step at media-clock time `now`; lands exactly on the target when the time is up.
    void advance(double now);
    RenderView renderView() const;
    // `screenHeadroom`: the screen's extended-range maximum (1 on screens without extended range).
    PostSettings postSettings(double screenHeadroom = 1.0) const;
    FractalTarget target() const;
    const std::optional<FlightCentres>& flightCentres() const noexcept { return flightCentres_; }

    // ---- keys, notes and melody choice ----
    // True when the key was used; false leaves it to the menus.
    bool handleKey(const KeyEvent& event);
    // True when the key released a held note.
    bool handleKeyUp(const KeyEvent& event);
    // The MIDI note of the lowest piano key: the C an octave below the C at or below the locked
    // tone's base note (60 without one), shifted by the octave offset.
    std::int64_t keyboardStartNote() const;
    void noteOn(std::int64_t note, double velocity);
    void noteOff(std::int64_t note);
    void releaseAllNotes();
    // With a locked tone: back to the preset's sound (or the defaults), keeping the volume.
    void resetTone();
    Melody melody() const;
    std::vector<Melody> allMelodies() const;
    void nudgeMelodyTempo(double delta);
    void removeMelody(const std::string& id);
    const std::map<std::string, std::int64_t>& heldQwerty() const noexcept { return heldQwerty_; }

    // ---- presets ----
    // The current view and sound as a new preset (a new lower-case UUID, named "Preset " and the
    // time of day), with the given thumbnail text.
    Preset makePreset(const std::string& thumbnail) const;
    // Takes the preset's formula, Julia constant, palette, sound, scale and root at once and flies
    // to its place: from the current view for the same formula, from its centre at zoom 1 for another.
    void load(const Preset& preset);

private:
    bool pianoKeyDown(const KeyEvent& event);
    double validZoom(double zoom) const noexcept;

    const Clock& clock_;
    Observable<Palette> palette_{Palette::obsidian};
    Observable<Waveform> waveform_{Waveform::sawtooth};
    Observable<std::int64_t> keyboardOctaveOffset_{0};
    std::map<std::string, std::int64_t> heldQwerty_; // lower-case key to the note it holds
    std::optional<FlightCentres> flightCentres_;
};

template <>
struct EnumTexts<InstrumentState::Tab> {
    static constexpr std::array table{
        std::pair{InstrumentState::Tab::sound, std::string_view{"sound"}},
        std::pair{InstrumentState::Tab::movement, std::string_view{"movement"}},
        std::pair{InstrumentState::Tab::visual, std::string_view{"visual"}},
    };
};

void to_json(Json::Value& json, InstrumentState::Tab value);
void from_json(const Json::Value& json, InstrumentState::Tab& value);

} // namespace veltrane
