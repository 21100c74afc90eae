// The reverb alone at a 10 s decay, 48 kHz, blocks of 128, against zita-convolver convolving the same
// impulse response (taps 128 on, both channels) with partitions from 128 to 2048 samples (zita picks
// its own levels between them: 128 x 7, 512 x 6, 2048 x 233).
//
// zita-convolver runs its longer partitions on threads of its own; both benchmarks report process
// CPU time (all threads), so the comparison is the work done, as on one core. Run:
//   build/bench/CSynth/bench_ReverbBench
#include <benchmark/benchmark.h>

#include <zita-convolver.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "CSynth/reverb.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 128;

std::vector<float> noiseBlock(int n, uint32_t seed)
{
    std::vector<float> x(n);
    for (auto& v : x) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        v = static_cast<float>(static_cast<int32_t>(seed)) * 0x1p-31f * 0.25f;
    }
    return x;
}

void BM_Reverb10s(benchmark::State& state)
{
    vk_reverb* rv = vk_rv_create(kRate, 10.01);
    vk_rv_build(rv, 10.0f);
    vk_rv_reset(rv);
    const auto in = noiseBlock(kBlock * 64, 17u);
    std::size_t offset = 0;
    float sink = 0.0f;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            float l, r;
            vk_rv_tick(rv, in[offset + i], in[offset + i], &l, &r);
            sink += l + r;
        }
        offset = (offset + kBlock) % in.size();
    }
    benchmark::DoNotOptimize(sink);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
    vk_rv_destroy(rv);
}
BENCHMARK(BM_Reverb10s)->MeasureProcessCPUTime()->UseRealTime()->MinTime(3.0);

// One convolver for the whole run: started once and left running (zita-convolver's repeated
// stop and restart is not what is measured here).
Convproc* zitaConvolver()
{
    static Convproc* conv = [] {
        vk_reverb* rv = vk_rv_create(kRate, 10.01);
        vk_rv_build(rv, 10.0f);
        vk_rv_reset(rv);
        int length = 0;
        const float* irL = vk_rv_impulse(rv, 0, &length);
        const float* irR = vk_rv_impulse(rv, 1, nullptr);
        std::vector<float> left(irL + 128, irL + length), right(irR + 128, irR + length);
        const int taps = length - 128;
        vk_rv_destroy(rv);
        auto* c = new Convproc();
        if (c->configure(2, 2, taps, kBlock, kBlock, 2048, 0.5f) != 0 ||
            c->impdata_create(0, 0, 1, left.data(), 0, taps) != 0 ||
            c->impdata_create(1, 1, 1, right.data(), 0, taps) != 0 || c->start_process(0, SCHED_OTHER) != 0) {
            delete c;
            return static_cast<Convproc*>(nullptr);
        }
        c->print(stderr);
        return c;
    }();
    return conv;
}

void BM_ZitaConvolver10s(benchmark::State& state)
{
    Convproc* conv = zitaConvolver();
    if (!conv) {
        state.SkipWithError("zita-convolver set-up failed");
        return;
    }
    const auto in = noiseBlock(kBlock * 64, 17u);
    std::size_t offset = 0;
    float sink = 0.0f;
    for (auto _ : state) {
        std::copy_n(in.data() + offset, kBlock, conv->inpdata(0));
        std::copy_n(in.data() + offset, kBlock, conv->inpdata(1));
        conv->process(true); // sync: wait for every level's share of this cycle
        sink += conv->outdata(0)[0] + conv->outdata(1)[kBlock - 1];
        offset = (offset + kBlock) % in.size();
    }
    benchmark::DoNotOptimize(sink);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ZitaConvolver10s)->MeasureProcessCPUTime()->UseRealTime()->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
