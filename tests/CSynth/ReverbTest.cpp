#include "CSynth/reverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr double kRate = 48000.0;

struct ReverbDeleter {
    void operator()(vk_reverb* rv) const { vk_rv_destroy(rv); }
};
using Reverb = std::unique_ptr<vk_reverb, ReverbDeleter>;

Reverb makeReverb(double maxSeconds = 10.01) { return Reverb(vk_rv_create(kRate, maxSeconds)); }

// Builds and hands the set over through a reset, so the next render starts with it.
void install(vk_reverb* rv, float decay)
{
    ASSERT_EQ(vk_rv_build(rv, decay), 0);
    vk_rv_reset(rv);
    ASSERT_EQ(vk_rv_active_decay(rv), std::min(std::max(decay, 0.1f), 10.0f));
}

void run(vk_reverb* rv, const std::vector<float>& l, const std::vector<float>& r, std::vector<float>& outL,
         std::vector<float>& outR)
{
    outL.resize(l.size());
    outR.resize(r.size());
    for (std::size_t i = 0; i < l.size(); ++i) vk_rv_tick(rv, l[i], r[i], &outL[i], &outR[i]);
}

// Direct linear convolution with the impulse response's taps from 128 on (taps below 128 are the
// one-block latency and lie in the predelay).
std::vector<double> directConvolution(const std::vector<float>& x, const float* ir, int length, std::size_t outLength)
{
    std::vector<double> y(outLength, 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] == 0.0f) continue;
        for (int m = 128; m < length && i + m < outLength; ++m) y[i + m] += static_cast<double>(x[i]) * ir[m];
    }
    return y;
}

double residualDb(const std::vector<float>& got, const std::vector<double>& want)
{
    double err = 0.0, ref = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        err += (got[i] - want[i]) * (got[i] - want[i]);
        ref += want[i] * want[i];
    }
    return 10.0 * std::log10(err / ref);
}

TEST(Reverb, CreatesWithTheDefaultDecayActive)
{
    auto rv = makeReverb();
    ASSERT_TRUE(rv);
    EXPECT_EQ(vk_rv_max_length(rv.get()), 480480);
    EXPECT_FLOAT_EQ(vk_rv_active_decay(rv.get()), 2.5f);
    int n = 0;
    ASSERT_NE(vk_rv_impulse(rv.get(), 0, &n), nullptr);
    EXPECT_EQ(n, static_cast<int>(kRate * 2.51));
    EXPECT_EQ(vk_rv_create(0.0, 1.0), nullptr);
}

struct ConvolutionCase {
    float decay;
    int burst; // frames of noise input (1: a single impulse)
    int frames;
};

class ReverbConvolution : public ::testing::TestWithParam<ConvolutionCase> {};

