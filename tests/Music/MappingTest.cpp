#include "Music/Mapping.h"

#include "FractalCore/Entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace veltrane;

namespace {

constexpr double pi = std::numbers::pi;

// Every field the view does not drive set away from its default, to see that it is kept.
AudioParams userSound()
{
    AudioParams p = AudioParams::defaults();
    p.filterType = AudioParams::FilterType::bandpass;
    p.filterRolloff = AudioParams::Rolloff::db48;
    p.delayTime = 0.61;
    p.volume = 0.77;
    p.noiseType = AudioParams::NoiseType::pink;
    p.bitCrushDepth = 7.5;
    p.phaserRate = 2.25;
    p.pitchShift = 0.4;
    p.freqShift = -35;
    p.subLevel = 0.12;
    p.glide = 0.5;
    p.glue = 0.9;
    p.synthMode = AudioParams::SynthMode::fm;
    return p;
}

AudioParams map(double x, double y, double zoom, int iterations = 16, double rotation = 0, Scale scale = Scale::off)
{
    return Mapping::fractalToAudio(x, y, zoom, iterations, rotation, userSound(), FractalType::mandelbrot, scale, 0);
}

// Deep in the main cardioid all nine probes reach the cap: the entropy estimate is 0.
constexpr double calmX = -0.1;

} // namespace

