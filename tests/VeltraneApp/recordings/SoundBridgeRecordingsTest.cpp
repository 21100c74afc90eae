// Recordings, takes, melody captures and movie exports of the sound bridge over the live engine on
// a private JACK dummy server (and without any audio device), with scripted panels, temporary XDG
// and temporary folders, and movies read back by ffprobe.
#include "../../Support/ChildProcess.h"
#include "../../Support/JackServer.h"
#include "../../Support/MovieProbe.h"
#include "../../Support/OrdinaryUser.h"
#include "../../Support/WaitFor.h"
#include "../StateFixture.h"
#include "Platform/Files/Files.h"
#include "Platform/Resources/Resources.h"
#include "Synth/WAV.h"
#include "VeltraneApp/SoundBridge.h"

#include <sys/stat.h>

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
    struct stat a{}, b{};
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
        std::ofstream(folder / "config" / "user-dirs.dirs") << "XDG_MUSIC_DIR=\"" << (folder / "music").string()
                                                            << "\"\n";
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
        return testsupport::waitFor([&] {
            main.pump();
            return done();
        }, seconds);
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
    EXPECT_TRUE(std::regex_match(panel.proposedName,
                                 std::regex(R"(veltrane-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.wav)")))
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

} // namespace
} // namespace veltrane::test
