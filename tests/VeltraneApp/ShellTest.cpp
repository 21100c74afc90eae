// The application shell on the head-less window backend and lavapipe: the stage output, the window's
// content (appearance, per-frame order, save hook, drops, closing while recording) and the run loop.
#include "../Music/MIDIBuilder.h"
#include "../Support/ChildProcess.h"
#include "Platform/Resources/Resources.h"
#include "StateFixture.h"
#include "Platform/Files/Files.h"
#include "Synth/WAV.h"
#include "VeltraneApp/ContentView.h"
#include "VeltraneApp/LiveBench.h"
#include "VeltraneApp/StageOutput.h"
#include "VeltraneApp/VeltraneMain.h"

#include <fstream>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<GpuDevice> cpuDevice()
{
    static std::shared_ptr<GpuDevice> device = GpuDevice::create({.preferCpu = true});
    return device;
}

class ShellTest : public StateFixture {
protected:
    ShellTest()
    {
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        dataHome.set(folder / "data");
        system->setDisplays({{0, 0, 1920, 1080}});
        window = system->open({.title = "Veltrane", .width = 320, .height = 200});
        window->attach(cpuDevice());
    }
    testsupport::ScopedVariable dataHome{"XDG_DATA_HOME"};

    // A sound side that records the order of the frame work.
    struct Recorder final : SoundSide {
        std::vector<std::string>* log;
        explicit Recorder(std::vector<std::string>* log) : log(log) {}
        void frame(InstrumentState&, double) override { log->push_back("sound"); }
        void windowWillClose(InstrumentState&) override { log->push_back("closed"); }
    };

    std::unique_ptr<ContentView> content(std::vector<std::string> arguments, LiveBench* bench = nullptr)
    {
        ContentView::Environment env{*system,
                                     *window,
                                     cpuDevice(),
                                     std::move(arguments),
                                     {folder / "presets", folder / "thumbs"},
                                     &dialogs,
                                     &clock,
                                     [this](InstrumentState&) { return std::make_unique<Recorder>(&log); }};
        return std::make_unique<ContentView>(*state, bench, std::move(env));
    }

