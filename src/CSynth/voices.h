#pragma once
// REAL-TIME CODE: everything declared here runs on the render thread inside vk_render.
// No allocation, no lock, no system call, no unbounded loop.
//
// The voices produce the kernel's dry mono signal one sample at a time: the drone in one of four
// modes, the sub oscillator, the step voice and 32 key voices; the noise generators are mixed in
// after them by the render loop.

#include <stdint.h>

#include "CSynth/kernel.h"

// A parameter ramp; the sub level, orbit level and AM ratio ramps use the same record.
struct vk_ramp {
    float current;
    float target;
    float step;    // linear increment per sample
    float factor;  // exponential ratio per sample
    int32_t count; // samples left
    int32_t kind;  // VK_RAMP_*
    float time;    // seconds
    int32_t hold;  // exponential across zero: stay at `current`, jump to `target` when count ends
};

enum { VK_RAMP_NONE = 0, VK_RAMP_LINEAR = 1, VK_RAMP_EXPONENTIAL = 2 };

enum {
    VK_ENV_IDLE = 0,
    VK_ENV_ATTACK = 1,
    VK_ENV_CURVE = 2, // decay or release, exponential part
    VK_ENV_TAIL = 3,  // decay or release, linear tail
    VK_ENV_SUSTAIN = 4,
};

struct vk_envelope {
    float level;
    int32_t stage;
    int32_t releasing;
    float attack, decay, sustain, release;
    float target;
    float step;
    float coefficient;
    int32_t count, tailCount;
    float sustainTarget; // sustain x velocity, or -1 without a decay phase
    float rate;
};

// Up to three detuned oscillators sharing one waveform, plus the PWM LFO phase.
struct vk_bank {
    int32_t n;
    float phase[3];
    float ratio[3];
    float lfo;
};

struct vk_key_voice {
    vk_envelope env;
    float frequency;
    float velocity;
    int32_t id;
    int32_t held;
};

enum { VK_MODE_SUBTRACTIVE = 0, VK_MODE_FM = 1, VK_MODE_AM = 2, VK_MODE_ORBIT = 3 };

struct vk_voices {
    int32_t droneOn;
    int32_t mode;

    vk_envelope subtractiveEnv;
    vk_bank subtractiveBank;

    vk_envelope fmEnv, fmModEnv;
    vk_bank fmBank;
    float fmModPhase;

    vk_envelope amEnv, amModEnv;
    vk_bank amBank;
    float amModPhase;
    vk_ramp amRatio;

    vk_ramp orbitLevel;
    float glideFrequency;
    float glideCoefficient;
    // Current tables; 8 entries of padding let the harmonic sum read whole vectors past entry 127.
    float orbitRe[VK_ORBIT_HARMONICS + 8], orbitIm[VK_ORBIT_HARMONICS + 8];
    // Written by the producer (only the slot not selected), read here.
    float slotRe[2][VK_ORBIT_HARMONICS], slotIm[2][VK_ORBIT_HARMONICS];
    int32_t lastSlotSeen;
    int32_t harmonicCount; // never shrinks before a reset
    float orbitPhase;
    float orbitMorph; // one-pole coefficient of the 15 ms table morph

    float subPhase;
    vk_ramp subLevel;

    vk_envelope stepEnv;
    vk_bank stepBank;
    float stepFrequency;
    int64_t stepReleaseFrame; // -1: none

    vk_key_voice keys[VK_KEY_VOICES];
    // The key voices' unison banks, stored oscillator by oscillator across the 32 voices so that
    // one loop runs all 96 sawtooth oscillators in vector registers.
    struct {
        alignas(32) float phase[3][VK_KEY_VOICES];
        alignas(32) float d[3][VK_KEY_VOICES];    // phase increment per sample (frequency constant per note)
        alignas(32) float dInv[3][VK_KEY_VOICES]; // 1 / d, or 0 for a voice never played
        float lfo[VK_KEY_VOICES];
        float ratio[3];
    } keyBank;
    float rate;

    uint32_t noiseState[2];
    float pink[2][7];
    float brown[2];
};

// Ramps
void vk_ramp_init(vk_ramp* r, float value, int kind, float time);
void vk_ramp_start(vk_ramp* r, float target, float time, double rate);
void vk_ramp_set(vk_ramp* r, float value); // at once, nothing running
inline void vk_ramp_advance(vk_ramp* r)
{
    if (r->count <= 0) return;
    if (!r->hold) r->current = r->kind == VK_RAMP_EXPONENTIAL ? r->current * r->factor : r->current + r->step;
    if (--r->count == 0) r->current = r->target;
}

// Envelopes
void vk_env_init(vk_envelope* e, float attack, float decay, float sustain, float release, float rate);
void vk_env_trigger(vk_envelope* e, float velocity);
void vk_env_release(vk_envelope* e);
float vk_env_step(vk_envelope* e); // a tick of a moving envelope (attack, decay, release)
// One sample of the envelope: its level after the tick. Idle and sustaining envelopes hold.
inline float vk_env_tick(vk_envelope* e)
{
    if (e->stage == VK_ENV_SUSTAIN || e->stage == VK_ENV_IDLE) return e->level;
    return vk_env_step(e);
}

// Banks
void vk_bank_init(vk_bank* b, int n, const float* ratios);
void vk_bank_restart(vk_bank* b);
// A copy of key voice `index`'s bank, and its write-back (the slow path for waveforms other than sawtooth).
vk_bank vk_key_bank(const vk_voices* v, int index);
void vk_key_bank_store(vk_voices* v, int index, const vk_bank* b);
float vk_bank_tick(vk_bank* b, float frequency, float rate, int waveform);

// One step of the brown-noise integrator: leaky, so a constant input settles (at 3.5 for w = 1).
inline float vk_brown_step(float* accumulator, float w)
{
    const float y = *accumulator + 0.02f * w;
    *accumulator = y / 1.02f;
    return y * (3.5f / 1.02f);
}

// Noise: channel 0 or 1; type 0 white, 1 pink, 2 brown (others white).
float vk_noise_tick(vk_voices* v, int channel, int type);

// Integer part of v after clamping it into [lo, hi]; NaN gives lo. Every float that becomes an
// index, a mode or a count goes through this, so no out-of-range conversion happens.
inline int vk_int_clamped(float v, int lo, int hi)
{
    if (!(v >= (float)lo)) return lo;
    if (v >= (float)hi) return hi;
    return (int)v;
}

// Voices as a whole. `params` is the parameter vector (values last received), `ramps` its ramps.
void vk_voices_reset(vk_voices* v, float rate, float glide);
void vk_voice_start(vk_voices* v, int mode, const float* params, float rate);
void vk_voice_stop(vk_voices* v, int mode, float rate);
void vk_voices_silence(vk_voices* v);
float vk_glide_coefficient(float rate, float glide);
void vk_step_note(vk_voices* v, float frequency, float duration, float velocity, int64_t frame, float rate);
void vk_key_on(vk_voices* v, int32_t id, float frequency, float velocity);
void vk_key_off(vk_voices* v, int32_t id);
void vk_all_keys_off(vk_voices* v);
// One mono sample of every voice; `selectedSlot` is the acquire-loaded orbit slot.
float vk_voices_tick(vk_voices* v, const float* params, const vk_ramp* ramps, float rate, int64_t frame,
                     int selectedSlot);
