// REAL-TIME CODE: vk_fx_process and everything it calls run on the render thread inside vk_render,
// once per frame. No allocation, no lock, no system call, no unbounded loop.

#include "CSynth/effects.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "CSynth/fastmath.h"
#include "CSynth/reverb.h"

#define VK_INLINE __attribute__((always_inline)) inline
// The chain is compiled for the wider instruction sets as well (three-operand forms, more registers);
// instruction-set clones are resolved through ifuncs, which run before ThreadSanitizer's runtime is
// up, so the instrumented build does without them.
#if defined(__SANITIZE_THREAD__)
#define VK_FX_CLONES
#else
#define VK_FX_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kPiF = 3.14159265358979323846f;
constexpr float kHalfPiF = 1.57079632679489661923f;
constexpr float kMinMixAngle = 0.001534668f; // the angle of amount 0.000977

// A tap's number; the stages' order is vk_tap's.
constexpr int tapOf(vk_tap tap) { return static_cast<int>(tap); }
// The stages after the master volume (the limiter and the clip), which only the full output reaches.
constexpr int kPastMaster = tapOf(vk_tap::master) + 1;

inline float wrap01(float p) { return p - std::floor(p); }

// The final clip; NaN becomes 0, so nothing outside [-1, 1] reaches the device.
inline float clip(float x)
{
    if (x > 1.0f) return 1.0f;
    if (x < -1.0f) return -1.0f;
    return x == x ? x : 0.0f;
}

int powerOfTwoAtLeast(int n)
{
    int size = 1;
    while (size < n) size <<= 1;
    return size;
}

// frequency / rate, divided again only when the frequency moved.
inline float phaseStep(vk_phase_step* c, float frequency, float rate)
{
    if (!(frequency == c->value)) {
        c->value = frequency;
        c->step = frequency / rate;
    }
    return c->step;
}

inline void mixGains(vk_mix_cache* c, float amount)
{
    if (amount != c->amount) {
        vk_fx_mix_gains(amount, &c->dry, &c->wet);
        c->amount = amount;
    }
}

// ---------------------------------------------------------------- delay lines

// vk_delay_read for the stages' own delays, which all lie in [1, size): one wrap is then enough. With
// `ahead` 1 the line is read as it will be once the next sample is written.
VK_INLINE float readLine(const vk_delay_line* line, float delay, int ahead)
{
    float pos = static_cast<float>((line->write + ahead) & line->mask) - delay;
    if (pos < 0.0f) pos += static_cast<float>(line->size);
    const int i = static_cast<int>(pos);
    const float frac = pos - static_cast<float>(i);
    const float a = line->buf[i & line->mask];
    const float b = line->buf[(i + 1) & line->mask];
    return a + frac * (b - a);
}

// Both lines of a stereo pair at one delay in [1, size). The two lines are always written together,
// so they share their write position, and the position and fraction serve both.
VK_INLINE void readPair(const vk_delay_line* pair, float delay, int ahead, float* left, float* right)
{
    float pos = static_cast<float>((pair[0].write + ahead) & pair[0].mask) - delay;
    if (pos < 0.0f) pos += static_cast<float>(pair[0].size);
    const int i = static_cast<int>(pos);
    const float frac = pos - static_cast<float>(i);
    const int i0 = i & pair[0].mask, i1 = (i + 1) & pair[0].mask;
    const float* l = pair[0].buf;
    const float* r = pair[1].buf;
    *left = l[i0] + frac * (l[i1] - l[i0]);
    *right = r[i0] + frac * (r[i1] - r[i0]);
}

VK_INLINE void writePair(vk_delay_line* pair, float left, float right)
{
    const int w = pair[0].write;
    pair[0].buf[w] = left;
    pair[1].buf[w] = right;
    pair[0].write = pair[1].write = (w + 1) & pair[0].mask;
}

// ---------------------------------------------------------------- the frame's sines

// Every sine the stages take in one frame. None depends on the signal, only on phases and parameter
// values, so they are computed together, lane by lane, off the signal's path: first the oscillators'
// sines, then those of the coefficients that the swept cutoff and the phaser's two centre
// frequencies give. Each stage still moves its own phase, so a stage the tap leaves out keeps it.
struct FrameSines {
    float sweep;              // the filter sweep's sine
    float chorus;             // the chorus sweep's
    float phaser;             // the phaser sweep's
    float shiftSin, shiftCos; // the frequency shifter's carrier
    float grainA, grainB;     // the pitch shifter's window gains
    double filterD;           // swept cutoff / (rate / 2)
    float filterH, filterS;   // sin(D pi / 2), sin(D pi) in single precision
    double phaserD[2];        // centre frequencies / (rate / 2), left and right
    float phaserH[2], phaserS[2];
};