    fs::path file(const std::string& name, const test::Bytes& bytes)
    {
        fs::create_directories(folder / "drop");
        std::ofstream(folder / "drop" / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
        return folder / "drop" / name;
    }

    void drop(const std::vector<fs::path>& files, ContentView& view)
    {
        for (const auto& f : files)
            view.handle({.kind = WindowEvent::Kind::fileDropped, .window = window->id(), .path = f});
        view.handle({.kind = WindowEvent::Kind::dropComplete, .window = window->id()});
    }

    std::unique_ptr<WindowSystem> system = WindowSystem::create(WindowSystem::Backend::null);
    std::unique_ptr<Window> window;
    Dialogs::ScriptedPresenter dialogs;
    std::vector<std::string> log;
};

TEST_F(ShellTest, StageOpensOnTheSecondDisplayOrInTestMode)
{
    StageOutput stage;
    stage.connect(system.get(), window.get(), cpuDevice());
    stage.show(*state, false); // one display: nothing
    EXPECT_FALSE(stage.window());
    EXPECT_FALSE(state->stageOutput.get());

    stage.show(*state, true);
    ASSERT_TRUE(stage.window());
    EXPECT_EQ(stage.window()->frame(), (WindowRect{80, 1080 - 80 - 600, 960, 600}));
    EXPECT_EQ(stage.window()->title(), "Veltrane Stage");
    EXPECT_FALSE(stage.window()->isBorderless());
    EXPECT_TRUE(state->stageOutput.get());
    Window* first = stage.window();
    stage.show(*state, true); // twice: still one window
    EXPECT_EQ(stage.window(), first);
    stage.draw();
    EXPECT_TRUE(stage.window()->lastPresented());
    // Clicks on the stage do nothing; closing its window hides the stage.
    EXPECT_TRUE(stage.handle({.kind = WindowEvent::Kind::mouseDown, .window = first->id()}, *state));
    stage.handle({.kind = WindowEvent::Kind::closeRequested, .window = first->id()}, *state);
    EXPECT_FALSE(stage.window());
    EXPECT_FALSE(state->stageOutput.get());

    // A second display: covered, borderless; unplugging it closes the stage.
    system->setDisplays({{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}});
    EXPECT_EQ(stage.stageScreen(), 1);
    stage.show(*state, false);
    ASSERT_TRUE(stage.window());
    EXPECT_EQ(stage.window()->frame(), (WindowRect{1920, 0, 1280, 1024}));
    EXPECT_TRUE(stage.window()->isBorderless());
    stage.handle({.kind = WindowEvent::Kind::displaysChanged}, *state); // its display stays: open
    EXPECT_TRUE(stage.window());
    system->setDisplays({{0, 0, 1920, 1080}});
    stage.handle({.kind = WindowEvent::Kind::displaysChanged}, *state);
    EXPECT_FALSE(stage.window());
    EXPECT_FALSE(state->stageOutput.get());
    stage.hide(*state); // nothing open: only the flag
    EXPECT_FALSE(state->stageOutput.get());
}

TEST_F(ShellTest, AppearanceIntroRuleSaveHookAndOneSoundSide)
{
    auto view = content({"veltrane", "--no-intro-please"});
    view->appear();
    EXPECT_TRUE(state->introVisible.get()); // only the whole switch counts
    EXPECT_TRUE(view->sound());
    SoundSide* sound = view->sound();
    view->appear(); // again: the same sound side
    EXPECT_EQ(view->sound(), sound);

    state->hudVisible.set(false);
    view->canvas().handle({.kind = WindowEvent::Kind::mouseDown, .window = window->id(), .button = MouseButton::right});
    EXPECT_EQ(view->library().user.get().size(), 1u);
    EXPECT_TRUE(state->hudVisible.get());
    EXPECT_TRUE(state->presetMenuOpen.get());

    auto other = content({"veltrane", "--fly-to"});
    other->appear();
    EXPECT_FALSE(state->introVisible.get());
}

TEST_F(ShellTest, EachFrameAdvancesTicksTheSoundThenDrawsAndReports)
{
    auto view = content({"veltrane"});
    view->appear();
    // A flight in progress moves on in the frame, before the sound sees it.
    state->fly(BigComplex(0.25, 0, 2), 4, 0, 1000);
    state->audioVisuals.modify([](AudioVisuals& a) { a.amplitude = 0.5; });
    clock.advance(2);
    view->draw();
    EXPECT_FALSE(state->flight.get());
    EXPECT_EQ(state->zoom.get(), 4);
    EXPECT_EQ(log, std::vector<std::string>{"sound"});
    window->waitIdle();
    ASSERT_TRUE(window->lastPresented());
    EXPECT_EQ(window->lastPresented()->width(), 320);
    EXPECT_EQ(state->renderStats.get().renderScale, view->canvas().renderer->stats().renderScale);
    view.reset();
    EXPECT_EQ(log.back(), "closed");
}

TEST_F(ShellTest, ABenchmarkRunHasNoSound)
{
    fs::create_directories(folder);
    std::ofstream(folder / "m.json") << R"({"centerX": 0, "centerY": 0, "durationSec": 1, "fractalType": "mandelbrot",
        "colorPalette": "obsidian", "canvasPixels": [320, 200],
        "segments": [{"from": 0, "to": 1, "zoomFrom": 1, "zoomTo": 1}]})";
    auto bench = LiveBench::fromArguments({"veltrane", "--bench", folder / "m.json"});
    ASSERT_TRUE(bench);
    auto view = content({"veltrane", "--bench", folder / "m.json"}, bench.get());
    view->appear();
    EXPECT_FALSE(view->sound());
    EXPECT_FALSE(state->introVisible.get());
    view->draw();
    EXPECT_EQ(bench->settle, 1);
    EXPECT_EQ(bench->drawableSize, (std::vector<std::int64_t>{320, 200}));
    EXPECT_TRUE(log.empty());
}

