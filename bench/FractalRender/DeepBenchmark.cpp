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

struct Location {
  const char* x;
  const char* y;
};

const Location kSeahorse{"-0.743643887037158704752191506114774", "0.131825904205311970493132056385139"};

// "MANDELBROT_20_ZOOM_VERY_DEEP_612" by Christopher Kormanyos, published in the ckormanyos/mandelbrot
// repository (mandelbrot/cfg/mandelbrot_cfg_MANDELBROT_20_ZOOM_VERY_DEEP_612.h), where it is said to be
// the centre of the zoom video https://www.youtube.com/watch?v=pCpLWbHVNhk as well. Published with
// about 1,100 digits; the first 300 after the point are kept, more than the 15 limbs a 1e250 view uses.
// Every pixel of a 1280 x 720 view escapes: after 28,400 to 35,000 iterations at 1e100 (the corners
// first, the centre last) and after 51,900 to 56,200 at 1e250.
const Location kVeryDeep612{
    "+0.3602404434376143632361252444495453084826078079585857504883758147401953460592181003117529367227734263"
    "9623373172972498773732003537268328531766453240121852157955428866172656432413470229996281702921332998"
    "0895208036363104546639698106204384566555001322985619004717862781192694046362748742863016467354574422",
    "-0.6413130610648031748603750151793020665794949522823052595561775430644485741727536902556370230689681162"
    "3707405655370721497901069732111052737408519933948032874376062385962622877310759994839404671612888406"
    "1458109129432570998899226916500739430573268320831883467236694755071092008850165570425238524448116883"};

RenderView at(const Location& location, double zoom, int iterations) {
  const int limbs = BigFixed::limbsForZoom(zoom, 64);
  BigComplex centre(*BigFixed::fromDecimal(location.x, limbs), *BigFixed::fromDecimal(location.y, limbs));
  Complex c = centre.doubles();
  return RenderView(FractalType::mandelbrot, c.x, c.y, zoom, 0, iterations, Complex{}, Palette::obsidian, 0, centre);
}

FractalRenderer& renderer() {
  static FractalRenderer instance(GpuDevice::systemDefault());
  static bool warm = [] {
    // Sizes the textures and lets lavapipe compile the kernel before anything is timed.
    instance.renderStill(at(kSeahorse, 1e5, 100), 1280, 720);
    return true;
  }();
  (void)warm;
  return instance;
}

void deepStill(benchmark::State& state, const Location& location, double zoom, int iterations) {
  FractalRenderer& r = renderer();
  RenderView view = at(location, zoom, iterations);
  RenderView other = at(location, zoom * 1.5, 10);  // another orbit, so the measured still builds its own
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
void BM_Seahorse2e30Rescaled(benchmark::State& state) {
  renderer().forceExtremePath = false;
  deepStill(state, kSeahorse, 2e30, 100000);
}
// Past 1e30 the renderer takes the rescaled path with the approximation table by itself.
void BM_VeryDeep1e100(benchmark::State& state) {
  renderer().forceExtremePath = false;
  deepStill(state, kVeryDeep612, 1e100, 50000);
}
void BM_VeryDeep1e250(benchmark::State& state) {
  renderer().forceExtremePath = false;
  deepStill(state, kVeryDeep612, 1e250, 100000);
}

BENCHMARK(BM_Seahorse1e12)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Seahorse2e30Rescaled)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_VeryDeep1e100)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_VeryDeep1e250)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
