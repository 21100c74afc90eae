// Voices: envelopes, unison banks, key-voice choice, noise, the orbit voice.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "CSynth/kernel.h"
#include "CSynth/state.h"
#include "CSynth/voices.h"

namespace {

constexpr float kRate = 48000.0f;

vk_envelope keyEnvelope()
{
    vk_envelope e;
    vk_env_init(&e, 0.01f, 0.1f, 0.8f, 0.3f, kRate);
    return e;
}

int ticksUntil(vk_envelope* e, int stage, int limit = 1000000)
{
    int n = 0;
    while (e->stage != stage && n < limit) {
        vk_env_tick(e);
        ++n;
    }
    return n;
}

} // namespace

TEST(Envelope, AttackDecaySustainReleaseTimes)
{
    vk_envelope e = keyEnvelope();
    vk_env_trigger(&e, 1.5f); // no upper clamp on velocity
    EXPECT_EQ(e.stage, VK_ENV_ATTACK);
    EXPECT_EQ(e.count, 480);
    for (int i = 0; i < 480; ++i) vk_env_tick(&e);
    EXPECT_EQ(e.level, 1.5f); // the peak
    EXPECT_EQ(e.stage, VK_ENV_CURVE);
    EXPECT_EQ(e.count, 4320); // 90 % of the decay is the curve, the rest a straight tail
    EXPECT_EQ(e.tailCount, 480);
    EXPECT_EQ(ticksUntil(&e, VK_ENV_SUSTAIN), 4800);
    EXPECT_EQ(e.level, 1.2f); // sustain x velocity

    // Retrigger from above 1: no attack at all, straight back to the peak and into the decay.
    vk_env_trigger(&e, 1.5f);
    EXPECT_EQ(e.level, 1.5f);
    EXPECT_EQ(e.stage, VK_ENV_CURVE);

    vk_env_release(&e);
    EXPECT_EQ(ticksUntil(&e, VK_ENV_IDLE), 14400);
    EXPECT_EQ(e.level, 0.0f);
    EXPECT_EQ(vk_env_tick(&e), 0.0f);
}

TEST(Envelope, RetriggerAtHalfLevelTakesHalfTheAttack)
{
    vk_envelope e = keyEnvelope();
    vk_env_trigger(&e, 1.0f);
    e.level = 0.5f;
    vk_env_trigger(&e, 1.0f);
    EXPECT_EQ(e.count, 240);
    EXPECT_FLOAT_EQ(e.step, 0.5f / 240);
}

TEST(Envelope, ReleaseEdgeCases)
{
    vk_envelope idle = keyEnvelope();
    vk_env_release(&idle);
    EXPECT_EQ(idle.stage, VK_ENV_IDLE);
    EXPECT_FALSE(idle.releasing);

    vk_envelope shortRelease;
    vk_env_init(&shortRelease, 0.0f, 0.0f, 1.0f, 1.0f / kRate, kRate); // one sample: below 2
    vk_env_trigger(&shortRelease, 1.0f);
    EXPECT_EQ(shortRelease.stage, VK_ENV_SUSTAIN);
    vk_env_release(&shortRelease);
    EXPECT_EQ(shortRelease.stage, VK_ENV_IDLE);
    EXPECT_EQ(shortRelease.level, 0.0f);

    vk_envelope silent = keyEnvelope();
    vk_env_trigger(&silent, 0.0f);
    for (int i = 0; i < 480; ++i) vk_env_tick(&silent);
    vk_env_release(&silent);
    EXPECT_EQ(silent.stage, VK_ENV_IDLE);

    // Sustain 1: no decay phase, the peak is held.
    vk_envelope drone;
    vk_env_init(&drone, 0.02f, 0.0f, 1.0f, 0.5f, kRate);
    vk_env_trigger(&drone, 1.0f);
    EXPECT_EQ(drone.sustainTarget, -1.0f);
    EXPECT_EQ(ticksUntil(&drone, VK_ENV_SUSTAIN), 960);
    EXPECT_EQ(drone.level, 1.0f);
}

