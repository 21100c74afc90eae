// The window layer: frame pacing, the head-less backend, and SDL windows on a private X server
// (Xvfb) with a lavapipe swapchain, driven by real X input from xdotool.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "Platform/Window/FramePacer.h"
#include "Platform/Window/Window.h"
#include "../../Support/ChildProcess.h"
#include "../../Support/XvfbServer.h"

// Last: Xlib defines macros (Status, None, Bool) that would rename our own names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

using namespace veltrane;
using veltrane::testsupport::ScopedVariable;

namespace {

TEST(FramePacer, PacesToTheGridAndNeverCatchesUp)
{
    FramePacer pacer(100);         // 10 ms
    EXPECT_EQ(pacer.wait(5.0), 0); // the first frame starts at once
    pacer.frameStarted(5.0);
    EXPECT_NEAR(pacer.wait(5.004), 0.006, 1e-9);
    pacer.frameStarted(5.0101); // a little late: stays on the grid
    EXPECT_NEAR(pacer.wait(5.0101), 0.0099, 1e-9);
    pacer.frameStarted(5.5); // far behind: a new grid, no burst of frames to catch up
    EXPECT_NEAR(pacer.wait(5.5), 0.01, 1e-9);
    EXPECT_EQ(pacer.wait(5.52), 0);
}

TEST(NullWindows, SizesEventsAndDisplays)
{
    auto system = WindowSystem::create(WindowSystem::Backend::null);
    system->setDisplays({{0, 0, 1920, 1080}, {1920, 0, 1280, 720}});
    auto main = system->open({.title = "main", .width = 1440, .height = 880, .minWidth = 640, .minHeight = 400});
    EXPECT_EQ(main->frame(), (WindowRect{240, 100, 1440, 880}));
    EXPECT_EQ(main->display(), 0);
    auto stage = system->open({.title = "stage", .display = 1, .coverDisplay = true});
    EXPECT_EQ(stage->frame(), (WindowRect{1920, 0, 1280, 720}));
    EXPECT_TRUE(stage->isBorderless());
    EXPECT_EQ(stage->display(), 1);

    // A size change reaches the window (never below its minimum) before its event is seen.
    system->inject({.kind = WindowEvent::Kind::resized, .window = main->id(), .width = 300, .height = 900});
    std::vector<WindowEvent> events;
    system->poll(events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(main->width(), 640);
    EXPECT_EQ(main->height(), 900);
    // Events of a window that has closed still arrive; nothing touches the window.
    const std::uint32_t gone = stage->id();
    stage.reset();
    system->inject({.kind = WindowEvent::Kind::resized, .window = gone, .width = 10, .height = 10});
    events.clear();
    system->poll(events);
    EXPECT_EQ(events.size(), 1u);
    // No device attached: nothing to draw into.
    EXPECT_FALSE(main->nextDrawable());
}

TEST(NullWindows, PresentsOnADevice)
{
    auto device = GpuDevice::create({.preferCpu = true});
    auto system = WindowSystem::create(WindowSystem::Backend::null);
    auto window = system->open({.width = 64, .height = 32});
    window->attach(device);
    auto drawable = window->nextDrawable();
    ASSERT_TRUE(drawable);
    EXPECT_EQ(drawable->texture->width(), 64);
    EXPECT_EQ(drawable->texture->height(), 32);
    auto cb = device->makeCommandBuffer("frame");
    window->present(*drawable, cb);
    window->waitIdle();
    EXPECT_EQ(cb->status(), GpuCommandBuffer::Status::completed);
    EXPECT_EQ(window->lastPresented(), drawable->texture);
}

TEST(SdlStartUp, NoDisplayIsOneClearReason)
{
    ScopedVariable display("DISPLAY"), wayland("WAYLAND_DISPLAY");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    try {
        WindowSystem::create();
        FAIL() << "a window system without a display";
    } catch (const WindowError& error) {
        EXPECT_STREQ(error.what(), "neither DISPLAY nor WAYLAND_DISPLAY is set");
    }
    // A display that is not there: SDL's own reason.
    ::setenv("DISPLAY", ":9873", 1);
    EXPECT_THROW(WindowSystem::create(), WindowError);
}

// One X server for the SDL tests of this program.
class SdlWindows : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new testsupport::XvfbServer;
        why_ = server_->start({"1280x720x24"});
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(why_, "") << "no X server";
        display_.emplace("DISPLAY", server_->display());
        wayland_.emplace("WAYLAND_DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }
    static inline testsupport::XvfbServer* server_ = nullptr;
    static inline std::string why_;
    std::optional<ScopedVariable> display_, wayland_;
};

// Waits for an event of a kind (that `also` accepts), pumping the system.
std::optional<WindowEvent> waitForEvent(WindowSystem& system, WindowEvent::Kind kind,
                                        const std::function<bool(const WindowEvent&)>& also = {}, double seconds = 10)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        std::vector<WindowEvent> events;
        system.poll(events);
        for (auto& e : events)
            if (e.kind == kind && (!also || also(e))) return e;
        system.waitForEvents(0.01);
    }
    return std::nullopt;
}

