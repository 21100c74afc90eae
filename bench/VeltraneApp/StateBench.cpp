// A display frame's worth of work of the instrument state: one flight step plus 100 property writes,
// each to a property with 20 observers. Budget: 20 µs on one core (a 120 fps frame has 8,333 µs).
#include "Platform/Clock/Clock.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/MelodyLibrary.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

namespace veltrane {
namespace {

constexpr int observersPerProperty = 20;
constexpr int writesPerFrame = 100;

BigComplex deepTarget()
{
    const int limbs = BigFixed::limbsForZoom(1e40, 64);
    return BigComplex(*BigFixed::fromDecimal("-1.74908126902377965281034694980914", limbs),
                      *BigFixed::fromDecimal("0.00000000000000012384390811061", limbs));
}

void frame(benchmark::State& bench, bool withFlight)
{
    // An empty folder: the library finds nothing and writes nothing.
    MelodyLibrary library(std::filesystem::temp_directory_path() / "veltrane-bench-no-melodies");
    ManualClock clock(1000.0);
    InstrumentState state(library, clock);

    long calls = 0;
    std::vector<ObservationToken> tokens;
    const auto watch = [&](const auto& property) {
        for (int i = 0; i < observersPerProperty; ++i) tokens.push_back(property.observe([&calls] { ++calls; }));
    };
    // What the sound bridge and the canvas write every frame, and the view a flight moves.
    watch(state.melodyProgress);
    watch(state.audioVisuals);
    watch(state.renderStats);
    watch(state.activeNotes);
    watch(state.colourShift);
    watch(state.centre);
    watch(state.zoom);

    const BigComplex target = deepTarget();
    const BigComplex home = state.centre.get();
    bool outward = false;
    double now = clock.now();
    long frameIndex = 0;
    for (auto _ : bench) {
        now += 1.0 / 120;
        if (withFlight) {
            if (!state.flight.get()) {
                clock.set(now);
                state.fly(outward ? home : target, outward ? 1 : 1e40, 0, 2600);
                outward = !outward;
            }
            state.advance(now);
        }
        for (int i = 0; i < writesPerFrame; i += 5) {
            const double v = static_cast<double>(frameIndex * writesPerFrame + i);
            state.melodyProgress.set(v);
            state.audioVisuals.modify([v](AudioVisuals& a) { a.amplitude = v; });
            RenderStats stats;
            stats.gpuMs = v;
            state.renderStats.set(stats);
            state.activeNotes.modify([i](std::set<std::int64_t>& notes) {
                if (!notes.insert(i).second) notes.erase(i);
            });
            state.colourShift.set(v);
        }
        ++frameIndex;
    }
    benchmark::DoNotOptimize(calls);
    bench.counters["observerCallsPerFrame"] =
        benchmark::Counter(static_cast<double>(calls) / static_cast<double>(bench.iterations()));
}

void BM_FrameWithFlight(benchmark::State& bench) { frame(bench, true); }
void BM_WritesOnly(benchmark::State& bench) { frame(bench, false); }

BENCHMARK(BM_FrameWithFlight)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WritesOnly)->Unit(benchmark::kMicrosecond);

// The price of a write nobody listens to, and of an equal write among listeners.
void BM_UnobservedWrite(benchmark::State& bench)
{
    Observable<double> value(0);
    double v = 0;
    for (auto _ : bench) {
        value.set(v += 1);
        benchmark::DoNotOptimize(value.get());
    }
}
BENCHMARK(BM_UnobservedWrite);

} // namespace
} // namespace veltrane

BENCHMARK_MAIN();