TEST(Bank, StartPhasesAndLevels)
{
    vk_voices v;
    vk_voices_reset(&v, kRate, 0.06f);
    const vk_bank key = vk_key_bank(&v, 31);
    EXPECT_EQ(key.phase[0], 0.0f);
    EXPECT_FLOAT_EQ(key.phase[1], 2.0f / 3);
    EXPECT_FLOAT_EQ(key.phase[2], 1.0f / 3);
    EXPECT_FLOAT_EQ(v.stepBank.phase[1], 0.5f);
    EXPECT_FLOAT_EQ(key.ratio[2], (float)std::pow(2.0, 9.0 / 1200));
    EXPECT_FLOAT_EQ(v.fmBank.ratio[0], (float)std::pow(2.0, -6.0 / 1200));
    EXPECT_FLOAT_EQ(v.stepBank.ratio[0], (float)std::pow(2.0, -5.0 / 1200));

    // Triangles at their peak: the bank's output is N x 10^(-0.3 - 0.055 N).
    for (vk_bank* b : {&v.subtractiveBank, &v.stepBank}) {
        for (int k = 0; k < b->n; ++k) b->phase[k] = 0.25f;
        EXPECT_NEAR(vk_bank_tick(b, 0.0f, kRate, 3), b->n * std::pow(10.0, -0.3 - 0.055 * b->n), 1e-6);
    }
}

TEST(Bank, PulseIgnoresDetuneAndHighIndicesAreSawtooth)
{
    vk_voices v;
    vk_voices_reset(&v, kRate, 0.06f);
    for (int waveform : {4, 5}) {
        vk_bank three = v.subtractiveBank, two = v.stepBank;
        float peak = 0;
        for (int i = 0; i < 4000; ++i) {
            const float a = vk_bank_tick(&three, 330.0f, kRate, waveform);
            ASSERT_EQ(a, vk_bank_tick(&two, 330.0f, kRate, waveform)) << waveform << " " << i;
            peak = std::max(peak, std::fabs(a));
        }
        EXPECT_GT(peak, 0.9f);
        EXPECT_LT(peak, 1.01f);
    }
    vk_bank saw = v.subtractiveBank, six = saw, big = saw;
    for (int i = 0; i < 1000; ++i) {
        const float s = vk_bank_tick(&saw, 500.0f, kRate, 0);
        ASSERT_EQ(s, vk_bank_tick(&six, 500.0f, kRate, 6));
        ASSERT_EQ(s, vk_bank_tick(&big, 500.0f, kRate, 99));
    }
}

TEST(KeyVoices, ChoiceAndStealing)
{
    vk_voices v;
    vk_voices_reset(&v, kRate, 0.06f);
    for (int id = 0; id < 32; ++id) vk_key_on(&v, id, 440.0f, 1.0f);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(v.keys[i].id, i);

    vk_key_on(&v, 99, 440.0f, 1.0f); // all held: nothing
    for (const vk_key_voice& k : v.keys) EXPECT_NE(k.id, 99);

    vk_key_off(&v, 5);
    vk_key_off(&v, 9);
    vk_key_off(&v, 20);
    vk_key_off(&v, 77); // not held: nothing
    EXPECT_FALSE(v.keys[5].held);
    v.keys[5].env.level = 0.3f;
    v.keys[9].env.level = 0.1f;
    v.keys[20].env.level = 0.1f;
    vk_key_on(&v, 40, 220.0f, 0.0f); // quietest released, lowest index on a tie
    EXPECT_EQ(v.keys[9].id, 40);
    EXPECT_TRUE(v.keys[9].held);
    EXPECT_EQ(v.keys[9].velocity, 0.8f); // velocity <= 0 plays at 0.8

    // Released voices at 2 or above are never stolen.
    v.keys[5].env.level = 2.0f;
    v.keys[20].env.level = 2.5f;
    vk_key_on(&v, 41, 220.0f, 1.0f);
    for (const vk_key_voice& k : v.keys) EXPECT_NE(k.id, 41);

    // Key off releases the first held voice with that id only.
    vk_all_keys_off(&v);
    for (const vk_key_voice& k : v.keys) EXPECT_FALSE(k.held);
}

