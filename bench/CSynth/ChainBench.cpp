// The whole effect chain with every stage active and a 10 s reverb, 48 kHz, blocks of 128 frames,
// one thread; realtime_x is seconds of audio per second of wall time. Run:
//   build/bench/CSynth/bench_ChainBench
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "CSynth/effects.h"
#include "CSynth/kernel.h"
#include "CSynth/params.h"
#include "CSynth/reverb.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 128;

vk_fx_params everythingOn()
{
    vk_fx_params p{};
    p.cutoff = 1500.0f;
    p.q = 6.0f;
    p.filterType = 0.0f;
    p.rolloff = 3.0f;
    p.lfoRate = 0.7f;
    p.distortion = 0.4f;
    p.bitCrushDepth = 12.0f;
    p.chorus = 0.5f;
    p.phaserRate = 0.5f;
    p.phaserDepth = 0.6f;
    p.pitchShift = 7.0f;
    p.freqShift = 40.0f;
    p.delayTime = 0.3f;
    p.delayFeedback = 0.5f;
    p.delayWet = 0.3f;
    p.reverbWet = 0.4f;
    p.stereoWidth = 0.8f;
    p.glue = 0.6f;
    p.volume = 0.7f;
    return p;
}

void BM_EffectChainAllStages(benchmark::State& state)
{
    auto fx = std::make_unique<vk_fx>();
    std::memset(fx.get(), 0, sizeof(vk_fx));
    vk_fx_init(fx.get(), kRate);
    // Argument 0 leaves the reverb out (its stage then mixes silence), to see the other stages' share.
    if (state.range(0)) {
        fx->reverb = vk_rv_create(kRate, 10.01);
        vk_rv_build(fx->reverb, 10.0f);
        vk_rv_reset(fx->reverb);
    }
    vk_fx_reset(fx.get());
    const vk_fx_params p = everythingOn();

    std::vector<float> in(kBlock * 64);
    uint32_t x = 99u;
    for (auto& v : in) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<float>(static_cast<int32_t>(x)) * 0x1p-31f * 0.3f;
    }
    std::size_t offset = 0;
    float outL[kBlock], outR[kBlock];
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i)
            vk_fx_process(fx.get(), &p, in[offset + i], -in[offset + i], &outL[i], &outR[i]);
        benchmark::DoNotOptimize(outL);
        benchmark::DoNotOptimize(outR);
        offset = (offset + kBlock) % in.size();
    }
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
    if (fx->reverb) vk_rv_destroy(fx->reverb);
    vk_fx_free(fx.get());
}
BENCHMARK(BM_EffectChainAllStages)->Arg(1)->Arg(0)->UseRealTime()->MinTime(3.0);

// The same through the kernel: vk_render with a drone and four keys, every stage switched on by
// events, the reverb rebuilt for 10 s.
void BM_KernelWithWholeChain(benchmark::State& state)
{
    vk_state* k = vk_create(kRate);
    const vk_fx_params p = everythingOn();
    vk_reverb_build(k, 10.0f);
    vk_reset(k); // takes the 10 s response at once
    for (const vk_fx_read& read : vk_fx_reads) {
        const vk_event e{0, VK_EVENT_PARAM_NO_RAMP, read.index, 0, p.*read.field, 0.0f, 0.0f};
        vk_push_event(k, &e);
    }
    const vk_event drone{0, VK_EVENT_DRONE_ON, 0, 0, 0.0f, 0.0f, 0.0f};
    vk_push_event(k, &drone);
    for (int v = 0; v < 4; ++v) {
        const vk_event key{0, VK_EVENT_KEY_ON, 0, v, 220.0f * (1.0f + 0.25f * v), 0.0f, 0.7f};
        vk_push_event(k, &key);
    }
    float l[kBlock], r[kBlock];
    float* outs[2] = {l, r};
    int64_t frame = 0;
    for (auto _ : state) {
        vk_render(k, outs, 2, kBlock, frame);
        frame += kBlock;
        benchmark::DoNotOptimize(l);
    }
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
    vk_destroy(k);
}
BENCHMARK(BM_KernelWithWholeChain)->UseRealTime()->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
