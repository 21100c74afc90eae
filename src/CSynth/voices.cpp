// REAL-TIME CODE: the voices run on the render thread inside vk_render, one sample at a time.
// No allocation, no lock, no system call; every loop is bounded by a fixed voice or table size.

#include "CSynth/voices.h"

#include <cmath>

namespace {

constexpr float kTwoPi = 6.28318530717958647692f;

// Oscillator weights of a unison bank: entry 0 for the flat oscillator of a bank of three (and for
// every oscillator of other banks), entry 1 for the others.
constexpr float kSawNorm[2] = {0.84854f, 0.91332f};
constexpr float kSquareNorm[2] = {0.84819f, 0.91289f};

// Level of a bank of n oscillators: 10^(-0.3 - 0.055 n).
inline float bankGain(int n)
{
    switch (n) {
    case 1: return 0.44157045f;
    case 2: return 0.38904514f;
    default: return 0.34276778f;
    }
}

// Into [0, 1). A phase pushed to infinity by an extreme but finite setting (an FM index of 1e30)
// starts again at 0 instead of turning every later sample into NaN.
inline float wrap01(float p)
{
    const float r = p - std::floor(p);
    return r >= 0.0f && r < 1.0f ? r : 0.0f;
}

// Eight lanes of floats (GCC/Clang vector extension): one AVX register, or two SSE registers.
// Element-wise operations round exactly like their scalar forms, so vectorised loops give the same
// results on every run and on either instruction set.
// Eight-lane values are passed only between inlined helpers of this file, never across an ABI boundary.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float vf8 __attribute__((vector_size(32)));
typedef int vi8 __attribute__((vector_size(32)));
inline vf8 load8(const float* p)
{
    vf8 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store8(float* p, vf8 v) { __builtin_memcpy(p, &v, sizeof v); }

inline float blep(float x, float d)
{
    if (x < d) {
        const float u = x / d;
        return 2.0f * u - u * u - 1.0f;
    }
    if (x > 1.0f - d) {
        const float u = (x - 1.0f) / d;
        return u * u + 2.0f * u + 1.0f;
    }
    return 0.0f;
}

inline float polyBlepSaw(float p, float d, float weight)
{
    const float q = wrap01(p + 0.5f);
    return (2.0f * q - 1.0f - blep(q, d)) * weight;
}

inline float cents(double c) { return (float)std::exp2(c / 1200.0); }

} // namespace

// ---------------------------------------------------------------- ramps

void vk_ramp_init(vk_ramp* r, float value, int kind, float time)
{
    *r = vk_ramp{};
    r->current = value;
    r->target = value;
    r->kind = kind;
    r->time = time;
}

void vk_ramp_start(vk_ramp* r, float target, float time, double rate)
{
    r->target = target;
    r->hold = 0;
    const double samples = rate * (double)time + 0.5;
    // Beyond int range the ramp is capped: a ramp of more than 12 hours is as good as endless.
    const int n = samples >= 2147483647.0 ? 2147483647 : (samples >= 1.0 ? (int)samples : 0);
    if (r->kind == VK_RAMP_NONE || n < 1) {
        r->current = target;
        r->count = 0;
        return;
    }
    if (r->kind == VK_RAMP_LINEAR) {
        // In double: the distance between two extreme floats overflows a float.
        r->step = (float)(((double)target - (double)r->current) / (double)n);
        r->count = n;
        return;
    }
    const float a = r->current == 0.0f ? 1e-7f : r->current;
    const float b = target == 0.0f ? 1e-7f : target;
    r->current = a;
    r->count = n;
    if ((a > 0.0f) != (b > 0.0f)) {
        r->hold = 1; // equal ratios cannot cross zero: hold, then jump
        return;
    }
    r->factor = (float)std::pow((double)b / (double)a, 1.0 / (double)n);
}

void vk_ramp_set(vk_ramp* r, float value)
{
    r->current = value;
    r->target = value;
    r->count = 0;
    r->hold = 0;
}

// ---------------------------------------------------------------- envelopes

void vk_env_init(vk_envelope* e, float attack, float decay, float sustain, float release, float rate)
{
    *e = vk_envelope{};
    e->attack = attack;
    e->decay = decay;
    e->sustain = sustain;
    e->release = release;
    e->sustainTarget = -1.0f;
    e->rate = rate;
}

// Starts the exponential-then-linear move toward `target` over `seconds`.
static void envCurve(vk_envelope* e, float target, float seconds, bool release)
{
    const int m = (int)(e->rate * seconds + 0.5f);
    if (release ? m < 2 : m <= 1) {
        e->level = target;
        if (release) {
            e->stage = VK_ENV_IDLE;
            e->releasing = 0;
        } else {
            e->stage = VK_ENV_SUSTAIN;
        }
        return;
    }
    const double spread = std::log((double)seconds + 1.0) * 0.18873917;
    e->coefficient = spread < 1e-6 ? 1.0f : (float)(1.0 - std::exp(-1.0 / ((double)e->rate * spread)));
    int count = (int)(e->rate * seconds * 0.9f + 0.5f);
    if (count < 2) count = 1;
    e->count = count;
    e->tailCount = m - count;
    e->target = target;
    e->stage = VK_ENV_CURVE;
}

void vk_env_trigger(vk_envelope* e, float velocity)
{
    float a = e->level > 0.0f ? e->attack * (1.0f - e->level) : e->attack;
    if (a < 0.0f) a = 0.0f;
    e->releasing = 0;
    e->sustainTarget = (e->decay > 0.0f && e->sustain < 1.0f) ? e->sustain * velocity : -1.0f;
    e->target = velocity;
    const int n = (int)(a * e->rate + 0.5f);
    if (n > 0) {
        if (e->level == 0.0f) e->level = 1e-7f;
        e->step = (velocity - e->level) / (float)n;
        e->count = n;
        e->stage = VK_ENV_ATTACK;
        return;
    }
    e->level = velocity;
    if (e->sustainTarget >= 0.0f)
        envCurve(e, e->sustainTarget, e->decay, false);
    else
        e->stage = VK_ENV_SUSTAIN;
}

void vk_env_release(vk_envelope* e)
{
    if (e->stage == VK_ENV_IDLE) return;
    if (e->level <= 0.0f) {
        e->level = 0.0f;
        e->stage = VK_ENV_IDLE;
        e->releasing = 0;
        return;
    }
    e->releasing = 1;
    e->sustainTarget = -1.0f;
    envCurve(e, 0.0f, e->release, true);
}

float vk_env_step(vk_envelope* e)
{
    switch (e->stage) {
    case VK_ENV_ATTACK:
        e->level += e->step;
        if (--e->count == 0) {
            e->level = e->target;
            if (e->sustainTarget >= 0.0f)
                envCurve(e, e->sustainTarget, e->decay, false);
            else
                e->stage = VK_ENV_SUSTAIN;
        }
        return e->level;
    case VK_ENV_CURVE:
        e->level += (e->target - e->level) * e->coefficient;
        if (--e->count > 0) return e->level;
        if (e->tailCount > 0) {
            e->step = (e->target - e->level) / (float)e->tailCount;
            e->count = e->tailCount;
            e->stage = VK_ENV_TAIL;
            return e->level;
        }
        e->level = e->target;
        break;
    case VK_ENV_TAIL:
        e->level += e->step;
        if (--e->count > 0) return e->level;
        e->level = e->target;
        break;
    default: return e->level;
    }
    // End of a decay or release.
    if (e->releasing) {
        e->stage = VK_ENV_IDLE;
        e->releasing = 0;
        e->level = 0.0f;
        return 0.0f;
    }
    e->stage = VK_ENV_SUSTAIN;
    return e->level;
}

// ---------------------------------------------------------------- unison banks

void vk_bank_init(vk_bank* b, int n, const float* ratios)
{
    *b = vk_bank{};
    b->n = n;
    for (int k = 0; k < n; ++k) b->ratio[k] = ratios[k];
    vk_bank_restart(b);
}

vk_bank vk_key_bank(const vk_voices* v, int index)
{
    vk_bank b{};
    b.n = 3;
    for (int k = 0; k < 3; ++k) {
        b.phase[k] = v->keyBank.phase[k][index];
        b.ratio[k] = v->keyBank.ratio[k];
    }
    b.lfo = v->keyBank.lfo[index];
    return b;
}

void vk_key_bank_store(vk_voices* v, int index, const vk_bank* b)
{
    for (int k = 0; k < 3; ++k) v->keyBank.phase[k][index] = b->phase[k];
    v->keyBank.lfo[index] = b->lfo;
}

void vk_bank_restart(vk_bank* b)
{
    for (int k = 0; k < b->n; ++k) b->phase[k] = wrap01(-(float)k / (float)b->n);
    b->lfo = 0.0f;
}

float vk_bank_tick(vk_bank* b, float frequency, float rate, int waveform)
{
    const float dt = frequency / rate;
    if (waveform == 4 || waveform == 5) {
        // Pulse and PWM: one oscillator on the first phase, no detune, no weight.
        const float p = b->phase[0];
        b->phase[0] = wrap01(p + dt);
        float duty = 0.6f;
        float o;
        if (waveform == 4) {
            o = wrap01(p + 0.05f);
        } else {
            const float s = std::sin(kTwoPi * b->lfo);
            b->lfo = wrap01(b->lfo + 0.4f / rate);
            const float t = std::asin(0.5f * s);
            o = wrap01(p + t / kTwoPi);
            duty = t / 3.14159265358979f + 0.5f;
        }
        float e = o - duty;
        if (e < 0.0f) e += 1.0f;
        return blep(o, dt) + (o < duty ? 1.0f : -1.0f) - blep(e, dt);
    }
    const int n = b->n;
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) {
        const float p = b->phase[k];
        const float d = b->ratio[k] * dt;
        b->phase[k] = wrap01(p + d);
        const int w = (n == 3 && k > 0) ? 1 : 0;
        switch (waveform) {
        case 1: sum += std::sin(kTwoPi * p); break;
        case 2: {
            const float q = wrap01(p + 0.5f);
            sum += (blep(p, d) + (p < 0.5f ? 1.0f : -1.0f) - blep(q, d)) * kSquareNorm[w];
            break;
        }
        case 3: sum += 1.0f - 4.0f * std::fabs(p - 0.25f - std::floor(p + 0.25f)); break;
        default: sum += polyBlepSaw(p, d, kSawNorm[w]); break;
        }
    }
    return sum * bankGain(n);
}

