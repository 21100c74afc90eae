// REAL-TIME CODE: comp_tick runs on the render thread inside vk_render; no allocation, no lock.

#include "CSynth/dynamics.h"

#include <cmath>

#include "CSynth/fastmath.h"

namespace {


inline float db(float x) { return 20.0f * std::log10(x); }
constexpr float kLn10Over20 = 0.11512925464970228420f;  // 10^(x/20) = e^(x ln10 / 20)
inline float undb(float x) { return std::exp(x * kLn10Over20); }

inline float kneeCurve(const vk_dynamics* d, float x) {
    if (x < d->linearThreshold) return x;
    return d->linearThreshold + (1.0f - std::exp(-d->k * (x - d->linearThreshold))) / d->k;
}

inline float saturate(const vk_dynamics* d, float x) {
    if (x < d->kneeThreshold) return kneeCurve(d, x);
    return undb(d->kneeOutputDb + d->slope * (db(x) - d->kneeThresholdDb));
}

// The same curve and conversions on the per-frame path, with the inline functions (the curve search
// and the envelope keep the library's, as they run at most once per 32 frames).
constexpr double kDbPerNeper = 8.68588963806503655302;    // 20 / ln 10
constexpr double kLog2PerDb = 0.16609640474436811739;     // log2(10) / 20
inline float fastDb(float x) { return static_cast<float>(vk_fast::log(x) * kDbPerNeper); }
inline float fastUndb(float x) { return static_cast<float>(vk_fast::exp2(x * kLog2PerDb)); }


void buildCurve(vk_dynamics* d) {
    d->cachedThreshold = d->threshold;
    d->cachedKnee = d->knee;
    d->cachedRatio = d->ratio;
    d->linearThreshold = undb(d->threshold);
    d->slope = 1.0f / d->ratio;
    d->kneeThresholdDb = d->threshold + d->knee;
    d->kneeThreshold = undb(d->kneeThresholdDb);

    // The knee's sharpness: the K whose curve has the fixed ratio's slope at the knee threshold.
    float lo = 0.1f, hi = 10000.0f;
    d->k = 5.0f;
    const float x = d->kneeThreshold;
    for (int i = 0; i < 15; ++i) {
        const float slope = (db(kneeCurve(d, 1.001f * x)) - db(kneeCurve(d, x))) / (db(1.001f * x) - db(x));
        if (slope >= 1.0f / d->ratio)
            lo = d->k;
        else
            hi = d->k;
        d->k = std::sqrt(lo * hi);
    }
    d->kneeOutputDb = db(kneeCurve(d, d->kneeThreshold));
    const float fullRange = saturate(d, 1.0f);
    d->makeupGain = std::pow(1.0f / fullRange, 0.6f);
}

void divisionStep(vk_dynamics* d, float rate) {
    if (d->threshold != d->cachedThreshold || d->knee != d->cachedKnee || d->ratio != d->cachedRatio) buildCurve(d);
    const float target = std::asin(d->detectorAverage) * 2.0f / 3.14159265358979323846f;
    float diff = db(d->compressorGain / target);
    if (target <= d->compressorGain) {  // attacking
        if (!std::isfinite(diff)) diff = 1.0f;
        if (d->maxAttackDiff == -1.0f || d->maxAttackDiff < diff) d->maxAttackDiff = diff;
        const float e = d->maxAttackDiff > 0.5f ? d->maxAttackDiff : 0.5f;
        d->envelopeRate = 1.0f - std::pow(0.25f / e, 1.0f / (d->attack * rate));
    } else {  // releasing
        d->maxAttackDiff = -1.0f;
        if (!std::isfinite(diff)) diff = -1.0f;
        const float y = diff < -12.0f ? 0.0f : 0.25f * (diff < 0.0f ? diff : 0.0f) + 3.0f;
        const float frames =
            (0.09f + 0.005988747f * y + y * y * (0.05040951f + 0.0126554165f * y + 0.0009463206f * y * y)) * rate *
            d->release;
        d->envelopeRate = std::pow(10.0f, 0.25f / frames);  // 5 dB per release period
    }
    d->targetGain = target;
}

}  // namespace

