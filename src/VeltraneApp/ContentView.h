#pragma once
// The window's content: the fractal canvas at the back, the benchmark's test panels over it (only
// with --bench and --materials) and the HUD's place at the front (absent during a benchmark). It owns
// the sound side, the preset library and the canvas; it brings the sound side up when it first
// appears, runs the per-frame work from the canvas's frame callback (benchmark, sound check, sound
// bridge, in that order), imports MIDI files dropped on the window into the melody library, and
// connects the state's save-view request to the preset library.
//
// When it goes (the window closes, the program ends), it ends what must not be left half-done: the
// sound side finishes a running recording where it can be found again and cancels a movie render,
// so nothing is left half-written under a final name.
//
// Main thread only.
#include "Platform/Clock/Clock.h"
#include "Platform/Dialogs/Dialogs.h"
#include "Platform/Window/Window.h"
#include "VeltraneApp/FractalSurface.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/PresetLibrary.h"
#include "VeltraneApp/SoundBridge.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrane {

class LiveBench;

// What the window needs of the sound side: made on first appearance, ticked once per frame, told
// when the window closes.
class SoundSide {
public:
    virtual ~SoundSide() = default;
    virtual void frame(InstrumentState& state, double now) = 0;
    // The window is closing: finish a recording, cancel a movie render, wait for what must end.
    virtual void windowWillClose(InstrumentState& state) = 0;
};

// The instrument's sound side: the SoundBridge, created, started and wired.
class BridgeSound final : public SoundSide {
public:
    // How long the window waits, as it closes, for a cancelled movie render to end.
    static constexpr double movieEndWaitSeconds = 30;

    explicit BridgeSound(InstrumentState& state, SoundBridge::Setup setup = {});
    void frame(InstrumentState& state, double now) override { bridge_.frame(state, now); }
    // A running recording is finished and kept where it was being written (the temporary folder),
    // with a log line saying where; a movie render is cancelled and waited for (the movie writer
    // keeps its unfinished file under a temporary name and removes it).
    void windowWillClose(InstrumentState& state) override;
    SoundBridge& bridge() { return bridge_; }

private:
    SoundBridge bridge_;
    std::function<void(const std::string&)> log_;
};

class ContentView {
public:
    struct Environment {
        WindowSystem& system;
        Window& window;
        std::shared_ptr<GpuDevice> device;
        std::vector<std::string> arguments;
        PresetLibrary::Places places;          // default: the user's folders
        Dialogs::Presenter* dialogs = nullptr; // default: the system's panels
        const Clock* clock = nullptr;          // default: the steady clock
        // Makes the sound side (created, started and wired); default: the instrument's sound bridge.
        std::function<std::unique_ptr<SoundSide>(InstrumentState&)> makeSound;
    };

    // Makes the preset library and the canvas. Throws what the renderer's construction throws.
    ContentView(InstrumentState& state, LiveBench* bench, Environment environment);
    ~ContentView();
    ContentView(const ContentView&) = delete;
    ContentView& operator=(const ContentView&) = delete;

    // Each time the content comes on screen: the intro rule, the save hook, and (once, not during a
    // benchmark) the sound side.
    void appear();
    // The frame callback: benchmark tick, sound check, sound bridge.
    void frame(double now);
    // Drops and canvas input. True when the event was used.
    bool handle(const WindowEvent& event);
    // One frame of the canvas (which calls `frame` first).
    void draw() { canvas_->draw(); }

    FractalMetalView& canvas() { return *canvas_; }
    PresetLibrary& library() { return *library_; }
    SoundSide* sound() { return sound_.get(); }

private:
    void importDropped();

    InstrumentState& state_;
    LiveBench* bench_;
    Environment env_;
    std::unique_ptr<PresetLibrary> library_;
    std::unique_ptr<SoundSide> sound_;
    std::unique_ptr<FractalMetalView> canvas_;
    std::vector<std::filesystem::path> dropped_;
};

} // namespace veltrane