VK_INLINE void frameSines(const vk_fx* fx, const vk_fx_params* p, FrameSines* out)
{
    const vk_double4 phases = {fx->filter.sweepPhase, fx->chorus.phase, fx->phaser.phase,
                               static_cast<float>(fx->freqShift.phase)};
    vk_double4 sine, cosine;
    vk_fast::sinCosTurns(phases, &sine, &cosine);
    out->sweep = static_cast<float>(sine[0]);
    out->chorus = static_cast<float>(sine[1]);
    out->phaser = static_cast<float>(sine[2]);
    out->shiftSin = static_cast<float>(sine[3]);
    out->shiftCos = static_cast<float>(cosine[3]);

    // The cutoff sweeps between cutoff / 1.35 and cutoff x 1.35, held inside 20 Hz .. 20 kHz.
    float lo = p->cutoff * 0.7407407f;
    if (!(lo >= 20.0f)) lo = 20.0f;
    float hi = p->cutoff * 1.35f;
    if (!(hi <= 20000.0f)) hi = 20000.0f;
    const float fc = lo + (out->sweep + 1.0f) * 0.5f * (hi - lo);
    // The phaser's centres sweep 350 .. 2800 Hz, left and right in opposite directions.
    const float centreL = 1575.0f + 1225.0f * out->phaser;
    const float centreR = 1575.0f - 1225.0f * out->phaser;
    // The grain window's angle pi / 2 - pi |frac(p) - 0.5| makes its sine and cosine the cosine and
    // sine of half |p - 0.5| turns; it rides in the fourth lane.
    const float grain = std::fabs(fx->pitch.grainPhase - 0.5f);
    const vk_double4 hz = {fc, centreL, centreR, grain};
    const vk_double4 d = hz / fx->halfRate;
    out->filterD = d[0];
    out->phaserD[0] = d[1];
    out->phaserD[1] = d[2];

    // sin(D pi / 2) and sin(D pi) are D / 4 and D / 2 turns: f / (2 rate) and f / rate. Multiplying by
    // the reciprocals keeps the division (which only decides the range cases) off the way to the
    // coefficients.
    const double perRate = fx->invRate, perTwoRates = 0.5 * fx->invRate;
    const vk_double4 filterAndLeft =
        __builtin_shufflevector(hz, hz, 0, 0, 1, 1) * vk_double4{perTwoRates, perRate, perTwoRates, perRate};
    const vk_double4 rightAndGrain =
        __builtin_shufflevector(hz, hz, 2, 2, 3, 3) * vk_double4{perTwoRates, perRate, 0.5, 0.5};
    vk_double4 s1, c1, s2, c2;
    vk_fast::sinCosTurns(filterAndLeft, &s1, &c1);
    vk_fast::sinCosTurns(rightAndGrain, &s2, &c2);
    out->filterH = static_cast<float>(s1[0]);
    out->filterS = static_cast<float>(s1[1]);
    out->phaserH[0] = static_cast<float>(s1[2]);
    out->phaserS[0] = static_cast<float>(s1[3]);
    out->phaserH[1] = static_cast<float>(s2[0]);
    out->phaserS[1] = static_cast<float>(s2[1]);
    out->grainA = static_cast<float>(c2[2]);
    out->grainB = static_cast<float>(s2[2]);
}

// ---------------------------------------------------------------- filter

