#pragma once
// The fractal canvas: the surface on which the user flies through the fractal.
//
// `FractalMetalView` draws one frame per display frame through its own FractalRenderer into a
// window of the window layer, and turns mouse, wheel and keyboard input on that window into
// changes of the InstrumentState's view: dragging pans the exact centre, the wheel zooms about the
// pointer, Ctrl+wheel magnifies and Alt+wheel rotates (the window system has no pinch or twist
// gestures; `magnify` and `rotate` take them as abstract inputs), a double-click zooms in by 2, a
// right click asks for the view to be saved, and keys go to the state's key handling.
//
// Its draw is the one clock of the program: every frame first runs `onFrame` (the surface's
// callback, which advances the state's camera flight and then runs the application's frame work:
// benchmark, sound), then encodes the picture with the AudioVisuals that work wrote, presents it,
// and writes the render statistics into the state. The stage variant (`isStage`) draws the same
// state with a renderer of its own; it takes no input and reports nothing back.
//
// `FractalSurface` makes the main canvas: the renderer on the window's GPU device, the canvas, and
// the frame callback.
//
// Coordinates: view points with the origin at the bottom-left corner and y growing upwards; the
// shorter side of the view spans 2.5 / zoom plane units, and screen directions turn into plane
// directions by the view's rotation exactly as the renderer turns its pixels, so the picture stays
// under the pointer at any rotation. Events of the window layer (y down) are converted on entry.
//
// Main thread only.
#include "FractalRender/FractalRenderer.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Window/Window.h"
#include "VeltraneApp/InstrumentState.h"

#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace veltrane {

class LiveBench;

struct ViewPoint {
    double x = 0, y = 0;
};

class FractalMetalView {
public:
    // Zoom factors of the inputs: 2^(d / 300) for a wheel movement of d points, a notch counting 40.
    static constexpr double wheelPointsPerNotch = 40;
    static constexpr double wheelPointsPerDoubling = 300;
    // What a modified wheel notch stands for: a magnification of 0.1 and a turn of 5 degrees.
    static constexpr double magnificationPerNotch = 0.1;
    static constexpr double degreesPerNotch = 5;

    FractalMetalView(Window& window, InstrumentState& state, std::shared_ptr<FractalRenderer> renderer,
                     bool isStage = false, const Clock& clock = Clock::steady());
    FractalMetalView(const FractalMetalView&) = delete;
    FractalMetalView& operator=(const FractalMetalView&) = delete;

    InstrumentState& state;
    std::shared_ptr<FractalRenderer> renderer;
    std::function<void(double now)> onFrame;
    const bool isStage;
    const double startTime;
    std::optional<ViewPoint> lastDrag;

    Window& window() const { return window_; }
    bool acceptsFirstResponder() const { return !isStage; }
    double width() const { return window_.width(); }
    double height() const { return window_.height(); }

    // A movement in view points as a movement in the plane.
    std::pair<double, double> fractalDelta(double dx, double dy) const;
    // Zooms the state by `factor`, keeping the plane point under `around` (view points) where it is,
    // or about the centre without a point.
    void zoom(double factor, std::optional<ViewPoint> around = std::nullopt);

    // The input handlers, in view points.
    void mouseDown(ViewPoint location, int clickCount);
    void mouseDragged(ViewPoint location);
    void mouseUp();
    // `delta`: the wheel's movement (> 0 away from the user); `precise` false for notches.
    void scrollWheel(double delta, bool precise, ViewPoint location);
    void magnify(double magnification, ViewPoint location);
    void rotate(double degrees);
    void rightMouseDown();
    // False when the key was not used (it then goes on to the menus).
    bool keyDown(const KeyEvent& event);
    bool keyUp(const KeyEvent& event);

    // Turns one window event into the handlers above; the stage variant ignores input. True when
    // the event was the canvas's.
    bool handle(const WindowEvent& event);

    // One frame: the frame callback, then the picture.
    void draw();

    // A point of the window layer (y down) in view points.
    ViewPoint viewPoint(double windowX, double windowY) const { return {windowX, height() - windowY}; }
    static KeyEvent keyEvent(const KeyInput& key);

private:
    std::pair<double, double> normalisedOffset(ViewPoint point) const;

    Window& window_;
    const Clock& clock_;
};

struct FractalSurface {
    InstrumentState& state;
    std::function<void(double now)> onFrame;
    LiveBench* bench = nullptr;

    // Makes the renderer on `device` and the canvas in `window`, with the frame callback: advance the
    // state's flight, run `onFrame`, and give the benchmark the drawable's size. Throws what the
    // renderer's construction throws (the caller ends the program with rendererStartFailure).
    std::unique_ptr<FractalMetalView> makeView(Window& window, std::shared_ptr<GpuDevice> device,
                                               const Clock& clock = Clock::steady()) const;
};

} // namespace veltrane
