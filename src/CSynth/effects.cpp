// REAL-TIME CODE: vk_fx_process and everything it calls run on the render thread inside vk_render,
// once per frame. No allocation, no lock, no system call, no unbounded loop.

#include "CSynth/effects.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "CSynth/reverb.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kPiF = 3.14159265358979323846f;
constexpr float kTwoPiF = 6.28318530717958647692f;
constexpr float kHalfPiF = 1.57079632679489661923f;
constexpr float kMinMixAngle = 0.001534668f;  // the angle of amount 0.000977

enum Tap {
    kTapFilter = 2,
    kTapDistortion = 3,
    kTapCrusher = 4,
    kTapChorus = 5,
    kTapPhaser = 6,
    kTapPitch = 7,
    kTapFreqShift = 8,
    kTapDelay = 9,
    kTapReverb = 10,
    kTapWidener = 11,
    kTapCompressor = 12,
    kTapMaster = 13,
};

inline float wrap01(float p) { return p - std::floor(p); }

// The final clip; NaN becomes 0, so nothing outside [-1, 1] reaches the device.
inline float clip(float x) {
    if (x > 1.0f) return 1.0f;
    if (x < -1.0f) return -1.0f;
    return x == x ? x : 0.0f;
}

int powerOfTwoAtLeast(int n) {
    int size = 1;
    while (size < n) size <<= 1;
    return size;
}

inline void mixGains(vk_mix_cache* c, float amount) {
    if (amount != c->amount) {
        vk_fx_mix_gains(amount, &c->dry, &c->wet);
        c->amount = amount;
    }
}

// ---------------------------------------------------------------- filter

void filterCoefficients(vk_fx* fx, double fc, float q, int type) {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    const double d = fc / (fx->rate / 2.0);
    auto zero = [&] { b0 = b1 = b2 = a1 = a2 = 0.0; };
    bool formula = false;
    switch (type) {
    case 0:  // lowpass
        if (d <= 0.0) zero();
        else if (d < 1.0) formula = true;
        break;
    case 1:  // highpass
        if (d >= 1.0) zero();
        else if (d > 0.0) formula = true;
        break;
    case 2:  // bandpass
    case 3:  // notch
        if (!(d > 0.0 && d < 1.0)) {
            if (type == 2) zero();
        } else if (q <= 0.0f) {
            if (type == 3) zero();
        } else {
            formula = true;
        }
        break;
    default:  // no other type comes out of the parameter vector: pass the signal
        break;
    }
    if (formula) {
        const double h = std::sin(static_cast<float>(d * kPi / 2.0));
        const double e = 2.0 * h * h;  // 1 - e = cos(w)
        const double s = std::sin(static_cast<float>(d * kPi));
        const double alpha = type <= 1 ? s / (2.0 * fx->cachedGain) : s / (2.0 * q);
        const double k = 1.0 / (1.0 + alpha);
        switch (type) {
        case 0:
            b0 = h * h * k;
            b1 = e * k;
            b2 = h * h * k;
            break;
        case 1:
            b0 = b2 = ((2.0 - e) / 2.0) * k;
            b1 = -(2.0 - e) * k;
            break;
        case 2:
            b0 = alpha * k;
            b1 = 0.0;
            b2 = -alpha * k;
            break;
        default:
            b0 = b2 = k;
            b1 = -2.0 * (1.0 - e) * k;
            break;
        }
        a1 = -2.0 * (1.0 - e) * k;
        a2 = (1.0 - alpha) * k;
    }
    fx->b0 = b0;
    fx->b1 = b1;
    fx->b2 = b2;
    fx->a1 = a1;
    fx->a2 = a2;
}

// Both channels through the sections in use, side by side: two independent dependency chains.
inline void runSections(vk_fx* fx, float* l, float* r) {
    const double b0 = fx->b0, b1 = fx->b1, b2 = fx->b2, a1 = fx->a1, a2 = fx->a2;
    float xl = *l, xr = *r;
    for (int i = 0; i < fx->sections; ++i) {
        double* sl = fx->filterState[0][i];
        double* sr = fx->filterState[1][i];
        const double inL = xl, inR = xr;
        const double yl = b0 * inL + sl[0];
        const double yr = b0 * inR + sr[0];
        sl[0] = b1 * inL - a1 * yl + sl[1];
        sr[0] = b1 * inR - a1 * yr + sr[1];
        sl[1] = b2 * inL - a2 * yl;
        sr[1] = b2 * inR - a2 * yr;
        xl = static_cast<float>(yl);  // narrowed between sections
        xr = static_cast<float>(yr);
    }
    *l = xl;
    *r = xr;
}

void filterStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    const float s = std::sin(kTwoPiF * fx->sweepPhase);
    fx->sweepPhase = wrap01(fx->sweepPhase + p->lfoRate / fx->ratef);
    float lo = p->cutoff * 0.7407407f;
    if (!(lo >= 20.0f)) lo = 20.0f;
    float hi = p->cutoff * 1.35f;
    if (!(hi <= 20000.0f)) hi = 20000.0f;
    const float fc = lo + (s + 1.0f) * 0.5f * (hi - lo);

    int n = p->rolloff >= 1.0f && p->rolloff < 4.0f ? static_cast<int>(p->rolloff) : 1;
    if (n != fx->sections) {
        std::memset(fx->filterState, 0, sizeof fx->filterState);
        fx->sections = n;
    }
    if (p->q != fx->cachedQ) {
        fx->cachedQ = p->q;
        fx->cachedGain = std::pow(10.0, p->q * 0.05);
    }
    // Negative and NaN types become lowpass; large ones fall to the pass-through default.
    const int type = p->filterType >= 0.0f ? (p->filterType < 4.0f ? static_cast<int>(p->filterType) : 4) : 0;
    filterCoefficients(fx, fc, p->q, type);
    runSections(fx, l, r);
}

// ---------------------------------------------------------------- distortion

double besselI0(double v) {
    double sum = 0.0, term = 1.0;  // (v/2)^m / m!
    for (int m = 0; m < 40; ++m) {
        if (m > 0) term *= (v / 2.0) / m;
        sum += term * term;
    }
    return sum;
}

void halfBandCoefficients(float* c) {
    double h[16], total = 0.0;
    const double i0Beta = besselI0(8.0);
    for (int j = 0; j < 16; ++j) {
        const int n = 2 * j + 1;
        const double r = static_cast<double>(n) / 31.0;
        const double w = besselI0(8.0 * std::sqrt(std::max(0.0, 1.0 - r * r)));
        h[j] = w * std::sin(n * kPi / 2.0) / (kPi * i0Beta * n);
        total += h[j];
    }
    for (int j = 0; j < 16; ++j) c[j] = static_cast<float>(h[j] * 0.25 / total);
}

inline float shape(float u, float a) {
    if (std::fabs(u) < 0.001f) return 0.0f;
    const float v = u > 1.0f ? 1.0f : (u < -1.0f ? -1.0f : u);
    return ((a * 34.906586f + 1.0471976f) * v) / (a * 100.0f * std::fabs(v) + kPiF);
}

void distortionStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    const float a = p->distortion;
    const float* c = fx->halfBand;
    // Histories are stored twice (at pos and pos + length) and move backwards, so H[i] = in[pos + i]
    // and G[i] = out[pos + i] without wrapping.
    const int inPos = (fx->distInPos + 31) & 31;
    const int outPos = (fx->distOutPos + 62) & 63;
    float* io[2] = {l, r};
    for (int ch = 0; ch < 2; ++ch) {
        float* in = fx->distIn[ch];
        in[inPos] = in[inPos + 32] = *io[ch];
        const float* hist = in + inPos;
        // Four partial sums (taps j, j + 4, j + 8, j + 12) shorten the dependency chain.
        float u0s = 0.0f, u1s = 0.0f, u2s = 0.0f, u3s = 0.0f;
        for (int j = 0; j < 4; ++j) {
            u0s += c[j] * (hist[15 - j] + hist[16 + j]);
            u1s += c[j + 4] * (hist[11 - j] + hist[20 + j]);
            u2s += c[j + 8] * (hist[7 - j] + hist[24 + j]);
            u3s += c[j + 12] * (hist[3 - j] + hist[28 + j]);
        }
        const float u1 = 2.0f * ((u0s + u1s) + (u2s + u3s));
        const float u0 = hist[16];

        float* out = fx->distOut[ch];
        out[outPos] = out[outPos + 64] = shape(u1, a);
        out[outPos + 1] = out[outPos + 65] = shape(u0, a);
        const float* g = out + outPos;
        float v0 = 0.0f, v1 = 0.0f, v2 = 0.0f, v3 = 0.0f;
        for (int j = 0; j < 4; ++j) {
            v0 += c[j] * (g[30 - 2 * j] + g[32 + 2 * j]);
            v1 += c[j + 4] * (g[22 - 2 * j] + g[40 + 2 * j]);
            v2 += c[j + 8] * (g[14 - 2 * j] + g[48 + 2 * j]);
            v3 += c[j + 12] * (g[6 - 2 * j] + g[56 + 2 * j]);
        }
        *io[ch] = 0.5f * g[31] + ((v0 + v1) + (v2 + v3));
    }
    fx->distInPos = inPos;
    fx->distOutPos = outPos;
}

