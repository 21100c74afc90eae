#pragma once
// Our thin layer on SDL2 for windows: what the instrument needs of a desktop window system.
//
// What it does:
// - Opens the connection to the display (`WindowSystem::create`), or says in one sentence why there
//   is none (no DISPLAY or WAYLAND_DISPLAY, or SDL could not start its video or open a window).
// - Opens windows (title, size and minimum size in points, decorated or borderless, on a chosen
//   display or covering it, shown with or without taking the focus) and lists the displays.
// - Delivers input and window events as plain values (`WindowEvent`): mouse buttons with click
//   counts, pointer motion, wheel notches with the modifiers held, keys with the text they type,
//   files dropped on a window, size changes, close requests and changes of the display set.
// - Presents pictures with a Vulkan swapchain on Platform/Gpu: a window attached to a GPU device
//   hands out drawables (a bgra8Unorm GpuImage of the window's pixel size) and presents one by
//   copying it into a swapchain image at the end of the caller's command buffer, then committing
//   that buffer. FIFO presentation; the caller paces its own frames (FramePacer.h), because FIFO
//   does not pace under every X server (Xvfb presents at once).
// - Shows a modal alert (SDL's message box).
//
// What it does not do: menus, text input methods, gestures (SDL2 has no pinch or rotate on Linux:
// the application maps modified wheel notches to them), cursors, high-dynamic-range output (the
// swapchain is 8-bit UNORM), or drawing of any kind.
//
// The null backend (`Backend::null`) opens no display: its windows are sizes and ids; events come
// only from `inject`; drawables are plain GpuImages the caller can read back after `present`. It
// runs head-less in tests, on any device or none.
//
// Threads: everything here belongs to the thread that created the window system (SDL's rule).
// Coordinates are in points from the window's top-left corner, y growing downwards.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Gpu/Gpu.h"

namespace veltrane {

class WindowError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct WindowRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

struct WindowDesc {
    std::string title;
    int width = 0, height = 0;       // points; 0: 800 x 600
    int minWidth = 0, minHeight = 0; // 0: no minimum
    int display = 0;                 // the display the window opens on (centred), or covers
    std::optional<int> x, y;         // position on the desktop in points; absent: centred on `display`
    bool borderless = false;
    bool coverDisplay = false; // placed and sized over the whole display (a stage or projector)
    bool resizable = true;
    bool takeFocus = true; // false: shown without becoming the focused window
};

struct KeyInput {
    // Keys known by their position rather than by the text they type.
    enum class Key { other, returnKey, keypadEnter, escape, left, right, down, up };
    enum Modifier : std::uint32_t { shift = 1u << 0, ctrl = 1u << 1, alt = 1u << 2, super = 1u << 3 };

    Key key = Key::other;
    // The text the key types with Shift applied and every other modifier ignored ("?" for Shift+/,
    // "A" for Shift+A); empty for keys that type nothing.
    std::string characters;
    std::uint32_t modifiers = 0;
    bool isRepeat = false;
};

enum class MouseButton { left, right, middle, other };

struct WindowEvent {
    enum class Kind {
        closeRequested, // the user asked to close the window (its close button, the window manager)
        quitRequested,  // the process was asked to end (SIGINT, SIGTERM, the session)
        resized,        // width, height: the new size in points
        mouseDown,      // button, clicks (2 for the second press of a double-click), x, y, modifiers
        mouseUp,        // button, x, y
        mouseMoved,     // x, y; buttons: bit n set while MouseButton n is held
        wheel,          // x, y of the pointer; dy > 0 away from the user, dx > 0 to the right; modifiers
        keyDown,        // key
        keyUp,          // key
        fileDropped,    // path: one file of a drop; dropComplete follows the last one
        dropComplete,
        displaysChanged, // a display was added, removed or moved
    };

