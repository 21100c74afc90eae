// Deep stills at 1280 x 720, one sample, including the reference-orbit build and, on the rescaled
// path, the approximation table: the exact orbit is made anew for every repetition.
//
//   build/bench/FractalRender/bench_DeepBenchmark --benchmark_repetitions=3
//   (smallest of the 3 repetitions)
#include <benchmark/benchmark.h>

#include "FractalCore/BigFixed.h"
#include "FractalRender/FractalRenderer.h"

using namespace veltrane;

namespace {

const char* const kSeahorseX = "-0.743643887037158704752191506114774";
const char* const kSeahorseY = "0.131825904205311970493132056385139";

RenderView seahorse(double zoom, int iterations) {
  const int limbs = BigFixed::limbsForZoom(zoom, 64);
  BigComplex centre(*BigFixed::fromDecimal(kSeahorseX, limbs), *BigFixed::fromDecimal(kSeahorseY, limbs));
  Complex c = centre.doubles();
  return RenderView(FractalType::mandelbrot, c.x, c.y, zoom, 0, iterations, Complex{}, Palette::obsidian, 0, centre);
}

FractalRenderer& renderer() {
  static FractalRenderer instance(GpuDevice::systemDefault());
  static bool warm = [] {
    // Sizes the textures and lets lavapipe compile the kernel before anything is timed.
    instance.renderStill(seahorse(1e5, 100), 1280, 720);
    return true;
  }();
  (void)warm;
  return instance;
}

void deepStill(benchmark::State& state, double zoom, int iterations) {
  FractalRenderer& r = renderer();
  RenderView view = seahorse(zoom, iterations);
  RenderView other = seahorse(zoom * 1.5, 10);  // another orbit, so the measured still builds its own
  for (auto _ : state) {
    state.PauseTiming();
    r.renderStill(other, 64, 36);
    state.ResumeTiming();
    Image image = r.renderStill(view, 1280, 720);
    benchmark::DoNotOptimize(image.bgrx.data());
  }
  state.counters["referenceLength"] = double(r.refLength());
}

void BM_Seahorse1e12(benchmark::State& state) { deepStill(state, 1e12, 5000); }
void BM_Seahorse2e30Rescaled(benchmark::State& state) {
  renderer().forceExtremePath = false;
  deepStill(state, 2e30, 100000);
}

BENCHMARK(BM_Seahorse1e12)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Seahorse2e30Rescaled)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
