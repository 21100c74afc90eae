#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "Synth/Analyser.h"
#include "Synth/OfflineRenderer.h"

using namespace veltrane;

namespace {

constexpr double pi = std::numbers::pi;

std::vector<float> sine(double hz, double amp, int n, double rate)
{
    std::vector<float> x((size_t)n);
    for (int i = 0; i < n; ++i) x[(size_t)i] = (float)(amp * std::sin(2 * pi * hz * i / rate));
    return x;
}

} // namespace

TEST(Analyser, BandEdgesInBins)
{
    const auto at48 = Analyser::bandEdges(48000); // bass 0..5, mid 6..42, treble 43..341
    EXPECT_EQ(at48.bass, 6);
    EXPECT_EQ(at48.mid, 43);
    EXPECT_EQ(at48.treble, 342);
    // 16 kHz above Nyquist: the treble band ends at the last bin.
    EXPECT_EQ(Analyser::bandEdges(22050).treble, 512);
    EXPECT_EQ(Analyser::bandEdges(22050).mid, 93);
}

// The first call's spectrum is 0.4 x the packed magnitude / 2048, i.e. 0.4 x 2 |DFT| / 2048 of the
// Blackman-windowed samples (periodic window, denominator 1024): checked against a direct DFT.
TEST(Analyser, SpectrumAgainstDirectDft)
{
    constexpr double rate = 48000;
    std::vector<float> x = sine(937.5 * 1.37, 0.6, 1024, rate);
    for (int i = 0; i < 1024; ++i) x[(size_t)i] += (float)(0.2 * std::cos(2 * pi * 5000 * i / rate));
    Analyser a;
    const AnalysisFrame f = a.update(x, rate, 1.0 / 60);
    for (int k : {1, 5, 27, 28, 107, 300, 511}) {
        double re = 0, im = 0;
        for (int j = 0; j < 1024; ++j) {
            const double w = 0.42 - 0.5 * std::cos(2 * pi * j / 1024) + 0.08 * std::cos(4 * pi * j / 1024);
            const double v = (double)(float)(x[(size_t)j] * (float)w);
            re += v * std::cos(2 * pi * j * k / 1024);
            im -= v * std::sin(2 * pi * j * k / 1024);
        }
        // In amplitude: deep bins sit at the single-precision FFT's noise floor (about -150 dB here).
        const double expected = 0.4 * 2 * std::hypot(re, im) / 2048;
        EXPECT_NEAR(std::pow(10.0, a.spectrumDB()[(size_t)k] / 20.0), expected, 1e-4 * expected + 2e-7) << "bin " << k;
    }
    // 1284.4 Hz lies between bins 27 (1265.6 Hz) and 28; the louder neighbour wins.
    EXPECT_EQ(f.dominantFrequency, 27 * rate / 1024);
}

TEST(Analyser, SilenceDecays)
{
    constexpr double rate = 48000, dt = 1.0 / 60;
    Analyser a;
    const std::vector<float> loud = sine(220, 0.8, 1024, rate), silent(1024, 0.0f);
    AnalysisFrame f;
    for (int i = 0; i < 40; ++i) f = a.update(loud, rate, dt);
    ASSERT_GT(f.amplitude, 0.5);
    ASSERT_GT(f.bass, 0.1);

    const double before = f.amplitude;
    f = a.update(silent, rate, dt);
    EXPECT_NEAR(f.amplitude, before * std::exp(-dt / 0.3), 1e-12); // falling: the 0.3 s constant

    for (int i = 0; i < 400; ++i) f = a.update(silent, rate, dt);
    for (float db : a.spectrumDB()) ASSERT_EQ(db, -200.0f);
    EXPECT_EQ(f.dominantFrequency, rate / 1024); // every bin ties: bin 1 wins
    const AnalysisFrame next = a.update(silent, rate, dt);
    EXPECT_DOUBLE_EQ(next.bass, f.bass * 0.8); // bands fall by 20 % per call
    EXPECT_LT(next.bass, 1e-30);
    EXPECT_FALSE(next.transientDetected);
}

TEST(Analyser, TransientHoldsForThirtySevenCalls)
{
    constexpr double rate = 48000, dt = 1.0 / 60;
    Analyser a;
    const std::vector<float> loud = sine(440, 0.5, 1024, rate);
    EXPECT_FALSE(a.update(std::vector<float>(1024, 0.0f), rate, dt).transientDetected);
    AnalysisFrame f = a.update(loud, rate, dt); // raw jumps from 0 to tanh(4.5 x 0.354)
    EXPECT_TRUE(f.transientDetected);
    EXPECT_EQ(f.transientPulse, 1.0);
    for (int call = 1; call <= 37; ++call) {
        f = a.update(loud, rate, dt);
        ASSERT_TRUE(f.transientDetected) << "call " << call;
        ASSERT_EQ(f.transientPulse, 1.0);
    }
    f = a.update(loud, rate, dt);
    EXPECT_FALSE(f.transientDetected);
    EXPECT_DOUBLE_EQ(f.transientPulse, 0.94);
    f = a.update(loud, rate, dt);
    EXPECT_DOUBLE_EQ(f.transientPulse, 0.94 * 0.94);
}

TEST(Analyser, SamplesArePaddedOrCutToTheNewest1024)
{
    Analyser a;
    a.update(std::vector<float>(10, 0.25f), 48000, 0.01);
    EXPECT_EQ(a.waveform()[1013], 0.0f);
    EXPECT_EQ(a.waveform()[1014], 0.25f);
    EXPECT_EQ(a.waveform()[1023], 0.25f);

    std::vector<float> longer(3000);
    for (size_t i = 0; i < longer.size(); ++i) longer[i] = (float)i;
    a.update(longer, 48000, 0.01);
    EXPECT_EQ(a.waveform()[0], 1976.0f);
    EXPECT_EQ(a.waveform()[1023], 2999.0f);
}

// The kernel's analysis ring holds the mono mix of what was rendered; the analyser reads its newest
// 1024 samples, oldest first.
TEST(Analyser, ReadsTheKernelsNewestOutput)
{
    OfflineRenderer r(48000);
    r.apply(AudioParams::defaults(), Waveform::sawtooth, Waveform::sawtooth, 0);
    r.play();
    const auto [left, right] = r.render(3000);
    const AnalysisFrame f = r.analyser().update(r.kernel(), 48000, 0.01);
    for (size_t j = 0; j < 1024; ++j) ASSERT_EQ(r.analyser().waveform()[j], (left[1976 + j] + right[1976 + j]) * 0.5f);
    EXPECT_GT(f.amplitude, 0.0);
}
