#pragma once
// Stereo convolution reverb with a synthetic impulse response (decaying triangular noise, different
// left and right), partitioned for one block (128 samples) of latency: 32 short partitions of 128
// taps (256-point FFTs, every block) cover taps 128..4223, long partitions of 2048 taps (4096-point
// FFTs) the tail, their multiply-accumulate spread evenly over the 16 blocks of each 2048 samples.
//
// Threads: one render thread (vk_rv_tick, and vk_rv_reset while no render runs) and one builder
// (vk_rv_build). Two impulse-response sets: the builder fills the set that is neither active nor
// pending and marks it pending; the render thread makes it active on a 2048-sample boundary. Both
// indices live in one atomic word, so the builder can never see the mark cleared before the new set
// is active (it would otherwise pick and overwrite the set the render thread is reading).
//
// REAL-TIME CODE: vk_rv_tick allocates nothing, takes no lock and makes no system call. Everything is
// allocated by vk_rv_create for the maximum impulse-response length.

#include <stdint.h>

struct vk_reverb;

// Null when the rate is not above 0 or an allocation fails (nothing leaks). Builds a 2.5 s impulse
// response and makes it active.
vk_reverb* vk_rv_create(double rate, double maxSeconds);
void vk_rv_destroy(vk_reverb* rv); // null: nothing happens

// Builds an impulse response for `decay` seconds (clamped to 0.1..10) into the idle set and marks it
// pending. 0 built, 1 busy (a built set has not been taken yet; nothing changed). Not on the render thread.
int vk_rv_build(vk_reverb* rv, float decay);
// Takes a pending set, clears all history and output. Owner only, while no render runs.
void vk_rv_reset(vk_reverb* rv);
// Decay (seconds) of the set in use, 0 when none. Any thread.
float vk_rv_active_decay(const vk_reverb* rv);
// One stereo sample in, one out (one block late).
void vk_rv_tick(vk_reverb* rv, float left, float right, float* outLeft, float* outRight);

// For tests and tools: the active set's time-domain impulse response of one channel and its length.
const float* vk_rv_impulse(const vk_reverb* rv, int channel, int* length);
// The maximum impulse-response length in samples, ceiling(maxSeconds x rate).
int vk_rv_max_length(const vk_reverb* rv);
