#include "VeltraneApp/ContentView.h"

#include "VeltraneApp/LiveBench.h"
#include "VeltraneApp/MelodyLibrary.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace veltrane {

namespace {

bool hasArgument(const std::vector<std::string>& arguments, std::string_view name)
{
    return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
}

} // namespace

BridgeSound::BridgeSound(InstrumentState& state, SoundBridge::Setup setup) : bridge_(setup), log_(setup.log)
{
    bridge_.start();
    bridge_.wire(state);
}

void BridgeSound::windowWillClose(InstrumentState& state)
{
    const auto log = [this](const std::string& line) {
        if (log_)
            log_(line);
        else
            std::fprintf(stderr, "%s\n", line.c_str());
    };
    if (state.movieProgress.get()) {
        bridge_.cancelMovie();
        // The render ends on its own thread and reports on the main queue.
        const Clock& clock = Clock::steady();
        const double until = clock.now() + movieEndWaitSeconds;
        while (state.movieProgress.get() && clock.now() < until) {
            MainQueue::main().pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (state.movieProgress.get()) log("movie export did not end in time; its unfinished file was left behind");
    }
    if (bridge_.engine().recordingURL()) {
        try {
            if (const auto file = bridge_.engine().stopRecording()) log("recording kept at " + file->string());
        } catch (const std::exception& error) {
            log(std::string("could not save recording: ") + error.what());
        }
        state.isRecording.set(false);
        state.recordingStarted.set(std::nullopt);
    }
}

ContentView::ContentView(InstrumentState& state, LiveBench* bench, Environment environment)
    : state_(state), bench_(bench), env_(std::move(environment))
{
    library_ = std::make_unique<PresetLibrary>(env_.places, env_.dialogs);
    FractalSurface surface{state_, [this](double now) { frame(now); }, bench_};
    canvas_ = surface.makeView(env_.window, env_.device, env_.clock ? *env_.clock : Clock::steady());
    // The benchmark's test panels (--materials) and the HUD are drawn over the canvas here once the
    // interface layer exists.
}

ContentView::~ContentView()
{
    if (sound_) sound_->windowWillClose(state_);
    // The canvas's GPU work ends before the window it draws into.
    env_.window.waitIdle();
    if (state_.onSaveRequested.get()) state_.onSaveRequested.set({});
}

void ContentView::appear()
{
    if (bench_ || hasArgument(env_.arguments, "--sound-check") || hasArgument(env_.arguments, "--fly-to") ||
        hasArgument(env_.arguments, "--no-intro"))
        state_.introVisible.set(false);

    PresetLibrary* library = library_.get();
    InstrumentState* state = &state_;
    state_.onSaveRequested.set([library, state] {
        library->saveCurrentView(*state);
        state->hudVisible.set(true);
        state->presetMenuOpen.set(true);
    });

    // A benchmark run has no sound, no sound check and no start-up script.
    if (bench_ || sound_) return;
    sound_ = env_.makeSound ? env_.makeSound(state_) : std::make_unique<BridgeSound>(state_);
    // The start-up script (--ui) is applied here, once per window, right after the sound side.
}

void ContentView::frame(double now)
{
    if (bench_) bench_->tick(now, state_);
    // The sound check (--sound-check) ticks here, before the bridge, once it exists.
    if (sound_) sound_->frame(state_, now);
}

bool ContentView::handle(const WindowEvent& event)
{
    if (event.window != env_.window.id()) return false;
    switch (event.kind) {
    case WindowEvent::Kind::fileDropped: dropped_.emplace_back(event.path); return true;
    case WindowEvent::Kind::dropComplete: importDropped(); return true;
    default: return canvas_->handle(event);
    }
}

void ContentView::importDropped()
{
    std::vector<std::filesystem::path> files;
    files.swap(dropped_);
    if (files.empty()) return;
    const MelodyLibrary::ImportOutcome outcome = MelodyLibrary::importFiles(files, state_);
    if (outcome.alert) {
        std::fprintf(stderr, "%s\n%s\n", outcome.alert->message.c_str(), outcome.alert->informative.c_str());
        env_.system.alert(outcome.alert->message, outcome.alert->informative, &env_.window);
    }
}

} // namespace veltrane
