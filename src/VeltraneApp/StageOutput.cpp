#include "VeltraneApp/StageOutput.h"

#include <algorithm>

namespace veltrane {

StageOutput& StageOutput::shared()
{
    static StageOutput stage;
    return stage;
}

void StageOutput::connect(WindowSystem* system, Window* mainWindow, std::shared_ptr<GpuDevice> device)
{
    system_ = system;
    main_ = mainWindow;
    device_ = std::move(device);
}

std::optional<int> StageOutput::stageScreen() const
{
    if (!system_) return std::nullopt;
    const auto displays = system_->displays();
    const std::optional<int> reference = main_ ? std::optional<int>(main_->display()) : std::optional<int>(0);
    for (int i = 0; i < int(displays.size()); ++i)
        if (!reference || i != *reference) return i;
    return std::nullopt;
}

void StageOutput::show(InstrumentState& state, bool testOnSameScreen)
{
    if (window_ || !system_) return;
    std::optional<int> screen = stageScreen();
    const auto displays = system_->displays();
    if (!screen) {
        if (!testOnSameScreen || displays.empty()) return;
        screen = 0;
    }
    std::shared_ptr<FractalRenderer> renderer;
    std::shared_ptr<GpuDevice> device = device_ ? device_ : GpuDevice::systemDefault();
    try {
        if (!device) return;
        renderer = std::make_shared<FractalRenderer>(device);
    } catch (const std::exception&) {
        return;
    }
    const WindowRect bounds = displays.at(size_t(*screen));
    WindowDesc desc;
    desc.title = title;
    desc.display = *screen;
    desc.takeFocus = false;
    if (testOnSameScreen) {
        // 80 points right of and above the display's lower-left corner.
        desc.width = testWidth;
        desc.height = testHeight;
        desc.x = bounds.x + testInset;
        desc.y = bounds.y + bounds.height - testInset - testHeight;
        desc.resizable = true;
    } else {
        desc.coverDisplay = true;
    }
    try {
        auto window = system_->open(desc);
        window->attach(device, {device->isCpu() ? 1 : 2});
        canvas_ = std::make_unique<FractalMetalView>(*window, state, std::move(renderer), true);
        window_ = std::move(window);
    } catch (const std::exception&) {
        canvas_.reset();
        return;
    }
    testMode_ = testOnSameScreen;
    screen_ = bounds;
    window_->raise(false);
    state.stageOutput.set(true);
}

void StageOutput::hide(InstrumentState& state)
{
    if (window_) window_->waitIdle();
    canvas_.reset();
    window_.reset();
    state.stageOutput.set(false);
}

void StageOutput::draw()
{
    if (canvas_) canvas_->draw();
}

bool StageOutput::handle(const WindowEvent& event, InstrumentState& state)
{
    if (event.kind == WindowEvent::Kind::displaysChanged) {
        if (!window_ || testMode_ || !system_) return false;
        const auto displays = system_->displays();
        if (std::find(displays.begin(), displays.end(), screen_) == displays.end()) hide(state);
        return false;
    }
    if (!window_ || event.window != window_->id()) return false;
    if (event.kind == WindowEvent::Kind::closeRequested) hide(state);
    // The stage takes no input: clicks and keys on it do nothing.
    return true;
}

} // namespace veltrane
