// The movie export's panel, its one-render-at-a-time rule, its WAV and its reports, with scripted
// panels and a stand-in for the renderer that the test steps frame by frame (real movies are made
// in SoundBridgeRecordingsTest).
#include "../Support/ChildProcess.h"
#include "../Support/WaitFor.h"
#include "Platform/Files/Files.h"
#include "StateFixture.h"
#include "Synth/WAV.h"
#include "VeltraneApp/MovieExport.h"

#include <condition_variable>
#include <fstream>
#include <mutex>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Take takeOf(double seconds, bool withHUD)
{
    Take::View view;
    view.x = "-0.5";
    view.y = "0";
    std::vector<Take::HUDFrame> hud;
    if (withHUD) hud.push_back({0, "{}"});
    return Take(48000, "2026-01-01T00:00:00Z", std::int64_t(std::llround(seconds * 48000)), {{0, 1, 0, 0, 0, 0, 0}}, {},
                {view}, hud);
}

// Stands in for TakeRenderer::render: each render waits for the test to release it, reports
// `frames` fractions (stopping when told to) and then ends as the test said: complete (writing a
// file at the destination), or failing.
struct FakeRenderer {
    struct Call {
        fs::path to;
        TakeRenderer::Options options;
        bool overlay = false;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Call> calls;
    int released = 0;
    int running = 0;
    int frames = 4;
    std::optional<std::string> failWith;

    MovieExport::Render function()
    {
        return [this](const Take&, const fs::path& to, const TakeRenderer::Options& options,
                      const TakeRenderer::Progress& progress, const TakeRenderer::Overlay& overlay) {
            std::unique_lock hold(lock);
            calls.push_back({to, options, bool(overlay)});
            const std::size_t mine = calls.size();
            ++running;
            changed.notify_all();
            changed.wait(hold, [&] { return released >= int(mine); });
            --running;
            const auto failure = failWith;
            const int count = frames;
            hold.unlock();
            for (int i = 1; i <= count; ++i)
                if (!progress(double(i) / count)) return; // cancelled: nothing written
            if (failure) throw TakeRenderer::Failure::writer(*failure);
            std::ofstream(to) << "movie";
        };
    }
    void release()
    {
        std::lock_guard hold(lock);
        ++released;
        changed.notify_all();
    }
    std::size_t count()
    {
        std::lock_guard hold(lock);
        return calls.size();
    }
    Call call(std::size_t i)
    {
        std::lock_guard hold(lock);
        return calls.at(i);
    }
    void fail(std::optional<std::string> with)
    {
        std::lock_guard hold(lock);
        failWith = std::move(with);
    }
    bool waitForCalls(std::size_t n)
    {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(30), [&] { return calls.size() >= n; });
    }
};

class MovieExportTest : public StateFixture {
protected:
    MovieExportTest()
    {
        fs::create_directories(folder / "out");
        fs::create_directories(folder / "tmp");
        tmp.set((folder / "tmp").string());
    }
    ~MovieExportTest() override
    {
        // Render threads post to `main`: let every one finish before the queue goes.
        if (!export_) return;
        export_->cancel();
        for (int i = 0; i < 100; ++i) renderer.release();
        pumpUntil([&] { return !export_->isRendering(); });
    }

    MovieExport& exporter()
    {
        if (!export_) {
            MovieExport::Services services;
            services.dialogs = &dialogs;
            services.main = &main;
            services.defaultsFile = folder / "config" / "defaults.json";
            services.overlay = overlay;
            services.render = renderer.function();
            services.log = [this](const std::string& line) { log.push_back(line); };
            export_ = std::make_unique<MovieExport>(services);
        }
        return *export_;
    }

    // Pumps the main queue until the condition holds (30 s at most).
    bool pumpUntil(const std::function<bool()>& done)
    {
        return testsupport::waitFor(
            [&] {
                main.pump();
                return done();
            },
            30);
    }

    Files::UserDefaults defaults() const { return Files::UserDefaults(folder / "config" / "defaults.json"); }