// The partitioned convolution (short and long partitions, the spread tail work, the output ring)
// must be the exact linear convolution with the generated response.
TEST_P(ReverbConvolution, MatchesDirectConvolutionWithTheImpulseResponse)
{
    const auto c = GetParam();
    auto rv = makeReverb();
    install(rv.get(), c.decay);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> l(c.frames, 0.0f), r(c.frames, 0.0f);
    for (int i = 0; i < c.burst; ++i) {
        l[i] = c.burst == 1 ? 1.0f : dist(rng);
        r[i] = c.burst == 1 ? -0.5f : dist(rng);
    }
    std::vector<float> outL, outR;
    run(rv.get(), l, r, outL, outR);
    int n = 0;
    const float* irL = vk_rv_impulse(rv.get(), 0, &n);
    const float* irR = vk_rv_impulse(rv.get(), 1, nullptr);
    EXPECT_LT(residualDb(outL, directConvolution(l, irL, n, c.frames)), -100.0);
    EXPECT_LT(residualDb(outR, directConvolution(r, irR, n, c.frames)), -100.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReverbConvolution,
                         ::testing::Values(ConvolutionCase{0.5f, 3000, 30000},  // noise burst, 11 long partitions
                                           ConvolutionCase{0.1f, 1, 6000},      // short partitions only
                                           ConvolutionCase{10.0f, 1, 480480})); // the whole maximum length

TEST(Reverb, FirstTenMillisecondsOfTheResponseAreSilent)
{
    auto rv = makeReverb();
    for (float decay : {0.1f, 2.5f, 10.0f}) {
        install(rv.get(), decay);
        int n = 0;
        const float* ir = vk_rv_impulse(rv.get(), 0, &n);
        for (int i = 0; i < 480; ++i) ASSERT_EQ(ir[i], 0.0f) << decay << " at " << i;
        EXPECT_NE(ir[480], 0.0f);
        std::vector<float> l(1000, 0.0f), out, outR;
        l[0] = 1.0f;
        run(rv.get(), l, l, out, outR);
        // Only the transforms' round-off may sound before 10 ms.
        float peak = 0.0f;
        for (float v : out) peak = std::max(peak, std::fabs(v));
        for (int i = 0; i < 480; ++i) ASSERT_LT(std::fabs(out[i]), peak * 1e-6f) << decay << " at " << i;
        EXPECT_GT(std::fabs(out[480]), peak * 1e-3f);
    }
}

TEST(Reverb, DecayIsClampedAndSetsTheLength)
{
    auto rv = makeReverb();
    struct Case {
        float decay, used;
        int length;
    };
    for (const Case c : {Case{0.05f, 0.1f, 5280}, Case{20.0f, 10.0f, 480480}, Case{1.0f, 1.0f, 48480}}) {
        install(rv.get(), c.decay);
        int n = 0;
        vk_rv_impulse(rv.get(), 1, &n);
        EXPECT_EQ(n, c.length) << c.decay;
        EXPECT_FLOAT_EQ(vk_rv_active_decay(rv.get()), c.used);
    }
}

// A built set is pending until the render side takes it at the next 2048-sample boundary; until then a
// second build is refused and the old decay is reported.
TEST(Reverb, BuildIsBusyAndDecayIsOldUntilTheSwap)
{
    auto rv = makeReverb();
    float l, r;
    for (int i = 0; i < 1000; ++i) vk_rv_tick(rv.get(), 0.0f, 0.0f, &l, &r);
    ASSERT_EQ(vk_rv_build(rv.get(), 1.0f), 0);
    EXPECT_EQ(vk_rv_build(rv.get(), 3.0f), 1);
    int tick = 1000;
    for (; tick < 2047; ++tick) {
        EXPECT_FLOAT_EQ(vk_rv_active_decay(rv.get()), 2.5f);
        vk_rv_tick(rv.get(), 0.0f, 0.0f, &l, &r);
    }
    vk_rv_tick(rv.get(), 0.0f, 0.0f, &l, &r); // completes the first 2048 samples
    EXPECT_FLOAT_EQ(vk_rv_active_decay(rv.get()), 1.0f);
    EXPECT_EQ(vk_rv_build(rv.get(), 3.0f), 0);
}

// The builder must never write the set the render thread reads: right after each swap, a new build
// goes to the other set and the active response stays bit-identical.
TEST(Reverb, BuildAfterASwapLeavesTheActiveResponseAlone)
{
    auto rv = makeReverb(2.0);
    float l, r;
    const float decays[] = {0.5f, 1.5f, 0.3f, 1.9f};
    for (float decay : decays) {
        ASSERT_EQ(vk_rv_build(rv.get(), decay), 0);
        while (vk_rv_active_decay(rv.get()) != decay) vk_rv_tick(rv.get(), 0.0f, 0.0f, &l, &r);
        int n = 0;
        const float* ir = vk_rv_impulse(rv.get(), 0, &n);
        const std::vector<float> before(ir, ir + n);
        ASSERT_EQ(vk_rv_build(rv.get(), decay == 0.5f ? 1.9f : 0.5f), 0);
        int after = 0;
        const float* again = vk_rv_impulse(rv.get(), 0, &after);
        ASSERT_EQ(again, ir);
        ASSERT_EQ(after, n);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), again)) << decay;
        vk_rv_reset(rv.get()); // take it, so the next loop starts with nothing pending
    }
}

TEST(Reverb, ResetClearsTheTail)
{
    auto rv = makeReverb();
    std::vector<float> noise(20000), out, outR;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (auto& v : noise) v = dist(rng);
    run(rv.get(), noise, noise, out, outR);
    vk_rv_reset(rv.get());
    std::vector<float> silence(10000, 0.0f);
    run(rv.get(), silence, silence, out, outR);
    for (float v : out) ASSERT_EQ(v, 0.0f);
}

} // namespace
