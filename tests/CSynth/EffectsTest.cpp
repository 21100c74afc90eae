#include "CSynth/effects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "CSynth/reverb.h"

namespace {

// The kernel's default parameter values.
vk_fx_params defaults()
{
    vk_fx_params p{};
    p.cutoff = 2000.0f;
    p.q = 2.0f;
    p.filterType = 0.0f;
    p.rolloff = 1.0f;
    p.lfoRate = 1.0f;
    p.distortion = 0.0f;
    p.bitCrushDepth = 16.0f;
    p.chorus = 0.3f;
    p.phaserRate = 0.5f;
    p.phaserDepth = 0.0f;
    p.pitchShift = 0.0f;
    p.freqShift = 0.0f;
    p.delayTime = 0.25f;
    p.delayFeedback = 0.3f;
    p.delayWet = 0.2f;
    p.reverbWet = 0.3f;
    p.stereoWidth = 0.7f;
    p.glue = 0.35f;
    p.volume = 0.5f;
    return p;
}

class Chain {
public:
    explicit Chain(double rate = 48000.0) : fx_(std::make_unique<vk_fx>())
    {
        std::memset(fx_.get(), 0, sizeof(vk_fx));
        EXPECT_NE(vk_fx_init(fx_.get(), rate), nullptr);
        fx_->reverb = vk_rv_create(rate, 3.0);
        vk_fx_reset(fx_.get());
    }
    ~Chain()
    {
        vk_rv_destroy(fx_->reverb);
        vk_fx_free(fx_.get());
    }
    vk_fx* operator->() { return fx_.get(); }
    vk_fx* get() { return fx_.get(); }

    void process(const vk_fx_params& p, float l, float r, float* ol, float* orr)
    {
        vk_fx_process(fx_.get(), &p, l, r, ol, orr);
    }
    // One stage alone over a mono signal fed to both sides; returns the left output.
    std::vector<float> stage(int tap, const vk_fx_params& p, const std::vector<float>& in)
    {
        std::vector<float> out(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            float l = in[i], r = in[i];
            vk_fx_stage(fx_.get(), tap, &p, &l, &r);
            out[i] = l;
        }
        return out;
    }

private:
    std::unique_ptr<vk_fx> fx_;
};

std::vector<float> sine(double hz, double rate, int n, float amp = 1.0f)
{
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) x[i] = amp * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / rate));
    return x;
}

// Amplitude of one frequency in x[from..], by correlation (a single DFT bin at an arbitrary frequency).
double amplitudeAt(const std::vector<float>& x, double hz, double rate, int from)
{
    std::complex<double> sum = 0.0;
    const int n = static_cast<int>(x.size()) - from;
    for (int i = 0; i < n; ++i)
        sum += static_cast<double>(x[from + i]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * (from + i) / rate);
    return 2.0 * std::abs(sum) / n;
}

TEST(EffectChain, DelayMemoryHasThePowerOfTwoLengths)
{
    Chain c;
    EXPECT_EQ(c->chorus.line[0].size, 1024);
    EXPECT_EQ(c->pitch.line[1].size, 16384);
    EXPECT_EQ(c->delay.line[0].size, 65536);
}

TEST(EffectChain, DelayReadOfOneIsTheNewestSampleAndInterpolates)
{
    Chain c;
    vk_delay_line* line = &c->chorus.line[0];
    for (float v : {1.0f, 2.0f, 4.0f}) vk_delay_write(line, v);
    EXPECT_EQ(vk_delay_read(line, 1.0f), 4.0f);
    EXPECT_EQ(vk_delay_read(line, 2.0f), 2.0f);
    EXPECT_FLOAT_EQ(vk_delay_read(line, 1.5f), 3.0f);
    EXPECT_EQ(vk_delay_read(line, 4.0f), 0.0f); // wraps to the zeroed end of the line
}

TEST(EffectChain, EqualPowerMixKeepsATraceOfWetAtZero)
{
    float dry, wet;
    vk_fx_mix_gains(0.0f, &dry, &wet);
    EXPECT_NEAR(wet, 0.001534668f, 1e-9);
    vk_fx_mix_gains(0.5f, &dry, &wet);
    EXPECT_FLOAT_EQ(dry * dry + wet * wet, 1.0f);
    EXPECT_FLOAT_EQ(dry, wet);
    vk_fx_mix_gains(3.0f, &dry, &wet);
    EXPECT_FLOAT_EQ(wet, 1.0f);
}

