// Planning a melody flight over the longest built-in tune, with a finder that costs nothing, and
// sampling its camera once per display frame. Budgets: planning 5 ms (the finder's renders aside),
// a pose 2 µs (a 120 fps frame has 8,333 µs).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>

#include "Movement/MelodyFlight.h"
#include "Music/Classics.h"
#include "Music/Melodies.h"
#include "Platform/Resources/Resources.h"

using namespace veltrane;

namespace {

const Melody& longestTune()
{
    static const Melody longest = [] {
        Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
        std::vector<Melody> tunes = Melodies::all();
        tunes.insert(tunes.end(), Classics::all().begin(), Classics::all().end());
        return *std::max_element(tunes.begin(), tunes.end(),
                                 [](const Melody& a, const Melody& b) { return a.length() < b.length(); });
    }();
    return longest;
}

// A third of the asked view away, at the target zoom: every search accepts an answer.
std::optional<MelodyFlight::Destination> nearby(const BigComplex& centre, double zoom, double target)
{
    return MelodyFlight::Destination{centre.offset(0.3 * 2.5 / zoom, 0.1 * 2.5 / zoom), target};
}

MelodyFlight plan(const Melody& m, double fromZoom)
{
    const MelodyFlight::Pose from{BigComplex(-0.5, 0, BigFixed::limbsForZoom(fromZoom, 64)), fromZoom, 0};
    return MelodyFlight(m, m.bpm(), from, 0, 2 * m.bpm() / 60, 42, 1e10, nearby);
}

void Plan(benchmark::State& state)
{
    const Melody& m = longestTune();
    for (auto _ : state) benchmark::DoNotOptimize(plan(m, 1));
    state.SetLabel(m.id() + ", " + std::to_string(int(m.length())) + " beats, " +
                   std::to_string(plan(m, 1).shots().size()) + " shots");
}
BENCHMARK(Plan)->Unit(benchmark::kMillisecond);

// One pose per 120 Hz frame at the tune's tempo, cycling through the whole flight; from zoom 1 and
// from 1e200 (centres of 12 limbs).
void Pose(benchmark::State& state)
{
    const Melody& m = longestTune();
    const MelodyFlight flight = plan(m, state.range(0) ? 1e200 : 1);
    const double perFrame = m.bpm() / 60 / 120;
    double beat = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(flight.pose(beat));
        beat += perFrame;
        if (beat > flight.endBeat()) beat = 0;
    }
}
BENCHMARK(Pose)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void Colour(benchmark::State& state)
{
    const Melody& m = longestTune();
    const MelodyFlight flight = plan(m, 1);
    double beat = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(flight.colour(beat));
        beat += m.bpm() / 60 / 120;
        if (beat > flight.endBeat()) beat = 0;
    }
}
BENCHMARK(Colour)->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