void comp_reset(vk_dynamics* d, float threshold, float knee, float ratio, float attack, float release, float rate) {
    *d = vk_dynamics{};
    d->threshold = threshold;
    d->knee = knee;
    d->ratio = ratio;
    d->attack = attack;
    d->release = release;
    d->cachedThreshold = 1e9f;  // forces a curve build on the first frame
    d->cachedKnee = 0.0f;
    d->cachedRatio = 0.0f;
    d->detectorAverage = 0.0f;
    d->compressorGain = 1.0f;
    d->maxAttackDiff = -1.0f;
    d->envelopeRate = 0.0f;
    d->targetGain = 0.0f;
    d->idleReleaseRate = undb(2.0f / (0.0025f * rate)) - 1.0f;  // the detector rate at 2 dB
    d->releaseLog2PerDb = kLog2PerDb / (0.0025 * rate);
    d->counter = 0;
    d->peakPending = 0;
    d->pendingPeak = 0.0f;
    d->sinedGain = -1.0f;  // no gain has been turned into its sine yet
    d->sine = 0.0f;
    const int m = static_cast<int>(rate * 0.006f);
    d->lookahead = m < 1023 ? m : 1023;
    d->readIndex = 0;
    d->writeIndex = d->lookahead;
}

// Detector step for a frame whose louder side had magnitude p: moves the detector average.
__attribute__((always_inline)) inline void detect(vk_dynamics* d, float p) {
    float a, r;
    if (p >= d->linearThreshold && p > 0.0001f) {
        // a = saturate(p) / p, and -20 log10 a.
        float aDb;
        if (p < d->kneeThreshold) {
            const float curve =
                d->linearThreshold + (1.0f - static_cast<float>(vk_fast::exp(-d->k * (p - d->linearThreshold)))) / d->k;
            a = curve / p;
            aDb = -fastDb(a);
        } else {
            // Past the knee the curve is a straight line in decibels, and a in decibels is the line's
            // output less its input: no logarithm of a is needed.
            const float pDb = fastDb(p);
            const float outDb = d->kneeOutputDb + d->slope * (pDb - d->kneeThresholdDb);
            a = fastUndb(outDb) / p;
            aDb = pDb - outDb;
        }
        if (a <= d->detectorAverage) {
            r = 1.0f;
        } else {  // the release rate is only needed when the detector falls back
            if (aDb < 2.0f) aDb = 2.0f;
            // 10^((aDb / 20) / (0.0025 rate)) - 1, the division folded into the constant
            r = static_cast<float>(vk_fast::exp2(aDb * d->releaseLog2PerDb)) - 1.0f;
        }
    } else {
        a = 1.0f;
        r = a <= d->detectorAverage ? 1.0f : d->idleReleaseRate;
    }
    float avg = d->detectorAverage + (a - d->detectorAverage) * r;
    if (avg > 1.0f) avg = 1.0f;
    if (!std::isfinite(avg)) avg = 1.0f;
    d->detectorAverage = avg;
}

// Compiled for the wider instruction sets as well; instruction-set clones are resolved through
// ifuncs, which run before ThreadSanitizer's runtime is up, so the instrumented build does without.
#if defined(__SANITIZE_THREAD__)
#define VK_DYN_CLONES
#else
#define VK_DYN_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

VK_DYN_CLONES void comp_output(vk_dynamics* d, float* left, float* right, float rate) {
    if (d->peakPending) detect(d, d->pendingPeak);
    if (d->counter == 0) divisionStep(d, rate);
    d->counter = (d->counter + 1) & 31;

    if (d->envelopeRate >= 1.0f) {
        const float g = d->compressorGain * d->envelopeRate;
        d->compressorGain = g < 1.0f ? g : 1.0f;
    } else {
        d->compressorGain += (d->targetGain - d->compressorGain) * d->envelopeRate;
    }

    // The gain often sits still (fully open, or held by a long release): reuse its sine then.
    // sin(pi / 2 x gain), a quarter turn per unit of gain.
    if (d->compressorGain != d->sinedGain) {
        d->sinedGain = d->compressorGain;
        d->sine = static_cast<float>(vk_fast::sinTurns(0.25 * d->compressorGain));
    }
    const float gain = d->sine * d->makeupGain;
    *left = d->line[0][d->readIndex] * gain;
    *right = d->line[1][d->readIndex] * gain;
    d->readIndex = (d->readIndex + 1) & 1023;
}

void comp_input(vk_dynamics* d, float left, float right) {
    d->line[0][d->writeIndex] = left;
    d->line[1][d->writeIndex] = right;
    d->writeIndex = (d->writeIndex + 1) & 1023;
    // The detector's step for this frame is taken at the start of the next call, where its average
    // is first needed: its logarithms and exponentials then run beside the next frame's signal path
    // instead of at the end of this one's.
    d->pendingPeak = std::fabs(left) > std::fabs(right) ? std::fabs(left) : std::fabs(right);
    d->peakPending = 1;
}

void comp_tick(vk_dynamics* d, float* left, float* right, float rate) {
    // The look-ahead keeps the read and write positions apart, so the output may be taken first.
    const float xl = *left, xr = *right;
    comp_output(d, left, right, rate);
    comp_input(d, xl, xr);
}
