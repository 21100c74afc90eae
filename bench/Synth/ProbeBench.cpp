// Cost of the measuring side of the sound engine, one thread. Run:
//   build/bench/Synth/bench_ProbeBench
//   analyser:       one Analyser::update of 1024 samples (the host does one per display frame)
//   probe_metrics:  ProbeMetrics::measure of a 6 s stereo render at 48 kHz from 1.5 s (a preset case)
//   render_case:    ProbeTest::renderNative of a 2 s case at 48 kHz, kernel creation included;
//                   realtime_x is seconds of audio per second of wall time
//   empty_case:     the same for a case of 0 s: kernel creation, reverb build and set-up only
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "Synth/Analyser.h"
#include "Synth/ProbeMetrics.h"
#include "Synth/ProbeTest.h"

using namespace veltrane;

namespace {

std::vector<float> tone(size_t n, double hz, double seed)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = (float)(0.4 * std::sin(2 * std::numbers::pi * hz * (double)i / 48000) +
                       0.05 * std::sin(seed * (double)i * (double)i));
    return x;
}

void analyser(benchmark::State& state)
{
    Analyser a;
    const std::vector<float> x = tone(1024, 440, 0.1);
    for (auto _ : state) benchmark::DoNotOptimize(a.update(x, 48000, 1.0 / 60));
}
BENCHMARK(analyser);

void probe_metrics(benchmark::State& state)
{
    const std::vector<float> left = tone(6 * 48000, 220, 0.1), right = tone(6 * 48000, 330, 0.2);
    for (auto _ : state) benchmark::DoNotOptimize(ProbeMetrics::measure(left, right, 48000, 1.5));
}
BENCHMARK(probe_metrics)->Unit(benchmark::kMillisecond);

void render_case(benchmark::State& state)
{
    const std::vector<ProbeTest> table = ProbeTest::all();
    const ProbeTest& test = table[(size_t)state.range(0)];
    state.SetLabel(test.id);
    for (auto _ : state) benchmark::DoNotOptimize(test.renderNative(48000));
    state.counters["realtime_x"] =
        benchmark::Counter(test.seconds * (double)state.iterations(), benchmark::Counter::kIsRate);
}
// The fixed cost of a case: a fresh kernel, its reverb build and the parameter events, no frames.
void empty_case(benchmark::State& state)
{
    ProbeTest test = ProbeTest::all()[0];
    test.seconds = 0;
    for (auto _ : state) benchmark::DoNotOptimize(test.renderNative(48000));
}
BENCHMARK(empty_case)->Unit(benchmark::kMillisecond);

// v-sawtooth (voices only), f-lp12-1k-q0 (filter tap), r-2.5-w0.5 (reverb tap)
BENCHMARK(render_case)->Arg(0)->Arg(23)->Arg(51)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