    testsupport::ScopedVariable tmp{"TMPDIR"};
    MainQueue main{clock};
    Dialogs::ScriptedPresenter dialogs{main};
    FakeRenderer renderer;
    MovieExport::OverlayMaker overlay;
    std::vector<std::string> log;
    std::unique_ptr<MovieExport> export_;
};

TEST_F(MovieExportTest, ThePanelOffersTheFormatsAndRemembersTheChoices)
{
    // No defaults yet: both checkboxes on, where the HUD can be drawn.
    overlay = [](const Take&, int, int) { return TakeRenderer::Overlay([](const auto&) { return std::nullopt; }); };
    dialogs.willSave(folder / "out" / "film");
    dialogs.willChoose({2, 1, 0});
    exporter().exportTake(*state, takeOf(90.4, true), "veltrane-ode");
    ASSERT_TRUE(pumpUntil([&] { return renderer.count() == 1; }));
    const Dialogs::SavePanel& panel = dialogs.saveRequests.at(0);
    EXPECT_EQ(panel.message, "Save the 90-second recording as a movie with its sound.");
    EXPECT_EQ(panel.proposedName, "veltrane-ode.mov");
    ASSERT_EQ(panel.accessory.size(), 3u);
    const auto& format = std::get<Dialogs::PopUp>(panel.accessory[0]);
    EXPECT_EQ(format.label, "Movie format");
    EXPECT_EQ(format.titles, (std::vector<std::string>{"4K 60 fps \u00b7 HEVC", "4K 60 fps \u00b7 ProRes 4444",
                                                       "1080p 60 fps \u00b7 HEVC"}));
    EXPECT_EQ(format.selected, 0);
    const auto& hud = std::get<Dialogs::CheckBox>(panel.accessory[1]);
    EXPECT_EQ(hud.title, "Show the controls and keyboard");
    EXPECT_TRUE(hud.on && hud.enabled);
    const auto& wav = std::get<Dialogs::CheckBox>(panel.accessory[2]);
    EXPECT_EQ(wav.title, "Also save the sound as a WAV file");
    EXPECT_TRUE(wav.on && wav.enabled);

    // "1080p 60 fps · HEVC" at the chosen place with ".mov" added, the HUD on, no WAV.
    const FakeRenderer::Call call = renderer.call(0);
    EXPECT_EQ(call.to, folder / "out" / "film.mov");
    EXPECT_EQ(call.options.width, 1920);
    EXPECT_EQ(call.options.height, 1080);
    EXPECT_EQ(call.options.fps, 60);
    EXPECT_EQ(call.options.codec, TakeRenderer::Codec::hevc);
    EXPECT_FALSE(call.options.samples);
    EXPECT_TRUE(call.overlay);
    EXPECT_EQ(defaults().value("exportHUD"), Json::Value(true));
    EXPECT_EQ(defaults().value("exportWAVToo"), Json::Value(false));
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return !exporter().isRendering(); }));
    EXPECT_EQ(dialogs.reveals, std::vector<fs::path>{folder / "out" / "film.mov"});
    EXPECT_TRUE(dialogs.alerts.empty());
    EXPECT_FALSE(fs::exists(folder / "out" / "film.wav"));

    // The remembered choices open the next panel. A take without HUD states turns the HUD choice
    // off and disables it, and confirming leaves "exportHUD" as it was; so does a missing HUD.
    defaults().set("exportHUD", false);
    dialogs.willSave(folder / "out" / "second.mov");
    dialogs.willChoose({1, 1, 1});
    exporter().exportTake(*state, takeOf(90.6, false), "x");
    ASSERT_TRUE(pumpUntil([&] { return renderer.count() == 2; }));
    const Dialogs::SavePanel& second = dialogs.saveRequests.at(1);
    EXPECT_EQ(second.message, "Save the 91-second recording as a movie with its sound.");
    const auto& disabled = std::get<Dialogs::CheckBox>(second.accessory[1]);
    EXPECT_FALSE(disabled.on || disabled.enabled);
    EXPECT_EQ(disabled.tooltip, "This take was recorded before the controls were logged with it");
    EXPECT_FALSE(std::get<Dialogs::CheckBox>(second.accessory[2]).on);
    EXPECT_EQ(renderer.call(1).options.codec, TakeRenderer::Codec::prores);
    EXPECT_EQ(renderer.call(1).options.width, 3840);
    EXPECT_FALSE(renderer.call(1).overlay);
    EXPECT_EQ(defaults().value("exportHUD"), Json::Value(false));
    EXPECT_EQ(defaults().value("exportWAVToo"), Json::Value(true));
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return !exporter().isRendering(); }));

    export_.reset();
    overlay = nullptr; // the HUD cannot be drawn (yet): the choice is off and disabled
    defaults().set("exportHUD", true);
    exporter().exportTake(*state, takeOf(1, true), "y"); // cancelled panel: nothing renders
    main.pump();
    const auto& noHUD = std::get<Dialogs::CheckBox>(dialogs.saveRequests.at(2).accessory[1]);
    EXPECT_FALSE(noHUD.on || noHUD.enabled);
    EXPECT_EQ(renderer.count(), 2u);
}

