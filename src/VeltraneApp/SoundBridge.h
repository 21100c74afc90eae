#pragma once
// The sound bridge: the one controller between the InstrumentState and everything that makes or
// records sound. It owns the live SoundEngine, MIDI input and output, the take recorder, the
// orbit-tail queue and, while they run, the movement Conductor, a MelodyPlayer, a MelodyFlight and
// the flight's own off-screen renderer.
//
// The window creates one bridge, calls start() and then wire(state), and from then on calls
// frame(state, now) once per display frame, after InstrumentState::advance and before the renderer
// encodes the frame; the renderer draws with the AudioVisuals that frame wrote into the state.
// Whoever owns the bridge also pumps the main queue once per frame (the engine's reverb completions,
// MIDI input and orbit tails arrive there).
//
// One frame, in this fixed order: the movement driver, the melody player, the melody flight, the
// melody capture and MIDI out; then a view and a HUD state logged into a take that records; the view
// mapped to sound when it changed and no tone is locked; the parameters (the locked tone's while
// locked, always with the live volume) handed to the engine, which sends only changed values; the
// scope orbit and the orbit voice; and the analysis of the output turned into AudioVisuals (faded out
// while nothing sounds).
//
// Timing on the sound side, in audio frames of the engine: movement step notes are scheduled 0.12 s
// plus the output latency ahead, melodies 0.15 s plus the output latency ahead, MIDI clock 0.1 s
// ahead; MIDI copies of notes leave at host times shifted by the output latency, so they sound with
// the engine. MIDI channels on the output: keys, melody and controllers on index 0, bass and
// movement steps on 1, the drone note on 2.
//
// Every note the bridge starts gets its end: stopping, unlocking, changing the melody, switching MIDI
// out off, losing the audio device (the kernel's frame clock stands still for `audioLossSeconds`)
// and destroying the bridge release every key voice it started on the engine and every note it sent
// on MIDI out. A melody note's MIDI end never leaves before its start, however the audio clock drifts
// from the host clock between the display frames that stamp them.
//
// Main thread only, except the orbit-tail computation on its own serial queue, which shares nothing
// with the main thread but an atomic request number; its results are applied on the main queue and
// only when no newer request was made. The state must outlive the bridge.
#include "FractalCore/BigComplex.h"
#include "FractalCore/Orbits.h"
#include "FractalRender/RenderTypes.h"
#include "MIDIIO/MIDIClock.h"
#include "MIDIIO/MIDIEvent.h"
#include "MIDIIO/MIDIInput.h"
#include "MIDIIO/MIDIKeyboard.h"
#include "MIDIIO/MIDIOutput.h"
#include "Movement/Conductor.h"
#include "Movement/MelodyFlight.h"
#include "Movement/MovementSettings.h"
#include "Music/AudioParams.h"
#include "Music/MelodyPlayer.h"
#include "Platform/Audio/AudioOutput.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Midi/MidiPorts.h"
#include "Platform/Queues/MainQueue.h"
#include "Platform/Queues/SerialQueue.h"
#include "Synth/SoundEngine.h"
#include "Takes/TakeRecorder.h"
#include "Platform/Dialogs/Dialogs.h"
#include "VeltraneApp/CancelFlag.h"
#include "VeltraneApp/CaptureTail.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/MovieExport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrane {

class FractalRenderer;
class GpuDevice;

