#include "Takes/TakeMovie.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "../Support/MovieProbe.h"
#include "../Support/OrdinaryUser.h"
#include "FractalRender/FractalRenderer.h"
#include "Platform/Dsp/Pcm.h"
#include "Platform/Resources/Resources.h"
#include "Synth/KernelParams.h"
#include "Takes/TakeRenderer.h"

namespace veltrane {
namespace {
namespace fs = std::filesystem;
using TakeRenderer::Codec;
using TakeRenderer::Options;

constexpr double kRate = 48000;

// A take that sounds: the default sound as frame-0 seeds, the drone from the start and a key half
// way; the view zooms into a Julia set, so the audio-reactive offset shows in the picture.
Take soundingTake(std::int64_t length)
{
    std::vector<Take::Event> events;
    const auto values = KernelParams::values(AudioParams{}, Waveform::sine, Waveform::triangle);
    for (int i = 0; i < int(values.size()); ++i)
        events.push_back({0, VK_EVENT_PARAM_NO_RAMP, i, 0, values[size_t(i)], 0, 0});
    events.push_back({0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});
    events.push_back({length / 2, VK_EVENT_KEY_ON, 0, 1, 660, 0, 1});
    auto view = [](std::int64_t frame, const char* x, double zoom) {
        Take::View v;
        v.frame = frame;
        v.type = FractalType::julia;
        v.x = x;
        v.y = "0.1";
        v.zoom = zoom;
        v.juliaC = {-0.7, 0.27015};
        v.palette = Palette::aurora;
        v.maxIterations = 200;
        v.bloom = 0.5;
        v.grain = 0;
        return v;
    };
    return Take(kRate, "", length, std::move(events), {}, {view(0, "0", 1), view(length, "0.2", 3)}, {});
}

Options small(Codec codec, int samples = 2)
{
    Options o;
    o.width = 320;
    o.height = 180;
    o.fps = 30;
    o.codec = codec;
    o.samples = samples;
    return o;
}

bool keepGoing(double) { return true; }

// The still of a movie's first frame, drawn alone: the take's first view, with the audio-reactive
// inputs of no sound yet.
Image firstStill(const Take& take, const Options& o)
{
    FractalRenderer renderer(GpuDevice::systemDefault());
    auto [view, post] = TakeRenderer::view(0, take);
    post.autoQuality = false;
    Analyser analyser;
    const AudioVisuals visuals = TakeRenderer::frameVisuals(analyser.update({}, kRate, 1 / o.fps), 0, view.zoom);
    return renderer.renderStill(view, o.width, o.height, post, visuals, 0, int(o.samplesPerPixel()));
}

class TakeMovieTest : public testing::Test {
protected:
    static void SetUpTestSuite() { Resources::setRoot(fs::path(VELTRANE_SOURCE_DIR) / "resources"); }
    void SetUp() override
    {
        folder = fs::path(testing::TempDir()) / ("take-movie-test-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    size_t entries() const { return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator{})); }
    std::string content(const fs::path& file) const
    {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path folder;
};

TEST(TakeMovieOptions, DefaultsAndDerivedFigures)
{
    const Options defaults;
    EXPECT_EQ(defaults.width, 3840);
    EXPECT_EQ(defaults.height, 2160);
    EXPECT_EQ(defaults.fps, 60);
    EXPECT_EQ(defaults.codec, Codec::hevc);
    EXPECT_FALSE(defaults.samples);

    struct Case {
        int width, height;
        double fps;
        std::optional<std::int64_t> samples;
        std::int64_t bitRate, samplesPerPixel;
    };
    const Case cases[] = {
        {3840, 2160, 60, {}, 103'569'474, 4}, {1920, 1080, 30, {}, 21'772'800, 16},
        {1920, 1080, 60, {}, 36'617'338, 16}, {1920, 1080, 60, 0, 36'617'338, 1},
        {1920, 1080, 60, -3, 36'617'338, 1},  {2560, 1440, 60, {}, 56'376'081, 9},
        {320, 180, 30, {}, 1'481'451, 16},    {320, 180, 30, 5, 1'481'451, 5},
    };
    for (const Case& c : cases) {
        Options o;
        o.width = c.width;
        o.height = c.height;
        o.fps = c.fps;
        o.samples = c.samples;
        EXPECT_EQ(o.bitRate(), c.bitRate) << c.width << "x" << c.height << "@" << c.fps;
        EXPECT_EQ(o.samplesPerPixel(), c.samplesPerPixel) << c.width << "x" << c.height;
    }

    EXPECT_EQ(fromText<Codec>("prores"), Codec::prores);
    EXPECT_EQ(toText(Codec::hevc), "hevc");
    EXPECT_FALSE(fromText<Codec>("h264"));

    EXPECT_EQ(TakeRenderer::frameCount(soundingTake(100), 60), 1); // shorter than a frame: still one
    EXPECT_EQ(TakeRenderer::frameCount(soundingTake(0), 60), 1);
    EXPECT_EQ(TakeRenderer::frameCount(soundingTake(480000), 60), 600);
    EXPECT_EQ(TakeRenderer::frameCount(soundingTake(2500), 60), 3);
}

// Takes and options that give no movie fail clearly before any sound is rendered or file made.
TEST_F(TakeMovieTest, TakesAndOptionsThatGiveNoMovieAreRefusedClearly)
{
    auto take = [](double rate, std::int64_t length) {
        Take t = soundingTake(1000);
        t.sampleRate = rate;
        t.length = length;
        return t;
    };
    struct Case {
        Take take;
        double fps;
        int width;
        const char* message;
    };
    const Case cases[] = {
        {take(0, 1000), 60, 320, "movie writer: take sample rate 0 Hz is outside 8000 to 384000"},
        {take(NAN, 1000), 60, 320, "movie writer: take sample rate nan Hz is outside 8000 to 384000"},
        {take(48000, -1), 60, 320, "movie writer: take length of -1 frames is outside 0 to 86400 seconds"},
        {take(8000, 8000LL * 86401), 60, 320,
         "movie writer: take length of 691208000 frames is outside 0 to 86400 seconds"},
        {take(48000, 1000), 0, 320, "movie writer: frame rate 0 is outside 1 to 1000"},
        {take(48000, 1000), INFINITY, 320, "movie writer: frame rate inf is outside 1 to 1000"},
        {take(48000, 1000), 30, 0, "movie writer: movie size 0x180"},
    };
    for (const Case& c : cases) {
        Options o = small(Codec::hevc);
        o.fps = c.fps;
        o.width = c.width;
        try {
            TakeRenderer::render(c.take, folder / "x.mov", o, keepGoing);
            ADD_FAILURE() << "rendered: " << c.message;
        } catch (const TakeRenderer::Failure& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
    }
    EXPECT_EQ(entries(), 0u);
}

// Head-less: the loop's order of frames and sound, its progress and the overlay, through the null
// writer.
TEST_F(TakeMovieTest, FramesInOrderSoundAheadOfThePictureAndProgressAfterEachFrame)
{
    const Take take = soundingTake(24'000 + 77); // 15 frames at 30 fps
    auto log = std::make_shared<video::NullMovieLog>();
    auto open = [&](const fs::path&, const video::MovieFormat& f) { return video::openNullMovie(f, log); };
    std::vector<double> fractions;
    std::vector<TakeRenderer::OverlayFrame> overlays;
    Options o = small(Codec::hevc, 1);
    o.width = 32;
    o.height = 18;
    TakeRenderer::render(
        take, folder / "x.mov", o,
        [&](double f) {
            fractions.push_back(f);
            return true;
        },
        [&](const TakeRenderer::OverlayFrame& frame) {
            overlays.push_back(frame);
            return std::nullopt;
        },
        open);

    const std::int64_t count = 15, soundLength = std::int64_t(TakeRenderer::renderAudio(take).first.size());
    ASSERT_EQ(fractions.size(), size_t(count));
    for (std::int64_t i = 0; i < count; ++i) EXPECT_DOUBLE_EQ(fractions[size_t(i)], double(i + 1) / double(count));
    ASSERT_EQ(overlays.size(), size_t(count));
    EXPECT_EQ(overlays[3].frame, 4800);
    EXPECT_DOUBLE_EQ(overlays[3].time, 0.1);
    EXPECT_EQ(overlays[3].view, TakeRenderer::view(4800, take).first);
    EXPECT_EQ(overlays[3].waveform.size(), size_t(Analyser::size));
    EXPECT_EQ(overlays[3].spectrumDB.size(), size_t(Analyser::bins));

    std::int64_t nextFrame = 0, written = 0;
    for (const auto& call : log->calls) {
        using Kind = video::NullMovieLog::Call::Kind;
        if (call.kind == Kind::video) {
            // After frame i - 1 the sound reached two frames past it: 1600 (i + 1) sound frames.
            if (call.position > 0) {
                EXPECT_GE(written, std::min(soundLength, 1600 * (call.position + 1)));
            }
            EXPECT_EQ(call.position, nextFrame++);
        } else if (call.kind == Kind::audio) {
            EXPECT_EQ(call.position, written); // contiguous
            EXPECT_GT(call.count, 0);
            EXPECT_LE(call.count, 4800);
            written += call.count;
        } else {
            EXPECT_EQ(call.kind, Kind::finish);
            EXPECT_EQ(written, soundLength); // all of it before the end
        }
    }
    EXPECT_EQ(nextFrame, count);
    EXPECT_EQ(log->calls.back().kind, video::NullMovieLog::Call::Kind::finish);
}

TEST_F(TakeMovieTest, TheOverlayIsDrawnOverTheWholeFrameScaledToIt)
{
    auto log = std::make_shared<video::NullMovieLog>();
    log->keepFrames = true;
    auto open = [&](const fs::path&, const video::MovieFormat& f) { return video::openNullMovie(f, log); };
    Options o = small(Codec::prores, 1);
    o.width = 40;
    o.height = 20;
    const Take take = soundingTake(1000);
    // Half the size: the left half opaque white, the right half clear; premultiplied.
    Image overlay{20, 10, std::vector<uint8_t>(20 * 10 * 4, 0)};
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) std::fill_n(&overlay.bgrx[size_t(y * 20 + x) * 4], 4, uint8_t(255));
    TakeRenderer::render(
        take, folder / "x.mov", o, keepGoing, [&](const TakeRenderer::OverlayFrame&) { return overlay; }, open);
    ASSERT_EQ(log->frames.size(), 1u);

    const Image still = firstStill(take, o);
    const Image& frame = log->frames[0];
    for (int y : {0, 9, 19})
        for (int x : {0, 18, 22, 39}) {
            SCOPED_TRACE(testing::Message() << x << "," << y);
            const size_t at = size_t(y * 40 + x) * 4;
            if (x < 19) {
                EXPECT_EQ(frame.bgrx[at + 2], 255);
            } else if (x > 20) {
                for (int c = 0; c < 3; ++c) EXPECT_EQ(frame.bgrx[at + size_t(c)], still.bgrx[at + size_t(c)]);
            }
            EXPECT_EQ(frame.bgrx[at + 3], 255);
        }
}

struct EncodeCase {
    Codec codec;
    const char* codecName;
    const char* tag;
    double minimumPsnr;
};

TEST_F(TakeMovieTest, RealMoviesHoldTheTakesFramesSoundAndPictures)
{
    const Take take = soundingTake(std::int64_t(kRate) + 700);
    const auto [left, right] = TakeRenderer::renderAudio(take);
    // HEVC at this size's bit rate (1.5 Mbit/s) loses much of the fractal's fine detail; ProRes keeps it.
    const EncodeCase cases[] = {{Codec::hevc, "hevc", "hvc1", 25}, {Codec::prores, "prores", "ap4h", 40}};
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.codecName);
        const fs::path movie = folder / (std::string("take.") + c.codecName + ".mov");
        const Options o = small(c.codec);
        TakeRenderer::render(take, movie, o, keepGoing);

        const Json::Value probe = testsupport::probeMovie(movie);
        ASSERT_FALSE(probe.is_null());
        EXPECT_NE(probe["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
        const Json::Value v = testsupport::stream(probe, "video"), a = testsupport::stream(probe, "audio");
        EXPECT_EQ(v["codec_name"], c.codecName);
        EXPECT_EQ(v["codec_tag_string"], c.tag);
        EXPECT_EQ(v["profile"], c.codec == Codec::hevc ? "Main 10" : "4444");
        EXPECT_EQ(v["pix_fmt"], c.codec == Codec::hevc ? "yuv420p10le" : "yuva444p12le"); // ProRes decodes at 12
        EXPECT_EQ(v["nb_read_frames"], "30");                                             // floor(30 x 1.0146)
        EXPECT_EQ(a["codec_name"], "pcm_s24le");
        EXPECT_EQ(a["channels"], 2);
        EXPECT_EQ(a["sample_rate"], "48000");

        // The sound decodes back to the offline sound, within the rounding to 24 bits.
        const auto decoded = testsupport::decodeSound(movie);
        ASSERT_EQ(decoded.size(), left.size() * 2);
        double worst = 0;
        for (size_t i = 0; i < left.size(); ++i)
            for (int ch = 0; ch < 2; ++ch) {
                const float x = (ch == 0 ? left : right)[i];
                worst = std::max(worst, std::abs(double(decoded[i * 2 + size_t(ch)]) / 256.0 / 8388607.0 - double(x)));
            }
        EXPECT_LE(worst, 0.5 / 8388607.0 + 1e-12);
        EXPECT_GT(*std::max_element(left.begin(), left.end()), 0.01f); // there was something to hear

        // The first frame is the still of the take's first view.
        EXPECT_GE(testsupport::psnrAgainstBGRX(testsupport::decodeFrameRGB(movie), firstStill(take, o).bgrx),
                  c.minimumPsnr);
    }
    EXPECT_EQ(entries(), 2u);
}

TEST_F(TakeMovieTest, AFullHdMovieHasTheFrameCountOfItsLength)
{
    const Take take = soundingTake(2500); // 3.125 frames at 60 fps
    Options o;
    o.width = 1920;
    o.height = 1080;
    o.samples = 2; // two passes: quicker than refining a single sample to the end
    const fs::path movie = folder / "hd.mov";
    TakeRenderer::render(take, movie, o, keepGoing);
    const Json::Value v = testsupport::stream(testsupport::probeMovie(movie), "video");
    EXPECT_EQ(v["width"], 1920);
    EXPECT_EQ(v["height"], 1080);
    EXPECT_EQ(v["r_frame_rate"], "60/1");
    EXPECT_EQ(v["nb_read_frames"], "3");
}

TEST_F(TakeMovieTest, CancelledOrFailedMoviesLeaveTheDestinationAsItWas)
{
    const Take take = soundingTake(6'000); // 3 frames
    const fs::path fresh = folder / "fresh.mov", old = folder / "old.mov";
    std::ofstream(old) << "the movie from yesterday";

    int calls = 0;
    auto cancelAfterFirst = [&](double) { return ++calls < 1; };
    TakeRenderer::render(take, fresh, small(Codec::hevc), cancelAfterFirst); // no error
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(fresh));
    calls = 0;
    TakeRenderer::render(take, old, small(Codec::prores), cancelAfterFirst);
    EXPECT_EQ(content(old), "the movie from yesterday");

    // A failure on the way (here the overlay's) comes through unchanged and leaves nothing behind.
    int frames = 0;
    EXPECT_THROW(TakeRenderer::render(take, old, small(Codec::hevc), keepGoing,
                                      [&](const TakeRenderer::OverlayFrame&) -> std::optional<Image> {
                                          if (++frames == 3) throw std::runtime_error("the HUD is gone");
                                          return std::nullopt;
                                      }),
                 std::runtime_error);
    EXPECT_EQ(content(old), "the movie from yesterday");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(TakeMovieTest, AReadOnlyFolderGivesAWriterFailureNamingTheFile)
{
    const fs::path locked = testsupport::readOnlyFolder(folder, "locked");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (!testsupport::becomeOrdinaryUser()) std::_Exit(2);
            try {
                TakeRenderer::render(soundingTake(1000), locked / "x.mov", small(Codec::hevc, 1), keepGoing);
            } catch (const TakeRenderer::Failure& failure) {
                const std::string expected = "movie writer: " + (locked / "x.mov").string() + ": Permission denied";
                std::_Exit(failure.what() == expected ? 0 : 3);
            } catch (...) {
                std::_Exit(5);
            }
            std::_Exit(4); // the folder took the movie
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace veltrane
