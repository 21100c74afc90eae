// The music model's per-frame costs: mapping a view to a sound, and scheduling a tune each display
// frame. "allocs" counts heap allocations per call (the mapping should make none).
#include "Music/Mapping.h"
#include "Music/MelodyPlayer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {
std::atomic<long> allocations{0};
}

// GCC cannot see that this new and delete are a pair and warns about malloc/free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace veltrane;

namespace {

void BM_FractalToAudio(benchmark::State& state)
{
    const AudioParams current = AudioParams::defaults();
    double x = -0.7436;
    const long before = allocations.load();
    for (auto _ : state) {
        AudioParams p =
            Mapping::fractalToAudio(x, 0.1318, 300, 500, 0.3, current, FractalType::mandelbrot, Scale::major, 0);
        benchmark::DoNotOptimize(p);
        x += 1e-9; // a view that pans, as when the user drags
    }
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FractalToAudio);

void BM_FractalToAudioDepth(benchmark::State& state)
{
    const AudioParams current = AudioParams::defaults();
    double x = -0.7436;
    const long before = allocations.load();
    for (auto _ : state) {
        AudioParams p = Mapping::fractalToAudioDepth(x, 0.1318, 3e5, 2000, 0.3, current, FractalType::mandelbrot,
                                                     Scale::major, 0, 1e30, {0.3, 0.7});
        benchmark::DoNotOptimize(p);
        x += 1e-12;
    }
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FractalToAudioDepth);

// 40 bars of 4/4: running eighth notes over a quarter-note bass (480 notes).
Melody fortyBars()
{
    std::string melody;
    std::string bass;
    const char* line[] = {"C5:.5", "E5", "G5", "E5", "D5", "F5", "A5", "F5"};
    const char* low[] = {"C3:1", "G2", "A2", "F2"};
    for (int bar = 0; bar < 40; ++bar) {
        for (const char* n : line) melody += std::string(n) + " ";
        melody += "| ";
        for (const char* n : low) bass += std::string(n) + " ";
        bass += "| ";
    }
    return Melody("bench", "Bench", "", 132, 4, "C4", melody, bass);
}

// One call per display frame at 120 frames per second, looking 0.15 s ahead, looping for ever.
void BM_ScheduleDisplayFrame(benchmark::State& state)
{
    constexpr double rate = 48000;
    constexpr std::int64_t frameStep = 400;
    constexpr std::int64_t lookAhead = 7200;
    MelodyPlayer player(fortyBars(), 60, std::nullopt, true, true, 0, rate);
    std::int64_t clock = 0;
    long events = 0;
    const long before = allocations.load();
    for (auto _ : state) {
        clock += frameStep;
        auto due = player.schedule(clock + lookAhead);
        events += static_cast<long>(due.size());
        benchmark::DoNotOptimize(due);
    }
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kAvgIterations);
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ScheduleDisplayFrame);

} // namespace

BENCHMARK_MAIN();
