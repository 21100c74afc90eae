#pragma once
// The kernel's effect chain: one stereo frame at a time from the voices to the output.
//
// Stage order and taps: vk_tap (kernel.h). The tap selects the stage whose output leaves the chain;
// for the stages' taps the later stages do not run and their state does not advance; the output, the
// voices and anything else run it all, the limiter and the final clip last.
//
// REAL-TIME CODE: vk_fx_process runs on the render thread once per frame. It allocates nothing, locks
// nothing and runs no unbounded loop; all delay memory is allocated by vk_fx_init.

#include <stdint.h>

#include "CSynth/dynamics.h"
#include "CSynth/kernel.h"

struct vk_reverb;

// Four floats operated on lane by lane (each lane rounds exactly like the scalar operation).
typedef float vk_float4 __attribute__((vector_size(16)));
typedef float vk_float8 __attribute__((vector_size(32)));
typedef float vk_float2 __attribute__((vector_size(8)));
typedef double vk_double2 __attribute__((vector_size(16)));

// A power-of-two delay line inside the chain's delay memory.
struct vk_delay_line {
    float* buf;
    int32_t size;
    int32_t mask;
    int32_t write; // the next slot written; the newest sample is at write - 1
};

// Reads at a fractional delay (1 = the newest sample), interpolating linearly.
float vk_delay_read(const vk_delay_line* line, float delay);
inline void vk_delay_write(vk_delay_line* line, float x)
{
    line->buf[line->write] = x;
    line->write = (line->write + 1) & line->mask;
}

// The parameter values the chain reads in one frame, each either its ramp's value for this frame or
// the value last received, as vk_fx_reads (params.h) lists.
struct vk_fx_params {
    float cutoff;
    float q;
    float filterType;
    float rolloff;
    float lfoRate;
    float distortion;
    float bitCrushDepth;
    float chorus;
    float phaserRate;
    float phaserDepth;
    float pitchShift;
    float freqShift;
    float delayTime;
    float delayFeedback;
    float delayWet;
    float reverbWet;
    float stereoWidth;
    float glue;
    float volume;
};

// One section of the frequency shifter's Hilbert pairs; lanes: P left, Q left, P right, Q right.
struct vk_allpass4 {
    vk_float4 x1, x2, y1, y2;
};

// The last amount given to an equal-power mix and its two gains: amounts sit still far more often
// than they move, and the sine-cosine pair is then reused as it is.
struct vk_mix_cache {
    float amount; // NaN after reset: the first frame computes
    float dry, wet;
};

// A frequency and its phase step per frame, frequency / rate (NaN after reset: the first frame divides).
struct vk_phase_step {
    float value;
    float step;
};

// ---- the stages' states, in chain order (vk_tap); each has its reset and its processing in effects.cpp

// Filter: coefficients recomputed every frame, only the resonance gain cached.
struct vk_fx_filter {
    double b0, b1, b2, a1, a2;
    float cachedQ;
    double cachedGain;
    double halfInverseGain; // 1 / (2 x cachedGain), the lowpass and highpass damping per unit of sine
    int32_t sections;
    vk_double2 state[3][2]; // section, (s1, s2); lane 0 left, lane 1 right
    float sweepPhase;
    vk_phase_step sweepStep;
};

// Distortion: half-band coefficients (also laid out per stereo pair: taps 0..11 by fours, 12 and 13),
// the input history H and the history of shaped interpolated values (G's even places), 32 frames
// each, each in two copies (newest first and newest last) stored twice so a window is always
// contiguous; the shaped on-sample values (G's odd places) of the last 16 frames. Pairs of (left, right).
struct vk_fx_distortion {
    float halfBand[16];
    vk_float8 halfBandPairs[3];
    vk_float4 halfBandTail;
    vk_float2 in[64], inUp[64];
    int32_t inPos, inUpPos;
    vk_float2 out[64], outUp[64];
    int32_t outPos, outUpPos;
    vk_float2 onSample[16];
    int32_t onPos;
};

// The bit depth value the step belongs to (NaN after reset); step 0 passes the signal.
struct vk_fx_crusher {
    float depth;
    float step, inverse;
};

struct vk_fx_chorus {
    vk_delay_line line[2];
    float phase;
    float phaseStep; // a fixed 1.2 Hz
    vk_mix_cache mix;
};

struct vk_fx_phaser {
    float phase;
    vk_phase_step phaseStep;
    vk_double2 state[8][2]; // section, (s1, s2); lane 0 left, lane 1 right
    vk_mix_cache mix;
};

struct vk_fx_pitch {
    vk_delay_line line[2];
    float grainPhase;
    float level;
    float fadeStep; // the level's step per frame: a 20 ms fade
    vk_mix_cache mix;
    int32_t semitones; // the shift the cached ratio belongs to
    float shiftValue;  // the pitchShift value last rounded (NaN after reset)
    int32_t shiftSemitones;
    float ratio;
    float grainStep; // the grain phase's step for `semitones`
};

struct vk_fx_freq_shift {
    struct {
        float value;
        double step;
    } phaseStep;
    double phase;
    vk_allpass4 hilbert[4];
    float hilbertDelay[2]; // P's output one frame earlier
};

struct vk_fx_delay {
    vk_delay_line line[2];
    float minTime; // one sample
    vk_mix_cache mix;
};

struct vk_fx_reverb_mix {
    vk_mix_cache mix;
};

struct vk_fx {
    double rate;
    double halfRate; // the Nyquist frequency
    double invRate;
    float ratef;
    int32_t tap;       // vk_tap
    float* memory;     // one block for all six delay lines
    vk_reverb* reverb; // owned by the kernel; ticked by the reverb stage

    vk_fx_filter filter;
    vk_fx_distortion distortion;
    vk_fx_crusher crusher;
    vk_fx_chorus chorus;
    vk_fx_phaser phaser;
    vk_fx_pitch pitch;
    vk_fx_freq_shift freqShift;
    vk_fx_delay delay;
    vk_fx_reverb_mix reverbMix;
    vk_dynamics compressor;
    vk_dynamics limiter;
};

// Allocates the delay memory for `rate` and fills in the lines; returns it, or null (nothing allocated).
float* vk_fx_init(vk_fx* fx, double rate);
void vk_fx_free(vk_fx* fx);
// Zeroes every history, phase and mix (delay write positions stay), resets filter, oversampler and
// dynamics. The reverb is reset separately.
void vk_fx_reset(vk_fx* fx);
void vk_fx_process(vk_fx* fx, const vk_fx_params* p, float inLeft, float inRight, float* outLeft, float* outRight);

// Runs the one stage with this tap number (filter..master) on a frame, in place; for tests and
// measurements.
void vk_fx_stage(vk_fx* fx, int stage, const vk_fx_params* p, float* left, float* right);

// Equal-power blend: cos(theta) dry + sin(theta) wet, theta = min(amount, 1) pi / 2, and at least the
// angle of amount 0.000977 (so some wet signal always passes).
void vk_fx_mix_gains(float amount, float* dry, float* wet);
