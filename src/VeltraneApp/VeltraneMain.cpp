#include "VeltraneApp/VeltraneMain.h"

#include "FractalRender/RenderTypes.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Files/Files.h"
#include "Platform/Json/Json.h"
#include "Platform/Queues/MainQueue.h"
#include "VeltraneApp/LaunchArguments.h"
#include "VeltraneApp/MelodyLibrary.h"
#include "VeltraneApp/StageOutput.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <thread>

namespace veltrane {

namespace {

// A decimal number written as the whole argument: no white space, nothing after it.
std::optional<double> wholeNumber(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
    return value;
}

} // namespace

void AppDelegate::applicationDidFinishLaunching(VeltraneMain& app)
{
    // A regular foreground application, brought to the front.
    if (Window* window = app.window()) window->raise(true);
    const auto value = launchValue(app.arguments(), "--quit-after");
    if (!value) return;
    const auto seconds = wholeNumber(*value);
    if (!seconds || std::isnan(*seconds) || *seconds == INFINITY) return;
    VeltraneMain* target = &app;
    MainQueue::main().postAfter(std::max(*seconds, 0.0), [target] { target->terminate(); });
}

VeltraneMain::VeltraneMain(std::vector<std::string> arguments) : VeltraneMain(std::move(arguments), Options{}) {}

VeltraneMain::VeltraneMain(std::vector<std::string> arguments, Options options)
    : arguments_(std::move(arguments)), options_(std::move(options))
{
    if (const auto path = launchValue(arguments_, "--test-state")) testState_ = *path;
}

VeltraneMain::~VeltraneMain()
{
    if (content_ || window_) shutdown();
}

InstrumentState& VeltraneMain::state()
{
    if (!state_)
        state_ = std::make_unique<InstrumentState>(options_.melodies ? *options_.melodies : MelodyLibrary::shared());
    return *state_;
}

LiveBench* VeltraneMain::bench()
{
    if (!benchRead_) {
        benchRead_ = true;
        bench_ = LiveBench::fromArguments(arguments_);
        if (bench_) bench_->terminate = [this] { terminate(); };
    }
    return bench_.get();
}

int VeltraneMain::launch()
{
    // The loop's thread is the main thread: main-queue work posted so far runs on it.
    MainQueue::main().pump();
    // The launch view (--views with --fly-to) is read here, before any window exists, once the launch
    // switches are built; its flight starts when the content first appears.
    try {
        system_ = WindowSystem::create(options_.backend);
        WindowDesc desc;
        desc.title = title;
        desc.width = defaultWidth;
        desc.height = defaultHeight;
        desc.minWidth = minWidth;
        desc.minHeight = minHeight;
        window_ = system_->open(desc);
    } catch (const WindowError& error) {
        std::fprintf(stderr, "%s%s\n", noDisplayMessage, error.what());
        window_.reset();
        system_.reset();
        return noDisplayStatus;
    }

    try {
        device_ = options_.device;
        if (!device_) {
            GpuDeviceOptions gpu;
            gpu.instanceExtensions = system_->vulkanInstanceExtensions();
            GpuDevice::configureSystemDefault(gpu);
            device_ = GpuDevice::systemDefaultOrThrow();
        }
        if (!device_) throw RendererError::noDevice();
        // On a CPU device the frames are drawn one at a time, so each one's GPU time is its own.
        window_->attach(device_, {device_->isCpu() ? 1 : 2});
        content_ = std::make_unique<ContentView>(state(), bench(),
                                                 ContentView::Environment{*system_, *window_, device_, arguments_,
                                                                          options_.places, options_.dialogs, nullptr,
                                                                          options_.makeSound});
    } catch (const GpuNoDeviceError&) {
        std::fprintf(stderr, "%s\n", rendererStartFailure(RendererError::noDevice()).c_str());
        content_.reset();
        window_.reset();
        system_.reset();
        return rendererFailureStatus;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", rendererStartFailure(error).c_str());
        content_.reset();
        window_.reset();
        system_.reset();
        return rendererFailureStatus;
    }
    StageOutput::shared().connect(system_.get(), window_.get(), device_);
    running_ = true;
    try {
        content_->appear();
    } catch (const std::exception& error) {
        // The synthesis kernel could not be made: nothing would sound, ever.
        std::fprintf(stderr, "sound engine failed to start: %s\n", error.what());
        shutdown();
        return rendererFailureStatus;
    }
    AppDelegate::applicationDidFinishLaunching(*this);
    return 0;
}

void VeltraneMain::handle(const WindowEvent& event)
{
    switch (event.kind) {
    case WindowEvent::Kind::quitRequested: terminate(); return;
    case WindowEvent::Kind::closeRequested:
        if (event.window == window_->id()) {
            if (AppDelegate::applicationShouldTerminateAfterLastWindowClosed()) terminate();
            return;
        }
        break;
    default: break;
    }
    if (StageOutput::shared().handle(event, state())) return;
    content_->handle(event);
}

bool VeltraneMain::step()
{
    if (!running_) return false;
    events_.clear();
    system_->poll(events_);
    for (const WindowEvent& event : events_) handle(event);
    MainQueue::main().pump();
    if (!running_) return false;
    content_->draw();
    StageOutput::shared().draw();
    ++frames_;
    writeTestState(false);
    return running_;
}

int VeltraneMain::run()
{
    if (const int status = launch()) return status;
    FramePacer pacer(maxFramesPerSecond);
    const Clock& clock = Clock::steady();
    for (;;) {
        // Sleeps in short steps so that input and due main-queue work are not held back long.
        for (double wait = pacer.wait(clock.now()); wait > 0; wait = pacer.wait(clock.now()))
            system_->waitForEvents(std::min(wait, 0.002));
        pacer.frameStarted(clock.now());
        if (!step()) break;
    }
    return shutdown();
}

int VeltraneMain::shutdown()
{
    running_ = false;
    if (content_) writeTestState(true);
    if (state_) StageOutput::shared().hide(*state_);
    StageOutput::shared().connect(nullptr, nullptr);
    content_.reset();
    window_.reset();
    system_.reset();
    if (device_) device_->savePipelineCache();
    return 0;
}

void VeltraneMain::writeTestState(bool force)
{
    if (!testState_ || !state_) return;
    const double now = Clock::steady().now();
    if (!force && lastTestState_ >= 0 && now - lastTestState_ < 0.1) return;
    lastTestState_ = now;
    InstrumentState& s = *state_;
    const RenderStats& stats = s.renderStats.get();
    Json::OrderedValue j = Json::OrderedValue::object();
    j["frames"] = frames_;
    j["fractalType"] = std::string(toText(s.fractalType.get()));
    j["centreX"] = s.centre.get().x().decimal();
    j["centreY"] = s.centre.get().y().decimal();
    j["zoom"] = s.zoom.get();
    j["rotation"] = s.rotation.get();
    j["maxIterations"] = s.maxIterations.get();
    j["palette"] = std::string(toText(s.palette().get()));
    j["hudVisible"] = s.hudVisible.get();
    j["helpOpen"] = s.helpOpen.get();
    j["presetMenuOpen"] = s.presetMenuOpen.get();
    j["introVisible"] = s.introVisible.get();
    j["isPlaying"] = s.isPlaying.get();
    j["stageOutput"] = s.stageOutput.get();
    j["flying"] = s.flight.get().has_value();
    j["renderStats"] = {{"fps", stats.fps},
                        {"gpuMs", stats.gpuMs},
                        {"renderScale", stats.renderScale},
                        {"tier", std::string(toText(stats.tier))},
                        {"samples", stats.samples},
                        {"deep", stats.deep}};
    if (window_) j["window"] = {window_->width(), window_->height()};
    if (content_) j["userPresets"] = content_->library().user.get().size();
    std::string text = Json::write(j, Json::Style::pretty) + "\n";
    if (text == lastTestStateText_ && !force) return;
    lastTestStateText_ = text;
    try {
        Files::replaceAtomically(*testState_,
                                 std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "test state not written: %s\n", error.what());
    }
}

} // namespace veltrane
