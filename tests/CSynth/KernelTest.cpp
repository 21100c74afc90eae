// The kernel's interface: event ring, pending list, sample-accurate events, ramps, event faults,
// microphone and analysis rings, output channels.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "CSynth/kernel.h"
#include "CSynth/state.h"
#include "../Support/KernelRender.h"

using namespace veltrane::testsupport;

namespace {

constexpr double kRate = 48000.0;

Kernel makeKernel(double rate = kRate) { return Kernel(vk_create(rate)); }

vk_event event(int type, int64_t frame = 0, int param = 0, float value = 0, int id = 0, float value2 = 0,
               float value3 = 0)
{
    return vk_event{frame, type, param, id, value, value2, value3};
}

void push(vk_state* k, const vk_event& e) { ASSERT_EQ(vk_push_event(k, &e), 0); }

} // namespace

TEST(Kernel, CreateRejectsBadRates)
{
    // 1e12: buffers too long for the kernel's 32-bit indices (refused before anything is allocated).
    for (double rate : {1000.0, 0.0, -48000.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e12})
        EXPECT_EQ(vk_create(rate), nullptr) << rate;
    Kernel k = makeKernel(1000.5);
    EXPECT_NE(k, nullptr);
    vk_destroy(nullptr);
}

TEST(Kernel, MicrophoneRingIsHalfASecondRoundedUpToAPowerOfTwo)
{
    EXPECT_EQ(makeKernel(48000)->input->capacity(), 32768u);
    EXPECT_EQ(makeKernel(44100)->input->capacity(), 32768u);
    EXPECT_EQ(makeKernel(2048)->input->capacity(), 1024u);
    EXPECT_EQ(makeKernel(96000)->input->capacity(), 65536u);
}

TEST(Kernel, RingHolds4096EventsAndDropsThe4097th)
{
    Kernel k = makeKernel();
    const vk_event e = event(VK_EVENT_PARAM, 0, VK_P_VOLUME, 0.4f);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(vk_push_event(k.get(), &e), 0) << i;
    EXPECT_EQ(vk_push_event(k.get(), &e), 1);
    render(k.get(), 1, 0);
    EXPECT_EQ(vk_push_event(k.get(), &e), 0); // drained: room again
}

TEST(Kernel, FutureEventsFillThePendingListAndWaitInTheRing)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    for (int i = 0; i < 300; ++i) push(s, event(VK_EVENT_PARAM_NO_RAMP, 1000 + i, VK_P_FILTER_Q, (float)i));
    render(s, 1, 0);
    EXPECT_EQ(s->pendingCount, 256);
    EXPECT_EQ(s->pendingEarliest, 1000);
    EXPECT_EQ(s->events->pushedCount() - s->events->poppedCount(), 44u);

    // At frame 1000 the first pending event falls due and one ring event takes its place.
    render(s, 1000, 1);
    EXPECT_EQ(s->params[VK_P_FILTER_Q], 0.0f);
    EXPECT_EQ(s->pendingCount, 256);
    EXPECT_EQ(s->events->pushedCount() - s->events->poppedCount(), 43u);

    render(s, 400, 1001);
    EXPECT_EQ(s->params[VK_P_FILTER_Q], 299.0f);
    EXPECT_EQ(s->pendingCount, 0);
    EXPECT_EQ(s->pendingEarliest, INT64_MAX);
}

// The microphone at gain 1 makes the voice signal visible sample by sample (tap 1: voices).
TEST(Kernel, EventsApplyAtTheirSample)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    vk_set_tap(s, 1);
    std::vector<float> ones(512, 1.0f);
    vk_push_input(s, ones.data(), (int)ones.size());
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 1010, VK_P_MIC_GAIN, 1.0f));
    std::vector<float> out = render(s, 128, 1000);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(out[i], i < 10 ? 0.0f : 1.0f) << i;

    // Stamped in the past: applies at the first sample of the next render. Two events for one
    // parameter at one frame: the later in ring order wins.
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 3, VK_P_MIC_GAIN, 0.75f));
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 3, VK_P_MIC_GAIN, 0.25f));
    out = render(s, 4, 1128);
    EXPECT_EQ(out[0], 0.25f);
    EXPECT_EQ(vk_frames_rendered(s), 1132);
}

TEST(Kernel, FrequencyRampFollowsGlide)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    push(s, event(VK_EVENT_PARAM, 0, VK_P_FREQUENCY, 440.0f));
    render(s, 1, 0);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].count, 2880 - 1); // 0.06 s at 48 kHz, one sample advanced

    push(s, event(VK_EVENT_PARAM, 1, VK_P_GLIDE, 0.0f));
    push(s, event(VK_EVENT_PARAM, 1, VK_P_FREQUENCY, 220.0f));
    render(s, 1, 1);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].count, 240 - 1); // 0.005 s floor
    render(s, 239, 2);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].current, 220.0f);
}