TEST(Noise, BrownSettlesAtThreeAndAHalf)
{
    float acc = 0;
    float out = 0;
    for (int i = 0; i < 5000; ++i) out = vk_brown_step(&acc, 1.0f);
    EXPECT_NEAR(acc, 1.0f, 1e-5);
    EXPECT_NEAR(out, 3.5f, 1e-4);
}

TEST(Noise, WhiteIsUniformAndChannelsAreIndependent)
{
    vk_voices v;
    vk_voices_reset(&v, kRate, 0.06f);
    double sum = 0, sumSq = 0, cross = 0;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        const float a = vk_noise_tick(&v, 0, 0), b = vk_noise_tick(&v, 1, 0);
        ASSERT_LE(std::fabs(a), 1.0f);
        sum += a;
        sumSq += a * a;
        cross += a * b;
    }
    EXPECT_NEAR(sum / n, 0.0, 0.01);
    EXPECT_NEAR(sumSq / n, 1.0 / 3, 0.01); // variance of uniform(-1, 1)
    EXPECT_NEAR(cross / n, 0.0, 0.01);
}

TEST(OrbitVoice, HighGlideFrequencySoundsHarmonicOneOnly)
{
    vk_voices v;
    vk_voices_reset(&v, kRate, 0.06f);
    float params[VK_PARAM_COUNT] = {};
    params[VK_P_FREQUENCY] = 10000.0f;
    vk_ramp ramps[VK_PARAM_COUNT] = {};
    v.glideFrequency = 10000.0f;
    vk_ramp_set(&v.orbitLevel, 1.0f);
    v.harmonicCount = 10;
    for (int k = 1; k < 10; ++k) v.orbitRe[k] = v.orbitIm[k] = 0.5f;
    for (int i = 0; i < 50; ++i) {
        const float theta = 6.2831853f * v.orbitPhase;
        const float expected = 0.5f * std::cos(theta) + 0.5f * std::sin(theta);
        ASSERT_NEAR(vk_voices_tick(&v, params, ramps, kRate, i, -1), expected, 1e-5) << i;
    }
}

TEST(OrbitVoice, HarmonicCountNeverShrinksAndTablesMorph)
{
    std::unique_ptr<vk_state, void (*)(vk_state*)> k(vk_create(48000), vk_destroy);
    vk_state* s = k.get();
    std::vector<float> re(128, 0.0f), im(128, 0.0f);
    for (int h = 1; h <= 30; ++h) re[h] = 1.0f / h;
    vk_write_orbit(s, 0, re.data(), im.data());
    vk_write_orbit(s, 7, re.data(), im.data()); // ignored
    const vk_event events[] = {
        {0, VK_EVENT_PARAM_NO_RAMP, VK_P_SYNTH_MODE, 0, 3.0f, 0, 0},
        {0, VK_EVENT_ORBIT_SLOT, 0, 0, 0, 0, 0},
        {0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0},
    };
    for (const vk_event& e : events) ASSERT_EQ(vk_push_event(s, &e), 0);
    std::vector<float> l(48000), r(48000);
    float* outs[2] = {l.data(), r.data()};
    vk_render(s, outs, 2, 48000, 0);
    EXPECT_EQ(vk_orbit_slot_in_use(s), 0);
    EXPECT_EQ(s->voices.harmonicCount, 31);
    EXPECT_NEAR(s->voices.orbitRe[20], 1.0f / 20, 1e-5);
    float peak = 0;
    for (float x : l) peak = std::max(peak, std::fabs(x));
    EXPECT_GT(peak, 0.05f);

    std::vector<float> only1(128, 0.0f), zero(128, 0.0f);
    only1[1] = 1.0f;
    vk_write_orbit(s, 1, only1.data(), zero.data());
    const vk_event select1{48000, VK_EVENT_ORBIT_SLOT, 0, 1, 0, 0, 0};
    ASSERT_EQ(vk_push_event(s, &select1), 0);
    vk_render(s, outs, 2, 720, 48000); // 15 ms: one time constant of the morph
    EXPECT_EQ(s->voices.harmonicCount, 31);
    EXPECT_NEAR(s->voices.orbitRe[20], std::exp(-1.0f) / 20, 2e-4);
    EXPECT_EQ(vk_orbit_slot_in_use(s), 1);
}

