// Deep stills at 1280 x 720, one sample, including the reference-orbit build and, on the rescaled
// path, the approximation table: the exact orbit is made anew for every repetition.
//
//   build/bench/FractalRender/bench_DeepBenchmark --benchmark_repetitions=3
//   (smallest of the 3 repetitions)
#include <benchmark/benchmark.h>

#include "DeepLocations.h"
#include "FractalRender/FractalRenderer.h"

using namespace veltrane;
using namespace veltrane::bench;

namespace {

RenderView at(const Location& location, double zoom, int iterations, FractalType type = FractalType::mandelbrot)
{
    BigComplex centre = centreAt(location, zoom);
    Complex c = centre.doubles();
    return RenderView(type, c.x, c.y, zoom, 0, iterations, Complex{}, Palette::obsidian, 0, centre);
}

FractalRenderer& renderer()
{
    static FractalRenderer instance(GpuDevice::systemDefault());
    static bool warm = [] {
        // Sizes the textures and lets lavapipe compile the kernel before anything is timed.
        instance.renderStill(at(kSeahorse, 1e5, 100), 1280, 720);
        return true;
    }();
    (void)warm;
    return instance;
}

void deepStill(benchmark::State& state, const Location& location, double zoom, int iterations,
               FractalType type = FractalType::mandelbrot)
{
    FractalRenderer& r = renderer();
    RenderView view = at(location, zoom, iterations, type);
    RenderView other = at(location, zoom * 1.5, 10, type); // another orbit, so the measured still builds its own
    for (auto _ : state) {
        state.PauseTiming();
        r.renderStill(other, 64, 36);
        state.ResumeTiming();
        Image image = r.renderStill(view, 1280, 720);
        benchmark::DoNotOptimize(image.bgrx.data());
    }
    state.counters["referenceLength"] = double(r.refLength());
}

void BM_Seahorse1e12(benchmark::State& state) { deepStill(state, kSeahorse, 1e12, 5000); }
void BM_Seahorse2e30Rescaled(benchmark::State& state)
{
    renderer().forceExtremePath = false;
    deepStill(state, kSeahorse, 2e30, 100000);
}
// Past 1e30 the renderer takes the rescaled path with the approximation table by itself.
void BM_VeryDeep1e100(benchmark::State& state)
{
    renderer().forceExtremePath = false;
    deepStill(state, kVeryDeep612, 1e100, 50000);
}
void BM_VeryDeep1e250(benchmark::State& state)
{
    renderer().forceExtremePath = false;
    deepStill(state, kVeryDeep612, 1e250, 100000);
}

// A multibrot3 copy of the set (period 195) filling a third of the view, whose orbits stay some 180
// iterations at a repelling fixed point between returns: the rescaled path without a table.
void BM_Multibrot3Copy1e200(benchmark::State& state)
{
    renderer().forceExtremePath = false;
    deepStill(state, kMultibrot3Copy, 1e200, 3120, FractalType::multibrot3);
}

BENCHMARK(BM_Seahorse1e12)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Seahorse2e30Rescaled)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_VeryDeep1e100)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_VeryDeep1e250)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Multibrot3Copy1e200)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