TEST_F(MovieExportTest, ChoosingATakeFileNamesTheMovieAfterIt)
{
    const fs::path good = folder / "out" / "evening.veltranetake";
    std::ofstream(good) << takeOf(3, true).encoded();
    std::ofstream(folder / "out" / "broken.veltranetake") << "{\"version\": 1";
    dialogs.willOpen({folder / "out" / "broken.veltranetake"});
    dialogs.willOpen({good});
    exporter().chooseTake(*state);
    main.pump();
    EXPECT_EQ(dialogs.openRequests.at(0).message, "Choose a take to render");
    EXPECT_EQ(dialogs.openRequests.at(0).types.at(0).extensions, std::vector<std::string>{"veltranetake"});
    EXPECT_TRUE(dialogs.saveRequests.empty()); // unreadable: the export ends without a word
    EXPECT_TRUE(dialogs.alerts.empty() && log.empty());
    exporter().chooseTake(*state);
    main.pump();
    ASSERT_EQ(dialogs.saveRequests.size(), 1u);
    EXPECT_EQ(dialogs.saveRequests[0].proposedName, "evening.mov");
    EXPECT_EQ(dialogs.saveRequests[0].message, "Save the 3-second recording as a movie with its sound.");
}

TEST_F(MovieExportTest, OneMovieRendersAtATimeAndTheNextWaitsItsTurn)
{
    std::vector<std::optional<double>> progress;
    ObservationToken watching = state->movieProgress.observe([&] { progress.push_back(state->movieProgress.get()); });

    exporter().render(*state, takeOf(1, false), folder / "out" / "a.mov", MovieExport::captureOptions(), false, false,
                      true);
    ASSERT_TRUE(renderer.waitForCalls(1));
    EXPECT_EQ(state->movieProgress.get(), 0.0);

    // While it renders, the menu's export does nothing; a capture's movie and a confirmed panel wait.
    exporter().chooseTake(*state);
    EXPECT_TRUE(dialogs.openRequests.empty());
    exporter().render(*state, takeOf(1, false), folder / "out" / "b.mov", MovieExport::captureOptions(), false, false,
                      false);
    dialogs.willSave(folder / "out" / "c.mov");
    exporter().exportTake(*state, takeOf(1, false), "c");
    main.pump();
    EXPECT_EQ(exporter().waiting(), 2u);
    EXPECT_EQ(renderer.count(), 1u);

    // Cancelling stops only the running movie; the next starts with a cleared flag.
    exporter().cancel();
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return renderer.count() == 2; }));
    EXPECT_FALSE(exporter().cancelFlag().value());
    EXPECT_TRUE(dialogs.reveals.empty()); // a cancelled movie is not shown
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return renderer.count() == 3; }));
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return !exporter().isRendering(); }));

    EXPECT_EQ(renderer.call(1).to, folder / "out" / "b.mov");
    EXPECT_EQ(renderer.call(2).to, folder / "out" / "c.mov");
    EXPECT_FALSE(fs::exists(folder / "out" / "a.mov"));
    EXPECT_TRUE(fs::exists(folder / "out" / "b.mov"));
    EXPECT_EQ(dialogs.reveals, std::vector<fs::path>{folder / "out" / "c.mov"}); // b is not interactive
    EXPECT_TRUE(dialogs.alerts.empty() && log.empty());
    EXPECT_FALSE(state->movieProgress.get());
    // Each render reports 0, its fractions in order, and ends with none.
    const std::vector<std::optional<double>> one{0.0, 0.25, 0.5, 0.75, 1.0, std::nullopt};
    std::vector<std::optional<double>> expected;
    expected.push_back(0.0); // a's start; the cancel stopped it before its first fraction was kept
    expected.push_back(0.25);
    expected.push_back(std::nullopt);
    for (int i = 0; i < 2; ++i) expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(progress, expected);
}