VK_INLINE void filterCoefficients(vk_fx_filter* f, const FrameSines& sines, float q, int type)
{
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    const double d = sines.filterD;
    auto zero = [&] { b0 = b1 = b2 = a1 = a2 = 0.0; };
    bool formula = false;
    switch (type) {
    case 0: // lowpass
        if (d <= 0.0)
            zero();
        else if (d < 1.0)
            formula = true;
        break;
    case 1: // highpass
        if (d >= 1.0)
            zero();
        else if (d > 0.0)
            formula = true;
        break;
    case 2: // bandpass
    case 3: // notch
        if (!(d > 0.0 && d < 1.0)) {
            if (type == 2) zero();
        } else if (q <= 0.0f) {
            if (type == 3) zero();
        } else {
            formula = true;
        }
        break;
    default: // no other type comes out of the parameter vector: pass the signal
        break;
    }
    if (formula) {
        const double h = sines.filterH;
        const double e = 2.0 * h * h; // 1 - e = cos(w)
        const double s = sines.filterS;
        const double alpha = type <= 1 ? s * f->halfInverseGain : s / (2.0 * q);
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
    f->b0 = b0;
    f->b1 = b1;
    f->b2 = b2;
    f->a1 = a1;
    f->a2 = a2;
}

// Both channels through the sections in use, side by side in the two lanes.
inline void runSections(vk_fx_filter* f, float* l, float* r)
{
    const double b0 = f->b0, b1 = f->b1, b2 = f->b2, a1 = f->a1, a2 = f->a2;
    vk_double2 x = {*l, *r};
    for (int i = 0; i < f->sections; ++i) {
        vk_double2* s = f->state[i];
        const vk_double2 y = b0 * x + s[0];
        s[0] = b1 * x - a1 * y + s[1];
        s[1] = b2 * x - a2 * y;
        // narrowed between sections
        x = __builtin_convertvector(__builtin_convertvector(y, vk_float2), vk_double2);
    }
    *l = static_cast<float>(x[0]);
    *r = static_cast<float>(x[1]);
}

VK_INLINE void process(vk_fx_filter* f, float rate, const vk_fx_params* p, const FrameSines& sines, float* l, float* r)
{
    f->sweepPhase = wrap01(f->sweepPhase + phaseStep(&f->sweepStep, p->lfoRate, rate));
    int n = p->rolloff >= 1.0f && p->rolloff < 4.0f ? static_cast<int>(p->rolloff) : 1;
    if (n != f->sections) {
        std::memset(f->state, 0, sizeof f->state);
        f->sections = n;
    }
    if (p->q != f->cachedQ) {
        f->cachedQ = p->q;
        f->cachedGain = std::pow(10.0, p->q * 0.05);
        f->halfInverseGain = 0.5 / f->cachedGain;
    }
    // Negative and NaN types become lowpass; large ones fall to the pass-through default.
    const int type = p->filterType >= 0.0f ? (p->filterType < 4.0f ? static_cast<int>(p->filterType) : 4) : 0;
    filterCoefficients(f, sines, p->q, type);
    runSections(f, l, r);
}

// ---------------------------------------------------------------- distortion

double besselI0(double v)
{
    double sum = 0.0, term = 1.0; // (v/2)^m / m!
    for (int m = 0; m < 40; ++m) {
        if (m > 0) term *= (v / 2.0) / m;
        sum += term * term;
    }
    return sum;
}

void halfBandCoefficients(float* c)
{
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

// The shaping curve on four values at once.
inline vk_float4 shape(vk_float4 u, float a)
{
    const vk_float4 one = {1.0f, 1.0f, 1.0f, 1.0f};
    const vk_float4 magnitude = u < 0.0f ? -u : u;
    vk_float4 v = u > one ? one : (u < -one ? -one : u);
    const vk_float4 absV = v < 0.0f ? -v : v;
    const vk_float4 y = ((a * 34.906586f + 1.0471976f) * v) / (a * 100.0f * absV + kPiF);
    const vk_float4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
    return magnitude < 0.001f ? zero : y;
}

// One history of stereo pairs for a half-band sum, kept in two copies so that both halves of the
// symmetric filter read forwards: `down` holds H[0..31] (H[0] newest) from down[dpos] on, `up` holds
// H[31..0] from up[upos] on. Each copy is stored twice (at i and i + 32), so windows never wrap.
struct HalfBandWindow {
    const float* down; // H[0]
    const float* up;   // H[31]
};

// Sum over j = 0..14 of c[j] (H[15 - j] + H[16 + j]): every tap but the last, which holds the newest
// value (H[0]) and so is added by the caller, after everything else.
VK_INLINE vk_float2 halfBandOlder(const vk_fx_distortion* d, HalfBandWindow w)
{
    const float* later = w.down + 32; // H[16 + j], j = 0.. (pairs of floats)
    const float* earlier = w.up + 32; // H[15 - j]
    vk_float8 acc = {};
    for (int g = 0; g < 3; ++g) { // j = 4g .. 4g + 3
        vk_float8 a, b;
        std::memcpy(&a, earlier + 8 * g, sizeof a);
        std::memcpy(&b, later + 8 * g, sizeof b);
        acc += d->halfBandPairs[g] * (a + b);
    }
    vk_float4 a4, b4; // j = 12, 13
    std::memcpy(&a4, earlier + 24, sizeof a4);
    std::memcpy(&b4, later + 24, sizeof b4);
    const vk_float4 sum4 =
        (__builtin_shufflevector(acc, acc, 0, 1, 2, 3) + __builtin_shufflevector(acc, acc, 4, 5, 6, 7)) +
        d->halfBandTail * (a4 + b4);
    vk_float2 a2, b2; // j = 14
    std::memcpy(&a2, earlier + 28, sizeof a2);
    std::memcpy(&b2, later + 28, sizeof b2);
    return (__builtin_shufflevector(sum4, sum4, 0, 1) + __builtin_shufflevector(sum4, sum4, 2, 3)) +
           d->halfBand[14] * (a2 + b2);
}

// Moves a window on by one frame and stores the newest pair; returns the window after the move.
VK_INLINE HalfBandWindow halfBandPush(vk_float2* down, vk_float2* up, int32_t* downPos, int32_t* upPos, vk_float2 x)
{
    const int d = (*downPos + 31) & 31; // the down copy moves towards lower positions
    const int u = (*upPos + 1) & 31;    // the up copy towards higher ones; H[0] sits at its end
    const int newest = (u + 31) & 31;
    down[d] = down[d + 32] = x;
    up[newest] = up[newest + 32] = x;
    *downPos = d;
    *upPos = u;
    return HalfBandWindow{reinterpret_cast<const float*>(down + d), reinterpret_cast<const float*>(up + u)};
}

VK_INLINE void process(vk_fx_distortion* d, const vk_fx_params* p, float* l, float* r)
{
    const float a = p->distortion;
    const float c15 = d->halfBand[15];
    const vk_float2 x = {*l, *r};
    // The signal's path runs through the newest sample only, which meets the last tap (j = 15); the
    // older taps are summed beforehand, and the doubling is folded into both parts (exact: a power
    // of two).
    const HalfBandWindow in = halfBandPush(d->in, d->inUp, &d->inPos, &d->inUpPos, x);
    const vk_float2 older = halfBandOlder(d, in);
    vk_float2 h31, h16;
    std::memcpy(&h31, in.down + 62, sizeof h31);
    std::memcpy(&h16, in.down + 32, sizeof h16);
    const vk_float2 u1 = 2.0f * older + (2.0f * c15) * (x + h31);
    // Lanes: u1 left, u1 right, u0 left, u0 right (u0 = H[16]).
    const vk_float4 shaped = shape(__builtin_shufflevector(u1, h16, 0, 1, 2, 3), a);

    // Downsampling: G alternates shaped u1 values (even places) and shaped u0 values (odd places),
    // so its even places form a history of their own with the same half-band sum, and G[31] is the
    // u0 of 15 frames ago.
    const vk_float2 s1 = __builtin_shufflevector(shaped, shaped, 0, 1);
    const vk_float2 s0 = __builtin_shufflevector(shaped, shaped, 2, 3);
    const vk_float2 g31 = d->onSample[(d->onPos + 1) & 15];
    d->onSample[d->onPos] = s0;
    d->onPos = (d->onPos + 1) & 15;
    const HalfBandWindow out = halfBandPush(d->out, d->outUp, &d->outPos, &d->outUpPos, s1);
    const vk_float2 olderOut = halfBandOlder(d, out);
    vk_float2 g62;
    std::memcpy(&g62, out.down + 62, sizeof g62);
    const vk_float2 y = (0.5f * g31 + olderOut) + c15 * (s1 + g62);
    *l = y[0];
    *r = y[1];
}

// ---------------------------------------------------------------- bit crusher

VK_INLINE void process(vk_fx_crusher* c, const vk_fx_params* p, float* l, float* r)
{
    if (!(p->bitCrushDepth == c->depth)) {
        c->depth = p->bitCrushDepth;
        c->step = 0.0f;
        const float depth = std::round(p->bitCrushDepth); // halves away from zero
        if (depth < 16.0f) {                              // 16 and more (and NaN) pass unchanged
            const int bits = depth < 1.0f ? 1 : static_cast<int>(depth);
            // The step is a power of two, so multiplying by its inverse is the same as dividing by it.
            c->step = std::ldexp(1.0f, 1 - bits);
            c->inverse = std::ldexp(1.0f, bits - 1);
        }
    }
    if (c->step == 0.0f) return;
    const float step = c->step, inverse = c->inverse;
    *l = std::floor(*l * inverse + 0.5f) * step;
    *r = std::floor(*r * inverse + 0.5f) * step;
}

// ---------------------------------------------------------------- modulation

// Each of the stages below is split in two: the part that needs nothing of this frame's signal (phase
// steps, coefficients, taps read from the delay lines, mix gains) and the part on the signal's path.
// The chain runs the first parts of all its stages ahead of the signal, so that the signal's own
// path is a plain run of arithmetic and the independent work around it can overlap it.

struct ChorusPrep {
    float wl, wr; // the delayed taps
    float dry, wet;
};

// The taps are read where they lie once this frame's sample is written (write position + 1); the
// delays exceed two samples, so the sample about to be written is not among them.
VK_INLINE void prepare(vk_fx_chorus* st, float rate, const vk_fx_params* p, const FrameSines& sines, ChorusPrep* c)
{
    const float s = sines.chorus;
    st->phase = wrap01(st->phase + st->phaseStep);
    c->wl = readLine(&st->line[0], 1.0f + rate * (0.0035f + 0.0021f * s), 1);
    c->wr = readLine(&st->line[1], 1.0f + rate * (0.0035f - 0.0021f * s), 1);
    mixGains(&st->mix, p->chorus);
    c->dry = st->mix.dry;
    c->wet = st->mix.wet;
}

VK_INLINE void apply(vk_fx_chorus* st, const ChorusPrep& c, float* l, float* r)
{
    writePair(st->line, *l, *r);
    *l = c.dry * *l + c.wet * c.wl;
    *r = c.dry * *r + c.wet * c.wr;
}

struct PhaserPrep {
    bool active;
    vk_double2 b0, a1, a2, b2; // lane 0 left, lane 1 right
    float dry, wet;
};

VK_INLINE void prepare(vk_fx_phaser* st, float rate, const vk_fx_params* p, const FrameSines& sines, PhaserPrep* c)
{
    st->phase = wrap01(st->phase + phaseStep(&st->phaseStep, p->phaserRate, rate));
    c->active = p->phaserDepth > 0.0001f;
    if (!c->active) return;
    double b0[2], a1[2], a2[2], b2[2];
    for (int ch = 0; ch < 2; ++ch) {
        const double d = sines.phaserD[ch];
        b0[ch] = 1.0;
        a1[ch] = a2[ch] = b2[ch] = 0.0;
        if (d > 0.0 && d < 1.0) {
            const double h = sines.phaserH[ch];
            const double sn = sines.phaserS[ch];
            const double alpha = 0.05 * sn; // a Q of 10
            const double k = 1.0 / (1.0 + alpha);
            b0[ch] = a2[ch] = (1.0 - alpha) * k;
            a1[ch] = (4.0 * h * h - 2.0) * k;
            b2[ch] = 1.0;
        }
    }
    c->b0 = vk_double2{b0[0], b0[1]};
    c->a1 = vk_double2{a1[0], a1[1]};
    c->a2 = vk_double2{a2[0], a2[1]};
    c->b2 = vk_double2{b2[0], b2[1]};
    mixGains(&st->mix, p->phaserDepth);
    c->dry = st->mix.dry;
    c->wet = st->mix.wet;
}

VK_INLINE void apply(vk_fx_phaser* ph, const PhaserPrep& c, float* l, float* r)
{
    if (!c.active) return;
    // Both sides advance together in the two lanes. b2 is 1 but for centres outside the band, and
    // multiplying by 1 changes nothing, so the common case leaves it out.
    vk_double2 in = {*l, *r};
    if (c.b2[0] == 1.0 && c.b2[1] == 1.0) {
        for (int i = 0; i < 8; ++i) {
            vk_double2* st = ph->state[i];
            const vk_double2 y = c.b0 * in + st[0];
            st[0] = st[1] + c.a1 * (in - y);
            st[1] = in - c.a2 * y;
            in = __builtin_convertvector(__builtin_convertvector(y, vk_float2), vk_double2);
        }
    } else {
        for (int i = 0; i < 8; ++i) {
            vk_double2* st = ph->state[i];
            const vk_double2 y = c.b0 * in + st[0];
            st[0] = st[1] + c.a1 * (in - y);
            st[1] = c.b2 * in - c.a2 * y;
            in = __builtin_convertvector(__builtin_convertvector(y, vk_float2), vk_double2);
        }
    }
    *l = c.dry * *l + c.wet * static_cast<float>(in[0]);
    *r = c.dry * *r + c.wet * static_cast<float>(in[1]);
}

struct PitchPrep {
    bool active;  // the shifter's level is above 0
    float wl, wr; // the two grains, window gains applied
    float dry, wet;
};

VK_INLINE void prepare(vk_fx_pitch* st, float rate, const vk_fx_params* p, const FrameSines& sines, PitchPrep* c)
{
    // Beyond four octaves the grain rate stops being meaningful; NaN is no shift. The value is the
    // one last received, so its rounding is kept until it changes.
    if (!(p->pitchShift == st->shiftValue)) {
        st->shiftValue = p->pitchShift;
        float shift = std::round(p->pitchShift);
        if (!(shift == shift)) shift = 0.0f;
        st->shiftSemitones = shift < -48.0f ? -48 : (shift > 48.0f ? 48 : static_cast<int>(shift));
    }
    const int n = st->shiftSemitones;
    const float target = n != 0 ? 1.0f : 0.0f;
    const float maxStep = st->fadeStep;
    if (st->level < target)
        st->level = st->level + maxStep < target ? st->level + maxStep : target;
    else if (st->level > target)
        st->level = st->level - maxStep > target ? st->level - maxStep : target;
    c->active = st->level > 0.0f;
    if (!c->active) return;

    // Below unison one semitone further down, as the reversed grains play at about (1 + ratio).
    if (n != st->semitones) {
        st->semitones = n;
        st->ratio = n >= 0 ? std::exp2(n / 12.0f) : std::exp2((n - 1) / 12.0f);
        st->grainStep = (n >= 0 ? st->ratio - 1.0f : st->ratio + 1.0f) * 12.0f / rate;
    }
    const float ph = st->grainPhase;
    const float q = wrap01(ph + 0.5f);
    const float ga = sines.grainA;
    const float gb = sines.grainB;
    st->grainPhase = wrap01(ph + st->grainStep);
    float da, db;
    if (n >= 0) {
        da = 0.092427f - 0.084854f * ph;
        db = 0.092427f - 0.084854f * q;
    } else {
        da = 0.007573f + 0.084854f * ph;
        db = 0.007573f + 0.084854f * q;
    }
    if (st->level != st->mix.amount) {
        st->mix.amount = st->level;
        st->mix.dry = std::cos(st->level * kHalfPiF);
        st->mix.wet = std::sin(st->level * kHalfPiF);
    }
    c->dry = st->mix.dry;
    c->wet = st->mix.wet;
    // Read where the grains lie once this frame's sample is written; the grain delays exceed two
    // samples, so that sample is not among them.
    float al, ar, bl, br;
    readPair(st->line, da * rate + 1.0f, 1, &al, &ar);
    readPair(st->line, db * rate + 1.0f, 1, &bl, &br);
    c->wl = ga * al + gb * bl;
    c->wr = ga * ar + gb * br;
}

VK_INLINE void apply(vk_fx_pitch* st, const PitchPrep& c, float* l, float* r)
{
    writePair(st->line, *l, *r); // always, even at level 0
    if (!c.active) return;
    *l = c.dry * *l + c.wet * c.wl;
    *r = c.dry * *r + c.wet * c.wr;
}

constexpr float kHilbertP[4] = {0.4794009f, 0.8762185f, 0.97659755f, 0.9974992f};
constexpr float kHilbertQ[4] = {0.1617585f, 0.7330289f, 0.94534963f, 0.99059916f};

// The four all-pass chains (P and Q of both channels) advance together, one lane each. Each section
// is c x + (c y2 - x2): the part from the section's history is ready before the signal arrives.
inline vk_float4 allpassChains(vk_allpass4* s, vk_float4 x)
{
    for (int i = 0; i < 4; ++i) {
        const vk_float4 c = {kHilbertP[i], kHilbertQ[i], kHilbertP[i], kHilbertQ[i]};
        const vk_float4 y = c * x + (c * s[i].y2 - s[i].x2);
        s[i].x2 = s[i].x1;
        s[i].x1 = x;
        s[i].y2 = s[i].y1;
        s[i].y1 = y;
        x = y;
    }
    return x;
}

VK_INLINE void prepare(vk_fx_freq_shift* st, double rate, const vk_fx_params* p)
{
    if (!(p->freqShift == st->phaseStep.value)) {
        st->phaseStep.value = p->freqShift;
        st->phaseStep.step = static_cast<double>(p->freqShift) / rate;
    }
    const double next = st->phase + st->phaseStep.step;
    st->phase = std::isfinite(next) ? next - std::floor(next) : 0.0;
}

VK_INLINE void apply(vk_fx_freq_shift* st, const FrameSines& sines, float* l, float* r)
{
    const float c = sines.shiftCos, s = sines.shiftSin;
    const vk_float4 x = {*l, *l, *r, *r};
    const vk_float4 y = allpassChains(st->hilbert, x);
    *l = y[1] * c - st->hilbertDelay[0] * s;
    *r = y[3] * c - st->hilbertDelay[1] * s;
    st->hilbertDelay[0] = y[0];
    st->hilbertDelay[1] = y[2];
}

struct DelayPrep {
    float outL, outR;   // the output taps
    float backL, backR; // the feedback taps
    float fb, dry, wet;
};

VK_INLINE void prepare(vk_fx_delay* st, float rate, const vk_fx_params* p, DelayPrep* c)
{
    float t = p->delayTime;
    const float minT = st->minTime;
    if (!(t >= minT)) t = minT;
    if (t > 1.0f) t = 1.0f;
    const float d = t * rate;
    float fb = p->delayFeedback;
    if (!(fb >= 0.0f)) fb = 0.0f;
    if (fb > 0.95f) fb = 0.95f;
    c->fb = fb;
    mixGains(&st->mix, p->delayWet);
    c->dry = st->mix.dry;
    c->wet = st->mix.wet;
    readPair(st->line, d, 0, &c->outL, &c->outR);
    readPair(st->line, d + 128.0f, 0, &c->backL, &c->backR);
}

VK_INLINE void apply(vk_fx_delay* st, const DelayPrep& c, float* l, float* r)
{
    const float xl = *l, xr = *r;
    writePair(st->line, xl + c.fb * c.backL, xr + c.fb * c.backR);
    *l = c.dry * xl + c.wet * c.outL;
    *r = c.dry * xr + c.wet * c.outR;
}

VK_INLINE void process(vk_fx_reverb_mix* st, vk_reverb* reverb, const vk_fx_params* p, float* l, float* r)
{
    float wl = 0.0f, wr = 0.0f;
    if (reverb) vk_rv_tick(reverb, *l, *r, &wl, &wr);
    float w = p->reverbWet;
    if (!(w >= 0.0f)) w = 0.0f;
    if (w > 1.0f) w = 1.0f;
    mixGains(&st->mix, w);
    *l = st->mix.dry * *l + st->mix.wet * wl;
    *r = st->mix.dry * *r + st->mix.wet * wr;
}

VK_INLINE void widen(const vk_fx_params* p, float* l, float* r)
{
    const float w = p->stereoWidth;
    const float k = w >= 0.0f ? 1.0f - 2.0f * (w < 1.0f ? w : 1.0f) : 1.0f;
    const float left = *l, right = *r;
    *l = left + k * right;
    *r = right + k * left;
}

VK_INLINE void glueSettings(vk_dynamics* compressor, const vk_fx_params* p)
{
    float g = p->glue;
    if (!(g >= 0.0f)) g = 0.0f;
    if (g > 1.0f) g = 1.0f;
    compressor->threshold = -6.0f - 22.0f * g;
    compressor->ratio = 1.5f + 6.0f * g;
}

// ---------------------------------------------------------------- the chain

// What the stages that have one prepared ahead of the signal.
struct Prepared {
    ChorusPrep chorus;
    PhaserPrep phaser;
    PitchPrep pitch;
    DelayPrep delay;
};

// A stage's part that needs nothing of this frame's signal (nothing for most stages).
template <vk_tap T>
VK_INLINE void prepareStage(vk_fx* fx, const vk_fx_params* p, const FrameSines& sines, Prepared* pr)
{
    if constexpr (T == vk_tap::chorus)
        prepare(&fx->chorus, fx->ratef, p, sines, &pr->chorus);
    else if constexpr (T == vk_tap::phaser)
        prepare(&fx->phaser, fx->ratef, p, sines, &pr->phaser);
    else if constexpr (T == vk_tap::pitch)
        prepare(&fx->pitch, fx->ratef, p, sines, &pr->pitch);
    else if constexpr (T == vk_tap::freqshift)
        prepare(&fx->freqShift, fx->rate, p);
    else if constexpr (T == vk_tap::delay)
        prepare(&fx->delay, fx->ratef, p, &pr->delay);
    else if constexpr (T == vk_tap::compressor)
        glueSettings(&fx->compressor, p);
}

// A stage on the signal's path, in place.
template <vk_tap T>
VK_INLINE void runStage(vk_fx* fx, const vk_fx_params* p, const FrameSines& sines, const Prepared& pr, float* l,
                        float* r)
{
    if constexpr (T == vk_tap::filter)
        process(&fx->filter, fx->ratef, p, sines, l, r);
    else if constexpr (T == vk_tap::distortion)
        process(&fx->distortion, p, l, r);
    else if constexpr (T == vk_tap::crusher)
        process(&fx->crusher, p, l, r);
    else if constexpr (T == vk_tap::chorus)
        apply(&fx->chorus, pr.chorus, l, r);
    else if constexpr (T == vk_tap::phaser)
        apply(&fx->phaser, pr.phaser, l, r);
    else if constexpr (T == vk_tap::pitch)
        apply(&fx->pitch, pr.pitch, l, r);
    else if constexpr (T == vk_tap::freqshift)
        apply(&fx->freqShift, sines, l, r);
    else if constexpr (T == vk_tap::delay)
        apply(&fx->delay, pr.delay, l, r);
    else if constexpr (T == vk_tap::reverb)
        process(&fx->reverbMix, fx->reverb, p, l, r);
    else if constexpr (T == vk_tap::widener)
        widen(p, l, r);
    else if constexpr (T == vk_tap::compressor)
        comp_tick(&fx->compressor, l, r, fx->ratef);
    else if constexpr (T == vk_tap::master) {
        *l *= p->volume;
        *r *= p->volume;
    }
}

// The taps from `first` to `last` as a sequence of numbers, for the folds below.
template <int First, int... I>
constexpr auto offsetBy(std::integer_sequence<int, I...>)
{
    return std::integer_sequence<int, (First + I)...>{};
}
template <vk_tap First, vk_tap Last>
using TapRange = decltype(offsetBy<tapOf(First)>(std::make_integer_sequence<int, tapOf(Last) - tapOf(First) + 1>{}));
using EveryStage = TapRange<vk_tap::filter, vk_tap::master>;
// The stages whose signal path runs frame by frame; the compressor's delayed output and what follows
// it need nothing of this frame's signal and are handled apart.
using SignalStages = TapRange<vk_tap::filter, vk_tap::widener>;

template <int... T>
VK_INLINE void prepareUpTo(vk_fx* fx, const vk_fx_params* p, const FrameSines& sines, int last, Prepared* pr,
                           std::integer_sequence<int, T...>)
{
    ((last >= T ? prepareStage<static_cast<vk_tap>(T)>(fx, p, sines, pr) : void()), ...);
}

// The stages on the signal's path in chain order. With kTapped, the chain stops after the stage `last`
// and this returns true; otherwise all run.
template <bool kTapped, int... T>
VK_INLINE bool signalPath(vk_fx* fx, const vk_fx_params* p, const FrameSines& sines, const Prepared& pr, int last,
                          float* l, float* r, std::integer_sequence<int, T...>)
{
    return ((runStage<static_cast<vk_tap>(T)>(fx, p, sines, pr, l, r), kTapped && last == T) || ...);
}

// One stage alone, prepared and run.
template <int... T>
void runOneStage(vk_fx* fx, int stage, const vk_fx_params* p, const FrameSines& sines, float* l, float* r,
                 std::integer_sequence<int, T...>)
{
    Prepared pr{};
    (void)((stage == T && (prepareStage<static_cast<vk_tap>(T)>(fx, p, sines, &pr),
                           runStage<static_cast<vk_tap>(T)>(fx, p, sines, pr, l, r), true)) ||
           ...);
}

// ---------------------------------------------------------------- the stages' start states
// Every history, phase and mix zeroed; delay lines keep their write positions.

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr vk_mix_cache kFreshMix{kNaN, 1.0f, 0.0f};

void clearLines(vk_delay_line* pair)
{
    for (int c = 0; c < 2; ++c) std::memset(pair[c].buf, 0, sizeof(float) * static_cast<std::size_t>(pair[c].size));
}

void reset(vk_fx_filter* f)
{
    f->b0 = 1.0;
    f->b1 = f->b2 = f->a1 = f->a2 = 0.0;
    f->cachedQ = 1e30f;
    f->cachedGain = 1.0;
    f->halfInverseGain = 0.5;
    f->sections = 1;
    std::memset(f->state, 0, sizeof f->state);
    f->sweepPhase = 0.0f;
    f->sweepStep = vk_phase_step{kNaN, 0.0f};
}

void reset(vk_fx_distortion* d)
{
    halfBandCoefficients(d->halfBand);
    for (int g = 0; g < 3; ++g)
        for (int i = 0; i < 8; ++i) d->halfBandPairs[g][i] = d->halfBand[4 * g + i / 2];
    for (int i = 0; i < 4; ++i) d->halfBandTail[i] = d->halfBand[12 + i / 2];
    std::memset(d->in, 0, sizeof d->in);
    std::memset(d->inUp, 0, sizeof d->inUp);
    std::memset(d->out, 0, sizeof d->out);
    std::memset(d->outUp, 0, sizeof d->outUp);
    std::memset(d->onSample, 0, sizeof d->onSample);
    d->inPos = d->inUpPos = 0;
    d->outPos = d->outUpPos = 0;
    d->onPos = 0;
}

void reset(vk_fx_crusher* c)
{
    c->depth = kNaN;
    c->step = 0.0f;
    c->inverse = 1.0f;
}

void reset(vk_fx_chorus* c)
{
    clearLines(c->line);
    c->phase = 0.0f;
    c->mix = kFreshMix;
}

void reset(vk_fx_phaser* ph)
{
    ph->phase = 0.0f;
    ph->phaseStep = vk_phase_step{kNaN, 0.0f};
    std::memset(ph->state, 0, sizeof ph->state);
    ph->mix = kFreshMix;
}

void reset(vk_fx_pitch* st)
{
    clearLines(st->line);
    st->grainPhase = 0.0f;
    st->level = 0.0f;
    st->mix = kFreshMix;
    st->semitones = 0;
    st->ratio = 1.0f;
    st->grainStep = 0.0f;
    st->shiftValue = kNaN;
    st->shiftSemitones = 0;
}

void reset(vk_fx_freq_shift* st)
{
    st->phaseStep.value = kNaN;
    st->phaseStep.step = 0.0;
    st->phase = 0.0;
    std::memset(st->hilbert, 0, sizeof st->hilbert);
    st->hilbertDelay[0] = st->hilbertDelay[1] = 0.0f;
}

void reset(vk_fx_delay* st)
{
    clearLines(st->line);
    st->mix = kFreshMix;
}

void reset(vk_fx_reverb_mix* st) { st->mix = kFreshMix; }

} // namespace

float vk_delay_read(const vk_delay_line* line, float delay)
{
    float pos = static_cast<float>(line->write) - delay;
    while (pos < 0.0f) pos += static_cast<float>(line->size);
    const int i = static_cast<int>(pos);
    const float frac = pos - static_cast<float>(i);
    const float a = line->buf[i & line->mask];
    const float b = line->buf[(i + 1) & line->mask];
    return a + frac * (b - a);
}

void vk_fx_mix_gains(float amount, float* dry, float* wet)
{
    const float theta = amount >= 0.000977f ? (amount < 1.0f ? amount : 1.0f) * kHalfPiF : kMinMixAngle;
    *dry = std::cos(theta);
    *wet = std::sin(theta);
}

float* vk_fx_init(vk_fx* fx, double rate)
{
    if (!(rate > 0.0) || !(rate * 1.1 + 256.0 <= 1073741824.0)) return nullptr; // line sizes are int
    const int chorus = powerOfTwoAtLeast(static_cast<int>(rate * 0.02));
    const int pitch = powerOfTwoAtLeast(static_cast<int>(rate * 0.2));
    const int delay = powerOfTwoAtLeast(static_cast<int>(rate * 1.1) + 256);
    const std::size_t total = 2 * (static_cast<std::size_t>(chorus) + pitch + delay);
    auto* memory = static_cast<float*>(std::calloc(total, sizeof(float)));
    if (!memory) return nullptr;
    fx->rate = rate;
    fx->halfRate = rate / 2.0;
    fx->invRate = 1.0 / rate;
    fx->ratef = static_cast<float>(rate);
    fx->chorus.phaseStep = 1.2f / fx->ratef;
    fx->pitch.fadeStep = 50.0f / fx->ratef;
    fx->delay.minTime = 1.0f / fx->ratef;
    fx->memory = memory;
    float* at = memory;
    auto line = [&at](vk_delay_line* l, int size) {
        l->buf = at;
        l->size = size;
        l->mask = size - 1;
        l->write = 0;
        at += size;
    };
    line(&fx->chorus.line[0], chorus);
    line(&fx->chorus.line[1], chorus);
    line(&fx->pitch.line[0], pitch);
    line(&fx->pitch.line[1], pitch);
    line(&fx->delay.line[0], delay);
    line(&fx->delay.line[1], delay);
    return memory;
}

void vk_fx_free(vk_fx* fx)
{
    std::free(fx->memory);
    fx->memory = nullptr;
}

void vk_fx_reset(vk_fx* fx)
{
    reset(&fx->filter);
    reset(&fx->distortion);
    reset(&fx->crusher);
    reset(&fx->chorus);
    reset(&fx->phaser);
    reset(&fx->pitch);
    reset(&fx->freqShift);
    reset(&fx->delay);
    reset(&fx->reverbMix);
    comp_reset(&fx->compressor, -13.7f, 8.0f, 3.6f, 0.01f, 0.2f, fx->ratef);
    comp_reset(&fx->limiter, -1.0f, 30.0f, 20.0f, 0.003f, 0.01f, fx->ratef);
}

void vk_fx_stage(vk_fx* fx, int stage, const vk_fx_params* p, float* l, float* r)
{
    FrameSines sines;
    frameSines(fx, p, &sines);
    runOneStage(fx, stage, p, sines, l, r, EveryStage{});
}

VK_FX_CLONES void vk_fx_process(vk_fx* fx, const vk_fx_params* p, float inLeft, float inRight, float* outLeft,
                                float* outRight)
{
    const int tap = fx->tap;
    // The last stage that runs: the tap's own for 2..13; past the master volume (the limiter and the
    // clip) for the output tap, the voices tap and anything else.
    const int last = tap >= tapOf(vk_tap::filter) && tap <= tapOf(vk_tap::master) ? tap : kPastMaster;

    // Everything that needs nothing of this frame's signal, for the stages that run.
    FrameSines sines;
    frameSines(fx, p, &sines);
    Prepared prepared{};
    prepareUpTo(fx, p, sines, last, &prepared, EveryStage{});
    // The compressor's output is its input of `lookahead` frames ago: it, the master volume, the
    // limiter and the clip need nothing of this frame's signal either.
    float outL = 0.0f, outR = 0.0f;
    if (last >= tapOf(vk_tap::compressor)) {
        comp_output(&fx->compressor, &outL, &outR, fx->ratef);
        if (last >= tapOf(vk_tap::master)) {
            outL *= p->volume;
            outR *= p->volume;
        }
        if (last > tapOf(vk_tap::master)) {
            const float xl = outL, xr = outR;
            comp_output(&fx->limiter, &outL, &outR, fx->ratef);
            comp_input(&fx->limiter, xl, xr);
            outL = clip(outL);
            outR = clip(outR);
        }
    }

    // The signal's path; when it runs to the end, without a look at the tap after each stage.
    float l = inLeft, r = inRight;
    const bool stopped = last <= tapOf(vk_tap::widener)
                             ? signalPath<true>(fx, p, sines, prepared, last, &l, &r, SignalStages{})
                             : signalPath<false>(fx, p, sines, prepared, last, &l, &r, SignalStages{});
    if (stopped) {
        *outLeft = l;
        *outRight = r;
        return;
    }
    comp_input(&fx->compressor, l, r);
    *outLeft = outL;
    *outRight = outR;
}
