// The SDL2 backend of the window layer.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "Platform/Window/Swapchain.h"
#include "Platform/Window/Window.h"

// Last: SDL's window-system header brings Xlib, whose macros (Status, None, Bool) would rename ours.
#include <SDL.h>
#include <SDL_syswm.h>
#include <SDL_vulkan.h>

namespace veltrane {

std::unique_ptr<WindowSystem> makeNullWindowSystem();

namespace {

std::string sdlError(const char* what) { return std::string(what) + ": " + SDL_GetError(); }

std::uint32_t modifiersOf(std::uint16_t mod)
{
    std::uint32_t m = 0;
    if (mod & KMOD_SHIFT) m |= KeyInput::shift;
    if (mod & KMOD_CTRL) m |= KeyInput::ctrl;
    if (mod & KMOD_ALT) m |= KeyInput::alt;
    if (mod & KMOD_GUI) m |= KeyInput::super;
    return m;
}

// What Shift makes of the unshifted characters of a US keyboard; other layouts get their shifted
// text from the text-input event that follows the key (see keyInput).
char shifted(char c)
{
    static const std::map<char, char> table{{'1', '!'}, {'2', '@'}, {'3', '#'},  {'4', '$'}, {'5', '%'},  {'6', '^'},
                                            {'7', '&'}, {'8', '*'}, {'9', '('},  {'0', ')'}, {'-', '_'},  {'=', '+'},
                                            {'[', '{'}, {']', '}'}, {'\\', '|'}, {';', ':'}, {'\'', '"'}, {',', '<'},
                                            {'.', '>'}, {'/', '?'}, {'`', '~'}};
    if (c >= 'a' && c <= 'z') return char(std::toupper(static_cast<unsigned char>(c)));
    auto it = table.find(c);
    return it == table.end() ? c : it->second;
}

KeyInput keyInput(const SDL_KeyboardEvent& e, bool down)
{
    KeyInput k;
    k.modifiers = modifiersOf(e.keysym.mod);
    k.isRepeat = e.repeat != 0;
    const SDL_Keycode sym = e.keysym.sym;
    switch (sym) {
    case SDLK_RETURN:
        k.key = KeyInput::Key::returnKey;
        k.characters = "\r";
        return k;
    case SDLK_KP_ENTER:
        k.key = KeyInput::Key::keypadEnter;
        k.characters = "\r";
        return k;
    case SDLK_ESCAPE:
        k.key = KeyInput::Key::escape;
        k.characters = "\x1b";
        return k;
    case SDLK_LEFT: k.key = KeyInput::Key::left; return k;
    case SDLK_RIGHT: k.key = KeyInput::Key::right; return k;
    case SDLK_DOWN: k.key = KeyInput::Key::down; return k;
    case SDLK_UP: k.key = KeyInput::Key::up; return k;
    default: break;
    }
    static const std::map<SDL_Keycode, const char*> keypad{
        {SDLK_KP_0, "0"},        {SDLK_KP_1, "1"},      {SDLK_KP_2, "2"},      {SDLK_KP_3, "3"},
        {SDLK_KP_4, "4"},        {SDLK_KP_5, "5"},      {SDLK_KP_6, "6"},      {SDLK_KP_7, "7"},
        {SDLK_KP_8, "8"},        {SDLK_KP_9, "9"},      {SDLK_KP_PLUS, "+"},   {SDLK_KP_MINUS, "-"},
        {SDLK_KP_MULTIPLY, "*"}, {SDLK_KP_DIVIDE, "/"}, {SDLK_KP_PERIOD, "."}, {SDLK_KP_EQUALS, "="}};
    if (auto it = keypad.find(sym); it != keypad.end()) {
        k.characters = it->second;
        return k;
    }
    if (sym < 32 || sym > 126) return k; // keys that type nothing (function keys, modifiers)
    char c = char(sym);
    if (!(k.modifiers & KeyInput::shift)) {
        k.characters = std::string(1, c);
        return k;
    }
    // With Shift alone the text-input event of this key is next in the queue: its text is what the
    // layout makes of the key.
    SDL_Event text;
    if (down && !(k.modifiers & (KeyInput::ctrl | KeyInput::alt | KeyInput::super)) &&
        SDL_PeepEvents(&text, 1, SDL_PEEKEVENT, SDL_TEXTINPUT, SDL_TEXTINPUT) == 1 && text.text.text[0] != 0) {
        k.characters = text.text.text;
        return k;
    }
    k.characters = std::string(1, shifted(c));
    return k;
}

MouseButton buttonOf(std::uint8_t b)
{
    switch (b) {
    case SDL_BUTTON_LEFT: return MouseButton::left;
    case SDL_BUTTON_RIGHT: return MouseButton::right;
    case SDL_BUTTON_MIDDLE: return MouseButton::middle;
    default: return MouseButton::other;
    }
}

std::uint32_t buttonsOf(std::uint32_t state)
{
    std::uint32_t b = 0;
    if (state & SDL_BUTTON_LMASK) b |= 1u << unsigned(MouseButton::left);
    if (state & SDL_BUTTON_RMASK) b |= 1u << unsigned(MouseButton::right);
    if (state & SDL_BUTTON_MMASK) b |= 1u << unsigned(MouseButton::middle);
    return b;
}

class SdlWindow final : public Window {
public:
    SdlWindow(SDL_Window* window, bool borderless) : window_(window), borderless_(borderless) {}
    ~SdlWindow() override
    {
        swapchain_.reset(); // the surface goes before its window
        SDL_DestroyWindow(window_);
    }