TEST(Mapping, PositionToFrequency)
{
    const struct {
        double x;
        double hz;
    } cases[] = {{-2.5, 80}, {1, 880}, {-10, 80}, {5, 880}, {std::nan(""), 80}, {-0.75, 80 * std::sqrt(11.0)}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(Mapping::positionToFrequency(c.x, Scale::off, 0), c.hz) << c.x;
    EXPECT_DOUBLE_EQ(Mapping::positionToFrequency(1, Scale::chromatic, 0), 880);
    EXPECT_DOUBLE_EQ(Mapping::positionToFrequency(-2.5, Scale::major, 0),
                     440 * std::pow(2.0, (40 - 69) / 12.0)); // 39.25: E, not D#
}

TEST(Mapping, DepthDrivenFields)
{
    const struct {
        double zoom;
        double cutoff, q, decay, width;
    } cases[] = {
        {1, 260, 1, 6, 0.5},
        {0.1, 260, 1, 6, 0.5},
        {std::nan(""), 260, 1, 6, 0.5},
        {std::ldexp(1.0, 43), 9000, 10, 1.2, 0.95},
        {1e20, 9000, 10, 1.2, 0.95},
        {std::pow(2.0, 21.5), 260 * std::sqrt(9000.0 / 260), std::sqrt(10.0), 3.6, 0.725},
    };
    for (const auto& c : cases) {
        const AudioParams p = map(calmX, 0, c.zoom);
        EXPECT_NEAR(p.filterCutoff, c.cutoff, 1e-9 * c.cutoff) << c.zoom;
        EXPECT_NEAR(p.filterQ, c.q, 1e-12) << c.zoom;
        EXPECT_NEAR(p.reverbDecay, c.decay, 1e-12) << c.zoom;
        EXPECT_NEAR(p.stereoWidth, c.width, 1e-12) << c.zoom;
    }
    EXPECT_EQ(map(calmX, 0, 1).filterCutoff, 260);
    EXPECT_EQ(map(calmX, 0, 1).filterQ, 1);
}

TEST(Mapping, IterationsRotationAndPosition)
{
    const struct {
        int iterations;
        double distortion;
    } iterations[] = {{16, 0}, {1, 0}, {1032, 0.35}, {2048, 0.7}, {4096, 0.7}};
    for (const auto& c : iterations)
        EXPECT_NEAR(map(calmX, 0, 1000, c.iterations).distortionAmount, c.distortion, 1e-15) << c.iterations;

    const struct {
        double rotation;
        double lfo;
    } rotations[] = {{0, 0.1},      {-pi / 2, 6.025}, {3 * pi / 2, 6.025}, {pi, 4.05},
                     {2 * pi, 0.1}, {-4 * pi, 0.1},   {std::nan(""), 0.1}, {INFINITY, 0.1}};
    for (const auto& c : rotations)
        EXPECT_NEAR(map(calmX, 0, 1000, 16, c.rotation).lfoRate, c.lfo, 1e-12) << c.rotation;
    EXPECT_EQ(map(calmX, 0, 1000, 16, -pi / 2).lfoRate, map(calmX, 0, 1000, 16, 3 * pi / 2).lfoRate);

    EXPECT_DOUBLE_EQ(map(calmX, -1.25, 1000).harmonicRatio, 0.5);
    EXPECT_DOUBLE_EQ(map(calmX, 1.25, 1000).harmonicRatio, 8);
    EXPECT_DOUBLE_EQ(map(calmX, 0, 1000).harmonicRatio, 4.25);
    EXPECT_DOUBLE_EQ(map(calmX, std::nan(""), 1000).harmonicRatio, 0.5);
    EXPECT_DOUBLE_EQ(map(-0.75, 0, 1000, 16, 0, Scale::chromatic).frequency,
                     quantize(Scale::chromatic, 80 * std::sqrt(11.0), 0));
}

TEST(Mapping, ComplexityDrivenAndKeptFields)
{
    // A calm view: every complexity field at its low end.
    const AudioParams calm = map(calmX, 0, 1000);
    EXPECT_EQ(calm.reverbWet, 0.15);
    EXPECT_EQ(calm.delayFeedback, 0.1);
    EXPECT_EQ(calm.delayWet, 0);
    EXPECT_EQ(calm.fmModIndex, 0.5);
    EXPECT_EQ(calm.chorusAmount, 0.15);
    EXPECT_EQ(calm.noiseLevel, 0);
    EXPECT_EQ(calm.phaserDepth, 0);

    // A busy view on the set's edge, against the estimate itself.
    const double e = Entropy::estimate(-0.7436, 0.1318, 300, 500, FractalType::mandelbrot);
    ASSERT_GT(e, 0.05);
    const AudioParams busy = map(-0.7436, 0.1318, 300, 500);
    EXPECT_EQ(busy.reverbWet, 0.15 + (0.8 - 0.15) * e);
    EXPECT_EQ(busy.chorusAmount, 0.15 + (0.6 - 0.15) * e);
    EXPECT_EQ(busy.fmModIndex, 0.5 + 7.5 * e);
    EXPECT_EQ(busy.delayWet, 0.6 * e);

    for (const AudioParams& p : {calm, busy}) {
        AudioParams kept = userSound();
        kept.frequency = p.frequency;
        kept.harmonicRatio = p.harmonicRatio;
        kept.filterCutoff = p.filterCutoff;
        kept.filterQ = p.filterQ;
        kept.distortionAmount = p.distortionAmount;
        kept.reverbWet = p.reverbWet;
        kept.reverbDecay = p.reverbDecay;
        kept.delayFeedback = p.delayFeedback;
        kept.delayWet = p.delayWet;
        kept.lfoRate = p.lfoRate;
        kept.fmModIndex = p.fmModIndex;
        kept.chorusAmount = p.chorusAmount;
        kept.stereoWidth = p.stereoWidth;
        kept.noiseLevel = p.noiseLevel;
        kept.phaserDepth = p.phaserDepth;
        EXPECT_EQ(p, kept); // the thirteen other fields are the user's
    }
    // An absent type and julia probe as mandelbrot does.
    EXPECT_EQ(Mapping::fractalToAudio(-0.7436, 0.1318, 300, 500, 0, userSound(), std::nullopt, Scale::off, 0), busy);
    EXPECT_EQ(Mapping::fractalToAudio(-0.7436, 0.1318, 300, 500, 0, userSound(), FractalType::julia, Scale::off, 0),
              busy);
}

TEST(Mapping, DepthVariant)
{
    const auto deep = [](double x, double y, double zoom, Mapping::ViewPhase phase, double maxZoom = 1e30) {
        return Mapping::fractalToAudioDepth(x, y, zoom, 300, 1, userSound(), FractalType::mandelbrot, Scale::off, 0,
                                            maxZoom, phase);
    };

    // Up to zoom 1000: no bend, only the depth scale differs.
    for (double zoom : {1.0, 10.0, 1000.0}) {
        AudioParams expected =
            Mapping::fractalToAudio(-0.75, 0.3, zoom, 300, 1, userSound(), FractalType::mandelbrot, Scale::off, 0);
        const double d = std::log2(zoom) / std::log2(1e30);
        expected.filterCutoff = 260 * std::pow(9000.0 / 260, d);
        expected.filterQ = std::pow(10.0, d);
        expected.reverbDecay = 6 + (1.2 - 6) * d;
        expected.stereoWidth = 0.5 + (0.95 - 0.5) * d;
        EXPECT_EQ(deep(-0.75, 0.3, zoom, {0.25, 0.8}), expected) << zoom;
    }

    // At zoom 1e6 the bend is at full strength.
    const double f0 = 80 * std::pow(11.0, (-0.75 + 2.5) / 3.5);
    const double r0 = 0.5 + 7.5 * ((0.3 + 1.25) / 2.5);
    const struct {
        Mapping::ViewPhase phase;
        double frequency;
        double ratio;
    } cases[] = {
        {{0.5, 0.5}, f0 * std::sqrt(2.0), std::min(r0 * 2, 8.0)},
        {{0, 0}, f0 / std::sqrt(2.0), std::max(r0 / 2, 0.5)},
        {{3.25, -0.75}, f0, r0}, // whole turns do not matter; a quarter is the middle
        {{NAN, INFINITY}, f0 / std::sqrt(2.0), r0 / 2},
    };
    for (const auto& c : cases) {
        const AudioParams p = deep(-0.75, 0.3, 1e6, c.phase);
        EXPECT_DOUBLE_EQ(p.frequency, c.frequency) << c.phase.x;
        EXPECT_DOUBLE_EQ(p.harmonicRatio, c.ratio) << c.phase.x;
    }
    // The ratio is limited to [0.5, 8].
    EXPECT_EQ(deep(-0.75, 1.0, 1e6, {0.5, 0.5}).harmonicRatio, 8);
    EXPECT_EQ(deep(-0.75, -1.25, 1e6, {0.5, 0}).harmonicRatio, 0.5);
    // Halfway (zoom 10^4.5): half the bend.
    EXPECT_DOUBLE_EQ(deep(-0.75, 0.3, std::pow(10.0, 4.5), {0.5, 0.5}).frequency, f0 * std::pow(2.0, 0.25));
    // Quantised after bending.
    EXPECT_EQ(Mapping::fractalToAudioDepth(-0.75, 0.3, 1e6, 300, 1, userSound(), FractalType::mandelbrot,
                                           Scale::chromatic, 0, 1e30, {0.5, 0.5})
                  .frequency,
              quantize(Scale::chromatic, f0 * std::sqrt(2.0), 0));

    // A maxZoom of 1 or less is absorbed by the depth limits.
    for (double maxZoom : {1.0, 0.5, 0.0, -3.0, std::nan("")}) {
        const AudioParams p = deep(-0.75, 0.3, 50, {0, 0}, maxZoom);
        EXPECT_TRUE(p.filterQ >= 1 && p.filterQ <= 10) << maxZoom;
    }
}