TEST(Kernel, RampsByKind)
{
    struct Case {
        int kind;
        float from, to;
        float first;     // value after one sample
        float beforeEnd; // value one sample before the end
    };
    // 10 samples; exponential ramps cannot cross zero: they hold and then jump.
    const float r = std::pow(5e7f, -0.1f);
    const Case cases[] = {
        {VK_RAMP_LINEAR, 0, 10, 1, 9},
        {VK_RAMP_EXPONENTIAL, 5, -5, 5, 5},
        {VK_RAMP_EXPONENTIAL, 5, 0, 5 * r, 5 * std::pow(r, 9.0f)},
        {VK_RAMP_EXPONENTIAL, 0, 5, 1e-7f / r, 1e-7f / std::pow(r, 9.0f)},
        {VK_RAMP_NONE, 1, 2, 2, 2},
    };
    for (const Case& c : cases) {
        vk_ramp ramp;
        vk_ramp_init(&ramp, c.from, c.kind, 10.0f / 48000.0f);
        vk_ramp_start(&ramp, c.to, ramp.time, 48000.0);
        if (c.kind == VK_RAMP_EXPONENTIAL) {
            EXPECT_EQ(ramp.current, c.from == 0 ? 1e-7f : c.from);
        }
        vk_ramp_advance(&ramp);
        EXPECT_NEAR(ramp.current, c.first, std::fabs(c.first) * 1e-4) << c.kind << " " << c.from;
        for (int i = 0; i < 8; ++i) vk_ramp_advance(&ramp);
        EXPECT_NEAR(ramp.current, c.beforeEnd, std::fabs(c.beforeEnd) * 1e-4) << c.kind << " " << c.from;
        vk_ramp_advance(&ramp);
        EXPECT_EQ(ramp.current, c.to); // exactly the target
        vk_ramp_advance(&ramp);
        EXPECT_EQ(ramp.current, c.to);
    }
}

TEST(Kernel, NonFiniteParameterValuesAreIgnored)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    const float inf = std::numeric_limits<float>::infinity();
    for (int type : {VK_EVENT_PARAM, VK_EVENT_PARAM_NO_RAMP})
        for (float bad : {std::nanf(""), inf, -inf}) {
            push(s, event(type, 0, VK_P_FREQUENCY, bad));
            push(s, event(type, 0, VK_P_GLIDE, bad));
            push(s, event(type, 0, VK_P_WAVEFORM, bad));
        }
    push(s, event(VK_EVENT_PARAM, 0, 31, 1.0f));
    push(s, event(VK_EVENT_PARAM, 0, -1, 1.0f));
    render(s, 1, 0);
    EXPECT_EQ(s->params[VK_P_FREQUENCY], 220.0f);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].current, 220.0f);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].time, 0.06f);
    EXPECT_EQ(s->params[VK_P_WAVEFORM], 0.0f);
}

TEST(Kernel, OutOfRangeEventFieldsNeverReachTheVoices)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    const float inf = std::numeric_limits<float>::infinity();
    vk_set_tap(s, 1);
    push(s, event(VK_EVENT_PARAM, 0, VK_P_WAVEFORM, 3e38f));
    push(s, event(VK_EVENT_PARAM, 0, VK_P_STEP_WAVEFORM, -3e38f));
    push(s, event(VK_EVENT_PARAM, 0, VK_P_SYNTH_MODE, 1e30f));
    push(s, event(VK_EVENT_PARAM, 0, VK_P_NOISE_TYPE, -1e30f));
    push(s, event(VK_EVENT_PARAM, 0, VK_P_NOISE_LEVEL, 0.1f));
    push(s, event(VK_EVENT_PARAM, 0, VK_P_GLIDE, -1.0f)); // would make the orbit glide diverge
    push(s, event(VK_EVENT_DRONE_ON));
    push(s, event(VK_EVENT_KEY_ON, 0, 0, std::nanf(""), 1, 0, std::nanf("")));
    push(s, event(VK_EVENT_KEY_ON, 0, 0, inf, 2, 0, inf));
    push(s, event(VK_EVENT_KEY_ON, 0, 0, 440, 3, 0, -inf));
    push(s, event(VK_EVENT_STEP, 0, 0, std::nanf(""), 0, std::nanf(""), std::nanf("")));
    push(s, event(VK_EVENT_ORBIT_SLOT, 0, 0, 0, 2));
    push(s, event(VK_EVENT_ORBIT_SLOT, 0, 0, 0, -1));
    std::vector<float> right;
    std::vector<float> left = render(s, 4800, 0, &right);
    for (size_t i = 0; i < left.size(); ++i) ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << i;

    const vk_voices& v = s->voices;
    EXPECT_EQ(v.keys[0].frequency, 20.0f);
    EXPECT_EQ(v.keys[0].velocity, 0.8f); // NaN velocity counts as 0, which means the default
    EXPECT_EQ(v.keys[1].frequency, 4000.0f);
    EXPECT_EQ(v.keys[1].velocity, 0.8f);
    EXPECT_EQ(v.keys[2].velocity, 0.8f);
    EXPECT_EQ(v.stepFrequency, 20.0f);
    EXPECT_EQ(v.stepEnv.target, 0.0f); // NaN step velocity counts as 0
    EXPECT_EQ(v.glideCoefficient, 1.0f);
    EXPECT_EQ(vk_orbit_slot_in_use(s), -1);
}