// ---------------------------------------------------------------- noise

float vk_noise_tick(vk_voices* v, int channel, int type)
{
    uint32_t x = v->noiseState[channel];
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v->noiseState[channel] = x;
    const float w = (float)(int32_t)x * 4.656612873077393e-10f; // 2^-31
    if (type == 1) {
        float* b = v->pink[channel];
        b[0] = 0.99886f * b[0] + 0.0555179f * w;
        b[1] = 0.99332f * b[1] + 0.0750759f * w;
        b[2] = 0.969f * b[2] + 0.153852f * w;
        b[3] = 0.8665f * b[3] + 0.3104856f * w;
        b[4] = 0.55f * b[4] + 0.5329522f * w;
        b[5] = -0.7616f * b[5] - 0.016898f * w;
        const float out = (b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + 0.5362f * w) * 0.11f;
        b[6] = 0.115926f * w;
        return out;
    }
    if (type == 2) return vk_brown_step(&v->brown[channel], w);
    return w;
}

// ---------------------------------------------------------------- voices

float vk_glide_coefficient(float rate, float glide)
{
    // A glide of 0 (or a negative one, which would make the one-pole diverge) follows at once.
    if (!(glide > 0.0f)) return 1.0f;
    return (float)(1.0 - std::exp(-1.0 / ((double)rate * (double)glide * 0.35)));
}

