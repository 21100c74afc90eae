// REAL-TIME CODE: comp_tick runs on the render thread inside vk_render; no allocation, no lock.

#include "CSynth/dynamics.h"

#include <cmath>

#include "CSynth/fastmath.h"

namespace {

inline float db(float x) { return 20.0f * std::log10(x); }
constexpr float kLn10Over20 = 0.11512925464970228420f; // 10^(x/20) = e^(x ln10 / 20)
inline float undb(float x) { return std::exp(x * kLn10Over20); }

inline float kneeCurve(const vk_dynamics* d, float x)
{
    if (x < d->linearThreshold) return x;
    return d->linearThreshold + (1.0f - std::exp(-d->k * (x - d->linearThreshold))) / d->k;
}

inline float saturate(const vk_dynamics* d, float x)
{
    if (x < d->kneeThreshold) return kneeCurve(d, x);
    return undb(d->kneeOutputDb + d->slope * (db(x) - d->kneeThresholdDb));
}

void buildCurve(vk_dynamics* d)
{
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

void divisionStep(vk_dynamics* d, float rate)
{
    if (d->threshold != d->cachedThreshold || d->knee != d->cachedKnee || d->ratio != d->cachedRatio) buildCurve(d);
    const float target = std::asin(d->detectorAverage) * 2.0f / 3.14159265358979323846f;
    float diff = db(d->compressorGain / target);
    if (target <= d->compressorGain) { // attacking
        if (!std::isfinite(diff)) diff = 1.0f;
        if (d->maxAttackDiff == -1.0f || d->maxAttackDiff < diff) d->maxAttackDiff = diff;
        const float e = d->maxAttackDiff > 0.5f ? d->maxAttackDiff : 0.5f;
        d->envelopeRate = 1.0f - std::pow(0.25f / e, 1.0f / (d->attack * rate));
    } else { // releasing
        d->maxAttackDiff = -1.0f;
        if (!std::isfinite(diff)) diff = -1.0f;
        const float y = diff < -12.0f ? 0.0f : 0.25f * (diff < 0.0f ? diff : 0.0f) + 3.0f;
        const float frames =
            (0.09f + 0.005988747f * y + y * y * (0.05040951f + 0.0126554165f * y + 0.0009463206f * y * y)) * rate *
            d->release;
        d->envelopeRate = std::pow(10.0f, 0.25f / frames); // 5 dB per release period
    }
    d->targetGain = target;
}

} // namespace

void comp_division_step(vk_dynamics* d, float rate) { divisionStep(d, rate); }

void comp_reset(vk_dynamics* d, float threshold, float knee, float ratio, float attack, float release, float rate)
{
    *d = vk_dynamics{};
    d->threshold = threshold;
    d->knee = knee;
    d->ratio = ratio;
    d->attack = attack;
    d->release = release;
    d->cachedThreshold = 1e9f; // forces a curve build on the first frame
    d->cachedKnee = 0.0f;
    d->cachedRatio = 0.0f;
    d->detectorAverage = 0.0f;
    d->compressorGain = 1.0f;
    d->maxAttackDiff = -1.0f;
    d->envelopeRate = 0.0f;
    d->targetGain = 0.0f;
    d->idleReleaseRate = undb(2.0f / (0.0025f * rate)) - 1.0f; // the detector rate at 2 dB
    d->releaseLog2PerDb = vk_dyn_detail::kLog2PerDb / (0.0025 * rate);
    d->counter = 0;
    d->peakPending = 0;
    d->pendingPeak = 0.0f;
    d->sinedGain = -1.0f; // no gain has been turned into its sine yet
    d->sine = 0.0f;
    const int m = static_cast<int>(rate * 0.006f);
    d->lookahead = m < 1023 ? m : 1023;
    d->readIndex = 0;
    d->writeIndex = d->lookahead;
}

void comp_tick(vk_dynamics* d, float* left, float* right, float rate)
{
    // The look-ahead keeps the read and write positions apart, so the output may be taken first.
    const float xl = *left, xr = *right;
    comp_output(d, left, right, rate);
    comp_input(d, xl, xr);
}