// Lowpass with "Q in decibels": the gain at the corner is 10^(Q/20); DC passes at unity.
TEST(Filter, LowpassHasUnityAtDcAndTheResonanceAtTheCorner)
{
    const double rate = 48000.0;
    auto p = defaults();
    p.cutoff = 1000.0f;
    p.lfoRate = 0.0f; // rests at 1.045 x cutoff
    for (int sections : {1, 3}) {
        p.rolloff = static_cast<float>(sections);
        Chain c(rate);
        const auto out = c.stage(2, p, sine(1045.0, rate, 48000));
        const double want = std::pow(std::pow(10.0, 2.0 * 0.05), sections);
        EXPECT_NEAR(amplitudeAt(out, 1045.0, rate, 24000), want, 2e-3 * want);
        Chain dc(rate);
        const auto flat = dc.stage(2, p, std::vector<float>(20000, 0.5f));
        EXPECT_NEAR(flat.back(), 0.5f, 1e-5);
    }
}

TEST(Filter, AtNyquistLowpassPassesAndHighpassSilences)
{
    const double rate = 32000.0; // the swept cutoff never falls below 16000 Hz with a 40 kHz cutoff
    auto p = defaults();
    p.cutoff = 40000.0f;
    const auto in = sine(3000.0, rate, 4000, 0.7f);
    Chain low(rate);
    EXPECT_EQ(low.stage(2, p, in), in);
    p.filterType = 1.0f;
    Chain high(rate);
    for (float v : high.stage(2, p, in)) ASSERT_EQ(v, 0.0f);
}

TEST(Filter, RolloffChangeClearsTheHistoryTypeChangeDoesNot)
{
    auto p = defaults();
    Chain c;
    c.stage(2, p, std::vector<float>(200, 0.8f));
    auto nonZero = [&] {
        for (auto& ch : c->filter.state)
            for (auto& s : ch)
                if (s[0] != 0.0 || s[1] != 0.0) return true;
        return false;
    };
    p.filterType = 3.0f;
    float l = 0.0f, r = 0.0f;
    vk_fx_stage(c.get(), 2, &p, &l, &r);
    EXPECT_TRUE(nonZero());
    p.rolloff = 2.0f;
    l = r = 0.0f;
    p.q = 0.0f; // notch with Q 0 is all zero: nothing new enters the state this frame
    vk_fx_stage(c.get(), 2, &p, &l, &r);
    EXPECT_EQ(c->filter.sections, 2);
    EXPECT_FALSE(nonZero());
}

TEST(Distortion, AmountZeroGivesAThirdOfTheClippedSignal)
{
    struct Case {
        float in, want;
    };
    for (const Case k : {Case{0.3f, 0.1f}, Case{-0.6f, -0.2f}, Case{2.0f, 1.0f / 3.0f}, Case{0.0005f, 0.0f}}) {
        Chain c;
        const auto out = c.stage(3, defaults(), std::vector<float>(200, k.in));
        EXPECT_NEAR(out.back(), k.want, 1e-6) << k.in;
    }
}

// The oversampler against a plain shift-register version of the same steps: input history H (newest
// first), two shaped values per input into G (u1 first), the half-band sums over both.
TEST(Distortion, MatchesAPlainShiftRegisterOversampler)
{
    auto p = defaults();
    p.distortion = 0.35f;
    Chain c;
    const float* coef = c->distortion.halfBand;
    std::vector<float> h(32, 0.0f), g(63, 0.0f);
    auto shape = [&](float u) {
        if (std::fabs(u) < 0.001f) return 0.0f;
        const float v = std::clamp(u, -1.0f, 1.0f);
        return ((p.distortion * 34.906586f + 1.0471976f) * v) / (p.distortion * 100.0f * std::fabs(v) + 3.14159265f);
    };
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> dist(-1.5f, 1.5f);
    for (int i = 0; i < 2000; ++i) {
        const float x = dist(rng);
        h.insert(h.begin(), x);
        h.pop_back();
        double u1 = 0.0;
        for (int j = 0; j < 16; ++j) u1 += coef[j] * (h[15 - j] + h[16 + j]);
        const float s1 = shape(static_cast<float>(2.0 * u1)), s0 = shape(h[16]);
        g.insert(g.begin(), {s1, s0});
        g.resize(63);
        double want = 0.5 * g[31];
        for (int j = 0; j < 16; ++j) want += coef[j] * (g[30 - 2 * j] + g[32 + 2 * j]);
        float l = x, r = -x;
        vk_fx_stage(c.get(), 3, &p, &l, &r);
        ASSERT_NEAR(l, want, 2e-6) << i;
        ASSERT_NEAR(r, -want, 2e-6) << i;
    }
}

