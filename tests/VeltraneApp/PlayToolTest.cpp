// veltrane-play run as a program on a private JACK dummy server: its recording of a built-in tune,
// decoded by sox, has the tune's onsets at the tune's note times within one display frame.
#include "../Support/ChildProcess.h"
#include "../Support/JackServer.h"
#include "Onsets.h"

#include "Music/Melodies.h"
#include "Music/MelodyPlayer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

using namespace veltrane;
namespace fs = std::filesystem;

namespace {

const std::string player = VELTRANE_BINARY_DIR "/tools/play/veltrane-play";

struct Output {
    int status = -1;
    std::string output;
};

// Runs a shell command, its standard output and error captured together.
Output run(const std::string& command)
{
    Output result;
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class PlayTool : public testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::path(testing::TempDir()) / ("veltrane-play-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        // The player's melody library is an empty folder of its own, never the user's.
        data.set(folder.string());
    }
    void TearDown() override { fs::remove_all(folder); }

    fs::path folder;
    testsupport::ScopedVariable data{"XDG_DATA_HOME"};
};

} // namespace

TEST_F(PlayTool, RefusesWhatItCannotDo)
{
    const struct {
        const char* arguments;
        const char* says;
    } cases[]{
        {"--seconds 0", "--seconds"},
        {"--seconds nan", "--seconds"},
        {"--seconds", "needs a value"},
        {"--movement waltz", "unknown movement mode waltz"},
        {"--melody no-such-tune", "no melody with the id no-such-tune"},
        {"--fly", "give --melody too"},
        {"--views /nonexistent.json", "cannot read /nonexistent.json"},
        {"--views a.json --motion b.json", "not both"},
        {"--loud", "unknown argument --loud"},
    };
    for (const auto& c : cases) {
        const Output r = run(player + " " + c.arguments);
        EXPECT_EQ(r.status, 2) << c.arguments;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.arguments << ": " << r.output;
    }
}

TEST_F(PlayTool, RecordsATuneWhoseOnsetsFallOnItsNoteTimes)
{
    testsupport::JackServer server;
    const std::string why = server.start(48000, 256);
    ASSERT_TRUE(why.empty()) << "JACK server for the test: " << why;

    // Inside the main cardioid every point stays bounded: the view's sound is dry (no delay, little
    // reverb), so the notes stand apart in the spectrum.
    const fs::path views = folder / "views.json";
    std::ofstream(views) << R"({"views": [{"id": "calm", "centerX": -0.1, "centerY": 0, "zoom": 1000000}]})";
    const fs::path wav = folder / "out.wav";
    const std::string tune = "ode-to-joy";
    const Output played =
        run(player + " --seconds 10 --views " + views.string() + " --melody " + tune + " --record " + wav.string());
    ASSERT_EQ(played.status, 0) << played.output;
    std::smatch tonic;
    ASSERT_TRUE(std::regex_search(played.output, tonic, std::regex("MIDI note (\\d+)"))) << played.output;
    ASSERT_NE(played.output.find("audio: JACK"), std::string::npos) << played.output;

    const fs::path raw = folder / "out.f32";
    const Output decoded = run("sox " + wav.string() + " -t f32 -c 1 -r 48000 " + raw.string());
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    std::ifstream in(raw, std::ios::binary);
    std::vector<float> samples(fs::file_size(raw) / sizeof(float));
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
    // Ten seconds of the host clock; the dummy backend plays fewer frames when the machine is loaded.
    const double seconds = samples.size() / 48000.0;
    ASSERT_GT(seconds, 6);
    ASSERT_LT(seconds, 10.5);

    // The tune's notes, as the player schedules them on the locked tone, from beat 0 at frame 0.
    const Melody melody = *Melodies::melody(tune);
    MelodyPlayer schedule(melody, std::stoi(tonic[1]), std::nullopt, false, true, 0, 48000);
    struct Span {
        std::int64_t on = 0, off = 0;
        int note = 0;
    };
    std::map<std::int32_t, Span> notes;
    for (const MelodyPlayer::Event& e : schedule.schedule(48000 * 60)) {
        Span& span = notes[e.id];
        if (e.kind == MelodyPlayer::Event::Kind::on) {
            span.on = e.frame;
            span.note = e.note;
        } else {
            span.off = e.frame;
        }
    }
    // Onset times, leaving out a note whose pitch class already sounds in another note (a melody E4
    // over a held bass E3): the spectrum cannot tell its start. The last seconds are left out too.
    std::map<std::int64_t, bool> onsets; // frame -> some note there is new to the spectrum
    for (const auto& [id, span] : notes) {
        bool masked = false;
        for (const auto& [other, o] : notes)
            masked = masked || (other != id && o.on < span.on && o.off > span.on && o.note % 12 == span.note % 12);
        onsets[span.on] = onsets[span.on] || !masked;
    }
    std::vector<double> times, checked;
    for (const auto& [frame, visible] : onsets) {
        const double t = frame / 48000.0;
        if (t > seconds - 2.5) break;
        times.push_back(t);
        if (visible) checked.push_back(t);
    }
    ASSERT_GE(checked.size(), 6u);

    const test::OnsetCurve curve = test::onsetCurve(samples, 48000);
    const double shift = test::alignment(curve, times, 2.0);
    std::vector<double> late;
    for (double t : checked) late.push_back(test::onsetNear(curve, t + shift, 0.04) - t - shift);
    std::vector<double> sorted = late;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    for (std::size_t i = 0; i < checked.size(); ++i)
        EXPECT_LE(std::abs(late[i] - median), 1.0 / 120) << "the note at " << checked[i] << " s of the tune starts "
                                                         << 1000 * (late[i] - median) << " ms away from its time";
}
