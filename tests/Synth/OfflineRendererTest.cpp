#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <vector>

#include "CSynth/state.h"
#include "Synth/OfflineRenderer.h"
#include "Synth/WAV.h"

using namespace veltrane;

namespace {

// Magnitude of the component at `hz`: one Hann-windowed DFT bin, evaluated directly.
double magnitudeAt(const std::vector<float>& x, double hz, double rate)
{
    double re = 0, im = 0;
    const double n = (double)x.size();
    for (size_t i = 0; i < x.size(); ++i) {
        const double w = 2 * M_PI * hz * (double)i / rate;
        const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * (double)i / n);
        re += hann * x[i] * std::cos(w);
        im -= hann * x[i] * std::sin(w);
    }
    return std::hypot(re, im) / (double)x.size();
}

} // namespace

TEST(OfflineRenderer, RendersInBlocksAndAdvancesItsClock)
{
    OfflineRenderer r(48000);
    const auto [left, right] = r.render(300, 128);
    EXPECT_EQ(left.size(), 300u);
    EXPECT_EQ(right.size(), 300u);
    EXPECT_EQ(r.frame(), 300);
    EXPECT_EQ(vk_frames_rendered(r.kernel()), 300); // last call: 44 frames from 256
    EXPECT_TRUE(r.render(0).first.empty());
    EXPECT_TRUE(r.render(-4).first.empty());
    EXPECT_THROW(r.render(10, 0), std::invalid_argument);
    EXPECT_EQ(r.frame(), 300);
    EXPECT_THROW(OfflineRenderer(500), std::runtime_error);
}

TEST(OfflineRenderer, EventsAreStampedWithItsClock)
{
    OfflineRenderer r(48000);
    r.render(1000);
    r.play();
    r.step(440, 0.1, 0.5, 1100);
    r.render(100);
    EXPECT_TRUE(r.kernel()->voices.droneOn);
    EXPECT_EQ(r.kernel()->voices.stepEnv.stage, VK_ENV_IDLE);
    r.render(1);
    EXPECT_NE(r.kernel()->voices.stepEnv.stage, VK_ENV_IDLE);
    EXPECT_EQ(r.kernel()->voices.stepReleaseFrame, 1100 + 4800);
    r.stopDrone(2000);
    r.render(1000);
    EXPECT_FALSE(r.kernel()->voices.droneOn);

    const std::vector<double> points = {0, 0, 0.5, 0.5, 0.2, -0.3};
    r.setOrbit(points, 1000, 1); // length past the points: only three are used
    r.render(1);
    EXPECT_EQ(vk_orbit_slot_in_use(r.kernel()), 1);
    EXPECT_NE(r.kernel()->voices.slotRe[1][2], 0.0f);
    EXPECT_EQ(r.kernel()->voices.slotRe[1][3], 0.0f);
}

// A drone, three key notes and the step voice, written as WAV: the image decodes to the rendered
// samples, and the spectrum holds the notes played. The file is kept in the build tree for listening.
TEST(OfflineRenderer, DroneKeysAndStepAsWAV)
{
    const double rate = 48000;
    OfflineRenderer r(rate);
    r.play(0);
    const float keys[3] = {261.63f, 329.63f, 392.0f};
    for (int k = 0; k < 3; ++k) r.push(vk_event{24000 + 6000 * k, VK_EVENT_KEY_ON, 0, k, keys[k], 0, 0.8f});
    for (int k = 0; k < 3; ++k) r.push(vk_event{72000, VK_EVENT_KEY_OFF, 0, k, 0, 0, 0});
    for (int s = 0; s < 8; ++s) r.step(523.25 * (s % 2 ? 1.5 : 1.0), 0.15, 0.9, 96000 + s * 6000);
    r.stopDrone(132000);
    const auto [left, right] = r.render(160000);

    float peak = 0;
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << i;
        peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    }
    EXPECT_GT(peak, 0.05f);
    EXPECT_LE(peak, 1.0f);

    const std::vector<uint8_t> image = WAV::encode({left, right}, (int)rate, 24);
    std::ofstream(VELTRANE_BINARY_DIR "/offline-drone-keys-step.wav", std::ios::binary)
        .write((const char*)image.data(), (std::streamsize)image.size());
    const auto decoded = WAV::decode(image);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->channels.size(), 2u);
    ASSERT_EQ(decoded->channels[0].size(), left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_NEAR(decoded->channels[0][i], left[i], 1.0 / 8388607) << i;
        ASSERT_NEAR(decoded->channels[1][i], right[i], 1.0 / 8388607) << i;
    }

    // 0.5 s of drone alone, then with the chord: each note stands well above the floor between.
    const std::vector<float> drone(left.begin() + 4800, left.begin() + 24000);
    const std::vector<float> chord(left.begin() + 48000, left.begin() + 67200);
    const double floorDrone = magnitudeAt(drone, 300.0, rate);
    EXPECT_GT(magnitudeAt(drone, 220.0, rate), 20 * floorDrone);
    EXPECT_GT(magnitudeAt(drone, 110.0, rate), 5 * floorDrone); // the sub an octave below
    for (float f : keys) EXPECT_GT(magnitudeAt(chord, f, rate), 10 * magnitudeAt(drone, f, rate)) << f;
    // After the drone's release only the effect tails (delay echoes, reverb) ring on, and they fade.
    auto rms = [&](size_t from, size_t to) {
        double sum = 0;
        for (size_t i = from; i < to; ++i) sum += (double)left[i] * left[i];
        return std::sqrt(sum / (double)(to - from));
    };
    const double late = rms(155000, 160000);
    EXPECT_LT(late, rms(140000, 145000));
    EXPECT_LT(late, 0.05 * peak);
}

