#pragma once
// Stereo-linked look-ahead dynamics processor (the glue compressor and the output limiter): a soft knee
// whose sharpness is searched for, a detector with programme-dependent release and an envelope updated
// every 32 frames. Single precision throughout.
//
// REAL-TIME CODE: comp_tick (or comp_output and comp_input) runs on the render thread once per frame;
// the costly curve search runs only at a 32-frame boundary after a setting changed.

#include <stdint.h>

#include <cmath>

#include "CSynth/fastmath.h"

struct vk_dynamics {
    float threshold, knee, ratio, attack, release;
    float cachedThreshold, cachedKnee, cachedRatio;
    float linearThreshold;
    float kneeThresholdDb, kneeThreshold;
    float kneeOutputDb;
    float slope;
    float k;
    float makeupGain;
    float detectorAverage;
    float compressorGain;
    float maxAttackDiff;
    float envelopeRate;
    float targetGain;
    float idleReleaseRate;
    double releaseLog2PerDb; // log2(10) / 20 / (0.0025 x rate): the detector's release exponent per dB
    float sinedGain, sine;   // sin(pi / 2 x sinedGain), kept while the gain does not move
    int32_t counter;
    // The louder side of the last frame, whose detector step is still to be taken (the next call
    // takes it first; the detector average is not read in between).
    float pendingPeak;
    int32_t peakPending;
    int32_t readIndex, writeIndex;
    int32_t lookahead;
    float line[2][1024];
};

// Sets the block to its start state with the given fixed settings.
void comp_reset(vk_dynamics* d, float threshold, float knee, float ratio, float attack, float release, float rate);
void comp_tick(vk_dynamics* d, float* left, float* right, float rate);
// The envelope's step, once every 32 frames (rebuilding the curve first when a setting changed).
void comp_division_step(vk_dynamics* d, float rate);

// The per-frame path below is inline, for the effect chain.

namespace vk_dyn_detail {
constexpr double kDbPerNeper = 8.68588963806503655302; // 20 / ln 10
constexpr double kLog2PerDb = 0.16609640474436811739;  // log2(10) / 20
inline float db(float x) { return static_cast<float>(vk_fast::log(x) * kDbPerNeper); }
inline float undb(float x) { return static_cast<float>(vk_fast::exp2(x * kLog2PerDb)); }
} // namespace vk_dyn_detail

// Detector step for a frame whose louder side had magnitude p: moves the detector average.
__attribute__((always_inline)) inline void comp_detect(vk_dynamics* d, float p)
{
    float a, r;
    if (p >= d->linearThreshold && p > 0.0001f) {
        // a = saturate(p) / p, and -20 log10 a.
        float aDb;
        if (p < d->kneeThreshold) {
            const float curve =
                d->linearThreshold + (1.0f - static_cast<float>(vk_fast::exp(-d->k * (p - d->linearThreshold)))) / d->k;
            a = curve / p;
            aDb = -vk_dyn_detail::db(a);
        } else {
            // Past the knee the curve is a straight line in decibels, and a in decibels is the line's
            // output less its input: no logarithm of a is needed.
            const float pDb = vk_dyn_detail::db(p);
            const float outDb = d->kneeOutputDb + d->slope * (pDb - d->kneeThresholdDb);
            a = vk_dyn_detail::undb(outDb) / p;
            aDb = pDb - outDb;
        }
        if (aDb < 2.0f) aDb = 2.0f;
        // 10^((aDb / 20) / (0.0025 rate)) - 1, the division folded into the constant; taken even
        // when the detector rises (rate 1), which a signal decides frame by frame, so no branch
        r = static_cast<float>(vk_fast::exp2(aDb * d->releaseLog2PerDb)) - 1.0f;
        r = a <= d->detectorAverage ? 1.0f : r;
    } else {
        a = 1.0f;
        r = a <= d->detectorAverage ? 1.0f : d->idleReleaseRate;
    }
    float avg = d->detectorAverage + (a - d->detectorAverage) * r;
    if (avg > 1.0f) avg = 1.0f;
    if (!std::isfinite(avg)) avg = 1.0f;
    d->detectorAverage = avg;
}

// comp_tick in two halves, output first: the output is the input of `lookahead` frames ago, so it
// needs nothing of this frame's input. comp_output and then comp_input on one frame is comp_tick.
__attribute__((always_inline)) inline void comp_output(vk_dynamics* d, float* left, float* right, float rate)
{
    if (d->peakPending) comp_detect(d, d->pendingPeak);
    if (d->counter == 0) comp_division_step(d, rate);
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
        d->sine = static_cast<float>(vk_fast::sinQuarterTurn(0.25 * d->compressorGain));
    }
    const float gain = d->sine * d->makeupGain;
    *left = d->line[0][d->readIndex] * gain;
    *right = d->line[1][d->readIndex] * gain;
    d->readIndex = (d->readIndex + 1) & 1023;
}

__attribute__((always_inline)) inline void comp_input(vk_dynamics* d, float left, float right)
{
    d->line[0][d->writeIndex] = left;
    d->line[1][d->writeIndex] = right;
    d->writeIndex = (d->writeIndex + 1) & 1023;
    // The detector's step for this frame is taken at the start of the next call, where its average
    // is first needed: its logarithms and exponentials then run beside the next frame's signal path
    // instead of at the end of this one's.
    d->pendingPeak = std::fabs(left) > std::fabs(right) ? std::fabs(left) : std::fabs(right);
    d->peakPending = 1;
}
