// Names and saves of recordings, takes and the WAV beside a movie, in a private temporary folder.
#include "../Support/ChildProcess.h"
#include "../Support/OrdinaryUser.h"
#include "Platform/Files/Files.h"
#include "VeltraneApp/RecordingFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <regex>

namespace veltrane::test {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Take smallTake(double zoom = 2)
{
    Take::View view;
    view.x = "-0.5";
    view.y = "0";
    view.zoom = zoom;
    return Take(48000, "2026-01-01T00:00:00Z", 4800, {{0, 4, 0, 1, 440, 0, 0.8f}}, {}, {view}, {});
}

class RecordingFilesTest : public testing::Test {
protected:
    RecordingFilesTest()
    {
        fs::remove_all(folder);
        fs::create_directories(folder / "tmp");
        tmp.set((folder / "tmp").string());
    }
    ~RecordingFilesTest() override { fs::remove_all(folder); }
    std::size_t entries(const fs::path& at) const
    {
        return std::size_t(std::distance(fs::directory_iterator(at), fs::directory_iterator{}));
    }

    fs::path folder = fs::path(testing::TempDir()) / ("recording-files-" + std::to_string(::getpid()));
    testsupport::ScopedVariable tmp{"TMPDIR"};
};

TEST_F(RecordingFilesTest, NamesFollowTheirPatterns)
{
    const fs::path temporary = RecordingFiles::temporaryRecording();
    EXPECT_EQ(temporary.parent_path(), folder / "tmp");
    EXPECT_TRUE(std::regex_match(
        temporary.filename().string(),
        std::regex("veltrane-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.wav")))
        << temporary;
    EXPECT_NE(temporary, RecordingFiles::temporaryRecording());

    testsupport::ScopedVariable zone("TZ", "UTC");
    ::tzset();
    std::tm moment{};
    moment.tm_year = 2026 - 1900;
    moment.tm_mon = 11;
    moment.tm_mday = 9;
    moment.tm_hour = 8;
    moment.tm_min = 17;
    moment.tm_sec = 41;
    const auto time = std::chrono::system_clock::from_time_t(::timegm(&moment)) + std::chrono::milliseconds(900);
    EXPECT_EQ(RecordingFiles::suggestedRecordingName(time), "veltrane-2026-12-09T08-17-41.wav");
    zone.set("Asia/Kolkata"); // local time, not UTC
    ::tzset();
    EXPECT_EQ(RecordingFiles::suggestedRecordingName(time), "veltrane-2026-12-09T13-47-41.wav");
    EXPECT_EQ(RecordingFiles::suggestedTakeName(), "veltrane-take.veltranetake");
    EXPECT_EQ(RecordingFiles::captureMovieName("ode-to-joy"), "veltrane-ode-to-joy");
}

TEST_F(RecordingFilesTest, ANameThePanelNeverShowedNeverReplacesAFile)
{
    std::ofstream(folder / "song.wav") << "old";
    std::ofstream(folder / "song 2.wav") << "older";
    struct Case {
        fs::path chosen;
        std::string extension;
        fs::path expected;
    };
    const Case cases[] = {
        {folder / "song.wav", "wav", folder / "song.wav"}, // chosen in the panel: replaced
        {folder / "SONG.WAV", "wav", folder / "SONG.WAV"}, // the extension in any case
        {folder / "song", "wav", folder / "song 3.wav"},   // extension added: the name is taken
        {folder / "tune", "wav", folder / "tune.wav"},     // extension added, free
        {folder / "song.wav", "mov", folder / "song.wav.mov"},
    };
    for (const Case& c : cases) EXPECT_EQ(RecordingFiles::destination(c.chosen, c.extension), c.expected) << c.chosen;

    EXPECT_EQ(RecordingFiles::createBeside(folder / "song.wav", bytesOf("new")), folder / "song 3.wav");
    EXPECT_EQ(RecordingFiles::createBeside(folder / "film.wav", bytesOf("film")), folder / "film.wav");
    EXPECT_EQ(read(folder / "song.wav"), "old");
    EXPECT_EQ(read(folder / "song 2.wav"), "older");
    EXPECT_EQ(read(folder / "song 3.wav"), "new");
    EXPECT_EQ(entries(folder), 5u); // tmp and four files: nothing half-written left
    EXPECT_THROW(RecordingFiles::createBeside(folder / "missing" / "x.wav", bytesOf("x")), Files::Error);
}

TEST_F(RecordingFilesTest, FailedSavesSayWhereTheDataWasKept)
{
    // A recording that cannot reach its place stays where it was, and the line says so.
    const fs::path recording = folder / "tmp" / "veltrane-REC.wav";
    std::ofstream(recording) << "sound";
    const auto failure = RecordingFiles::saveRecording(recording, folder / "missing" / "song.wav");
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, (folder / "missing" / "song.wav").string() + ": No such file or directory; it is kept at " +
                            recording.string());
    EXPECT_EQ(read(recording), "sound");
    EXPECT_FALSE(RecordingFiles::saveRecording(recording, folder / "song.wav"));
    EXPECT_EQ(read(folder / "song.wav"), "sound");
    EXPECT_FALSE(fs::exists(recording));

    // A take that cannot be written is kept in the temporary folder and can be read back from there.
    const Take take = smallTake();
    const auto takeFailure = RecordingFiles::saveTake(take, folder / "missing" / "t.veltranetake");
    ASSERT_TRUE(takeFailure);
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(*takeFailure, kept,
                                  std::regex("; it is kept at (.*veltrane-take-[0-9A-F-]+\\.veltranetake)$")))
        << *takeFailure;
    EXPECT_EQ(fs::path(kept[1].str()).parent_path(), folder / "tmp");
    EXPECT_EQ(Take::decode(read(kept[1].str())), take);
    EXPECT_FALSE(RecordingFiles::saveTake(take, folder / "t.veltranetake"));
    EXPECT_EQ(Take::decode(read(folder / "t.veltranetake")), take);

    // A take with no file form (a number JSON cannot hold) is reported and nothing is written.
    const std::size_t before = entries(folder / "tmp");
    const auto unencodable =
        RecordingFiles::saveTake(smallTake(std::numeric_limits<double>::infinity()), folder / "u.veltranetake");
    ASSERT_TRUE(unencodable);
    EXPECT_EQ(unencodable->find("kept"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "u.veltranetake"));
    EXPECT_EQ(entries(folder / "tmp"), before);
}

} // namespace
} // namespace veltrane::test
