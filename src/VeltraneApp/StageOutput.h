#pragma once
// The stage output: the picture alone, without the HUD, on a second display for an audience or a
// projector. It opens a borderless window covering the second display with a stage canvas (its own
// renderer, the same InstrumentState; no input, no statistics) and closes itself when that display
// goes away. A test mode opens an ordinary titled 960 x 600 window instead, so the feature can be
// exercised with one display. The state's `stageOutput` flag mirrors whether the window is open.
//
// There is one for the program (`shared()`); the application connects it to its window system and
// main window, draws it after the main canvas each frame and hands it the window events.
//
// Main thread only. Failures are silent: no second display (outside test mode), no GPU device or a
// renderer that cannot be made leave the stage closed.
#include "Platform/Window/Window.h"
#include "VeltraneApp/FractalSurface.h"

#include <memory>
#include <optional>

namespace veltrane {

class StageOutput {
public:
    static constexpr int testWidth = 960, testHeight = 600, testInset = 80;
    static constexpr const char* title = "Veltrane Stage";

    static StageOutput& shared();

    // The window system the stage opens its window on, the main window whose display it avoids and
    // the device its renderer uses (the shared device when absent).
    void connect(WindowSystem* system, Window* mainWindow, std::shared_ptr<GpuDevice> device = nullptr);

    void show(InstrumentState& state, bool testOnSameScreen);
    void hide(InstrumentState& state);
    Window* window() const { return window_.get(); }
    FractalMetalView* canvas() const { return canvas_.get(); }

    // The display the stage would use: the first one that is not the main window's; none when there
    // is no other.
    std::optional<int> stageScreen() const;

    // Draws the stage canvas when the window is open.
    void draw();
    // The stage's own window events (closing it hides the stage) and display changes (a stage whose
    // display is gone is hidden). True when the event was the stage's.
    bool handle(const WindowEvent& event, InstrumentState& state);

private:
    WindowSystem* system_ = nullptr;
    Window* main_ = nullptr;
    std::shared_ptr<GpuDevice> device_;
    std::unique_ptr<Window> window_;
    std::unique_ptr<FractalMetalView> canvas_;
    bool testMode_ = false;
    WindowRect screen_;
};

} // namespace veltrane