TEST_F(MovieExportTest, TheWAVBesideTheMovieNeverReplacesAFileAndGoesWithAFailedMovie)
{
    std::ofstream(folder / "out" / "film.wav") << "an older recording";
    auto renderOne = [&](const std::string& name, bool interactive) {
        exporter().render(*state, takeOf(0.5, false), folder / "out" / name, MovieExport::captureOptions(), true, false,
                          interactive);
        renderer.release();
        return pumpUntil([&] { return !exporter().isRendering(); });
    };
    ASSERT_TRUE(renderOne("film.mov", true));
    EXPECT_EQ(read(folder / "out" / "film.wav"), "an older recording");
    const auto wav = WAV::decode(Files::readAll(folder / "out" / "film 2.wav"));
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->sampleRate, 48000);
    ASSERT_EQ(wav->channels.size(), 2u);
    EXPECT_GE(wav->channels[0].size(), 24000u);

    // A failed movie: an alert with the writer's words when interactive, a log line otherwise, and
    // the WAV written for it is gone again.
    renderer.fail("disk full");
    ASSERT_TRUE(renderOne("film.mov", true));
    ASSERT_EQ(dialogs.alerts.size(), 1u);
    EXPECT_EQ(dialogs.alerts[0], (Dialogs::Alert{"Movie export failed", "movie writer: disk full"}));
    ASSERT_TRUE(renderOne("other.mov", false));
    EXPECT_EQ(log, std::vector<std::string>{"movie export failed: movie writer: disk full"});
    EXPECT_FALSE(fs::exists(folder / "out" / "film 3.wav"));
    EXPECT_FALSE(fs::exists(folder / "out" / "other.wav"));
    EXPECT_EQ(dialogs.reveals.size(), 1u);

    // A cancelled movie keeps its WAV.
    renderer.fail(std::nullopt);
    const std::size_t before = renderer.count();
    exporter().render(*state, takeOf(0.5, false), folder / "out" / "kept.mov", MovieExport::captureOptions(), true,
                      false, true);
    ASSERT_TRUE(renderer.waitForCalls(before + 1));
    exporter().cancel();
    renderer.release();
    ASSERT_TRUE(pumpUntil([&] { return !exporter().isRendering(); }));
    EXPECT_TRUE(fs::exists(folder / "out" / "kept.wav"));
    EXPECT_FALSE(fs::exists(folder / "out" / "kept.mov"));

    // A WAV that cannot be written means no movie.
    const std::size_t calls = renderer.count();
    exporter().render(*state, takeOf(0.5, false), folder / "missing" / "x.mov", MovieExport::captureOptions(), true,
                      false, true);
    ASSERT_TRUE(pumpUntil([&] { return !exporter().isRendering(); }));
    EXPECT_EQ(renderer.count(), calls);
    ASSERT_EQ(dialogs.alerts.size(), 2u);
    EXPECT_EQ(dialogs.alerts[1].message, "Movie export failed");
    EXPECT_EQ(dialogs.alerts[1].informative, (folder / "missing" / "x.wav").string() + ": No such file or directory");
}

} // namespace
} // namespace veltrane::test
