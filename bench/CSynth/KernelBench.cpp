// Render cost of the kernel at 48 kHz on one core, in blocks of 128 frames. One iteration renders
// one second of audio; the "realtime" counter is seconds of audio rendered per second of wall time.
//   drone:      the subtractive drone (sawtooth unison) and its sub oscillator
//   full:       the drone, 32 held key voices, the orbit voice with a 48-harmonic table, pink noise
// Argument 0 renders through the whole effect chain; argument 2 taps the filter, which stops the chain
// there, so it measures the voices (plus the filter) without the later stages.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "CSynth/kernel.h"
#include "CSynth/state.h"

namespace {

constexpr double kRate = 48000;
constexpr int kBlock = 128;

void push(vk_state* k, vk_event e) { vk_push_event(k, &e); }

void renderSeconds(benchmark::State& state, vk_state* k)
{
    std::vector<float> l(kBlock), r(kBlock);
    float* outs[2] = {l.data(), r.data()};
    int64_t frame = 0;
    // Let attacks finish so the steady state is measured.
    for (int i = 0; i < 375; ++i, frame += kBlock) vk_render(k, outs, 2, kBlock, frame);
    for (auto _ : state) {
        for (int i = 0; i < 375; ++i, frame += kBlock) vk_render(k, outs, 2, kBlock, frame);
        benchmark::DoNotOptimize(l.data());
    }
    state.counters["realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Drone(benchmark::State& state)
{
    vk_state* k = vk_create(kRate);
    vk_set_tap(k, static_cast<int>(state.range(0)));
    push(k, {0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});
    renderSeconds(state, k);
    vk_destroy(k);
}

void BM_KeysDroneOrbitNoise(benchmark::State& state)
{
    vk_state* k = vk_create(kRate);
    vk_set_tap(k, static_cast<int>(state.range(0)));
    std::vector<float> re(128, 0.0f), im(128, 0.0f);
    for (int h = 1; h < 48; ++h) {
        re[h] = 0.5f / (float)h;
        im[h] = 0.3f / (float)h;
    }
    vk_write_orbit(k, 0, re.data(), im.data());
    push(k, {0, VK_EVENT_ORBIT_SLOT, 0, 0, 0, 0, 0});
    push(k, {0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});
    push(k, {0, VK_EVENT_PARAM, VK_P_NOISE_TYPE, 0, 1.0f, 0, 0});
    push(k, {0, VK_EVENT_PARAM, VK_P_NOISE_LEVEL, 0, 0.1f, 0, 0});
    for (int v = 0; v < 32; ++v)
        push(k, {0, VK_EVENT_KEY_ON, 0, v, 110.0f * std::pow(2.0f, (float)v / 12.0f), 0, 0.5f});
    // The orbit voice sounds beside the subtractive drone only in a benchmark: a mode change would
    // release one for the other.
    vk_ramp_set(&k->voices.orbitLevel, 1.0f);
    renderSeconds(state, k);
    vk_destroy(k);
}

} // namespace

BENCHMARK(BM_Drone)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeysDroneOrbitNoise)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