    Kind kind = Kind::closeRequested;
    std::uint32_t window = 0; // the window's id; 0 for quitRequested and displaysChanged
    double x = 0, y = 0;
    double dx = 0, dy = 0;
    bool precise = false; // wheel deltas in points (a touchpad) rather than notches
    MouseButton button = MouseButton::left;
    int clicks = 1;
    std::uint32_t buttons = 0;
    std::uint32_t modifiers = 0; // KeyInput::Modifier bits held during a mouse or wheel event
    int width = 0, height = 0;
    KeyInput key;
    std::string path;
};

struct SwapchainDesc {
    // Frames whose GPU work may be queued at once; 0: 2. On a CPU device 1 keeps each frame's measured
    // GPU time its own (a queued frame would count the wait for the one before it).
    int framesInFlight = 0;
};

// A picture to draw into for one frame. `texture` is bgra8Unorm at the window's pixel size, usable
// as a render target and a storage image.
struct Drawable {
    std::shared_ptr<GpuImage> texture;
    std::uint32_t imageIndex = 0; // the swapchain image it will be copied into
    int slot = 0;                 // the frame-in-flight slot
};

class Window {
public:
    virtual ~Window() = default;

    virtual std::uint32_t id() const = 0;
    virtual std::string title() const = 0;
    // Size in points and in pixels (the same unless the display scales).
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual int pixelWidth() const = 0;
    virtual int pixelHeight() const = 0;
    // The desktop rectangle the window covers, in points.
    virtual WindowRect frame() const = 0;
    virtual bool isBorderless() const = 0;
    // The index of the display showing the window's centre.
    virtual int display() const = 0;
    virtual void setFrame(const WindowRect& frame) = 0;
    virtual void raise(bool takeFocus) = 0;

    // Presentation. `attach` makes the surface and swapchain on the device (which must have been made
    // with the window system's instance extensions); throws GpuError or WindowError.
    virtual void attach(std::shared_ptr<GpuDevice> device, const SwapchainDesc& desc = {}) = 0;
    // Waits until a frame slot is free and a swapchain image is ready. Nothing when the window cannot
    // be drawn now (no device attached, minimised, zero size): skip the frame.
    virtual std::optional<Drawable> nextDrawable() = 0;
    // Copies the drawable into its swapchain image at the end of the command buffer, commits the
    // buffer and presents. A swapchain that no longer fits the window is made anew for the next frame.
    virtual void present(const Drawable& drawable, const std::shared_ptr<GpuCommandBuffer>& commandBuffer) = 0;
    // Blocks until the GPU has finished every frame this window submitted.
    virtual void waitIdle() = 0;
    // The texture of the frame presented last (read it after waitIdle), for read-back in tests and
    // tools; nothing before the first frame.
    virtual std::shared_ptr<GpuImage> lastPresented() const = 0;
};

class WindowSystem {
public:
    enum class Backend { sdl, null };

    // Opens the display for the SDL backend; throws WindowError with the reason when there is none.
    static std::unique_ptr<WindowSystem> create(Backend backend = Backend::sdl);

    virtual ~WindowSystem() = default;
    virtual Backend backend() const = 0;

    // Throws WindowError when the window cannot be made.
    virtual std::unique_ptr<Window> open(const WindowDesc& desc) = 0;
    // The displays' rectangles on the desktop, the primary one first.
    virtual std::vector<WindowRect> displays() const = 0;
    // The Vulkan instance extensions the windows' surfaces need (empty for the null backend).
    virtual std::vector<std::string> vulkanInstanceExtensions() const = 0;

    // Appends the events waiting now, oldest first.
    virtual void poll(std::vector<WindowEvent>& events) = 0;
    // Sleeps until an event arrives or `seconds` have passed.
    virtual void waitForEvents(double seconds) = 0;

    // A modal alert over `parent` (or on its own); returns when the user dismissed it.
    virtual void alert(const std::string& title, const std::string& message, Window* parent) = 0;

    // Null backend only (the SDL backend ignores them): events delivered by the next poll, the
    // display list, and the alerts shown so far.
    virtual void inject(const WindowEvent& event) = 0;
    virtual void setDisplays(std::vector<WindowRect> displays) = 0;
    struct Alert {
        std::string title, message;
    };
    virtual std::vector<Alert> alertsShown() const = 0;
};

} // namespace veltrane
