#include <gtest/gtest.h>

#include <cmath>

#include "CSynth/state.h"
#include "Synth/KernelParams.h"
#include "Synth/OfflineRenderer.h"

using namespace veltrane;

TEST(KernelParams, SendsEverythingFirstThenOnlyChangesGlideLast)
{
    KernelParams kp;
    for (float v : kp.last) EXPECT_TRUE(std::isnan(v));
    AudioParams p;
    auto first = kp.events(p, Waveform::sawtooth, Waveform::triangle, 0.0, 480);
    ASSERT_EQ(first.size(), 31u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(first[i].param, i < 25 ? i : i + 1);
    EXPECT_EQ(first[30].param, VK_P_GLIDE);
    for (const vk_event& e : first) {
        EXPECT_EQ(e.frame, 480);
        EXPECT_EQ(e.type, VK_EVENT_PARAM);
        EXPECT_EQ(e.id, 0);
        EXPECT_EQ(e.value2, 0.0f);
        EXPECT_EQ(e.value3, 0.0f);
        EXPECT_EQ(e.value, KernelParams::values(p, Waveform::sawtooth, Waveform::triangle)[e.param] + 0.0f);
    }
    EXPECT_TRUE(kp.events(p, Waveform::sawtooth, Waveform::triangle, 0.0, 500).empty());

    const auto mic = kp.events(p, Waveform::sawtooth, Waveform::triangle, 0.75, 600);
    ASSERT_EQ(mic.size(), 1u);
    EXPECT_EQ(mic[0].param, VK_P_MIC_GAIN);
    EXPECT_EQ(mic[0].value, 0.75f);

    p.frequency = 440;
    p.glide = 0.2;
    const auto two = kp.events(p, Waveform::pwm, Waveform::triangle, 0.75, 700);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ(two[0].param, VK_P_FREQUENCY);
    EXPECT_EQ(two[1].param, VK_P_WAVEFORM);
    EXPECT_EQ(two[1].value, 5.0f);
    EXPECT_EQ(two[2].param, VK_P_GLIDE);
}

TEST(KernelParams, EnumerationsAsCasePositions)
{
    AudioParams p;
    p.filterType = AudioParams::FilterType::notch;
    p.filterRolloff = AudioParams::Rolloff::db48;
    p.synthMode = AudioParams::SynthMode::orbit;
    p.noiseType = AudioParams::NoiseType::brown;
    const auto v = KernelParams::values(p, Waveform::square, Waveform::pulse);
    EXPECT_EQ(v[VK_P_FILTER_TYPE], 3.0f);
    EXPECT_EQ(v[VK_P_FILTER_ROLLOFF], 3.0f);
    EXPECT_EQ(v[VK_P_SYNTH_MODE], 3.0f);
    EXPECT_EQ(v[VK_P_NOISE_TYPE], 2.0f);
    EXPECT_EQ(v[VK_P_WAVEFORM], 2.0f);
    EXPECT_EQ(v[VK_P_STEP_WAVEFORM], 4.0f);
    EXPECT_EQ(v[VK_P_MIC_GAIN], 0.0f);
    p.filterRolloff = AudioParams::Rolloff::db12;
    EXPECT_EQ(KernelParams::values(p, Waveform::sawtooth, Waveform::sawtooth)[VK_P_FILTER_ROLLOFF], 1.0f);

    // Doubles beyond float's range arrive as infinities, which the kernel ignores.
    p.frequency = 1e300;
    EXPECT_TRUE(std::isinf(KernelParams::values(p, Waveform::sawtooth, Waveform::sawtooth)[0]));
}

TEST(KernelParams, MelodyNotesAsKernelEvents)
{
    MelodyPlayer::Event on;
    on.frame = 9600;
    on.kind = MelodyPlayer::Event::Kind::on;
    on.note = 69;
    on.velocity = 0.625;
    on.id = 1234;
    const vk_event e = kernelEvent(on);
    EXPECT_EQ(e.type, VK_EVENT_KEY_ON);
    EXPECT_EQ(e.frame, 9600);
    EXPECT_EQ(e.id, 1234);
    EXPECT_EQ(e.param, 0);
    EXPECT_EQ(e.value, 440.0f);
    EXPECT_EQ(e.value2, 0.0f);
    EXPECT_EQ(e.value3, 0.625f);

    MelodyPlayer::Event off = on;
    off.kind = MelodyPlayer::Event::Kind::off;
    const vk_event o = kernelEvent(off);
    EXPECT_EQ(o.type, VK_EVENT_KEY_OFF);
    EXPECT_EQ(o.id, 1234);
    EXPECT_EQ(o.value, 0.0f);
    EXPECT_EQ(o.value3, 0.0f);
}

TEST(OfflineRenderer, ApplySendsOnlyChanges)
{
    OfflineRenderer r(48000);
    AudioParams p;
    p.volume = 0.8;
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0);
    vk_state* k = r.kernel();
    EXPECT_EQ(k->events->pushedCount(), 31u);
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0);
    EXPECT_EQ(k->events->pushedCount(), 31u);
    r.render(1);
    EXPECT_EQ(k->params[VK_P_VOLUME], 0.8f);
    p.synthMode = AudioParams::SynthMode::fm;
    r.apply(p, Waveform::sawtooth, Waveform::triangle, 0.0, 5000);
    EXPECT_EQ(k->events->pushedCount(), 32u);
    EXPECT_EQ(k->events->at(31).frame, 5000);
    EXPECT_EQ(r.params().last[VK_P_SYNTH_MODE], 1.0f);
}
