#pragma once
// Stereo-linked look-ahead dynamics processor (the glue compressor and the output limiter): a soft knee
// whose sharpness is searched for, a detector with programme-dependent release and an envelope updated
// every 32 frames. Single precision throughout.
//
// REAL-TIME CODE: comp_tick runs on the render thread once per frame; the costly curve search runs
// only at a 32-frame boundary after a setting changed.

#include <stdint.h>

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
    double releaseLog2PerDb;  // log2(10) / 20 / (0.0025 x rate): the detector's release exponent per dB
    float sinedGain, sine;  // sin(pi / 2 x sinedGain), kept while the gain does not move
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
// comp_tick in two halves, output first: the output is the input of `lookahead` frames ago, so it
// needs nothing of this frame's input. comp_output and then comp_input on one frame is comp_tick.
void comp_output(vk_dynamics* d, float* left, float* right, float rate);
void comp_input(vk_dynamics* d, float left, float right);
