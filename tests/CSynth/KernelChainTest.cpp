// The effect chain and the reverb inside the kernel: the reverb interface, taps through vk_set_tap and
// the bounded output of vk_render.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "CSynth/kernel.h"
#include "CSynth/state.h"
#include "../Support/KernelRender.h"

using namespace veltrane::testsupport;

namespace {

void push(vk_state* k, int type, int param = 0, float value = 0.0f, int id = 0, float value3 = 0.0f)
{
    const vk_event e{0, type, param, id, value, 0.0f, value3};
    ASSERT_EQ(vk_push_event(k, &e), 0);
}

TEST(KernelReverb, BuildIsTakenOnA2048SampleBoundaryAndResetTakesItAtOnce)
{
    Kernel k(vk_create(48000.0));
    ASSERT_TRUE(k);
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 2.5f);
    render(k.get(), 1000, 0);
    EXPECT_EQ(vk_reverb_build(k.get(), 4.0f), 0);
    EXPECT_EQ(vk_reverb_build(k.get(), 6.0f), 1);
    render(k.get(), 1047, 1000);
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 2.5f);
    render(k.get(), 1, 2047);
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 4.0f);

    EXPECT_EQ(vk_reverb_build(k.get(), 6.0f), 0);
    vk_reset(k.get());
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 6.0f);
    EXPECT_EQ(vk_reverb_build(nullptr, 1.0f), 1);
    EXPECT_EQ(vk_reverb_decay(nullptr), 0.0f);
}

// While the tap stops the chain before the reverb, the reverb is not ticked: a built set stays pending.
TEST(KernelReverb, TapBeforeTheReverbFreezesIt)
{
    Kernel k(vk_create(48000.0));
    vk_set_tap(k.get(), 9);
    ASSERT_EQ(vk_reverb_build(k.get(), 1.0f), 0);
    render(k.get(), 8192, 0);
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 2.5f);
    vk_set_tap(k.get(), 10);
    render(k.get(), 2048, 8192);
    EXPECT_FLOAT_EQ(vk_reverb_decay(k.get()), 1.0f);
}

// Each tap outputs a different point of the chain, and tap 1 gives the dry voices.
TEST(KernelTaps, EveryStageCanBeHeard)
{
    std::vector<std::vector<float>> outs;
    for (int tap = 0; tap <= 14; ++tap) {
        Kernel k(vk_create(48000.0));
        vk_set_tap(k.get(), tap);
        push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_PHASER_DEPTH, 0.5f);
        push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_PITCH_SHIFT, 3.0f);
        push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_FREQ_SHIFT, 20.0f);
        push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_BIT_CRUSH, 6.0f);
        push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_DISTORTION, 0.3f);
        push(k.get(), VK_EVENT_KEY_ON, 0, 330.0f, 1, 0.9f);
        outs.push_back(render(k.get(), 12000, 0));
    }
    EXPECT_EQ(outs[14], outs[0]); // taps above 13 act like 0
    for (int a = 1; a <= 13; ++a)
        for (int b = a + 1; b <= 13; ++b) EXPECT_NE(outs[a], outs[b]) << a << " " << b;
    EXPECT_NE(outs[0], outs[13]);
}

TEST(KernelOutput, StaysWithinOneAtExtremeSettings)
{
    Kernel k(vk_create(48000.0));
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_VOLUME, 50.0f);
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_FILTER_Q, 40.0f);
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_DELAY_FEEDBACK, 5.0f);
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_DELAY_WET, 1.0f);
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_REVERB_WET, 1.0f);
    push(k.get(), VK_EVENT_PARAM_NO_RAMP, VK_P_NOISE_LEVEL, 4.0f);
    push(k.get(), VK_EVENT_DRONE_ON);
    for (int id = 0; id < 32; ++id) push(k.get(), VK_EVENT_KEY_ON, 0, 100.0f + 37.0f * id, id, 1.0f);
    std::vector<float> right;
    float worst = 0.0f;
    for (int block = 0; block < 100; ++block) {
        const auto left = render(k.get(), 480, block * 480, &right);
        for (int i = 0; i < 480; ++i) worst = std::max({worst, std::fabs(left[i]), std::fabs(right[i])});
    }
    EXPECT_LE(worst, 1.0f);
    EXPECT_GT(worst, 0.5f);
}

} // namespace