TEST_F(ShellTest, DroppedMidiFilesBecomeMelodiesFailuresAnAlert)
{
    auto view = content({"veltrane"});
    test::TrackBuilder track;
    track.tempo(500000).melody({60, 62, 64}, 480).end();
    const fs::path good = file("Tune.mid", test::smf(0, 480, {track}));
    const fs::path bad = file("Broken.mid", {'n', 'o', 'p', 'e'});
    drop({bad}, *view);
    ASSERT_EQ(system->alertsShown().size(), 1u);
    EXPECT_EQ(system->alertsShown()[0].title, "That MIDI file couldn't be imported");
    drop({bad, good, file("Other.mid", {'x'})}, *view);
    ASSERT_EQ(system->alertsShown().size(), 2u);
    EXPECT_EQ(system->alertsShown()[1].title, "Some MIDI files couldn't be imported");
    EXPECT_EQ(state->melodyID.get(), "midi:Tune.mid");
}

TEST_F(ShellTest, ClosingTheWindowKeepsARunningRecording)
{
    std::vector<std::string> lines;
    SoundBridge::Setup setup;
    setup.audio.backend = AudioBackend::null;
    setup.midiBackend = MidiBackend::none;
    setup.log = [&](const std::string& line) { lines.push_back(line); };
    ContentView::Environment env{*system,
                                 *window,
                                 cpuDevice(),
                                 {"veltrane"},
                                 {folder / "p", folder / "t"},
                                 &dialogs,
                                 &clock,
                                 [&](InstrumentState& s) { return std::make_unique<BridgeSound>(s, setup); }};
    auto view = std::make_unique<ContentView>(*state, nullptr, std::move(env));
    view->appear();
    auto* sound = dynamic_cast<BridgeSound*>(view->sound());
    ASSERT_TRUE(sound);
    const fs::path recording = folder / "recording.wav";
    sound->bridge().engine().startRecording(recording);
    state->isRecording.set(true);
    // Some sound reaches the file.
    for (int i = 0; i < 20; ++i) sound->bridge().engine().audio().renderNull(256);
    view.reset();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "recording kept at " + recording.string()), lines.end());
    EXPECT_FALSE(state->isRecording.get());
    const auto bytes = Files::readAll(recording);
    const auto wav = WAV::decode(bytes);
    ASSERT_TRUE(wav) << "the kept recording is a whole WAV file";
    ASSERT_EQ(wav->channels.size(), 2u);
    EXPECT_EQ(wav->channels[0].size(), 20u * 256u);
}

TEST_F(ShellTest, TheRunLoopHeadless)
{
    const fs::path stateFile = folder / "state.json";
    VeltraneMain::Options options;
    options.backend = WindowSystem::Backend::null;
    options.places = {folder / "p", folder / "t"};
    options.dialogs = &dialogs;
    options.melodies = library.get();
    options.device = cpuDevice();
    options.makeSound = [this](InstrumentState&) { return std::make_unique<Recorder>(&log); };
    VeltraneMain app({"veltrane", "--test-state", stateFile.string()}, options);
    ASSERT_EQ(app.launch(), 0);
    EXPECT_EQ(app.window()->width(), VeltraneMain::defaultWidth);
    EXPECT_EQ(app.window()->height(), VeltraneMain::defaultHeight);
    EXPECT_TRUE(app.step());
    EXPECT_TRUE(app.step());
    app.windowSystem()->inject({.kind = WindowEvent::Kind::closeRequested, .window = app.window()->id()});
    EXPECT_FALSE(app.step()); // closing the last window ends the program
    EXPECT_EQ(app.shutdown(), 0);
    EXPECT_EQ(log.back(), "closed");
    const auto dumped =
        Json::parse(std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(stateFile)), {}));
    EXPECT_EQ(dumped["frames"], 2);
    EXPECT_EQ(dumped["window"], Json::Value({1440, 880}));

    // --quit-after 0 ends the program at the first pass; a value that is not a whole number never does.
    VeltraneMain quick({"veltrane", "--quit-after", "0"}, options);
    ASSERT_EQ(quick.launch(), 0);
    EXPECT_FALSE(quick.step());
    quick.shutdown();
    VeltraneMain never({"veltrane", "--quit-after", " 0"}, options);
    ASSERT_EQ(never.launch(), 0);
    EXPECT_TRUE(never.step());
    never.shutdown();
}

} // namespace
} // namespace veltrane::test
