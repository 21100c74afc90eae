#pragma once
// The application: the program's entry, its one InstrumentState, the optional live benchmark, the
// window "Veltrane" (1440 x 880 points, at least 640 x 400) with its content, the stage output, and
// the run loop that drives them all once per display frame, at most 120 times a second.
//
// Start-up: the display is opened first; without one the program says "Veltrane needs a graphical
// display: " and why, and ends with status 2. Then the GPU device (with what the window needs to
// present), the state, the benchmark, the window's content (whose renderer's failure ends the
// program with "Vulkan renderer failed to start: " and the error, status 1), the content's first
// appearance and the application delegate's launch step.
//
// Each pass of the loop: window events (closing the window ends the program: it is the last one
// that counts, the stage window being its auxiliary), the main queue, the canvas's frame (flight,
// benchmark, sound, picture), the stage's frame.
//
// The program ends when the window is closed, when it is asked to (SIGINT, SIGTERM, the session),
// after --quit-after, or once the benchmark has written its report. On the way out the content goes
// first (it finishes recordings and cancels movie renders, see ContentView), then the windows.
//
// `--test-state FILE` (for tests) writes the state the tests check, as JSON, at most ten times a
// second and once more at the end, replacing the file whole each time.
//
// Main thread only.
#include "Platform/Window/FramePacer.h"
#include "Platform/Window/Window.h"
#include "VeltraneApp/ContentView.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/LiveBench.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

class MelodyLibrary;
class VeltraneMain;

// The application delegate's two behaviours.
struct AppDelegate {
    // Launching has finished: bring the window to the front and arm --quit-after.
    static void applicationDidFinishLaunching(VeltraneMain& app);
    // Closing the last window ends the program.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }
};

class VeltraneMain {
public:
    static constexpr const char* title = "Veltrane";
    static constexpr int defaultWidth = 1440, defaultHeight = 880;
    static constexpr int minWidth = 640, minHeight = 400;
    static constexpr double maxFramesPerSecond = 120;
    static constexpr int noDisplayStatus = 2;
    static constexpr int rendererFailureStatus = 1;
    static constexpr const char* noDisplayMessage = "Veltrane needs a graphical display: ";

    struct Options {
        WindowSystem::Backend backend = WindowSystem::Backend::sdl;
        PresetLibrary::Places places;
        Dialogs::Presenter* dialogs = nullptr;
        MelodyLibrary* melodies = nullptr; // default: the shared library
        std::shared_ptr<GpuDevice> device; // default: the shared device, made with the window's extensions
        // Makes the sound side for the content (default: the instrument's sound bridge).
        std::function<std::unique_ptr<SoundSide>(InstrumentState&)> makeSound;
    };

    explicit VeltraneMain(std::vector<std::string> arguments);
    VeltraneMain(std::vector<std::string> arguments, Options options);
    ~VeltraneMain();
    VeltraneMain(const VeltraneMain&) = delete;
    VeltraneMain& operator=(const VeltraneMain&) = delete;

    // launch, the loop paced to 120 frames a second, shutdown; the exit status.
    int run();

    // Start-up: 0 when the window is up, else the exit status (the reason is already printed).
    int launch();
    // One pass of the loop; false once the program should end.
    bool step();
    // Shut-down: the content, then the windows. The exit status.
    int shutdown();
    // Ends the program after the current pass.
    void terminate() { running_ = false; }

    const std::vector<std::string>& arguments() const { return arguments_; }
    // Made the first time they are read.
    InstrumentState& state();
    LiveBench* bench();
    WindowSystem* windowSystem() { return system_.get(); }
    Window* window() { return window_.get(); }
    ContentView* content() { return content_.get(); }
    std::uint64_t framesDrawn() const { return frames_; }

private:
    void handle(const WindowEvent& event);
    void writeTestState(bool force);

    std::vector<std::string> arguments_;
    Options options_;
    std::unique_ptr<InstrumentState> state_;
    std::unique_ptr<LiveBench> bench_;
    bool benchRead_ = false;
    std::unique_ptr<WindowSystem> system_;
    std::unique_ptr<Window> window_;
    std::shared_ptr<GpuDevice> device_;
    std::unique_ptr<ContentView> content_;
    bool running_ = false;
    std::uint64_t frames_ = 0;
    std::optional<std::filesystem::path> testState_;
    double lastTestState_ = -1;
    std::string lastTestStateText_;
    std::vector<WindowEvent> events_;
};

} // namespace veltrane