    std::uint32_t id() const override { return SDL_GetWindowID(window_); }
    std::string title() const override { return SDL_GetWindowTitle(window_); }
    int width() const override
    {
        int w = 0, h = 0;
        SDL_GetWindowSize(window_, &w, &h);
        return w;
    }
    int height() const override
    {
        int w = 0, h = 0;
        SDL_GetWindowSize(window_, &w, &h);
        return h;
    }
    int pixelWidth() const override
    {
        int w = 0, h = 0;
        SDL_Vulkan_GetDrawableSize(window_, &w, &h);
        return w;
    }
    int pixelHeight() const override
    {
        int w = 0, h = 0;
        SDL_Vulkan_GetDrawableSize(window_, &w, &h);
        return h;
    }
    WindowRect frame() const override
    {
        WindowRect r;
        SDL_GetWindowPosition(window_, &r.x, &r.y);
        SDL_GetWindowSize(window_, &r.width, &r.height);
        return r;
    }
    bool isBorderless() const override { return borderless_; }
    int display() const override { return std::max(SDL_GetWindowDisplayIndex(window_), 0); }
    void setFrame(const WindowRect& r) override
    {
        SDL_SetWindowPosition(window_, r.x, r.y);
        SDL_SetWindowSize(window_, r.width, r.height);
    }
    void raise(bool takeFocus) override
    {
        if (takeFocus)
            SDL_RaiseWindow(window_);
        else
            SDL_ShowWindow(window_);
    }

    void attach(std::shared_ptr<GpuDevice> device, const SwapchainDesc& desc) override
    {
        VkSurfaceKHR surface = VK_NULL_HANDLE;
        if (!SDL_Vulkan_CreateSurface(window_, device->instance(), &surface))
            throw WindowError(sdlError("could not make the window's Vulkan surface"));
        swapchain_ = std::make_unique<Swapchain>(std::move(device), surface, desc);
    }
    std::optional<Drawable> nextDrawable() override
    {
        if (!swapchain_ || (SDL_GetWindowFlags(window_) & SDL_WINDOW_MINIMIZED)) return std::nullopt;
        return swapchain_->next(pixelWidth(), pixelHeight());
    }
    void present(const Drawable& drawable, const std::shared_ptr<GpuCommandBuffer>& cb) override
    {
        swapchain_->present(drawable, cb);
    }
    void waitIdle() override
    {
        if (swapchain_) swapchain_->waitIdle();
    }
    std::shared_ptr<GpuImage> lastPresented() const override
    {
        return swapchain_ ? swapchain_->lastPresented() : nullptr;
    }

    SDL_Window* sdl() const { return window_; }

private:
    SDL_Window* window_;
    bool borderless_;
    std::unique_ptr<Swapchain> swapchain_;
};

class SdlWindowSystem final : public WindowSystem {
public:
    SdlWindowSystem()
    {
        const char* x11 = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((!x11 || !*x11) && (!wayland || !*wayland)) throw WindowError("neither DISPLAY nor WAYLAND_DISPLAY is set");
        // Closing a window is the application's decision, not SDL's.
        SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
        // A click on a window without the focus reaches the canvas too.
        SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
        SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
        if (SDL_Init(SDL_INIT_VIDEO) != 0) throw WindowError(sdlError("SDL could not start its video"));
        // Only a desktop's window system will do; SDL falls back to others (a console, no screen at all)
        // when the display named cannot be reached.
        const std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
        if (driver != "x11" && driver != "wayland") {
            SDL_Quit();
            throw WindowError(
                "no X11 or Wayland display could be opened (" +
                std::string(x11 && *x11 ? "DISPLAY=" + std::string(x11) : "WAYLAND_DISPLAY=" + std::string(wayland)) +
                ")");
        }
        // Without a Vulkan loader the windows still open; attaching a device then fails with its reason.
        vulkanLoaded_ = SDL_Vulkan_LoadLibrary(nullptr) == 0;
        modifiers_ = modifiersOf(std::uint16_t(SDL_GetModState()));
        // The window system's own events come first, each just before the events SDL makes of it: on X11
        // they carry the modifiers held at the moment of a click or wheel notch.
        SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
    }
    ~SdlWindowSystem() override
    {
        if (vulkanLoaded_) SDL_Vulkan_UnloadLibrary();
        SDL_Quit();
    }

