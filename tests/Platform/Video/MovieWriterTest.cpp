#include "Platform/Video/MovieWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>

#include "../../Support/MovieProbe.h"
#include "../../Support/OrdinaryUser.h"
#include "Platform/Dsp/Pcm.h"

namespace veltrane::video {
namespace {
namespace fs = std::filesystem;
using testsupport::decodeFrameRGB;
using testsupport::probeMovie;
using testsupport::stream;

// Smooth ramps with a few flat patches of saturated colour, moving with the frame index: the matrix
// and range of the conversion show in the patches, the chroma filter in the ramps.
Image testFrame(int width, int height, int index)
{
    Image image{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.bgrx[(size_t(y) * size_t(width) + size_t(x)) * 4];
            int r = (x * 255) / width, g = (y * 255) / height, b = (128 + index * 8) % 256;
            const int patch = (x / 40 + y / 40 + index) % 5;
            if (patch == 0) r = 220, g = 40, b = 30;
            if (patch == 1) r = 30, g = 200, b = 60;
            p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r), p[3] = 255;
        }
    return image;
}

// Interleaved stereo: a sine on the left, a saw on the right that overshoots full scale (clipped).
std::vector<float> testSound(int frames, int sampleRate)
{
    std::vector<float> s(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        s[size_t(i) * 2] = float(0.5 * std::sin(2 * std::numbers::pi * 440.0 * i / sampleRate));
        s[size_t(i) * 2 + 1] = float(-1.25 + 2.5 * double(i % 100) / 99.0);
    }
    return s;
}

class MovieWriterTest : public testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::path(testing::TempDir()) / ("movie-writer-test-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    size_t entries() const { return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator{})); }

    // Writes `frames` frames and their sound the way the movie renderer does: sound in chunks,
    // kept ahead of the picture.
    void write(MovieWriter& writer, const MovieFormat& format, int frames, const std::vector<float>& sound)
    {
        const int64_t total = int64_t(sound.size() / 2);
        int64_t position = 0;
        for (int i = 0; i < frames; ++i) {
            writer.appendVideo(testFrame(format.width, format.height, i), i);
            const int64_t ahead = std::min<int64_t>(total, int64_t(format.sampleRate) * (i + 2) / format.frameRate);
            for (; position < ahead; position = std::min<int64_t>(ahead, position + 4800))
                writer.appendAudio(
                    {sound.data() + position * 2, size_t(std::min<int64_t>(ahead, position + 4800) - position) * 2},
                    position);
        }
        if (position < total) writer.appendAudio({sound.data() + position * 2, size_t(total - position) * 2}, position);
        writer.finish();
    }

    fs::path folder;
};

struct CodecCase {
    VideoCodec codec;
    const char* codecName;
    const char* tag;
    const char* profile;
    const char* pixelFormat;
    double minimumPsnr;
};

TEST_F(MovieWriterTest, MoviesCarryTheirCodecTagsFramesAndExactSound)
{
    const CodecCase cases[] = {
        {VideoCodec::hevcMain10, "hevc", "hvc1", "Main 10", "yuv420p10le", 30}, // 4:2:0 blurs the patch edges
        {VideoCodec::prores4444, "prores", "ap4h", "4444", "yuva444p12le", 40},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(c.codecName);
        const MovieFormat format{320, 180, 30, c.codec, 1'473'000, 48000};
        const fs::path movie = folder / "a movie.mov";
        const auto sound = testSound(48000 + 123, 48000); // not a whole number of frames or chunks
        write(*openMovie(movie, format), format, 31, sound);
        EXPECT_EQ(entries(), 1u); // nothing left beside it

        const Json::Value probe = probeMovie(movie);
        ASSERT_FALSE(probe.is_null());
        EXPECT_NE(probe["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
        const Json::Value v = stream(probe, "video"), a = stream(probe, "audio");
        EXPECT_EQ(v["codec_name"], c.codecName);
        EXPECT_EQ(v["codec_tag_string"], c.tag);
        EXPECT_EQ(v["profile"], c.profile);
        // ProRes is decoded at 12 bits whatever it was encoded from; HEVC's pixel format is its own.
        EXPECT_EQ(v["pix_fmt"], c.pixelFormat);
        EXPECT_EQ(v["width"], 320);
        EXPECT_EQ(v["height"], 180);
        EXPECT_EQ(v["r_frame_rate"], "30/1");
        EXPECT_EQ(v["nb_read_frames"], "31");
        EXPECT_EQ(v["color_primaries"], "bt709");
        EXPECT_EQ(v["color_transfer"], "bt709");
        EXPECT_EQ(v["color_space"], "bt709");
        EXPECT_EQ(v["color_range"], "tv");
        EXPECT_EQ(a["codec_name"], "pcm_s24le");
        EXPECT_EQ(a["channels"], 2);
        EXPECT_EQ(a["sample_rate"], "48000");
        EXPECT_EQ(a["bits_per_sample"], 24);

        // PCM is lossless: every sample comes back as the one rounding rule made it.
        const auto decoded = testsupport::decodeSound(movie);
        ASSERT_EQ(decoded.size(), sound.size());
        size_t wrong = 0;
        for (size_t i = 0; i < sound.size(); ++i)
            wrong += decoded[i] != int32_t(uint32_t(dsp::pcmInteger(sound[i], 24)) << 8);
        EXPECT_EQ(wrong, 0u);

        for (int index : {0, 30}) {
            const auto rgb = decodeFrameRGB(movie, index);
            const double psnr = testsupport::psnrAgainstBGRX(rgb, testFrame(320, 180, index).bgrx);
            EXPECT_GE(psnr, c.minimumPsnr) << "frame " << index;
            // Inside a flat patch the colour comes back as drawn: matrix, range and tags agree.
            if (index == 0 && rgb.size() == 320 * 180 * 3) {
                const uint8_t* centre = &rgb[(20 * 320 + 20) * 3];
                EXPECT_NEAR(centre[0], 220, 2);
                EXPECT_NEAR(centre[1], 40, 2);
                EXPECT_NEAR(centre[2], 30, 2);
            }
        }
        fs::remove(movie);
    }
}

TEST_F(MovieWriterTest, AnAbandonedOrFailedMovieLeavesTheDestinationAsItWas)
{
    const MovieFormat format{64, 36, 30, VideoCodec::hevcMain10, 200'000, 8000};
    const fs::path movie = folder / "take.mov";
    std::ofstream(movie) << "old movie";
    auto oldContent = [&] { return testsupport::runCommand("cat " + testsupport::quoted(movie)).bytes; };

    {
        auto writer = openMovie(movie, format);
        writer->appendVideo(testFrame(64, 36, 0), 0);
        writer->cancel();
    }
    {
        auto writer = openMovie(movie, format);
        writer->appendVideo(testFrame(64, 36, 0), 0);
    } // dropped unfinished
    EXPECT_EQ(oldContent(), "old movie");
    EXPECT_EQ(entries(), 1u);

    // Sound that steps back in time: the muxer refuses it on the writer's thread, and a later call
    // reports it.
    try {
        auto writer = openMovie(movie, format);
        const auto sound = testSound(800, 8000);
        writer->appendAudio(sound, 4000);
        writer->appendAudio(sound, 0);
        for (int i = 0; i < 3; ++i) writer->appendVideo(testFrame(64, 36, i), i);
        writer->finish();
        FAIL() << "the movie was completed";
    } catch (const VideoError& error) {
        EXPECT_TRUE(error.kind == VideoError::Kind::failed || error.kind == VideoError::Kind::finish);
        EXPECT_FALSE(error.detail.empty());
    }
    EXPECT_EQ(oldContent(), "old movie");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(MovieWriterTest, AFolderThatTakesNoFileFailsAtTheStartNamingTheFile)
{
    const fs::path locked = testsupport::readOnlyFolder(folder, "locked");
    EXPECT_EXIT(
        {
            if (!testsupport::becomeOrdinaryUser()) std::_Exit(2);
            try {
                openMovie(locked / "x.mov", MovieFormat{64, 36, 30, VideoCodec::prores4444, 0, 48000});
            } catch (const VideoError& error) {
                std::_Exit(error.kind == VideoError::Kind::start &&
                                   std::string(error.what()) == (locked / "x.mov").string() + ": Permission denied"
                               ? 0
                               : 3);
            }
            std::_Exit(4); // the folder took the file
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(MovieWriterTest, FormatsAndFramesOutsideTheRangesAreRefusedBeforeAnythingIsWritten)
{
    const MovieFormat good{64, 36, 30, VideoCodec::hevcMain10, 200'000, 48000};
    auto with = [&](auto change) {
        MovieFormat f = good;
        change(f);
        return f;
    };
    const MovieFormat bad[] = {
        with([](MovieFormat& f) { f.width = 0; }),     with([](MovieFormat& f) { f.height = -2; }),
        with([](MovieFormat& f) { f.frameRate = 0; }), with([](MovieFormat& f) { f.sampleRate = 0; }),
        with([](MovieFormat& f) { f.bitRate = 0; }),
    };
    for (const MovieFormat& f : bad) {
        EXPECT_THROW(openMovie(folder / "x.mov", f), std::invalid_argument);
        EXPECT_THROW(openNullMovie(f, nullptr), std::invalid_argument);
    }
    EXPECT_EQ(entries(), 0u);
    // An odd size is no 4:2:0 picture: the encoder refuses it.
    try {
        openMovie(folder / "x.mov", with([](MovieFormat& f) { f.width = 65; }));
        FAIL();
    } catch (const VideoError& error) {
        EXPECT_EQ(error.kind, VideoError::Kind::inputs);
    }
    EXPECT_EQ(entries(), 0u);

    auto log = std::make_shared<NullMovieLog>();
    auto writer = openNullMovie(good, log);
    EXPECT_THROW(writer->appendVideo(testFrame(32, 36, 0), 0), std::invalid_argument);
    writer->appendVideo(testFrame(64, 36, 0), 0);
    writer->appendAudio(std::vector<float>(20), 0);
    writer->finish();
    ASSERT_EQ(log->calls.size(), 3u);
    EXPECT_EQ(log->calls[1].kind, NullMovieLog::Call::Kind::audio);
    EXPECT_EQ(log->calls[1].count, 10);
    EXPECT_EQ(log->calls[2].kind, NullMovieLog::Call::Kind::finish);
}

} // namespace
} // namespace veltrane::video