TEST(Distortion, HalfBandCoefficientsSumToAQuarter)
{
    Chain c;
    float sum = 0.0f;
    for (float v : c->distortion.halfBand) sum += v;
    EXPECT_NEAR(sum, 0.25f, 1e-7);
    EXPECT_GT(c->distortion.halfBand[0], 0.0f);
    EXPECT_LT(c->distortion.halfBand[1], 0.0f); // alternating signs of the odd taps
}

TEST(Distortion, LargeAmountSaturatesTowardTheCurveLimit)
{
    auto p = defaults();
    p.distortion = 1.0f;
    Chain c;
    const auto out = c.stage(3, p, std::vector<float>(200, 0.5f));
    // (3 + K) v (pi / 9) / (pi + K |v|) with K = 100
    const double want = 103.0 * 0.5 * (std::numbers::pi / 9.0) / (std::numbers::pi + 50.0);
    EXPECT_NEAR(out.back(), want, 1e-5);
}

TEST(BitCrusher, QuantisesToTheRoundedDepth)
{
    struct Case {
        float depth, in, want;
    };
    const Case cases[] = {
        {1.0f, 0.4f, 0.0f},      {1.0f, 0.6f, 1.0f},      {1.0f, -0.7f, -1.0f},    {0.4f, 0.6f, 1.0f},
        {2.0f, 0.3f, 0.5f},      {2.5f, 0.3f, 0.25f},     {8.0f, 0.3f, 0.296875f}, {16.0f, 0.3f, 0.3f},
        {15.5f, 0.123f, 0.123f}, {40.0f, 0.123f, 0.123f},
    };
    Chain c;
    for (const auto& k : cases) {
        auto p = defaults();
        p.bitCrushDepth = k.depth;
        float l = k.in, r = -k.in;
        vk_fx_stage(c.get(), 4, &p, &l, &r);
        EXPECT_EQ(l, k.want) << k.depth << " " << k.in;
        EXPECT_EQ(r, -k.want == 0.0f ? 0.0f : -k.want) << k.depth << " " << k.in;
    }
}

TEST(Delay, EchoesAtTheDelayAndRepeatsEveryDelayPlus128)
{
    auto p = defaults();
    p.delayTime = 0.01f; // 480 samples
    p.delayFeedback = 0.5f;
    p.delayWet = 1.0f;
    Chain c;
    std::vector<float> in(3000, 0.0f);
    in[0] = 1.0f;
    const auto out = c.stage(9, p, in);
    EXPECT_NEAR(out[480], 1.0f, 1e-6);
    EXPECT_NEAR(out[480 + 608], 0.5f, 1e-6);
    EXPECT_NEAR(out[480 + 2 * 608], 0.25f, 1e-6);
    double elsewhere = 0.0;
    for (int i = 1; i < 3000; ++i)
        if (i != 480 && i != 1088 && i != 1696 && i != 2304 && i != 2912)
            elsewhere = std::max(elsewhere, std::fabs((double)out[i]));
    EXPECT_LT(elsewhere, 1e-6);
}

TEST(Delay, TimeAndFeedbackAreClamped)
{
    auto p = defaults();
    p.delayWet = 1.0f;
    std::vector<float> in(100000, 0.0f);
    in[0] = 1.0f;
    p.delayTime = 0.0f; // one sample
    Chain a;
    EXPECT_NEAR(a.stage(9, p, in)[1], 1.0f, 1e-6);
    p.delayTime = 5.0f;     // one second
    p.delayFeedback = 3.0f; // 0.95
    Chain b;
    const auto out = b.stage(9, p, in);
    EXPECT_NEAR(out[48000], 1.0f, 1e-6);
    EXPECT_NEAR(out[48000 + 48128], 0.95f, 1e-6);
}

TEST(Phaser, DepthAtOrBelowTheFloorIsBitExact)
{
    auto p = defaults();
    p.phaserDepth = 0.0001f;
    const auto in = sine(700.0, 48000.0, 2000);
    Chain c;
    EXPECT_EQ(c.stage(6, p, in), in);
    p.phaserDepth = 0.00011f;
    Chain d;
    EXPECT_NE(d.stage(6, p, in), in);
}