// A take seeded with type-9 events must sound as the performance did: type 9 has every side
// effect of type 0 except the ramps.
TEST(Kernel, ParameterWithoutRampHasTheSideEffectsOfType0)
{
    for (int type : {VK_EVENT_PARAM, VK_EVENT_PARAM_NO_RAMP}) {
        Kernel k = makeKernel();
        vk_state* s = k.get();
        push(s, event(VK_EVENT_DRONE_ON));
        push(s, event(type, 10, VK_P_GLIDE, 0.2f));
        push(s, event(type, 10, VK_P_SYNTH_MODE, 1.0f));
        push(s, event(type, 10, VK_P_SUB_LEVEL, 0.8f));
        push(s, event(type, 10, VK_P_HARMONIC_RATIO, 3.0f));
        render(s, 11, 0);
        const vk_voices& v = s->voices;
        SCOPED_TRACE(type);
        EXPECT_EQ(s->ramps[VK_P_FREQUENCY].time, 0.2f);
        EXPECT_FLOAT_EQ(v.glideCoefficient, (float)(1 - std::exp(-1 / (kRate * 0.2 * 0.35))));
        EXPECT_EQ(v.mode, VK_MODE_FM);
        EXPECT_NE(v.fmEnv.stage, VK_ENV_IDLE);
        EXPECT_TRUE(v.subtractiveEnv.releasing);
        EXPECT_EQ(v.subLevel.target, 0.4f);
        EXPECT_EQ(v.amRatio.target, 3.0f);
        if (type == VK_EVENT_PARAM_NO_RAMP) {
            EXPECT_EQ(v.subLevel.current, 0.4f);
            EXPECT_EQ(v.amRatio.current, 3.0f);
        } else {
            EXPECT_LT(v.subLevel.current, 0.4f);
            EXPECT_LT(v.amRatio.current, 3.0f);
        }
    }
}

TEST(Kernel, OutputChannels)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    vk_set_tap(s, 1);
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_NOISE_LEVEL, 0.5f));
    std::vector<float> right;
    std::vector<float> left = render(s, 64, 0, &right);

    Kernel mono = makeKernel();
    vk_set_tap(mono.get(), 1);
    push(mono.get(), event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_NOISE_LEVEL, 0.5f));
    std::vector<float> m(64);
    float* one[1] = {m.data()};
    vk_render(mono.get(), one, 1, 64, 0);

    Kernel four = makeKernel();
    vk_set_tap(four.get(), 1);
    push(four.get(), event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_NOISE_LEVEL, 0.5f));
    std::vector<std::vector<float>> c(4, std::vector<float>(64, 7.0f));
    float* outs[4] = {c[0].data(), c[1].data(), c[2].data(), c[3].data()};
    vk_render(four.get(), outs, 4, 64, 0);
    vk_render(four.get(), outs, 0, 64, 64); // zero channels: nothing written, still rendered

    for (int i = 0; i < 64; ++i) {
        EXPECT_NE(left[i], right[i]); // independent noise generators
        EXPECT_EQ(m[i], (left[i] + right[i]) * 0.5f);
        EXPECT_EQ(c[0][i], left[i]);
        EXPECT_EQ(c[1][i], right[i]);
        EXPECT_EQ(c[2][i], 0.0f);
        EXPECT_EQ(c[3][i], 0.0f);
    }
    EXPECT_EQ(vk_frames_rendered(four.get()), 128);
}

TEST(Kernel, AnalysisRingKeepsTheNewest4096MonoSamples)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    vk_set_tap(s, 1);
    std::vector<float> ramp(5000);
    for (int i = 0; i < 5000; ++i) ramp[i] = (float)i / 8192.0f;
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_MIC_GAIN, 1.0f));
    vk_push_input(s, ramp.data(), 5000);
    render(s, 5000, 0);
    std::vector<float> got(10000, -5.0f);
    vk_read_analysis(s, got.data(), 10000);
    for (int j = 0; j < 4096; ++j) ASSERT_EQ(got[j], ramp[5000 - 4096 + j]) << j;
    EXPECT_EQ(got[4096], -5.0f);
    vk_read_analysis(s, got.data(), 3);
    EXPECT_EQ(got[0], ramp[4997]);
}