// ---------------------------------------------------------------- bit crusher

void crusherStage(const vk_fx_params* p, float* l, float* r) {
    float depth = std::round(p->bitCrushDepth);  // halves away from zero
    if (!(depth < 16.0f)) return;                  // 16 and more (and NaN) pass unchanged
    const int bits = depth < 1.0f ? 1 : static_cast<int>(depth);
    // The step is a power of two, so multiplying by its inverse is the same as dividing by it.
    const float step = std::ldexp(1.0f, 1 - bits);
    const float inverse = std::ldexp(1.0f, bits - 1);
    *l = std::floor(*l * inverse + 0.5f) * step;
    *r = std::floor(*r * inverse + 0.5f) * step;
}

// ---------------------------------------------------------------- modulation

void chorusStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    const float s = std::sin(kTwoPiF * fx->chorusPhase);
    fx->chorusPhase = wrap01(fx->chorusPhase + 1.2f / fx->ratef);
    vk_delay_write(&fx->chorusLine[0], *l);
    vk_delay_write(&fx->chorusLine[1], *r);
    const float wl = vk_delay_read(&fx->chorusLine[0], 1.0f + fx->ratef * (0.0035f + 0.0021f * s));
    const float wr = vk_delay_read(&fx->chorusLine[1], 1.0f + fx->ratef * (0.0035f - 0.0021f * s));
    mixGains(&fx->chorusMix, p->chorus);
    *l = fx->chorusMix.dry * *l + fx->chorusMix.wet * wl;
    *r = fx->chorusMix.dry * *r + fx->chorusMix.wet * wr;
}

void phaserStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    const float s = std::sin(kTwoPiF * fx->phaserPhase);
    fx->phaserPhase = wrap01(fx->phaserPhase + p->phaserRate / fx->ratef);
    if (!(p->phaserDepth > 0.0001f)) return;
    const float centre[2] = {1575.0f + 1225.0f * s, 1575.0f - 1225.0f * s};
    double b0[2], a1[2], a2[2], b2[2];
    for (int ch = 0; ch < 2; ++ch) {
        const double d = centre[ch] / (fx->rate / 2.0);
        b0[ch] = 1.0;
        a1[ch] = a2[ch] = b2[ch] = 0.0;
        if (d > 0.0 && d < 1.0) {
            const double h = std::sin(static_cast<float>(d * kPi / 2.0));
            const double sn = std::sin(static_cast<float>(d * kPi));
            const double alpha = 0.05 * sn;  // a Q of 10
            const double k = 1.0 / (1.0 + alpha);
            b0[ch] = a2[ch] = (1.0 - alpha) * k;
            a1[ch] = (4.0 * h * h - 2.0) * k;
            b2[ch] = 1.0;
        }
    }
    // Both sides advance together, section by section: two independent dependency chains kept in
    // registers.
    float xl = *l, xr = *r;
    double (*sl)[2] = fx->phaserState[0];
    double (*sr)[2] = fx->phaserState[1];
    for (int i = 0; i < 8; ++i) {
        const double inL = xl, inR = xr;
        const double yl = b0[0] * inL + sl[i][0];
        const double yr = b0[1] * inR + sr[i][0];
        sl[i][0] = sl[i][1] + a1[0] * (inL - yl);
        sr[i][0] = sr[i][1] + a1[1] * (inR - yr);
        sl[i][1] = b2[0] * inL - a2[0] * yl;
        sr[i][1] = b2[1] * inR - a2[1] * yr;
        xl = static_cast<float>(yl);
        xr = static_cast<float>(yr);
    }
    const float x[2] = {xl, xr};
    mixGains(&fx->phaserMix, p->phaserDepth);
    *l = fx->phaserMix.dry * *l + fx->phaserMix.wet * x[0];
    *r = fx->phaserMix.dry * *r + fx->phaserMix.wet * x[1];
}

void pitchStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    // Beyond four octaves the grain rate stops being meaningful; NaN is no shift.
    float shift = std::round(p->pitchShift);
    if (!(shift == shift)) shift = 0.0f;
    const int n = shift < -48.0f ? -48 : (shift > 48.0f ? 48 : static_cast<int>(shift));
    const float target = n != 0 ? 1.0f : 0.0f;
    const float maxStep = 50.0f / fx->ratef;  // a 20 ms fade
    if (fx->pitchLevel < target)
        fx->pitchLevel = fx->pitchLevel + maxStep < target ? fx->pitchLevel + maxStep : target;
    else if (fx->pitchLevel > target)
        fx->pitchLevel = fx->pitchLevel - maxStep > target ? fx->pitchLevel - maxStep : target;
    vk_delay_write(&fx->pitchLine[0], *l);
    vk_delay_write(&fx->pitchLine[1], *r);
    if (fx->pitchLevel <= 0.0f) return;

    // Below unison one semitone further down, as the reversed grains play at about (1 + ratio).
    if (n != fx->pitchSemitones) {
        fx->pitchSemitones = n;
        fx->pitchRatio = n >= 0 ? std::exp2(n / 12.0f) : std::exp2((n - 1) / 12.0f);
    }
    const float ratio = fx->pitchRatio;
    const float ph = fx->grainPhase;
    const float q = wrap01(ph + 0.5f);
    const float angle = kHalfPiF - kPiF * std::fabs(wrap01(ph) - 0.5f);
    const float ga = std::sin(angle);
    const float gb = std::cos(angle);
    fx->grainPhase = wrap01(ph + (n >= 0 ? ratio - 1.0f : ratio + 1.0f) * 12.0f / fx->ratef);
    float da, db;
    if (n >= 0) {
        da = 0.092427f - 0.084854f * ph;
        db = 0.092427f - 0.084854f * q;
    } else {
        da = 0.007573f + 0.084854f * ph;
        db = 0.007573f + 0.084854f * q;
    }
    if (fx->pitchLevel != fx->pitchMix.amount) {
        fx->pitchMix.amount = fx->pitchLevel;
        fx->pitchMix.dry = std::cos(fx->pitchLevel * kHalfPiF);
        fx->pitchMix.wet = std::sin(fx->pitchLevel * kHalfPiF);
    }
    const float dry = fx->pitchMix.dry;
    const float wet = fx->pitchMix.wet;
    float* io[2] = {l, r};
    for (int ch = 0; ch < 2; ++ch) {
        const float w = ga * vk_delay_read(&fx->pitchLine[ch], da * fx->ratef + 1.0f) +
                        gb * vk_delay_read(&fx->pitchLine[ch], db * fx->ratef + 1.0f);
        *io[ch] = dry * *io[ch] + wet * w;
    }
}

constexpr float kHilbertP[4] = {0.4794009f, 0.8762185f, 0.97659755f, 0.9974992f};
constexpr float kHilbertQ[4] = {0.1617585f, 0.7330289f, 0.94534963f, 0.99059916f};

inline float allpassChain(vk_allpass2* s, const float* c, float x) {
    for (int i = 0; i < 4; ++i) {
        const float y = c[i] * (x + s[i].y2) - s[i].x2;
        s[i].x2 = s[i].x1;
        s[i].x1 = x;
        s[i].y2 = s[i].y1;
        s[i].y1 = y;
        x = y;
    }
    return x;
}

void freqShiftStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    const float angle = kTwoPiF * static_cast<float>(fx->shiftPhase);
    const double next = fx->shiftPhase + static_cast<double>(p->freqShift) / fx->rate;
    fx->shiftPhase = std::isfinite(next) ? next - std::floor(next) : 0.0;
    const float c = std::cos(angle), s = std::sin(angle);
    float* io[2] = {l, r};
    for (int ch = 0; ch < 2; ++ch) {
        const float x = *io[ch];
        const float pOut = allpassChain(fx->hilbertP[ch], kHilbertP, x);
        const float qOut = allpassChain(fx->hilbertQ[ch], kHilbertQ, x);
        *io[ch] = qOut * c - fx->hilbertDelay[ch] * s;
        fx->hilbertDelay[ch] = pOut;
    }
}

void delayStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    float t = p->delayTime;
    const float minT = 1.0f / fx->ratef;
    if (!(t >= minT)) t = minT;
    if (t > 1.0f) t = 1.0f;
    const float d = t * fx->ratef;
    float fb = p->delayFeedback;
    if (!(fb >= 0.0f)) fb = 0.0f;
    if (fb > 0.95f) fb = 0.95f;
    mixGains(&fx->delayMix, p->delayWet);
    const float dry = fx->delayMix.dry, wet = fx->delayMix.wet;
    float* io[2] = {l, r};
    for (int ch = 0; ch < 2; ++ch) {
        vk_delay_line* line = &fx->delayLine[ch];
        const float out = vk_delay_read(line, d);
        const float back = vk_delay_read(line, d + 128.0f);
        const float x = *io[ch];
        vk_delay_write(line, x + fb * back);
        *io[ch] = dry * x + wet * out;
    }
}

void reverbStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    float wl = 0.0f, wr = 0.0f;
    if (fx->reverb) vk_rv_tick(fx->reverb, *l, *r, &wl, &wr);
    float w = p->reverbWet;
    if (!(w >= 0.0f)) w = 0.0f;
    if (w > 1.0f) w = 1.0f;
    mixGains(&fx->reverbMix, w);
    *l = fx->reverbMix.dry * *l + fx->reverbMix.wet * wl;
    *r = fx->reverbMix.dry * *r + fx->reverbMix.wet * wr;
}

void widenerStage(const vk_fx_params* p, float* l, float* r) {
    const float w = p->stereoWidth;
    const float k = w >= 0.0f ? 1.0f - 2.0f * (w < 1.0f ? w : 1.0f) : 1.0f;
    const float left = *l, right = *r;
    *l = left + k * right;
    *r = right + k * left;
}

void compressorStage(vk_fx* fx, const vk_fx_params* p, float* l, float* r) {
    float g = p->glue;
    if (!(g >= 0.0f)) g = 0.0f;
    if (g > 1.0f) g = 1.0f;
    fx->compressor.threshold = -6.0f - 22.0f * g;
    fx->compressor.ratio = 1.5f + 6.0f * g;
    comp_tick(&fx->compressor, l, r, fx->ratef);
}

}  // namespace

float vk_delay_read(const vk_delay_line* line, float delay) {
    float pos = static_cast<float>(line->write) - delay;
    while (pos < 0.0f) pos += static_cast<float>(line->size);
    const int i = static_cast<int>(pos);
    const float frac = pos - static_cast<float>(i);
    const float a = line->buf[i & line->mask];
    const float b = line->buf[(i + 1) & line->mask];
    return a + frac * (b - a);
}

void vk_fx_mix_gains(float amount, float* dry, float* wet) {
    const float theta = amount >= 0.000977f ? (amount < 1.0f ? amount : 1.0f) * kHalfPiF : kMinMixAngle;
    *dry = std::cos(theta);
    *wet = std::sin(theta);
}

float* vk_fx_init(vk_fx* fx, double rate) {
    if (!(rate > 0.0) || !(rate * 1.1 + 256.0 <= 1073741824.0)) return nullptr;  // line sizes are int
    const int chorus = powerOfTwoAtLeast(static_cast<int>(rate * 0.02));
    const int pitch = powerOfTwoAtLeast(static_cast<int>(rate * 0.2));
    const int delay = powerOfTwoAtLeast(static_cast<int>(rate * 1.1) + 256);
    const std::size_t total = 2 * (static_cast<std::size_t>(chorus) + pitch + delay);
    auto* memory = static_cast<float*>(std::calloc(total, sizeof(float)));
    if (!memory) return nullptr;
    fx->rate = rate;
    fx->ratef = static_cast<float>(rate);
    fx->memory = memory;
    float* at = memory;
    auto line = [&at](vk_delay_line* l, int size) {
        l->buf = at;
        l->size = size;
        l->mask = size - 1;
        l->write = 0;
        at += size;
    };
    line(&fx->chorusLine[0], chorus);
    line(&fx->chorusLine[1], chorus);
    line(&fx->pitchLine[0], pitch);
    line(&fx->pitchLine[1], pitch);
    line(&fx->delayLine[0], delay);
    line(&fx->delayLine[1], delay);
    return memory;
}

void vk_fx_free(vk_fx* fx) {
    std::free(fx->memory);
    fx->memory = nullptr;
}

