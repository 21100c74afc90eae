// Still rendering on the system's GPU device (lavapipe on machines without a GPU): construction of a
// renderer, and one 1280 x 720 still of the Mandelbrot set at 1000 iterations, one sample, including
// the fractal pass, the post chain and the read-back.
//
//   build/bench/FractalRender/bench_StillBenchmark --benchmark_repetitions=5
//   (the figure is the "_min" row: the smallest of the 5 repetitions)
#include <benchmark/benchmark.h>

#include <algorithm>

#include "FractalRender/FractalRenderer.h"

using namespace veltrane;

namespace {

// The GPU work runs on the driver's threads: wall time is the measure, and the smallest repetition
// the figure least disturbed by other work on the machine.
double smallest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

RenderView benchView()
{
    return RenderView(FractalType::mandelbrot, -0.75, 0.1, 1.0, 0.0, 1000, Complex{}, Palette::obsidian);
}

void BM_Construction(benchmark::State& state)
{
    auto device = GpuDevice::systemDefault();
    for (auto _ : state) {
        FractalRenderer renderer(device);
        benchmark::DoNotOptimize(&renderer);
    }
}
BENCHMARK(BM_Construction)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime()
    ->ComputeStatistics("min", smallest);

void BM_Still1280x720(benchmark::State& state)
{
    FractalRenderer renderer(GpuDevice::systemDefault());
    // The first still sizes the textures and makes lavapipe compile the shaders it uses.
    renderer.renderStill(benchView(), 1280, 720);
    for (auto _ : state) {
        Image image = renderer.renderStill(benchView(), 1280, 720);
        benchmark::DoNotOptimize(image.bgrx.data());
    }
}
BENCHMARK(BM_Still1280x720)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime()
    ->ComputeStatistics("min", smallest);

} // namespace

BENCHMARK_MAIN();