TEST(Kernel, MicrophoneRingDropsWhatDoesNotFit)
{
    Kernel k = makeKernel(2048); // ring of 1024
    vk_state* s = k.get();
    std::vector<float> block(1500, 1.0f);
    vk_push_input(s, block.data(), 1500);
    EXPECT_EQ(s->input->pushedCount(), 1024u);
    vk_push_input(s, block.data(), 0);
    vk_push_input(s, block.data(), -3);
    EXPECT_EQ(s->input->pushedCount(), 1024u);
    render(s, 100, 0);
    vk_push_input(s, block.data(), 1500);
    EXPECT_EQ(s->input->pushedCount(), 1124u);
}

TEST(Kernel, ResetReturnsToTheStartStateButKeepsTheTap)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    vk_set_tap(s, 5);
    push(s, event(VK_EVENT_PARAM, 0, VK_P_GLIDE, 0.5f));
    push(s, event(VK_EVENT_DRONE_ON));
    push(s, event(VK_EVENT_ORBIT_SLOT, 0, 0, 0, 1));
    push(s, event(VK_EVENT_PARAM, 999, VK_P_VOLUME, 0.1f));
    render(s, 10, 0);
    vk_reset(s);
    EXPECT_EQ(s->tap, 5);
    EXPECT_EQ(vk_frames_rendered(s), 0);
    EXPECT_EQ(vk_orbit_slot_in_use(s), -1);
    EXPECT_EQ(s->pendingCount, 0);
    EXPECT_EQ(s->params[VK_P_GLIDE], 0.06f);
    EXPECT_EQ(s->ramps[VK_P_FREQUENCY].time, 0.06f);
    EXPECT_FALSE(s->voices.droneOn);
    EXPECT_EQ(s->voices.subtractiveEnv.stage, VK_ENV_IDLE);
}

#if defined(__x86_64__)
#include <xmmintrin.h>

// Denormals are flushed while the kernel renders (a decaying tail would otherwise cost a hundred
// times more per operation), and the caller's floating-point mode is left as it was.
TEST(Kernel, RendersWithDenormalsFlushedAndRestoresTheMode)
{
    Kernel k = makeKernel();
    vk_state* s = k.get();
    vk_set_tap(s, 1);
    const float tiny = 1e-40f; // a denormal
    ASSERT_NE(tiny, 0.0f);
    std::vector<float> in(8, tiny);
    vk_push_input(s, in.data(), 8);
    push(s, event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_MIC_GAIN, 1.0f));
    const unsigned before = _mm_getcsr();
    const std::vector<float> out = render(s, 8, 0);
    EXPECT_EQ(_mm_getcsr(), before);
    for (float x : out) EXPECT_EQ(x, 0.0f);
}
#endif

// Finite but extreme settings (the vector is sent unclamped) must not turn the output into NaN.
TEST(Kernel, ExtremeFiniteSettingsKeepTheOutputFinite)
{
    for (int mode = 0; mode < 4; ++mode) {
        Kernel k = makeKernel();
        vk_state* s = k.get();
        std::vector<float> re(128, 0.5f), im(128, 0.25f);
        vk_write_orbit(s, 0, re.data(), im.data());
        push(s, event(VK_EVENT_ORBIT_SLOT, 0, 0, 0, 0));
        push(s, event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_SYNTH_MODE, (float)mode));
        push(s, event(VK_EVENT_PARAM_NO_RAMP, 0, VK_P_VOLUME, -3e38f));
        push(s, event(VK_EVENT_DRONE_ON));
        push(s, event(VK_EVENT_KEY_ON, 0, 0, 440, 1, 0, 3e38f));
        push(s, event(VK_EVENT_PARAM, 10, VK_P_FREQUENCY, 3e38f));
        push(s, event(VK_EVENT_PARAM, 10, VK_P_FM_MOD_INDEX, 3e38f));
        push(s, event(VK_EVENT_PARAM, 10, VK_P_HARMONIC_RATIO, -3e38f));
        push(s, event(VK_EVENT_PARAM, 10, VK_P_VOLUME, 3e38f));
        push(s, event(VK_EVENT_PARAM, 10, VK_P_NOISE_LEVEL, 3e38f));
        push(s, event(VK_EVENT_PARAM, 3000, VK_P_FREQUENCY, -3e38f));
        push(s, event(VK_EVENT_PARAM, 6000, VK_P_FREQUENCY, 220.0f));
        std::vector<float> right;
        const std::vector<float> left = render(s, 9600, 0, &right);
        for (size_t i = 0; i < left.size(); ++i)
            ASSERT_TRUE(std::isfinite(left[i]) && std::isfinite(right[i])) << mode << " " << i;
        EXPECT_TRUE(std::isfinite(s->voices.glideFrequency));
    }
}