    Backend backend() const override { return Backend::sdl; }

    std::unique_ptr<Window> open(const WindowDesc& desc) override
    {
        std::uint32_t flags = SDL_WINDOW_ALLOW_HIGHDPI;
        if (vulkanLoaded_) flags |= SDL_WINDOW_VULKAN;
        if (desc.resizable && !desc.coverDisplay) flags |= SDL_WINDOW_RESIZABLE;
        const bool borderless = desc.borderless || desc.coverDisplay;
        if (borderless) flags |= SDL_WINDOW_BORDERLESS;
        int display = std::clamp(desc.display, 0, std::max(SDL_GetNumVideoDisplays() - 1, 0));
        int x = desc.x ? *desc.x : int(SDL_WINDOWPOS_CENTERED_DISPLAY(display));
        int y = desc.y ? *desc.y : int(SDL_WINDOWPOS_CENTERED_DISPLAY(display));
        int w = desc.width > 0 ? desc.width : 800, h = desc.height > 0 ? desc.height : 600;
        if (desc.coverDisplay) {
            SDL_Rect bounds;
            if (SDL_GetDisplayBounds(display, &bounds) == 0) {
                x = bounds.x, y = bounds.y, w = bounds.w, h = bounds.h;
            }
        }
        SDL_SetHint(SDL_HINT_WINDOW_NO_ACTIVATION_WHEN_SHOWN, desc.takeFocus ? "0" : "1");
        SDL_Window* window = SDL_CreateWindow(desc.title.c_str(), x, y, w, h, flags);
        SDL_SetHint(SDL_HINT_WINDOW_NO_ACTIVATION_WHEN_SHOWN, "0");
        if (!window) throw WindowError(sdlError("could not open a window"));
        if (desc.minWidth > 0 || desc.minHeight > 0) SDL_SetWindowMinimumSize(window, desc.minWidth, desc.minHeight);
        if (desc.takeFocus) SDL_RaiseWindow(window);
        return std::make_unique<SdlWindow>(window, borderless);
    }

    std::vector<WindowRect> displays() const override
    {
        std::vector<WindowRect> list;
        for (int i = 0; i < SDL_GetNumVideoDisplays(); ++i) {
            SDL_Rect r;
            if (SDL_GetDisplayBounds(i, &r) == 0) list.push_back({r.x, r.y, r.w, r.h});
        }
        return list;
    }

    std::vector<std::string> vulkanInstanceExtensions() const override
    {
        if (!vulkanLoaded_) return {};
        unsigned count = 0;
        if (!SDL_Vulkan_GetInstanceExtensions(nullptr, &count, nullptr)) return {};
        std::vector<const char*> names(count);
        if (!SDL_Vulkan_GetInstanceExtensions(nullptr, &count, names.data())) return {};
        return std::vector<std::string>(names.begin(), names.begin() + count);
    }

    void poll(std::vector<WindowEvent>& events) override
    {
        SDL_Event e;
        while (SDL_PollEvent(&e)) translate(e, events);
    }

    void waitForEvents(double seconds) override
    {
        if (seconds <= 0) return;
        SDL_WaitEventTimeout(nullptr, std::max(1, int(seconds * 1000)));
    }

    void alert(const std::string& title, const std::string& message, Window* parent) override
    {
        auto* sdlParent = dynamic_cast<SdlWindow*>(parent);
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, title.c_str(), message.c_str(),
                                 sdlParent ? sdlParent->sdl() : nullptr);
    }

