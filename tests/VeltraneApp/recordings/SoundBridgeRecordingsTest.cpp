// Recordings, takes, melody captures and movie exports of the sound bridge over the live engine on
// a private JACK dummy server (and without any audio device), with scripted panels, temporary XDG
// and temporary folders, and movies read back by ffprobe.
#include "../../Support/ChildProcess.h"
#include "../../Support/JackServer.h"
#include "../../Support/MovieProbe.h"
#include "../../Support/OrdinaryUser.h"
#include "../../Support/WaitFor.h"
#include "../StateFixture.h"
#include "../../Music/MIDIBuilder.h"
#include "Platform/Files/Files.h"
#include "Platform/Resources/Resources.h"
#include "Synth/WAV.h"
#include "VeltraneApp/SoundBridge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <thread>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t entries(const fs::path& folder)
{
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}));
}

// A folder on another file system than `than` (a tmpfs at /dev/shm), or nothing.
std::optional<fs::path> otherFileSystem(const fs::path& than, const std::string& name)
{
    struct stat a {
    }, b{};
    if (::stat(than.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return std::nullopt;
    const fs::path folder = fs::path("/dev/shm") / name;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return std::nullopt;
    return folder;
}

class SoundBridgeRecordings : public StateFixture {
protected:
    SoundBridgeRecordings()
    {
        Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
        for (const char* sub : {"tmp", "music", "config", "data", "out"}) fs::create_directories(folder / sub);
        tmp.set((folder / "tmp").string());
        configHome.set((folder / "config").string());
        dataHome.set((folder / "data").string());
        std::ofstream(folder / "config" / "user-dirs.dirs")
            << "XDG_MUSIC_DIR=\"" << (folder / "music").string() << "\"\n";
    }
    ~SoundBridgeRecordings() override
    {
        if (bridge) {
            // A render thread posts to `main`: let it end before the queue goes.
            bridge->cancelMovie();
            pumpUntil([&] { return !bridge->movies().isRendering(); }, 120);
        }
        bridge.reset();
        if (other) fs::remove_all(*other);
    }

    // A bridge on the JACK dummy server (`withAudio`) or on no device at all.
    void makeBridge(bool withAudio)
    {
        if (withAudio) {
            const std::string why = server.start(48000, 256);
            ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;
        }
        SoundBridge::Setup setup;
        setup.audio.backend = withAudio ? AudioBackend::jack : AudioBackend::null;
        setup.midiBackend = MidiBackend::none;
        setup.mainQueue = &main;
        setup.clock = &clock;
        setup.dialogs = &dialogs;
        setup.defaultsFile = folder / "config" / "Veltrane" / "defaults.json";
        setup.log = [this](const std::string& line) { log.push_back(line); };
        bridge = std::make_unique<SoundBridge>(std::move(setup));
        bridge->start();
        if (!withAudio) bridge->engine().stop(); // the null device renders nothing: a silent engine
        bridge->wire(*state);
    }

    bool pumpUntil(const std::function<bool()>& done, double seconds = 30)
    {
        return testsupport::waitFor(
            [&] {
                main.pump();
                return done();
            },
            seconds);
    }

    // Frames the engine renders in `seconds` of the dummy server's time.
    void play(double seconds)
    {
        const std::int64_t until = bridge->engine().currentFrame() + std::int64_t(seconds * 48000);
        ASSERT_TRUE(testsupport::waitFor([&] { return bridge->engine().currentFrame() >= until; }, 30));
    }

    // A recording of about a quarter second of the drone, stopped: its panel is the last request.
    fs::path recordAndStop()
    {
        state->isPlaying.set(true);
        bridge->engine().play();
        bridge->toggleRecord(*state);
        EXPECT_TRUE(state->isRecording.get());
        EXPECT_TRUE(state->recordingStarted.get());
        const auto recording = bridge->engine().recordingURL();
        EXPECT_TRUE(recording);
        play(0.25);
        bridge->toggleRecord(*state);
        EXPECT_FALSE(state->isRecording.get());
        EXPECT_FALSE(state->recordingStarted.get());
        return recording.value_or(fs::path());
    }

    // A tune of the given notes, each `ticks` long at 480 ticks a beat and 120 beats a minute,
    // imported into the state's melody library.
    Melody shortTune(std::initializer_list<int> keys, std::uint32_t ticks)
    {
        TrackBuilder track;
        track.tempo(500000);
        for (int key : keys) track.on(0, key).off(ticks, key);
        track.end();
        const fs::path file = folder / "tune.mid";
        const Bytes bytes = smf(0, 480, {track});
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return library->importFile(file);
    }

    testsupport::ScopedVariable tmp{"TMPDIR"}, configHome{"XDG_CONFIG_HOME"}, dataHome{"XDG_DATA_HOME"};
    testsupport::JackServer server;
    MainQueue main{clock};
    Dialogs::ScriptedPresenter dialogs{main};
    std::vector<std::string> log;
    std::optional<fs::path> other;
    std::unique_ptr<SoundBridge> bridge;
};

TEST_F(SoundBridgeRecordings, ARecordingIsSavedOverAnOldFileAcrossFileSystemsOrKeptWhereItWas)
{
    makeBridge(true);
    ASSERT_EQ(bridge->engine().audio().backend(), AudioBackend::jack);

    // Nothing plays and no tone is locked: nothing happens.
    bridge->toggleRecord(*state);
    EXPECT_FALSE(state->isRecording.get());
    EXPECT_FALSE(bridge->engine().recordingURL());

    // Saved over an existing file: replaced, and nothing is left in the temporary folder.
    const fs::path song = folder / "music" / "song.wav";
    std::ofstream(song) << "an old song";
    dialogs.willSave(song);
    const fs::path first = recordAndStop();
    EXPECT_EQ(first.parent_path(), folder / "tmp");
    main.pump();
    const Dialogs::SavePanel& panel = dialogs.saveRequests.at(0);
    EXPECT_TRUE(std::regex_match(panel.proposedName, std::regex(R"(veltrane-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.wav)")))
        << panel.proposedName;
    EXPECT_EQ(panel.directory, folder / "music");
    EXPECT_EQ(panel.types.at(0).extensions, std::vector<std::string>{"wav"});
    const auto wav = WAV::decode(Files::readAll(song));
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->sampleRate, 48000);
    ASSERT_EQ(wav->channels.size(), 2u);
    EXPECT_GE(wav->channels[0].size(), 12000u);
    EXPECT_EQ(entries(folder / "tmp"), 0u);
    EXPECT_TRUE(log.empty());

    // Onto another file system (the temporary folder and the music folder often are).
    other = otherFileSystem(folder, "veltrane-recordings-" + std::to_string(::getpid()));
    if (other) {
        const std::string before = read(song);
        dialogs.willSave(*other / "song.wav");
        std::ofstream(*other / "song.wav") << "old";
        recordAndStop();
        main.pump();
        EXPECT_TRUE(WAV::decode(Files::readAll(*other / "song.wav")));
        EXPECT_EQ(entries(*other), 1u);
        EXPECT_EQ(entries(folder / "tmp"), 0u);
        EXPECT_TRUE(log.empty());
    } else {
        std::cout << "no second file system here: the copy across file systems is tested in FilesTest only\n";
    }

    // Cancelling the panel leaves nothing behind.
    recordAndStop();
    main.pump();
    EXPECT_EQ(entries(folder / "tmp"), 0u);
    EXPECT_TRUE(log.empty());

    // A place the recording cannot reach: the old file and the recording both stay, and the line
    // says where the recording is.
    std::ofstream(folder / "out" / "song.wav") << "old";
    dialogs.willSave(folder / "missing" / "song.wav");
    const fs::path kept = recordAndStop();
    main.pump();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "could not save recording: " + (folder / "missing" / "song.wav").string() +
                          ": No such file or directory; it is kept at " + kept.string());
    EXPECT_TRUE(WAV::decode(Files::readAll(kept)));
    log.clear();

    // An unwritable folder, with an old file in it. Root writes anywhere: the panel's answer is
    // taken in a child process of an ordinary user, after the bridge and its server are gone.
    const fs::path locked = testsupport::readOnlyFolder(folder / "out", "locked");
    std::ofstream(locked / "song.wav") << "old";
    dialogs.willSave(locked / "song.wav");
    const fs::path recording = recordAndStop();
    bridge.reset();
    server.stop();
    fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(folder / "tmp", fs::perms::all, fs::perm_options::add);
    fs::permissions(recording, fs::perms::others_read, fs::perm_options::add);
    const std::string expected = "could not save recording: " + (locked / "song.wav").string() +
                                 ": Permission denied; it is kept at " + recording.string();
    EXPECT_EXIT(
        {
            if (!testsupport::becomeOrdinaryUser()) std::_Exit(2);
            main.pump();
            std::_Exit(log == std::vector<std::string>{expected} ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(read(locked / "song.wav"), "old");
    EXPECT_TRUE(WAV::decode(Files::readAll(recording)));
}

TEST_F(SoundBridgeRecordings, ATakeIsRecordedSavedAndDecodedBack)
{
    makeBridge(true);
    bridge->engine().play();
    bridge->toggleTake(*state);
    ASSERT_TRUE(bridge->takes().isRecording());
    EXPECT_TRUE(state->takeStarted.get());
    bridge->engine().keyOn(7, 440, 0.8);
    play(0.2);
    bridge->engine().keyOff(7);
    play(0.3);
    dialogs.willSave(folder / "out" / "evening"); // the extension is added
    bridge->toggleTake(*state);
    EXPECT_FALSE(bridge->takes().isRecording());
    EXPECT_FALSE(state->takeStarted.get());
    main.pump();
    const Dialogs::SavePanel& panel = dialogs.saveRequests.at(0);
    EXPECT_EQ(panel.proposedName, "veltrane-take.veltranetake");
    const Take take = Take::decode(read(folder / "out" / "evening.veltranetake"));
    EXPECT_EQ(panel.message, "A " + std::to_string(std::lround(take.seconds())) +
                                 "-second take. Render it later with File \u2192 Export Take as Movie.");
    EXPECT_GE(take.length, 24000);
    EXPECT_EQ(take.sampleRate, 48000);
    int ons = 0, offs = 0;
    for (const Take::Event& e : take.events) {
        if (e.type == VK_EVENT_KEY_ON && e.id == 7 && e.value == 440.0f) ++ons;
        if (e.type == VK_EVENT_KEY_OFF && e.id == 7) ++offs;
    }
    EXPECT_EQ(ons, 1);
    EXPECT_EQ(offs, 1);
    EXPECT_TRUE(log.empty());

    // A take that cannot be written: a log line, and the take kept in the temporary folder.
    bridge->toggleTake(*state);
    play(0.1);
    dialogs.willSave(folder / "missing" / "t.veltranetake");
    bridge->toggleTake(*state);
    main.pump();
    ASSERT_EQ(log.size(), 1u);
    std::smatch kept;
    ASSERT_TRUE(std::regex_match(log[0], kept,
                                 std::regex("could not save take: .*/missing/t\\.veltranetake: No such file or "
                                            "directory; it is kept at (.*)")))
        << log[0];
    EXPECT_EQ(fs::path(kept[1].str()).parent_path(), folder / "tmp");
    EXPECT_GE(Take::decode(read(kept[1].str())).length, 4800);

    // Cancelled: the take is dropped, nothing is written.
    bridge->toggleTake(*state);
    bridge->toggleTake(*state);
    main.pump();
    EXPECT_EQ(entries(folder / "tmp"), 1u);
    EXPECT_EQ(log.size(), 1u);
}

// ffprobe's account of a movie: its size, codec, frame rate and frame count, and its sound.
struct MovieFacts {
    int width = 0, height = 0;
    std::string codec, frameRate, audioCodec;
    std::int64_t frames = 0;
    int sampleRate = 0;
};

MovieFacts probe(const fs::path& movie)
{
    const Json::Value p = testsupport::probeMovie(movie);
    const Json::Value video = testsupport::stream(p, "video"), audio = testsupport::stream(p, "audio");
    MovieFacts facts;
    if (!video.is_null()) {
        facts.width = video.value("width", 0);
        facts.height = video.value("height", 0);
        facts.codec = video.value("codec_name", "");
        facts.frameRate = video.value("avg_frame_rate", "");
        facts.frames = std::stoll(video.value("nb_read_frames", "0"));
    }
    if (!audio.is_null()) {
        facts.audioCodec = audio.value("codec_name", "");
        facts.sampleRate = std::stoi(audio.value("sample_rate", "0"));
    }
    return facts;
}

// A melody capture without any audio device: the engine's frame stands still, and the two-second
// tail is measured by the clock. The movie goes straight to the capture destination.
TEST_F(SoundBridgeRecordings, ACaptureOnASilentEngineEndsByTheClockAndMakesItsMovie)
{
    makeBridge(false);
    ASSERT_FALSE(bridge->engine().isRunning());
    bridge->toggleMelodyCapture(*state); // no locked tone: nothing
    EXPECT_FALSE(state->melodyCapture.get());
    state->toneLocked.set(true);
    state->movieProgress.set(0.5); // nor while a movie renders
    bridge->toggleMelodyCapture(*state);
    EXPECT_FALSE(state->melodyCapture.get() || bridge->takes().isRecording());
    state->movieProgress.set(std::nullopt);
    state->melodyID.set("twinkle");
    const fs::path destination = folder / "out" / "capture.mov";
    state->captureDestination.set(destination);
    std::ofstream(folder / "out" / "capture.wav") << "an older sound";

    bridge->toggleMelodyCapture(*state);
    ASSERT_TRUE(state->melodyCapture.get());
    EXPECT_TRUE(state->melodyPlaying.get());
    EXPECT_TRUE(bridge->takes().isRecording());
    bridge->toggleTake(*state); // during a capture: stops the melody, saves nothing
    EXPECT_FALSE(state->melodyPlaying.get());
    EXPECT_TRUE(bridge->takes().isRecording());

    // A melody that plays again during the tail abandons it; the tail starts over when it stops.
    bridge->runCapture(*state);
    clock.advance(1.5);
    state->melodyPlaying.set(true);
    bridge->runCapture(*state);
    state->melodyPlaying.set(false);
    const double stopped = clock.now();
    while (state->melodyCapture.get() && clock.now() < stopped + 10) {
        bridge->runCapture(*state);
        if (state->melodyCapture.get()) clock.advance(0.25);
    }
    EXPECT_FALSE(state->melodyCapture.get());
    EXPECT_DOUBLE_EQ(clock.now() - stopped, 2.0);
    EXPECT_FALSE(bridge->takes().isRecording());
    EXPECT_TRUE(dialogs.saveRequests.empty());

    // The movie: 1920 x 1080 HEVC at 60 fps, and a WAV beside it that keeps the old one. The silent
    // engine rendered nothing, so the take holds no time: one frame, and a WAV without samples.
    ASSERT_TRUE(pumpUntil([&] { return state->movieProgress.get().has_value(); }));
    ASSERT_TRUE(pumpUntil([&] { return !bridge->movies().isRendering(); }, 300));
    EXPECT_TRUE(log.empty()) << log.front();
    const MovieFacts facts = probe(destination);
    EXPECT_EQ(facts.width, 1920);
    EXPECT_EQ(facts.height, 1080);
    EXPECT_EQ(facts.codec, "hevc");
    EXPECT_EQ(facts.frameRate, "60/1");
    EXPECT_EQ(facts.frames, 1);
    EXPECT_EQ(read(folder / "out" / "capture.wav"), "an older sound");
    EXPECT_EQ(read(folder / "out" / "capture 2.wav").substr(0, 4), "RIFF");
    EXPECT_TRUE(dialogs.alerts.empty() && dialogs.reveals.empty());
}

// A melody capture of a short tune on the live engine, driven by the frame tick as the window
// drives it: the tune plays from its start, the tail lasts two seconds of audio frames after the
// first frame that finds the tune stopped, and the movie renders to the capture destination.
TEST_F(SoundBridgeRecordings, ATuneCaptureEndsTwoSecondsAfterTheTuneAndBecomesAMovie)
{
    makeBridge(true);
    const Melody tune = shortTune({72}, 120); // one sixteenth note
    state->melodyID.set(tune.id());
    const fs::path destination = folder / "out" / "capture.mov";
    state->captureDestination.set(destination);
    state->actions.get().togglePlay();
    state->actions.get().toggleLock();
    ASSERT_TRUE(state->toneLocked.get());
    state->actions.get().toggleMelodyCapture();
    ASSERT_TRUE(state->melodyCapture.get());
    const std::int64_t start = bridge->takes().startFrame();

    std::int64_t tuneEnded = -1, captureEnded = -1;
    const auto began = std::chrono::steady_clock::now();
    while (captureEnded < 0) {
        clock.set(5000.0 + std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        const std::int64_t frame = bridge->engine().currentFrame();
        bridge->frame(*state, clock.now());
        main.pump();
        if (tuneEnded < 0 && !state->melodyPlaying.get()) tuneEnded = frame;
        if (!state->melodyCapture.get()) captureEnded = frame;
        ASSERT_LT(frame - start, 20 * 48000) << "the capture did not end";
        std::this_thread::sleep_for(4ms);
    }
    // The tune starts half a second after the capture; its note sounds 0.9 of its eighth of a second.
    EXPECT_GE(tuneEnded - start, std::int64_t(0.6 * 48000));
    EXPECT_GE(captureEnded - tuneEnded, 96000);
    EXPECT_LT(captureEnded - tuneEnded, 96000 + 48000); // a frame tick or a few JACK periods late at most
    EXPECT_FALSE(bridge->takes().isRecording());

    // The movie needs no audio device: the JACK server goes now, so other tests waiting for one
    // need not wait for the render too.
    server.stop();
    ASSERT_TRUE(pumpUntil([&] { return !bridge->movies().isRendering(); }, 600));
    EXPECT_TRUE(log.empty()) << log.front();
    const MovieFacts facts = probe(destination);
    EXPECT_EQ(facts.width, 1920);
    EXPECT_EQ(facts.height, 1080);
    EXPECT_EQ(facts.codec, "hevc");
    EXPECT_EQ(facts.frameRate, "60/1");
    EXPECT_EQ(facts.audioCodec, "pcm_s24le");
    EXPECT_EQ(facts.sampleRate, 48000);
    // The take runs from the capture's start to the tail's end.
    EXPECT_NEAR(double(facts.frames) / 60, double(captureEnded - start) / 48000, 0.1);

    // The WAV beside it holds the tune: sound while it plays, next to nothing long after.
    const auto wav = WAV::decode(Files::readAll(folder / "out" / "capture.wav"));
    ASSERT_TRUE(wav);
    const auto& left = wav->channels.at(0);
    EXPECT_NEAR(double(left.size()) / 48000, double(facts.frames) / 60, 0.1);
    auto peak = [&](double from, double to) {
        float p = 0;
        for (std::size_t i = std::size_t(from * 48000); i < std::min(left.size(), std::size_t(to * 48000)); ++i)
            p = std::max(p, std::abs(left[i]));
        return p;
    };
    const double tuneAt = double(tuneEnded - start) / 48000;
    EXPECT_GT(peak(0.4, tuneAt), 0.01f);
    EXPECT_LT(peak(tuneAt + 1.5, tuneAt + 2), peak(0.4, tuneAt));
}

// A take started while a melody plays opens with the notes already sounding, at frame 0.
TEST_F(SoundBridgeRecordings, ATakeStartedDuringAMelodyOpensWithItsSoundingNotes)
{
    makeBridge(true);
    const Melody tune = shortTune({72}, 960 * 4); // one long note
    state->melodyID.set(tune.id());
    state->actions.get().togglePlay();
    state->actions.get().toggleLock();
    state->melodyPlaying.set(true);
    const auto began = std::chrono::steady_clock::now();
    auto tick = [&] {
        clock.set(5000.0 + std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        bridge->frame(*state, clock.now());
        main.pump();
        std::this_thread::sleep_for(4ms);
    };
    ASSERT_TRUE(testsupport::waitFor([&] {
        tick();
        return !state->melodyNotes.get().empty();
    }));
    dialogs.willSave(folder / "out" / "during.veltranetake");
    state->actions.get().toggleTake();
    for (int i = 0; i < 10; ++i) tick();
    state->actions.get().toggleTake();
    main.pump();
    const Take take = Take::decode(read(folder / "out" / "during.veltranetake"));
    const auto on = std::find_if(take.events.begin(), take.events.end(), [](const Take::Event& e) {
        return e.type == VK_EVENT_KEY_ON && e.id >= MelodyPlayer::firstID;
    });
    ASSERT_NE(on, take.events.end());
    EXPECT_EQ(on->frame, 0);
    EXPECT_GT(on->value, 0.0f);
    EXPECT_GT(on->value3, 0.0f);
}

// An export the user cancels while it renders leaves no movie (and no half-written file) and keeps
// the file that was at the destination; no alert, nothing revealed.
TEST_F(SoundBridgeRecordings, ACancelledExportLeavesNoMovieAndKeepsTheOldFile)
{
    makeBridge(false);
    Take::View view;
    view.x = "-0.5";
    view.y = "0";
    view.maxIterations = 200;
    const Take take(48000, "2026-01-01T00:00:00Z", 48000, {}, {}, {view}, {});
    std::ofstream(folder / "out" / "evening.veltranetake") << take.encoded();
    std::ofstream(folder / "out" / "film.mov") << "an older film";
    dialogs.willOpen({folder / "out" / "evening.veltranetake"});
    dialogs.willSave(folder / "out" / "film.mov");
    dialogs.willChoose({2, 0, 0}); // 1080p, no HUD, no WAV
    bridge->exportMovie(*state);
    // A render that fails ends with its alert at once, rather than after the wait.
    ASSERT_TRUE(pumpUntil(
        [&] { return state->movieProgress.get().value_or(0) > 0 || !dialogs.alerts.empty() || !log.empty(); }, 300));
    ASSERT_TRUE(dialogs.alerts.empty() && log.empty())
        << (dialogs.alerts.empty() ? log.front()
                                   : dialogs.alerts.front().message + " " + dialogs.alerts.front().informative);
    bridge->exportMovie(*state); // while it renders: nothing
    bridge->cancelMovie();
    ASSERT_TRUE(pumpUntil([&] { return !bridge->movies().isRendering(); }, 300));
    EXPECT_FALSE(state->movieProgress.get());
    EXPECT_EQ(dialogs.openRequests.size(), 1u);
    EXPECT_EQ(read(folder / "out" / "film.mov"), "an older film");
    EXPECT_EQ(entries(folder / "out"), 2u);
    EXPECT_TRUE(dialogs.alerts.empty() && dialogs.reveals.empty() && log.empty());
}

// Every failure the user sees from recordings, takes, movies and tone exports, with the text it
// gives: one log line with its prefix, or one alert with its title.
TEST_F(SoundBridgeRecordings, EveryFailureIsOneAlertOrOneLogLine)
{
    makeBridge(false);
    auto seen = [&] {
        main.pump();
        std::vector<std::string> out;
        for (const std::string& line : log) out.push_back("log: " + line);
        for (const Dialogs::Alert& a : dialogs.alerts) out.push_back("alert: " + a.message + " | " + a.informative);
        log.clear();
        dialogs.alerts.clear();
        return out;
    };
    using Lines = std::vector<std::string>;
    const fs::path missing = folder / "missing";
    state->isPlaying.set(true);

    // The temporary folder is gone: the engine cannot open the recording.
    tmp.set(missing.string());
    bridge->toggleRecord(*state);
    EXPECT_FALSE(state->isRecording.get());
    const Lines start = seen();
    ASSERT_EQ(start.size(), 1u);
    EXPECT_TRUE(start[0].starts_with("log: could not start recording: ")) << start[0];
    tmp.set((folder / "tmp").string());

    // The chosen place cannot take the recording.
    dialogs.willSave(missing / "a.wav");
    bridge->toggleRecord(*state);
    const fs::path recording = bridge->engine().recordingURL().value();
    bridge->toggleRecord(*state);
    EXPECT_EQ(seen(), Lines{"log: could not save recording: " + (missing / "a.wav").string() +
                            ": No such file or directory; it is kept at " + recording.string()});

    // The chosen place cannot take the take.
    dialogs.willSave(missing / "t.veltranetake");
    bridge->toggleTake(*state);
    bridge->toggleTake(*state);
    const Lines take = seen();
    ASSERT_EQ(take.size(), 1u);
    EXPECT_TRUE(take[0].starts_with("log: could not save take: " + (missing / "t.veltranetake").string() +
                                    ": No such file or directory; it is kept at " + (folder / "tmp").string()))
        << take[0];

    // A melody capture's movie cannot be written (its WAV first): a log line.
    state->toneLocked.set(true);
    state->captureDestination.set(missing / "capture.mov");
    bridge->toggleMelodyCapture(*state);
    bridge->toggleMelodyCapture(*state);
    while (state->melodyCapture.get()) {
        bridge->runCapture(*state);
        clock.advance(0.5);
    }
    ASSERT_TRUE(pumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ(seen(),
              Lines{"log: movie export failed: " + (missing / "capture.wav").string() + ": No such file or directory"});

    // An export the user asked for: an alert.
    std::ofstream(folder / "out" / "x.veltranetake") << Take(48000, "", 4800, {}, {}, {}, {}).encoded();
    dialogs.willOpen({folder / "out" / "x.veltranetake"});
    dialogs.willSave(missing / "x.mov");
    bridge->exportMovie(*state);
    ASSERT_TRUE(pumpUntil([&] { return !dialogs.alerts.empty(); }));
    EXPECT_EQ(seen(),
              Lines{"alert: Movie export failed | " + (missing / "x.wav").string() + ": No such file or directory"});

    // The locked-tone exports: a file that cannot be written, a rack without its template.
    state->lockedTone.set(LockedTone::locking(AudioParams::defaults(), "sine"));
    dialogs.willSave(missing / "tone.mid");
    SoundBridge::exportLockedTone(*state, SoundBridge::ToneExportFormat::midi, &dialogs);
    EXPECT_EQ(seen(), Lines{"alert: Could not save veltrane-A3.mid | No such file or directory"});
    Resources::setRoot(missing);
    SoundBridge::exportLockedTone(*state, SoundBridge::ToneExportFormat::ableton, &dialogs);
    Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources");
    EXPECT_EQ(seen(), Lines{"alert: Ableton export failed | The rack template is missing."});
}

} // namespace
} // namespace veltrane::test