TEST(PitchShifter, ZeroFadesOutAndThenPassesUnchanged)
{
    auto p = defaults();
    p.pitchShift = 7.0f;
    Chain c;
    c.stage(7, p, sine(300.0, 48000.0, 4800));
    p.pitchShift = 0.4f; // rounds to 0
    const auto in = sine(300.0, 48000.0, 2000);
    const auto out = c.stage(7, p, in);
    EXPECT_NE(out[900], in[900]); // still fading during the first 20 ms
    for (int i = 960; i < 2000; ++i) ASSERT_EQ(out[i], in[i]) << i;
}

TEST(PitchShifter, TwelveSemitonesPlaysAnOctaveUp)
{
    auto p = defaults();
    p.pitchShift = 12.0f;
    const double rate = 48000.0;
    Chain c;
    const auto out = c.stage(7, p, sine(300.0, rate, 48000));
    EXPECT_GT(amplitudeAt(out, 600.0, rate, 4800), 5.0 * amplitudeAt(out, 300.0, rate, 4800));
}

TEST(FrequencyShifter, ShiftsUpWithTheImageSuppressed)
{
    auto p = defaults();
    const double rate = 48000.0;
    for (float shift : {150.0f, -150.0f}) {
        p.freqShift = shift;
        Chain c;
        const auto out = c.stage(8, p, sine(1000.0, rate, 24000));
        const double wanted = amplitudeAt(out, 1000.0 + shift, rate, 2000);
        const double image = amplitudeAt(out, 1000.0 - shift, rate, 2000);
        EXPECT_NEAR(wanted, 1.0, 0.02) << shift;
        EXPECT_LT(image, 0.01) << shift;
    }
}

TEST(Widener, Identities)
{
    struct Case {
        float width, wantL, wantR;
    };
    // left 0.5, right 0.25
    for (const Case k : {Case{0.5f, 0.5f, 0.25f}, Case{0.0f, 0.75f, 0.75f}, Case{1.0f, 0.25f, -0.25f},
                         Case{-2.0f, 0.75f, 0.75f}, Case{0.7f, 0.4f, 0.05f}, Case{4.0f, 0.25f, -0.25f}}) {
        auto p = defaults();
        p.stereoWidth = k.width;
        Chain c;
        float l = 0.5f, r = 0.25f;
        vk_fx_stage(c.get(), 11, &p, &l, &r);
        EXPECT_FLOAT_EQ(l, k.wantL) << k.width;
        EXPECT_FLOAT_EQ(r, k.wantR) << k.width;
    }
}

// With the tap at 3 only the filter and the distortion run: the crusher's successors keep their
// state (phases, delay positions, dynamics, reverb) exactly, and the output is the distorted signal.
TEST(Taps, LaterStagesFreezeAfterTheTap)
{
    auto p = defaults();
    p.phaserDepth = 0.5f;
    p.pitchShift = 5.0f;
    p.freqShift = 30.0f;
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    Chain c;
    float l, r;
    for (int i = 0; i < 5000; ++i) c.process(p, dist(rng), dist(rng), &l, &r);
    auto snapshot = std::make_unique<vk_fx>(*c.get());
    const float decay = vk_rv_active_decay(c->reverb);
    ASSERT_EQ(vk_rv_build(c->reverb, 1.0f), 0);

    c->tap = 3;
    for (int i = 0; i < 5000; ++i) c.process(p, dist(rng), dist(rng), &l, &r);
    EXPECT_EQ(c->chorus.phase, snapshot->chorus.phase);
    EXPECT_EQ(c->phaser.phase, snapshot->phaser.phase);
    EXPECT_EQ(0, std::memcmp(c->phaser.state, snapshot->phaser.state, sizeof c->phaser.state));
    EXPECT_EQ(c->pitch.grainPhase, snapshot->pitch.grainPhase);
    EXPECT_EQ(c->freqShift.phase, snapshot->freqShift.phase);
    EXPECT_EQ(c->chorus.line[0].write, snapshot->chorus.line[0].write);
    EXPECT_EQ(c->pitch.line[1].write, snapshot->pitch.line[1].write);
    EXPECT_EQ(c->delay.line[0].write, snapshot->delay.line[0].write);
    EXPECT_EQ(0, std::memcmp(&c->compressor, &snapshot->compressor, sizeof(vk_dynamics)));
    EXPECT_EQ(0, std::memcmp(&c->limiter, &snapshot->limiter, sizeof(vk_dynamics)));
    EXPECT_EQ(vk_rv_active_decay(c->reverb), decay); // not ticked: the pending set stays pending
    EXPECT_EQ(vk_rv_build(c->reverb, 2.0f), 1);
    EXPECT_NE(c->filter.sweepPhase, snapshot->filter.sweepPhase); // the filter and the distortion did run
    EXPECT_NE(c->distortion.inPos, snapshot->distortion.inPos);

    // Output at tap 3: the DC response through a fully open lowpass is a third of the input.
    Chain dc(32000.0);
    dc->tap = 3;
    auto open = defaults();
    open.cutoff = 40000.0f;
    for (int i = 0; i < 100; ++i) dc.process(open, 0.3f, -0.3f, &l, &r);
    EXPECT_NEAR(l, 0.1f, 1e-6);
    EXPECT_NEAR(r, -0.1f, 1e-6);
}