// Each drone mode sounds at the drone's pitch: its fundamental stands far above a frequency
// between the harmonics. Each is written to the build tree for listening.
TEST(OfflineRenderer, EveryDroneModeSoundsItsPitch)
{
    const double rate = 48000;
    const char* names[] = {"subtractive", "fm", "am", "orbit"};
    for (int mode = 0; mode < 4; ++mode) {
        OfflineRenderer r(rate);
        std::vector<double> points;
        for (int i = 0; i < 48; ++i) {
            points.push_back(0.8 * std::cos(0.9 * i) * std::exp(-0.02 * i));
            points.push_back(0.8 * std::sin(0.9 * i));
        }
        r.setOrbit(points, 48, 0);
        r.push(vk_event{0, VK_EVENT_PARAM_NO_RAMP, VK_P_SYNTH_MODE, 0, (float)mode, 0, 0});
        r.push(vk_event{0, VK_EVENT_PARAM_NO_RAMP, VK_P_SUB_LEVEL, 0, 0.0f, 0, 0});
        r.play(0);
        const auto [left, right] = r.render(48000);
        float peak = 0;
        for (float x : left) {
            ASSERT_TRUE(std::isfinite(x)) << names[mode];
            peak = std::max(peak, std::fabs(x));
        }
        EXPECT_GT(peak, 0.02f) << names[mode];
        EXPECT_LE(peak, 1.0f) << names[mode];
        const std::vector<float> steady(left.begin() + 9600, left.end());
        EXPECT_GT(magnitudeAt(steady, 220.0, rate), 10 * magnitudeAt(steady, 330.0 + 55.0, rate)) << names[mode];
        const std::vector<uint8_t> image = WAV::encode({left, right}, (int)rate, 16);
        std::ofstream(std::string(VELTRANE_BINARY_DIR "/offline-drone-") + names[mode] + ".wav", std::ios::binary)
            .write((const char*)image.data(), (std::streamsize)image.size());
    }
}

// The reverb follows reverbDecay only past 0.05 s of difference (compared in double); a build that
// finds the previous one not yet taken renders 2048 frames so that it is, then builds again.
TEST(OfflineRenderer, ApplyRebuildsTheReverbPastAFiftiethOfASecond)
{
    OfflineRenderer r(48000);
    AudioParams p;
    p.reverbDecay = 2.5;
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0);
    ASSERT_EQ(vk_reverb_decay(r.kernel()), 2.5f);
    struct Case {
        double decay;
        float takenAfter2048;
    };
    // 2.5500001 is 0.0500001 away in double but only 0.04999995 in float.
    for (const Case& c : {Case{2.54, 2.5f}, Case{2.5500001, 2.5500001f}, Case{2.46, 2.46f}}) {
        p.reverbDecay = c.decay;
        r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0);
        EXPECT_EQ(r.frame() % 2048, 0) << c.decay; // no wait: the previous build was taken
        r.render(2048);
        EXPECT_EQ(vk_reverb_decay(r.kernel()), c.takenAfter2048) << c.decay;
    }

    p.reverbDecay = 3.0;
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0);
    const int64_t before = r.frame();
    p.reverbDecay = 4.0;
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0); // 3.0 still pending: busy
    EXPECT_EQ(r.frame(), before + 2048);
    EXPECT_EQ(vk_reverb_decay(r.kernel()), 3.0f);
    r.render(2048);
    EXPECT_EQ(vk_reverb_decay(r.kernel()), 4.0f);
}