// The number of the newest request, shared between the main thread (which stores it) and one
// background worker (which loads it to find out whether its work is still wanted).
class LatestToken {
public:
    std::int64_t load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(std::int64_t value) noexcept { value_.store(value, std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> value_{0};
};

// The view-to-sound mapping the bridge applies.
namespace SoundMapping {
AudioParams map(const InstrumentState& state);
// The depth mapping with the bridge's position-derived phase (each component in [0, 1)).
AudioParams mapDepth(const InstrumentState& state, std::pair<double, double> viewPhase);
// The orbit of the view's centre, 128 points, for the scope and the orbit voice.
Orbits::Centre orbit(const InstrumentState& state);
} // namespace SoundMapping

class SoundBridge {
public:
    // Where the bridge's parts live; the defaults are the program's.
    struct Setup {
        AudioOutputDesc audio;                            // the engine's output device
        MidiBackend midiBackend = MidiBackend::automatic; // MIDI input and output
        std::string midiName = "Veltrane";                // input client and output source name
        MainQueue* mainQueue = nullptr;                   // null: MainQueue::main()
        const Clock* clock = nullptr;                     // media clock of MIDI clock in; null: steady
        // The device of the melody flight's renderer, asked for the first time a flight is switched
        // on; null: the system's default GPU device.
        std::function<std::shared_ptr<GpuDevice>()> flightDevice;
        // One line to the system log; null: standard error.
        std::function<void(const std::string&)> log;
        // Panels and alerts of recordings and exports; null: the system presenter.
        Dialogs::Presenter* dialogs = nullptr;
        // The user defaults that remember the movie panel's choices; none: the standard file.
        std::optional<std::filesystem::path> defaultsFile;
        // The HUD drawn over movie frames; empty while there is no HUD.
        MovieExport::OverlayMaker hudOverlay;
    };

    // The kernel's frame clock standing still this long (in the `now` of the frame ticks) counts as
    // a lost audio device (or one that never started): every note is released, melodies are refused
    // and the drone's MIDI note is withdrawn until the clock moves again.
    static constexpr double audioLossSeconds = 1.0;

    // Fields in the order they are made, the engine last: a kernel that cannot be made throws
    // SoundEngineError (fatal to the program). Neither MIDI port is started.
    SoundBridge();
    explicit SoundBridge(Setup setup);
    // Releases every note still sounding on MIDI out; the state's callbacks turn into no-ops.
    ~SoundBridge();
    SoundBridge(const SoundBridge&) = delete;
    SoundBridge& operator=(const SoundBridge&) = delete;

    // Starts the engine; a failure is logged as "audio failed to start: " and the bridge goes on
    // silent (every frame still runs).
    void start();
    // Installs the thirteen SoundActions callbacks into `state.actions` (each holds the bridge
    // weakly and does nothing once it has gone), routes MIDI input to the state and starts it (a
    // failure is logged as "MIDI input unavailable: ").
    void wire(InstrumentState& state);
    // The per-display-frame tick on the main thread; `now` is the media clock in seconds,
    // increasing. Returns the AudioVisuals it wrote into `state.audioVisuals`.
    const AudioVisuals& frame(InstrumentState& state, double now);

    // ---- transport, tone lock, microphone (reached through SoundActions) ----
    void togglePlay(InstrumentState& state);
    void toggleLock(InstrumentState& state);
    void toggleMic(InstrumentState& state);

    // Encodes the HUD state of a take's frame (the window installs the HUD snapshot's JSON encoder);
    // nothing, or no hook, logs no HUD state for that frame.
    std::function<std::optional<std::string>(const InstrumentState&)> hudState;

    // ---- the parts, for the window, tools and tests ----
    SoundEngine& engine() { return *engine_; }
    const SoundEngine& engine() const { return *engine_; }
    MIDIInput& midiInput() { return midi_; }
    MIDIOutput& midiOutput() { return midiOut_; }
    TakeRecorder& takes() { return takes_; }
    const std::optional<Conductor>& conductor() const { return conductor_; }
    const std::optional<MelodyPlayer>& melodyPlayer() const { return melodyPlayer_; }
    const std::optional<MelodyFlight>& flightPlan() const { return flightPlan_; }
    bool audioLost() const { return audioLost_; }
    // Requests made to the orbit-tail queue so far, and that queue (tests wait on it).
    std::int64_t tailRequests() const { return tailToken_; }
    SerialQueue& tailQueue() { return tailQueue_; }

    // ======== Recordings, takes, melody capture, movie and locked-tone exports ========
    // These operations live in SoundBridgeRecordings.cpp. The wiring and the frame tick call them;
    // nothing else in the bridge depends on how they work.
    enum class ToneExportFormat { midi, ableton };
    void toggleRecord(InstrumentState& state);
    void toggleTake(InstrumentState& state);
    void startTake(InstrumentState& state);
    void toggleMelodyCapture(InstrumentState& state);
    void runCapture(InstrumentState& state);
    void exportMovie(InstrumentState& state);
    void exportMovie(InstrumentState& state, Take take, std::string suggestedName);
    void renderMovie(const Take& take, const std::filesystem::path& to, const TakeRenderer::Options& options, bool wav,
                     bool hud, bool interactive, InstrumentState& state);
    void cancelMovie();
    // Holds only the state (and the presenter, which outlives every bridge); null: the system one.
    static void exportLockedTone(InstrumentState& state, ToneExportFormat format,
                                 Dialogs::Presenter* dialogs = nullptr);
    // The movie side: its render, its queue of movies waiting their turn (tests watch it).
    MovieExport& movies();
    // ======== end of recordings block ========

private:
    struct Alive; // what callbacks and queued work hold weakly
    // The timing of the melody player the flight follows, kept after the player has gone.
    struct FlightClock {
        std::int64_t frame = 0; // a frame and the beat there
        double beat = 0;
        double bpm = 120;
        double sampleRate = 48000;
        bool loop = false;
        double length = 0; // the melody's, in beats
        double beatAt(std::int64_t at) const
        {
            return beat + bpm * (static_cast<double>(at - frame) / sampleRate) / 60;
        }
    };

    void log(const std::string& line) const;
    double mediaNow() const;

    // frame tick parts
    void watchAudioDevice(InstrumentState& state, double now);
    void logTakeFrame(InstrumentState& state);
    void updateDeviceList(InstrumentState& state);
    void updateViewPhase(const InstrumentState& state);
    // Rebuilds the navigation key when what it is made of changed; true then.
    bool updateNavKey(const InstrumentState& state);
    void applyParameters(InstrumentState& state);
    void updateOrbit(InstrumentState& state, bool navChanged);
    void requestOrbitTail(InstrumentState& state);

    // the piano keys' callbacks
    static std::uint8_t midiVelocity(double velocity); // 0...1 to 1...127
    void playKey(std::int32_t id, double frequency, double velocity);
    void releaseKey(std::int32_t id);

    // transport and MIDI routing
    void handleMIDI(const MIDIEvent& event, InstrumentState& state);
    void runMIDIOut(InstrumentState& state);
    void sendDroneNote(InstrumentState& state);
    void releaseDroneNote();
    void releaseEverything(InstrumentState& state);

    // melody playback and flight
    void runMelody(InstrumentState& state);
    void runFlight(InstrumentState& state, double now);
    void stopMelody(InstrumentState& state);
    void sendMelody(const std::vector<MelodyPlayer::Event>& events);
    std::optional<FlightClock> clockOf(const std::optional<MelodyPlayer>& player) const;

    // movement driver
    void runMovement(InstrumentState& state, double now, double dt);

    // MIDI sends of notes stamped to sound with the engine's frame.
    std::uint64_t hostTimeOfFrame(std::int64_t frame) const;

    Setup setup_;
    MainQueue& main_;
    const Clock& clock_;
    std::shared_ptr<Alive> alive_;
    InstrumentState* state_ = nullptr; // set by wire

    // ---- fields, in the order they are made (the engine last) ----
    std::string lastNavKey_;
    std::string lastOrbitKey_;
    // What the navigation key was last made of, the key itself and the Julia constant of the last
    // orbit key: the keys are rebuilt only when these change.
    struct NavInputs {
        FractalType type;
        BigComplex centre;
        double zoom;
        std::int64_t maxIterations;
        double rotation;
        Scale scale;
        std::int64_t rootNote;
        std::string mappingMode;
        friend bool operator==(const NavInputs&, const NavInputs&) = default;
    };
    std::optional<NavInputs> navInputs_;
    std::string navKey_;
    std::optional<Complex> orbitJulia_;
    double time_ = 0;    // analysis clock, seconds
    double lastNow_ = 0; // 0: no frame yet
    std::pair<double, double> viewPhase_{0.5, 0.5};
    std::optional<BigComplex> lastCentre_;
    SerialQueue tailQueue_{"com.korvat.veltrane.orbit-tail"};
    std::int64_t tailToken_ = 0;
    std::shared_ptr<LatestToken> tailLatest_ = std::make_shared<LatestToken>();

    std::optional<Conductor> conductor_;
    std::optional<MovementSettings> conductorSettings_;
    struct MovementTarget {
        BigComplex centre;
        double zoom = 1;
        double rotation = 0;
    };
    std::optional<MovementTarget> movementTarget_;
    std::optional<double> pausedSince_;

    MIDIInput midi_;
    MIDIKeyboard midiKeys_;
    MIDIOutput midiOut_;
    MIDIClockOut clockOut_{120};
    MIDIClockIn clockIn_;
    std::optional<std::uint8_t> droneNote_;
    std::map<std::uint8_t, std::uint8_t> sentCC_;

    TakeRecorder takes_;
    std::shared_ptr<CancelFlag> movieCancel_ = std::make_shared<CancelFlag>();

    std::optional<MelodyPlayer> melodyPlayer_;
    std::string melodyPlayingID_;
    std::vector<MelodyPlayer::Event> melodySent_;
    std::vector<MelodyPlayer::Event> melodyLights_;
    std::map<std::int32_t, std::pair<int, Melody::Part>> melodyLit_;
    std::map<std::int32_t, std::uint64_t> melodyMIDIOns_; // host times of melody notes started on MIDI out

    std::optional<MelodyFlight> flightPlan_;
    int flightPass_ = 0;
    std::uint32_t flightSeedUsed_ = 0;
    std::string flightMelodyID_;
    double flightPlanned_ = 0;
    std::optional<FlightClock> flightClock_;
    bool flightHandsOff_ = false;
    std::optional<double> flightColour_;
    std::unique_ptr<FractalRenderer> flightRenderer_;
    bool flightRendererFailed_ = false;

    CaptureTail captureTail_;             // its end frame is the capture's tail end
    std::unique_ptr<MovieExport> movies_; // made on first use; cancels its render when the bridge goes

    // lost-device watch
    std::int64_t watchedFrame_ = -1;
    double watchedSince_ = 0;
    bool audioLost_ = false;

    std::unique_ptr<SoundEngine> engine_; // made last
};

} // namespace veltrane