void vk_voices_reset(vk_voices* v, float rate, float glide)
{
    *v = vk_voices{};
    v->mode = VK_MODE_SUBTRACTIVE;
    vk_env_init(&v->subtractiveEnv, 0.02f, 0.0f, 1.0f, 0.5f, rate);
    vk_env_init(&v->amEnv, 0.02f, 0.0f, 1.0f, 0.5f, rate);
    vk_env_init(&v->fmEnv, 0.02f, 0.2f, 1.0f, 0.5f, rate);
    vk_env_init(&v->fmModEnv, 0.01f, 0.2f, 1.0f, 0.5f, rate);
    vk_env_init(&v->amModEnv, 0.01f, 0.2f, 1.0f, 0.5f, rate);
    vk_env_init(&v->stepEnv, 0.004f, 0.16f, 0.2f, 0.25f, rate);
    const float kUnison9[3] = {cents(-9), 1.0f, cents(9)};
    const float kUnison6[3] = {cents(-6), 1.0f, cents(6)};
    const float kUnison5[2] = {cents(-5), cents(5)};
    vk_bank_init(&v->subtractiveBank, 3, kUnison9);
    vk_bank_init(&v->amBank, 3, kUnison9);
    vk_bank_init(&v->fmBank, 3, kUnison6);
    vk_bank_init(&v->stepBank, 2, kUnison5);
    for (vk_key_voice& k : v->keys) vk_env_init(&k.env, 0.01f, 0.1f, 0.8f, 0.3f, rate);
    for (int k = 0; k < 3; ++k) v->keyBank.ratio[k] = kUnison9[k];
    for (int i = 0; i < VK_KEY_VOICES; ++i) {
        vk_bank b = vk_key_bank(v, i);
        vk_bank_restart(&b);
        vk_key_bank_store(v, i, &b);
    }
    v->rate = rate;
    vk_ramp_init(&v->amRatio, 2.0f, VK_RAMP_LINEAR, 0.05f);
    vk_ramp_init(&v->orbitLevel, 0.0f, VK_RAMP_LINEAR, 0.03f);
    vk_ramp_init(&v->subLevel, 0.0f, VK_RAMP_LINEAR, 0.05f);
    v->glideFrequency = 220.0f;
    v->glideCoefficient = vk_glide_coefficient(rate, glide);
    v->orbitMorph = (float)(1.0 - std::exp(-66.66667 / (double)rate));
    v->lastSlotSeen = -1;
    v->harmonicCount = 2;
    v->stepReleaseFrame = -1;
    v->noiseState[0] = 0x9E3779B9u;
    v->noiseState[1] = 0x7F4A7C15u;
}