// Whatever goes in and however the stages are set, the output stays within [-1, 1].
TEST(Output, NeverExceedsMagnitudeOne)
{
    auto p = defaults();
    p.volume = 8.0f;
    p.distortion = 1.0f;
    p.delayFeedback = 0.95f;
    p.delayWet = 1.0f;
    p.reverbWet = 1.0f;
    p.q = 30.0f;
    p.stereoWidth = 1.0f;
    Chain c;
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> dist(-20.0f, 20.0f);
    float worst = 0.0f;
    for (int i = 0; i < 48000; ++i) {
        float l, r;
        const float x = (i / 4000) % 2 ? dist(rng) : 0.0f;
        c.process(p, x, i == 30000 ? NAN : -x, &l, &r);
        worst = std::max({worst, std::fabs(l), std::fabs(r)});
        ASSERT_FALSE(std::isnan(l) || std::isnan(r)) << i;
    }
    EXPECT_LE(worst, 1.0f);
}

// The compressor and the limiter each look ahead min(trunc(0.006 rate), 1023) frames: 576 in all at
// 48 kHz between the widener's output and the chain's output.
TEST(Output, LookAheadDelaysBy576FramesAt48k)
{
    auto p = defaults();
    p.chorus = 0.0f;
    p.delayWet = 0.0f;
    p.reverbWet = 0.0f;
    auto peakIndex = [&](int tap) {
        Chain c;
        c->tap = tap;
        float l, r;
        for (int i = 0; i < 48000; ++i) c.process(p, 0.0f, 0.0f, &l, &r); // detector settles
        int best = -1;
        float peak = 0.0f;
        for (int i = 0; i < 2000; ++i) {
            c.process(p, i == 0 ? 0.05f : 0.0f, 0.0f, &l, &r);
            if (std::fabs(l) > peak) {
                peak = std::fabs(l);
                best = i;
            }
        }
        return best;
    };
    EXPECT_EQ(peakIndex(0) - peakIndex(11), 576);
    EXPECT_EQ(peakIndex(12) - peakIndex(11), 288);
}

TEST(Compressor, GlueMovesThresholdAndRatioAndIsClamped)
{
    struct Case {
        float glue, threshold, ratio;
    };
    for (const Case k : {Case{0.0f, -6.0f, 1.5f}, Case{1.0f, -28.0f, 7.5f}, Case{0.35f, -13.7f, 3.6f},
                         Case{-1.0f, -6.0f, 1.5f}, Case{5.0f, -28.0f, 7.5f}}) {
        auto p = defaults();
        p.glue = k.glue;
        Chain c;
        float l = 0.0f, r = 0.0f;
        vk_fx_stage(c.get(), 12, &p, &l, &r);
        EXPECT_FLOAT_EQ(c->compressor.threshold, k.threshold) << k.glue;
        EXPECT_FLOAT_EQ(c->compressor.ratio, k.ratio) << k.glue;
    }
}

TEST(Compressor, LoudSignalIsReducedAndQuietOneIsNot)
{
    auto p = defaults();
    p.glue = 1.0f;
    auto level = [&](float amp) {
        Chain c;
        const auto out = c.stage(12, p, sine(200.0, 48000.0, 48000, amp));
        return amplitudeAt(out, 200.0, 48000.0, 24000) / amp;
    };
    const double quiet = level(0.01f);
    const double loud = level(0.9f);
    EXPECT_GT(quiet, 1.0); // make-up gain
    EXPECT_LT(loud, quiet * 0.5);
}

} // namespace