    void inject(const WindowEvent&) override {}
    void setDisplays(std::vector<WindowRect>) override {}
    std::vector<Alert> alertsShown() const override { return {}; }

private:
    void translate(const SDL_Event& e, std::vector<WindowEvent>& out)
    {
        WindowEvent ev;
        // The modifiers held at the moment of each event, followed through the key events in queue
        // order: SDL's own state is already that of the last event it read, which on a slow frame may be
        // the release of Ctrl that came after the wheel notch it modified.
        if (e.type == SDL_KEYDOWN || e.type == SDL_KEYUP) modifiers_ = modifiersOf(e.key.keysym.mod);
        if (e.type == SDL_WINDOWEVENT &&
            (e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED || e.window.event == SDL_WINDOWEVENT_FOCUS_LOST))
            modifiers_ = modifiersOf(std::uint16_t(SDL_GetModState()));
        // An X11 button event (click or wheel notch) says itself which modifiers were held, whichever
        // window had the keyboard.
        if (e.type == SDL_SYSWMEVENT && e.syswm.msg && e.syswm.msg->subsystem == SDL_SYSWM_X11) {
            const XEvent& x = e.syswm.msg->msg.x11.event;
            if (x.type == ButtonPress || x.type == ButtonRelease) {
                std::uint32_t m = 0;
                if (x.xbutton.state & ShiftMask) m |= KeyInput::shift;
                if (x.xbutton.state & ControlMask) m |= KeyInput::ctrl;
                if (x.xbutton.state & Mod1Mask) m |= KeyInput::alt;
                if (x.xbutton.state & Mod4Mask) m |= KeyInput::super;
                buttonModifiers_ = m;
            }
            return;
        }
        const auto pointerModifiers = [this] {
            const std::uint32_t m = buttonModifiers_ ? *buttonModifiers_ : modifiers_;
            buttonModifiers_.reset();
            return m;
        };
        switch (e.type) {
        case SDL_QUIT: ev.kind = WindowEvent::Kind::quitRequested; break;
        case SDL_WINDOWEVENT:
            ev.window = e.window.windowID;
            if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
                ev.kind = WindowEvent::Kind::closeRequested;
            } else if (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
                ev.kind = WindowEvent::Kind::resized;
                ev.width = e.window.data1;
                ev.height = e.window.data2;
            } else {
                return;
            }
            break;
        case SDL_DISPLAYEVENT: ev.kind = WindowEvent::Kind::displaysChanged; break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            if (e.button.which == SDL_TOUCH_MOUSEID) return;
            ev.kind = e.type == SDL_MOUSEBUTTONDOWN ? WindowEvent::Kind::mouseDown : WindowEvent::Kind::mouseUp;
            ev.window = e.button.windowID;
            ev.button = buttonOf(e.button.button);
            ev.clicks = e.button.clicks;
            ev.x = e.button.x;
            ev.y = e.button.y;
            ev.modifiers = pointerModifiers();
            break;
        case SDL_MOUSEMOTION:
            if (e.motion.which == SDL_TOUCH_MOUSEID) return;
            ev.kind = WindowEvent::Kind::mouseMoved;
            ev.window = e.motion.windowID;
            ev.x = e.motion.x;
            ev.y = e.motion.y;
            ev.dx = e.motion.xrel;
            ev.dy = e.motion.yrel;
            ev.buttons = buttonsOf(e.motion.state);
            break;
        case SDL_MOUSEWHEEL: {
            ev.kind = WindowEvent::Kind::wheel;
            ev.window = e.wheel.windowID;
            const double flip = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
            ev.dx = e.wheel.preciseX * flip;
            ev.dy = e.wheel.preciseY * flip;
            // X11 reports wheels as notches (buttons 4 to 7); SDL2 does not tell a touchpad apart.
            ev.precise = false;
            ev.x = e.wheel.mouseX;
            ev.y = e.wheel.mouseY;
            ev.modifiers = pointerModifiers();
            break;
        }
        case SDL_KEYDOWN:
        case SDL_KEYUP:
            ev.kind = e.type == SDL_KEYDOWN ? WindowEvent::Kind::keyDown : WindowEvent::Kind::keyUp;
            ev.window = e.key.windowID;
            ev.key = keyInput(e.key, e.type == SDL_KEYDOWN);
            break;
        case SDL_DROPFILE:
            ev.kind = WindowEvent::Kind::fileDropped;
            ev.window = e.drop.windowID;
            if (e.drop.file) {
                ev.path = e.drop.file;
                SDL_free(e.drop.file);
            }
            break;
        case SDL_DROPCOMPLETE:
            ev.kind = WindowEvent::Kind::dropComplete;
            ev.window = e.drop.windowID;
            break;
        case SDL_DROPTEXT:
        case SDL_DROPBEGIN:
            if (e.drop.file) SDL_free(e.drop.file);
            return;
        default: return;
        }
        out.push_back(std::move(ev));
    }

    bool vulkanLoaded_ = false;
    std::uint32_t modifiers_ = 0;
    std::optional<std::uint32_t> buttonModifiers_; // of the X11 button event SDL turns into the next one
};

} // namespace

std::unique_ptr<WindowSystem> WindowSystem::create(Backend backend)
{
    if (backend == Backend::null) return makeNullWindowSystem();
    return std::make_unique<SdlWindowSystem>();
}

} // namespace veltrane