void vk_voice_start(vk_voices* v, int mode, const float* params, float rate)
{
    switch (mode) {
    case VK_MODE_SUBTRACTIVE:
        if (v->subtractiveEnv.stage == VK_ENV_IDLE) vk_bank_restart(&v->subtractiveBank);
        vk_env_trigger(&v->subtractiveEnv, 1.0f);
        break;
    case VK_MODE_FM:
        if (v->fmEnv.stage == VK_ENV_IDLE) {
            v->fmModPhase = 0.0f;
            vk_bank_restart(&v->fmBank);
        }
        vk_env_trigger(&v->fmEnv, 1.0f);
        vk_env_trigger(&v->fmModEnv, 1.0f);
        break;
    case VK_MODE_AM:
        if (v->amEnv.stage == VK_ENV_IDLE) {
            v->amModPhase = 0.0f;
            vk_bank_restart(&v->amBank);
        }
        vk_env_trigger(&v->amEnv, 1.0f);
        vk_env_trigger(&v->amModEnv, 1.0f);
        break;
    case VK_MODE_ORBIT:
        v->glideFrequency = params[VK_P_FREQUENCY];
        vk_ramp_start(&v->orbitLevel, 1.0f, 0.03f, rate);
        break;
    default: break;
    }
}

void vk_voice_stop(vk_voices* v, int mode, float rate)
{
    switch (mode) {
    case VK_MODE_SUBTRACTIVE: vk_env_release(&v->subtractiveEnv); break;
    case VK_MODE_FM:
        vk_env_release(&v->fmEnv);
        vk_env_release(&v->fmModEnv);
        break;
    case VK_MODE_AM:
        vk_env_release(&v->amEnv);
        vk_env_release(&v->amModEnv);
        break;
    case VK_MODE_ORBIT: vk_ramp_start(&v->orbitLevel, 0.0f, 0.4f, rate); break;
    default: break;
    }
}

static void envSilence(vk_envelope* e)
{
    e->stage = VK_ENV_IDLE;
    e->level = 0.0f;
    e->releasing = 0;
}

void vk_voices_silence(vk_voices* v)
{
    v->droneOn = 0;
    envSilence(&v->subtractiveEnv);
    envSilence(&v->fmEnv);
    envSilence(&v->fmModEnv);
    envSilence(&v->amEnv);
    envSilence(&v->amModEnv);
    envSilence(&v->stepEnv);
    for (vk_key_voice& k : v->keys) {
        envSilence(&k.env);
        k.held = 0;
    }
    vk_ramp_set(&v->orbitLevel, 0.0f);
    vk_ramp_set(&v->subLevel, 0.0f);
    v->stepReleaseFrame = -1;
}

