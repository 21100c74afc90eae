// One clock tick of the conductor with each engine: the tick is scheduled and its note followed, as
// the movement driver does inside a display frame on the main thread. Budgets on one core: 2 ms for
// the Markov walk with its eight complexity probes, 10 µs for every other engine.
#include "Movement/Conductor.h"

#include <benchmark/benchmark.h>

namespace veltrane {
namespace {

struct Case {
    MovementMode mode;
    double x, y, zoom; // the view the conductor starts at
    double driftAmount = MarkovConfig{}.driftAmount;
};

void tick(benchmark::State& bench, Case c)
{
    MovementSettings settings;
    settings.enabled = true;
    settings.mode = c.mode; // defaults otherwise: the Markov walk's boundary attraction is 0.5, so it probes
    settings.markov.driftAmount = c.driftAmount;
    Conductor conductor(settings, BigComplex(c.x, c.y, 2), c.zoom, 0, 0, 48000, Mulberry32(1));
    const Conductor::Pitch pitch = [](const FractalTarget&) { return 440.0; };
    long notes = 0;
    for (auto _ : bench) {
        const std::int64_t until = conductor.frame(conductor.tickIndex() + 1);
        benchmark::DoNotOptimize(conductor.schedule(until, pitch));
        notes += conductor.follow(until).has_value();
    }
    bench.counters["notes/tick"] =
        benchmark::Counter(static_cast<double>(notes) / static_cast<double>(bench.iterations()));
}

// On the boundary the probes escape at mixed counts. Inside the main cardioid every probe point runs
// the full 128 iterations, the Markov tick's worst case; a drift of 0 keeps the walk (and its probe
// radius of 2 drift steps) there for the whole run.
BENCHMARK_CAPTURE(tick, arpeggiator, Case{MovementMode::arpeggiator, -0.7453, 0.1127, 200});
BENCHMARK_CAPTURE(tick, euclidean, Case{MovementMode::euclidean, -0.7453, 0.1127, 200});
BENCHMARK_CAPTURE(tick, lsystem, Case{MovementMode::lsystem, -0.7453, 0.1127, 200});
BENCHMARK_CAPTURE(tick, markov_boundary, Case{MovementMode::markov, -0.7453, 0.1127, 200});
BENCHMARK_CAPTURE(tick, markov_interior, Case{MovementMode::markov, -0.1, 0.0, 50, 0.0});

} // namespace
} // namespace veltrane

BENCHMARK_MAIN();
