// Preset thumbnails and the preset library.
//
//   FactoryThumbnails: the sixteen factory presets rendered as 128 × 128 thumbnails (PNG encoded)
//   one after another with the shared renderer, as the preset menu asks for them; the renderer is
//   made before timing (once per run, about 2.5 s on lavapipe).
//   LibraryLoad: opening a library file of 50 user presets, each with a 128 × 128 picture in its
//   data URL, and decoding the first picture.
#include "Platform/Files/Files.h"
#include "Platform/Resources/Resources.h"
#include "Presets/FactoryPresets.h"
#include "Presets/PresetFile.h"
#include "VeltraneApp/PresetLibrary.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

using namespace veltrane;

namespace {

void FactoryThumbnails(benchmark::State& state)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    const auto& presets = FactoryPresets::all();
    std::vector<RenderView> views;
    for (const Preset& p : presets) views.push_back(PresetLibrary::renderView(p));
    if (!PresetLibrary::renderThumbnailPNG(views.front(), PresetLibrary::thumbnailSide)) {
        state.SkipWithError("no GPU device");
        return;
    }
    for (auto _ : state)
        for (const RenderView& view : views) benchmark::DoNotOptimize(PresetLibrary::renderThumbnailPNG(view, 128));
    state.counters["presets"] = double(views.size());
}

void LibraryLoad(benchmark::State& state)
{
    Resources::setRoot(std::filesystem::path(VELTRANE_SOURCE_DIR) / "resources");
    const auto folder = std::filesystem::temp_directory_path() / ("veltrane-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    // Fifty pictures of real views: the factory thumbnails, repeated.
    std::vector<Preset> user;
    const auto& factory = FactoryPresets::all();
    for (int i = 0; i < 50; ++i) {
        Preset p = factory[std::size_t(i) % factory.size()];
        p.id = "user-" + std::to_string(i);
        const auto png = PresetLibrary::renderThumbnailPNG(PresetLibrary::renderView(p), 128);
        if (!png) {
            state.SkipWithError("no GPU device");
            return;
        }
        p.thumbnail = PresetLibrary::dataURL(*png);
        user.push_back(p);
    }
    Files::replaceAtomically(folder / "presets.veltrane", PresetFile::encode(user, std::chrono::system_clock::now()));
    MainQueue main;
    Dialogs::ScriptedPresenter dialogs(main);
    for (auto _ : state) {
        PresetLibrary library({folder, folder / "thumbnails"}, &dialogs, &main);
        benchmark::DoNotOptimize(library.thumbnail(library.user.get().front()));
        if (library.user.get().size() != 50) state.SkipWithError("library not read");
    }
    state.counters["fileKiB"] = double(std::filesystem::file_size(folder / "presets.veltrane")) / 1024;
    std::filesystem::remove_all(folder);
}

} // namespace

BENCHMARK(FactoryThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LibraryLoad)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