static float clampFrequency(float f)
{
    if (!(f >= 20.0f)) return 20.0f; // NaN too
    return f > 4000.0f ? 4000.0f : f;
}

void vk_step_note(vk_voices* v, float frequency, float duration, float velocity, int64_t frame, float rate)
{
    v->stepFrequency = clampFrequency(frequency);
    const float vel = velocity > 0.0f ? (velocity < 1.0f ? velocity : 1.0f) : 0.0f; // NaN counts as 0
    const float dur = duration >= 0.05f ? (duration < 0.6f ? duration : 0.6f) : 0.05f;
    if (v->stepEnv.stage == VK_ENV_IDLE) vk_bank_restart(&v->stepBank);
    vk_env_trigger(&v->stepEnv, vel);
    v->stepReleaseFrame = frame + (int64_t)(dur * rate + 0.5f);
}

void vk_key_on(vk_voices* v, int32_t id, float frequency, float velocity)
{
    int chosen = -1;
    for (int i = 0; i < VK_KEY_VOICES; ++i) {
        if (v->keys[i].env.stage == VK_ENV_IDLE) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        // Steal the quietest released voice; held voices are never taken.
        float quietest = 2.0f;
        for (int i = 0; i < VK_KEY_VOICES; ++i) {
            if (!v->keys[i].held && v->keys[i].env.level < quietest) {
                quietest = v->keys[i].env.level;
                chosen = i;
            }
        }
        if (chosen < 0) return;
    }
    vk_key_voice& k = v->keys[chosen];
    k.frequency = clampFrequency(frequency);
    // No upper clamp on the velocity (above 1 plays louder); a non-finite one takes the default 0.8
    // like a velocity of 0 or less.
    k.velocity = (velocity > 0.0f && velocity <= 3.4e38f) ? velocity : 0.8f;
    k.id = id;
    k.held = 1;
    if (k.env.stage == VK_ENV_IDLE) {
        vk_bank b = vk_key_bank(v, chosen);
        vk_bank_restart(&b);
        vk_key_bank_store(v, chosen, &b);
    }
    const float dt = k.frequency / v->rate;
    for (int o = 0; o < 3; ++o) {
        const float d = v->keyBank.ratio[o] * dt;
        v->keyBank.d[o][chosen] = d;
        v->keyBank.dInv[o][chosen] = 1.0f / d; // d > 0: the frequency is at least 20 Hz
    }
    vk_env_trigger(&k.env, k.velocity);
}

void vk_key_off(vk_voices* v, int32_t id)
{
    for (vk_key_voice& k : v->keys) {
        if (k.held && k.id == id) {
            vk_env_release(&k.env);
            k.held = 0;
            return;
        }
    }
}

