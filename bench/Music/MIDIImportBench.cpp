// Reading a Standard MIDI File and importing it as a melody; loading the built-in classics.
#include <benchmark/benchmark.h>

#include "Music/Classics.h"
#include "Music/MIDIFile.h"
#include "Music/Melody.h"
#include "Platform/Resources/Resources.h"

using namespace veltrane;

namespace {

// A two-hand piece of `bars` bars of 4/4: sixteenths over a quarter-note bass, with running status.
std::vector<uint8_t> piece(int bars)
{
    auto track = [](int notesPerBeat, int bars, int low) {
        std::vector<uint8_t> t = {0x00, 0x90, uint8_t(low), 80};
        const int ticks = 480 / notesPerBeat;
        for (int i = 0; i < bars * 4 * notesPerBeat; ++i) {
            const uint8_t key = uint8_t(low + (i * 7) % 24), next = uint8_t(low + ((i + 1) * 7) % 24);
            t.insert(t.end(), {uint8_t(0x80 | ticks >> 7), uint8_t(ticks & 0x7F), key, 0, 0x00, next, 80});
        }
        t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
        return t;
    };
    std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0};
    for (const auto& t : {track(4, bars, 60), track(1, bars, 36)}) {
        const uint32_t size = uint32_t(t.size());
        file.insert(file.end(),
                    {'M', 'T', 'r', 'k', uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)});
        file.insert(file.end(), t.begin(), t.end());
    }
    return file;
}

void BM_ReadMIDIFile(benchmark::State& state)
{
    const auto bytes = piece(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(MIDIFile(std::span<const uint8_t>(bytes)));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_ReadMIDIFile)->Arg(100)->Arg(1000);

void BM_ImportMelody(benchmark::State& state)
{
    const auto bytes = piece(int(state.range(0)));
    const MIDIFile file{std::span<const uint8_t>(bytes)};
    for (auto _ : state) benchmark::DoNotOptimize(Melody::fromMIDI(file, "bench", "Bench"));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(file.notes.size()));
}
BENCHMARK(BM_ImportMelody)->Arg(100)->Arg(1000);

// What the first use of the classics costs: forty files read and imported.
void BM_LoadClassics(benchmark::State& state)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    size_t loaded = 0;
    for (auto _ : state) loaded = Classics::load(Classics::entries()).size();
    state.counters["pieces"] = double(loaded);
}
BENCHMARK(BM_LoadClassics)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