// The key voices run their sawtooth oscillators in vector lanes; each voice must still sound like
// its own unison bank ticked alone.
TEST(KeyVoices, VectorLanesMatchTheBankOscillators)
{
    for (int waveform : {0, 2, 6}) {
        vk_voices v;
        vk_voices_reset(&v, kRate, 0.06f);
        float params[VK_PARAM_COUNT] = {};
        params[VK_P_WAVEFORM] = (float)waveform;
        vk_ramp ramps[VK_PARAM_COUNT] = {};
        const float freqs[] = {440.0f, 4000.0f, 27.5f, 1234.5f, 96.0f};
        const int slots[] = {0, 1, 2, 3, 4};
        for (int i = 0; i < 5; ++i) vk_key_on(&v, 10 + i, freqs[i], 0.2f * (float)(i + 1));
        vk_key_off(&v, 12);
        vk_bank banks[5];
        vk_envelope envs[5];
        for (int i = 0; i < 5; ++i) {
            banks[i] = vk_key_bank(&v, slots[i]);
            envs[i] = v.keys[slots[i]].env;
        }
        for (int n = 0; n < 3000; ++n) {
            float expected = 0.0f;
            for (int i = 0; i < 5; ++i) {
                if (envs[i].stage == VK_ENV_IDLE) continue;
                const float s = vk_bank_tick(&banks[i], freqs[i], kRate, waveform);
                expected += s * 0.7f * vk_env_tick(&envs[i]);
            }
            ASSERT_NEAR(vk_voices_tick(&v, params, ramps, kRate, n, -1), expected, 2e-5) << waveform << " " << n;
        }
    }
}

// The harmonic sum runs in vector lanes with a rotation of several harmonics per step; it must
// equal the direct sum over k < K = min(count, rate / 2 / g) for every cut-off.
TEST(OrbitVoice, HarmonicSumMatchesTheDirectSum)
{
    for (float g : {220.0f, 1000.0f, 2600.0f, 5000.0f, 7000.0f}) {
        vk_voices v;
        vk_voices_reset(&v, kRate, 0.06f);
        float params[VK_PARAM_COUNT] = {};
        params[VK_P_FREQUENCY] = g;
        vk_ramp ramps[VK_PARAM_COUNT] = {};
        v.glideFrequency = g;
        vk_ramp_set(&v.orbitLevel, 0.5f);
        v.harmonicCount = 61;
        for (int k = 1; k < 128; ++k) {
            v.orbitRe[k] = std::cos(0.37f * k) / k;
            v.orbitIm[k] = std::sin(1.1f * k) / k;
        }
        const int K = std::min(61, (int)(kRate * 0.5f / g));
        for (int n = 0; n < 200; ++n) {
            const double theta = 6.283185307179586 * (double)v.orbitPhase;
            double expected = 0;
            for (int k = 1; k < K; ++k)
                expected += v.orbitRe[k] * std::cos(k * theta) + v.orbitIm[k] * std::sin(k * theta);
            ASSERT_NEAR(vk_voices_tick(&v, params, ramps, kRate, n, -1), 0.5 * expected, 2e-5) << g << " " << n;
        }
    }
}