void vk_all_keys_off(vk_voices* v)
{
    for (vk_key_voice& k : v->keys) {
        if (k.held) {
            vk_env_release(&k.env);
            k.held = 0;
        }
    }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
static float
orbitTick(vk_voices* v, const float* params, float rate, int selectedSlot)
{
    vk_ramp_advance(&v->orbitLevel);
    v->glideFrequency += v->glideCoefficient * (params[VK_P_FREQUENCY] - v->glideFrequency);
    if (!std::isfinite(v->glideFrequency)) v->glideFrequency = params[VK_P_FREQUENCY]; // overflow between extremes
    if (v->orbitLevel.count <= 0 && !(v->orbitLevel.current > 0.0f)) return 0.0f;
    if (selectedSlot == 0 || selectedSlot == 1) {
        const float* sre = v->slotRe[selectedSlot];
        const float* sim = v->slotIm[selectedSlot];
        if (selectedSlot != v->lastSlotSeen) {
            int h = 1;
            for (int k = VK_ORBIT_HARMONICS - 1; k >= 1; --k) {
                if (sre[k] != 0.0f || sim[k] != 0.0f) {
                    h = k;
                    break;
                }
            }
            if (h + 1 > v->harmonicCount) v->harmonicCount = h + 1;
            v->lastSlotSeen = selectedSlot;
        }
        // Entries at and above the harmonic count are zero in both tables (the count covers every
        // non-zero slot entry and never shrinks), so rounding the loop up to whole vectors changes
        // nothing; entry 0 is never sounded.
        const vf8 c = vf8{} + v->orbitMorph;
        const int end = (v->harmonicCount + 7) & ~7;
        for (int k = 0; k < end; k += 8) {
            const vf8 re = load8(&v->orbitRe[k]), im = load8(&v->orbitIm[k]);
            store8(&v->orbitRe[k], re + c * (load8(&sre[k]) - re));
            store8(&v->orbitIm[k], im + c * (load8(&sim[k]) - im));
        }
    }
    const float g = v->glideFrequency;
    const float theta = kTwoPi * v->orbitPhase;
    v->orbitPhase = wrap01(v->orbitPhase + g / rate);
    const float top = rate * 0.5f / (g > 1.0f ? g : 1.0f);
    const int K = top < (float)v->harmonicCount ? (int)top : v->harmonicCount;
    if (K < 2) return 0.0f;
    // cos(k theta), sin(k theta) by angle addition: harmonics 1..8 step by theta, then eight
    // independent lanes step by 8 theta, so the recurrence runs in vector registers.
    const float c1 = std::cos(theta), s1 = std::sin(theta);
    alignas(32) float cs[8], sn[8];
    cs[0] = c1;
    sn[0] = s1;
    for (int j = 1; j < 8; ++j) {
        cs[j] = cs[j - 1] * c1 - sn[j - 1] * s1;
        sn[j] = sn[j - 1] * c1 + cs[j - 1] * s1;
    }
    const vf8 c8 = vf8{} + cs[7], s8 = vf8{} + sn[7];
    vf8 ck = load8(cs), sk = load8(sn), acc{};
    const vi8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    for (int k = 1; k < K; k += 8) {
        const vi8 live = (lane + k) < K; // the last block may run past K - 1
        const vf8 term = load8(&v->orbitRe[k]) * ck + load8(&v->orbitIm[k]) * sk;
        acc += live ? term : vf8{};
        const vf8 cn = ck * c8 - sk * s8;
        sk = sk * c8 + ck * s8;
        ck = cn;
    }
    const float sum = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    return v->orbitLevel.current * sum;
}

// The 32 key voices. Sawtooth, the default, runs all 96 oscillators in one branch-free loop that
// the compiler vectorises; idle voices run along (their phases restart when they are next played)
// and are weighted 0. Other waveforms take the voice-by-voice path.
// AVX2 where the processor has it (eight lanes in one register), SSE2 otherwise: the same
// element-wise operations, so both give the same samples.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
static float
keysTick(vk_voices* v, float rate, int waveform)
{
    alignas(32) float gain[VK_KEY_VOICES];
    bool any = false;
    for (int i = 0; i < VK_KEY_VOICES; ++i) {
        vk_envelope* e = &v->keys[i].env;
        const bool active = e->stage != VK_ENV_IDLE;
        gain[i] = active ? vk_env_tick(e) : 0.0f;
        any |= active;
    }
    if (!any) return 0.0f;

    float out = 0.0f;
    if (waveform == 0 || waveform == 6) {
        alignas(32) float acc[VK_KEY_VOICES] = {};
        for (int k = 0; k < 3; ++k) {
            const vf8 weight = vf8{} + kSawNorm[k > 0 ? 1 : 0];
            for (int i = 0; i < VK_KEY_VOICES; i += 8) {
                const vf8 p = load8(&v->keyBank.phase[k][i]);
                const vf8 d = load8(&v->keyBank.d[k][i]);
                const vf8 dInv = load8(&v->keyBank.dInv[k][i]);
                const vf8 next = p + d; // >= 0, so truncation is floor
                store8(&v->keyBank.phase[k][i],
                       next - __builtin_convertvector(__builtin_convertvector(next, vi8), vf8));
                vf8 q = p + 0.5f;
                q = q >= 1.0f ? q - 1.0f : q;
                const vf8 u1 = q * dInv;
                const vf8 u2 = (q - 1.0f) * dInv;
                const vf8 rise = 2.0f * u1 - u1 * u1 - 1.0f;
                const vf8 fall = u2 * u2 + 2.0f * u2 + 1.0f;
                const vf8 zero{};
                const vf8 b = q < d ? rise : (q > 1.0f - d ? fall : zero);
                store8(&acc[i], load8(&acc[i]) + (2.0f * q - 1.0f - b) * weight);
            }
        }
        // Summed lane-wise, then across lanes as a tree: no chain of 32 dependent additions.
        vf8 total{};
        for (int i = 0; i < VK_KEY_VOICES; i += 8) total += load8(&acc[i]) * bankGain(3) * 0.7f * load8(&gain[i]);
        return ((total[0] + total[1]) + (total[2] + total[3])) + ((total[4] + total[5]) + (total[6] + total[7]));
    }
    for (int i = 0; i < VK_KEY_VOICES; ++i) {
        if (gain[i] == 0.0f && v->keys[i].env.stage == VK_ENV_IDLE) continue;
        vk_bank b = vk_key_bank(v, i);
        const float s = vk_bank_tick(&b, v->keys[i].frequency, rate, waveform);
        vk_key_bank_store(v, i, &b);
        out += s * 0.7f * gain[i];
    }
    return out;
}

float vk_voices_tick(vk_voices* v, const float* params, const vk_ramp* ramps, float rate, int64_t frame,
                     int selectedSlot)
{
    const float f = ramps[VK_P_FREQUENCY].current;
    const int waveform = vk_int_clamped(params[VK_P_WAVEFORM], 0, 6);
    float out = 0.0f;

    if (v->subtractiveEnv.stage != VK_ENV_IDLE) {
        const float s = vk_bank_tick(&v->subtractiveBank, f, rate, waveform);
        out += s * vk_env_tick(&v->subtractiveEnv);
    }

    if (v->fmEnv.stage != VK_ENV_IDLE) {
        const float e = vk_env_tick(&v->fmEnv);
        const float m = vk_env_tick(&v->fmModEnv);
        const float mp = v->fmModPhase;
        v->fmModPhase = wrap01(mp + ramps[VK_P_HARMONIC_RATIO].current * f / rate);
        const float inst = f + std::sin(kTwoPi * mp) * f * ramps[VK_P_FM_MOD_INDEX].current * 0.316228f * m;
        vk_bank* b = &v->fmBank;
        float sum = 0.0f;
        for (int k = 0; k < b->n; ++k) {
            const float p = b->phase[k];
            b->phase[k] = wrap01(p + b->ratio[k] * inst / rate);
            sum += std::sin(kTwoPi * p);
        }
        out += sum * bankGain(b->n) * e * 0.316228f;
    }

    if (v->amEnv.stage != VK_ENV_IDLE) {
        const float e = vk_env_tick(&v->amEnv);
        const float m = vk_env_tick(&v->amModEnv);
        const float s = std::sin(kTwoPi * v->amModPhase);
        v->amModPhase = wrap01(v->amModPhase + v->amRatio.current * f / rate);
        vk_bank* b = &v->amBank;
        const float dt = f / rate;
        float sum = 0.0f;
        for (int k = 0; k < b->n; ++k) {
            const float p = b->phase[k];
            const float d = b->ratio[k] * dt;
            b->phase[k] = wrap01(p + d);
            sum += polyBlepSaw(p, d, kSawNorm[(b->n == 3 && k > 0) ? 1 : 0]);
        }
        out += sum * bankGain(b->n) * e * 0.158114f * (1.0f + 0.316228f * m * s);
    }

    out += orbitTick(v, params, rate, selectedSlot);

    vk_ramp_advance(&v->subLevel);
    {
        const float p = v->subPhase;
        v->subPhase = wrap01(p + 0.5f * f / rate);
        out += v->subLevel.current * std::sin(kTwoPi * p);
    }

    if (v->stepReleaseFrame >= 0 && v->stepReleaseFrame <= frame) {
        vk_env_release(&v->stepEnv);
        v->stepReleaseFrame = -1;
    }
    if (v->stepEnv.stage != VK_ENV_IDLE) {
        const int stepWaveform = vk_int_clamped(params[VK_P_STEP_WAVEFORM], 0, 6);
        const float s = vk_bank_tick(&v->stepBank, v->stepFrequency, rate, stepWaveform);
        out += s * vk_env_tick(&v->stepEnv) * 0.6f;
    }

    out += keysTick(v, rate, waveform);
    return out;
}
