// One Mandelbrot reference orbit at zoom 1e300 (17 fraction limbs, the instrument's deepest view) for
// 63,943 iterations, in our fixed point and in MPFR at the same 17·64 + 64 bits. The centre lies in
// the main cardioid near -0.74+0.1i, so the orbit spirals in and never escapes; its low limbs are
// filled with seeded random bits so every limb of every product carries data.
//
//   build/bench/FractalCore/bench_ReferenceOrbitBench
//
// Compare the two "per_iteration" counters: the fixed-point orbit aims at half of MPFR's time or less.
#include "FractalCore/BigReference.h"
#include "FractalCore/ZoomRules.h"

#include <benchmark/benchmark.h>
#include <mpfr.h>

#include <random>
#include <string>

using namespace veltrane;

namespace {

constexpr int kIterations = 63943;

BigComplex deepCentre(int fracLimbs)
{
    // -0.74 + 0.1i, then random bits below 2^-64 down to the last limb.
    std::mt19937_64 rng(42);
    std::string x = "-0.74", y = "0.1";
    std::string dx = "0.", dy = "0.";
    for (int i = 0; i < 19; ++i) dx += '0', dy += '0';
    for (int i = 0; i < 330; ++i) {
        dx += static_cast<char>('0' + rng() % 10);
        dy += static_cast<char>('0' + rng() % 10);
    }
    const BigFixed bx = *BigFixed::fromDecimal(x, fracLimbs) - *BigFixed::fromDecimal(dx, fracLimbs);
    const BigFixed by = *BigFixed::fromDecimal(y, fracLimbs) + *BigFixed::fromDecimal(dy, fracLimbs);
    return {bx, by};
}

void BM_ReferenceOrbitBigFixed(benchmark::State& state)
{
    const int fracLimbs = BigFixed::limbsForZoom(ZoomRules::extremeMaxZoom, 64);
    const BigComplex centre = deepCentre(fracLimbs);
    BigReference::Result result;
    double sink = 0;
    for (auto _ : state) {
        result = BigReference::compute(
            FractalType::mandelbrot, centre, {}, kIterations, [] { return true; },
            [&sink](int, double x, double y) { sink += x + y; });
        benchmark::DoNotOptimize(sink);
    }
    if (result.escaped || result.length != kIterations) state.SkipWithError("orbit escaped early");
    state.counters["fracLimbs"] = fracLimbs;
    state.counters["per_iteration"] = benchmark::Counter(
        static_cast<double>(kIterations), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ReferenceOrbitMpfr(benchmark::State& state)
{
    const int fracLimbs = BigFixed::limbsForZoom(ZoomRules::extremeMaxZoom, 64);
    const mpfr_prec_t prec = 64 * fracLimbs + 64;
    const BigComplex centre = deepCentre(fracLimbs);
    mpfr_t x, y, cx, cy, xx, yy, xy;
    for (mpfr_ptr v : {x, y, cx, cy, xx, yy, xy}) mpfr_init2(v, prec);
    mpfr_set_str(cx, centre.x().decimal().c_str(), 10, MPFR_RNDN);
    mpfr_set_str(cy, centre.y().decimal().c_str(), 10, MPFR_RNDN);
    int length = 0;
    bool escaped = false;
    double sink = 0;
    for (auto _ : state) {
        mpfr_set_zero(x, 1);
        mpfr_set_zero(y, 1);
        length = kIterations;
        escaped = false;
        for (int i = 0; i < kIterations; ++i) {
            const double dx = mpfr_get_d(x, MPFR_RNDN), dy = mpfr_get_d(y, MPFR_RNDN);
            sink += dx + dy;
            if (dx * dx + dy * dy > 65536) {
                length = i + 1;
                escaped = true;
                break;
            }
            mpfr_sqr(xx, x, MPFR_RNDZ);
            mpfr_sqr(yy, y, MPFR_RNDZ);
            mpfr_mul(xy, x, y, MPFR_RNDZ);
            mpfr_sub(x, xx, yy, MPFR_RNDZ);
            mpfr_add(x, x, cx, MPFR_RNDZ);
            mpfr_mul_2ui(y, xy, 1, MPFR_RNDZ);
            mpfr_add(y, y, cy, MPFR_RNDZ);
        }
        benchmark::DoNotOptimize(sink);
    }
    for (mpfr_ptr v : {x, y, cx, cy, xx, yy, xy}) mpfr_clear(v);
    if (escaped || length != kIterations) state.SkipWithError("orbit escaped early");
    state.counters["bits"] = static_cast<double>(prec);
    state.counters["per_iteration"] = benchmark::Counter(
        static_cast<double>(kIterations), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The limb kernels alone, at 17 fraction limbs.
void BM_Multiply(benchmark::State& state)
{
    const BigComplex c = deepCentre(17);
    BigFixed a = c.x(), b = c.y();
    for (auto _ : state) {
        BigFixed p = a * b;
        benchmark::DoNotOptimize(p);
    }
}

void BM_Square(benchmark::State& state)
{
    const BigComplex c = deepCentre(17);
    BigFixed a = c.x();
    for (auto _ : state) {
        BigFixed p = a * a;
        benchmark::DoNotOptimize(p);
    }
}

void BM_Add(benchmark::State& state)
{
    const BigComplex c = deepCentre(17);
    BigFixed a = c.x(), b = c.y();
    for (auto _ : state) {
        BigFixed p = a + b;
        benchmark::DoNotOptimize(p);
    }
}

} // namespace

BENCHMARK(BM_Multiply);
BENCHMARK(BM_Square);
BENCHMARK(BM_Add);
BENCHMARK(BM_ReferenceOrbitBigFixed)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReferenceOrbitMpfr)->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_MAIN();
