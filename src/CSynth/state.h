#pragma once
// The kernel's state block: one struct per kernel instance, allocated once by vk_create. Everything
// the render thread touches lives here or in memory allocated with it, so vk_render never allocates.
// REAL-TIME DATA: the render thread reads and writes this block without locks; the exchanges with
// other threads go through the rings and atomics below only.
//
// The effect chain and the reverb add their state to this block (see the marked section) and their
// memory to vk_create / vk_destroy.

#include <atomic>
#include <optional>
#include <stdint.h>

#include "CSynth/effects.h"
#include "CSynth/kernel.h"
#include "CSynth/reverb.h"
#include "CSynth/voices.h"
#include "Platform/Queues/SpscRing.h"

// Producer and consumer indices sit on their own cache lines so the two threads do not share one.
struct alignas(64) vk_index {
    std::atomic<int64_t> value{0};
};

// Lock-free, or the exchanges would hide a lock inside the render thread.
static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<float>::is_always_lock_free);

struct vk_state {
    double rate;
    float ratef;

    // Event ring: written by the producer, drained by the render thread. Made by vk_create.
    std::optional<veltrane::SpscRing<vk_event>> events;

    // Future events in arrival order (render thread only).
    vk_event pending[VK_PENDING_MAX];
    int32_t pendingCount;
    int64_t pendingEarliest; // INT64_MAX when empty

    // Parameter vector (value last received per index) and its ramps.
    float params[VK_PARAM_COUNT];
    vk_ramp ramps[VK_PARAM_COUNT];
    uint32_t rampsRunning; // bit i: ramp i has samples left (saves visiting 31 idle ramps per sample)

    vk_voices voices;
    std::atomic<int32_t> selectedSlot;

    // Microphone input ring: at least half a second, a power of two. Made by vk_create.
    std::optional<veltrane::SpscRing<float>> input;

    // Effect chain (its delay memory allocated with the state) and the convolution reverb it ticks.
    vk_fx fx;
    vk_reverb* reverb;

    // Analysis ring: mono output for the analyser.
    alignas(64) float analysis[VK_ANALYSIS_SIZE]; // accessed through std::atomic_ref
    vk_index analysisWrite;

    int32_t tap;
    std::atomic<int64_t> framesRendered;
};