TEST_F(SdlWindows, DisplaysWindowsAndRealInput)
{
    auto system = WindowSystem::create();
    const auto displays = system->displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0], (WindowRect{0, 0, 1280, 720}));
    auto extensions = system->vulkanInstanceExtensions();
    EXPECT_NE(std::find(extensions.begin(), extensions.end(), "VK_KHR_surface"), extensions.end());

    auto window =
        system->open({.title = "Veltrane test", .width = 400, .height = 300, .minWidth = 200, .minHeight = 100});
    EXPECT_EQ(window->title(), "Veltrane test");
    EXPECT_EQ(window->width(), 400);
    EXPECT_EQ(window->display(), 0);
    auto cover = system->open({.title = "cover", .coverDisplay = true, .takeFocus = false});
    EXPECT_EQ(cover->frame(), displays[0]);
    EXPECT_TRUE(cover->isBorderless());
    cover.reset();

    // Real X input: a click with its count, a wheel notch, a key with Shift.
    const WindowRect f = window->frame();
    const auto xdotool = [](const std::string& arguments) {
        return std::system(("xdotool " + arguments + " >/dev/null 2>&1").c_str());
    };
    ASSERT_EQ(xdotool("mousemove " + std::to_string(f.x + 50) + " " + std::to_string(f.y + 60) + " click 1"), 0)
        << "xdotool is not installed (scripts/install-deps installs it)";
    auto down = waitForEvent(*system, WindowEvent::Kind::mouseDown);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->window, window->id());
    EXPECT_EQ(down->button, MouseButton::left);
    EXPECT_EQ(down->clicks, 1);
    EXPECT_NEAR(down->x, 50, 1);
    EXPECT_NEAR(down->y, 60, 1);

    xdotool("click 4"); // the wheel, away from the user
    auto wheel = waitForEvent(*system, WindowEvent::Kind::wheel);
    ASSERT_TRUE(wheel);
    EXPECT_EQ(wheel->dy, 1);
    EXPECT_FALSE(wheel->precise);
    EXPECT_NEAR(wheel->x, 50, 1);
    EXPECT_EQ(wheel->modifiers, 0u);
    // Ctrl held for one notch, all of it read in one go (as on a slow frame): the notch still has it.
    xdotool("keydown ctrl click 4 keyup ctrl");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    wheel = waitForEvent(*system, WindowEvent::Kind::wheel);
    ASSERT_TRUE(wheel);
    EXPECT_EQ(wheel->modifiers, KeyInput::ctrl);

    // Keys go to the window with the input focus (no window manager gives it here).
    ASSERT_EQ(xdotool("search --name '^Veltrane test$' windowfocus --sync key shift+slash"), 0);
    // Shift itself comes first and types nothing.
    auto key = waitForEvent(*system, WindowEvent::Kind::keyDown,
                            [](const WindowEvent& e) { return !e.key.characters.empty(); });
    ASSERT_TRUE(key);
    EXPECT_EQ(key->key.characters, "?");
    EXPECT_TRUE(key->key.modifiers & KeyInput::shift);
}

TEST_F(SdlWindows, PresentsThroughTheSwapchain)
{
    auto system = WindowSystem::create();
    GpuDeviceOptions options;
    options.preferCpu = true;
    options.instanceExtensions = system->vulkanInstanceExtensions();
    auto device = GpuDevice::create(options);
    ASSERT_TRUE(device->canPresent());
    auto window = system->open({.title = "present", .width = 160, .height = 100, .x = 20, .y = 30});
    window->attach(device, {.framesInFlight = 1});
    // A few frames (the first swapchain may be made anew once the window is mapped).
    for (int i = 0; i < 5; ++i) {
        auto drawable = window->nextDrawable();
        ASSERT_TRUE(drawable);
        EXPECT_EQ(drawable->texture->width(), 160);
        auto cb = device->makeCommandBuffer("frame");
        // Fill the drawable with one colour: copy a buffer of bgra pixels into it.
        auto pixels = device->makeBuffer(160 * 100 * 4, "pixels");
        auto* p = static_cast<std::uint8_t*>(pixels->contents());
        for (int k = 0; k < 160 * 100; ++k) {
            p[4 * k + 0] = 40;  // blue
            p[4 * k + 1] = 200; // green
            p[4 * k + 2] = 90;  // red
            p[4 * k + 3] = 255;
        }
        cb->encodeRaw([&](VkCommandBuffer cmd) {
            VkBufferImageCopy region{};
            region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
            region.imageExtent = {160, 100, 1};
            vkCmdCopyBufferToImage(cmd, pixels->vk(), drawable->texture->vk(), VK_IMAGE_LAYOUT_GENERAL, 1, &region);
        });
        cb->retain(pixels);
        window->present(*drawable, cb);
    }
    window->waitIdle();
    // What the X server shows: a pixel inside the window.
    Display* x = XOpenDisplay(server_->display().c_str());
    ASSERT_TRUE(x);
    const WindowRect f = window->frame();
    XImage* image = XGetImage(x, DefaultRootWindow(x), f.x + 80, f.y + 50, 1, 1, AllPlanes, ZPixmap);
    ASSERT_TRUE(image);
    const unsigned long pixel = XGetPixel(image, 0, 0);
    EXPECT_EQ((pixel >> 16) & 0xff, 90u);
    EXPECT_EQ((pixel >> 8) & 0xff, 200u);
    EXPECT_EQ(pixel & 0xff, 40u);
    XDestroyImage(image);
    XCloseDisplay(x);
}

} // namespace