void vk_fx_reset(vk_fx* fx) {
    for (vk_delay_line* l : {&fx->chorusLine[0], &fx->chorusLine[1], &fx->pitchLine[0], &fx->pitchLine[1],
                             &fx->delayLine[0], &fx->delayLine[1]})
        std::memset(l->buf, 0, sizeof(float) * static_cast<std::size_t>(l->size));
    fx->b0 = 1.0;
    fx->b1 = fx->b2 = fx->a1 = fx->a2 = 0.0;
    fx->cachedQ = 1e30f;
    fx->cachedGain = 1.0;
    fx->sections = 1;
    std::memset(fx->filterState, 0, sizeof fx->filterState);
    fx->sweepPhase = 0.0f;
    halfBandCoefficients(fx->halfBand);
    std::memset(fx->distIn, 0, sizeof fx->distIn);
    std::memset(fx->distOut, 0, sizeof fx->distOut);
    fx->distInPos = 0;
    fx->distOutPos = 0;
    fx->chorusPhase = 0.0f;
    fx->phaserPhase = 0.0f;
    std::memset(fx->phaserState, 0, sizeof fx->phaserState);
    fx->grainPhase = 0.0f;
    fx->pitchLevel = 0.0f;
    fx->shiftPhase = 0.0;
    std::memset(fx->hilbertP, 0, sizeof fx->hilbertP);
    std::memset(fx->hilbertQ, 0, sizeof fx->hilbertQ);
    fx->hilbertDelay[0] = fx->hilbertDelay[1] = 0.0f;
    for (vk_mix_cache* m : {&fx->chorusMix, &fx->phaserMix, &fx->pitchMix, &fx->delayMix, &fx->reverbMix})
        *m = vk_mix_cache{std::numeric_limits<float>::quiet_NaN(), 1.0f, 0.0f};
    fx->pitchSemitones = 0;
    fx->pitchRatio = 1.0f;
    comp_reset(&fx->compressor, -13.7f, 8.0f, 3.6f, 0.01f, 0.2f, fx->ratef);
    comp_reset(&fx->limiter, -1.0f, 30.0f, 20.0f, 0.003f, 0.01f, fx->ratef);
}

void vk_fx_stage(vk_fx* fx, int stage, const vk_fx_params* p, float* l, float* r) {
    switch (stage) {
    case kTapFilter: filterStage(fx, p, l, r); break;
    case kTapDistortion: distortionStage(fx, p, l, r); break;
    case kTapCrusher: crusherStage(p, l, r); break;
    case kTapChorus: chorusStage(fx, p, l, r); break;
    case kTapPhaser: phaserStage(fx, p, l, r); break;
    case kTapPitch: pitchStage(fx, p, l, r); break;
    case kTapFreqShift: freqShiftStage(fx, p, l, r); break;
    case kTapDelay: delayStage(fx, p, l, r); break;
    case kTapReverb: reverbStage(fx, p, l, r); break;
    case kTapWidener: widenerStage(p, l, r); break;
    case kTapCompressor: compressorStage(fx, p, l, r); break;
    case kTapMaster:
        *l *= p->volume;
        *r *= p->volume;
        break;
    default: break;
    }
}

void vk_fx_process(vk_fx* fx, const vk_fx_params* p, float inLeft, float inRight, float* outLeft, float* outRight) {
    float l = inLeft, r = inRight;
    const int tap = fx->tap;
    auto done = [&](int stage) {
        if (tap != stage) return false;
        *outLeft = l;
        *outRight = r;
        return true;
    };
    filterStage(fx, p, &l, &r);
    if (done(kTapFilter)) return;
    distortionStage(fx, p, &l, &r);
    if (done(kTapDistortion)) return;
    crusherStage(p, &l, &r);
    if (done(kTapCrusher)) return;
    chorusStage(fx, p, &l, &r);
    if (done(kTapChorus)) return;
    phaserStage(fx, p, &l, &r);
    if (done(kTapPhaser)) return;
    pitchStage(fx, p, &l, &r);
    if (done(kTapPitch)) return;
    freqShiftStage(fx, p, &l, &r);
    if (done(kTapFreqShift)) return;
    delayStage(fx, p, &l, &r);
    if (done(kTapDelay)) return;
    reverbStage(fx, p, &l, &r);
    if (done(kTapReverb)) return;
    widenerStage(p, &l, &r);
    if (done(kTapWidener)) return;
    compressorStage(fx, p, &l, &r);
    if (done(kTapCompressor)) return;
    l *= p->volume;
    r *= p->volume;
    if (done(kTapMaster)) return;
    comp_tick(&fx->limiter, &l, &r, fx->ratef);
    *outLeft = clip(l);
    *outRight = clip(r);
}
