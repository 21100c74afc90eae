// A 2-second take rendered to a movie (1920 x 1080, 60 fps, HEVC, 16 samples per pixel) against the
// same 120 stills rendered alone, in one run: what the sound, the conversion, the encoding and the
// writing add to the GPU's work. They overlap it (the writer's thread, the encoder's own threads),
// so the goal is a movie at most 1.15 times its stills.
//
//   build/bench/Takes/bench_MovieBenchmark [--size 1920x1080] [--codec hevc|prores] [benchmark flags]
//
// Figures: real time of each (seconds), "fps" (frames per second), and on the movie "ratio" (movie
// time / stills time of the same run). On a machine shared with other work the figures are
// indicative only: the GPU here is lavapipe, which shares the CPUs with the encoder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FractalRender/FractalRenderer.h"
#include "Synth/KernelParams.h"
#include "Takes/TakeMovie.h"
#include "Takes/TakeRenderer.h"

using namespace veltrane;

namespace {

constexpr double kRate = 48000;
TakeRenderer::Options options = [] {
    TakeRenderer::Options o;
    o.width = 1920;
    o.height = 1080;
    o.fps = 60;
    o.codec = TakeRenderer::Codec::hevc;
    o.samples = 16;
    return o;
}();
double stillsSeconds = 0;

// Two seconds: the default sound with the drone and a key, a Julia set zooming in and turning.
Take benchTake()
{
    std::vector<Take::Event> events;
    const auto values = KernelParams::values(AudioParams{}, Waveform::sawtooth, Waveform::triangle);
    for (int i = 0; i < int(values.size()); ++i)
        events.push_back({0, VK_EVENT_PARAM_NO_RAMP, i, 0, values[size_t(i)], 0, 0});
    events.push_back({0, VK_EVENT_DRONE_ON, 0, 0, 0, 0, 0});
    events.push_back({48000, VK_EVENT_KEY_ON, 0, 1, 440, 0, 1});
    auto view = [](std::int64_t frame, const char* x, double zoom, double rotation) {
        Take::View v;
        v.frame = frame;
        v.type = FractalType::julia;
        v.x = x;
        v.y = "0.05";
        v.zoom = zoom;
        v.rotation = rotation;
        v.juliaC = {-0.7, 0.27015};
        v.palette = Palette::aurora;
        v.maxIterations = 400;
        v.bloom = 0.7;
        v.grain = 0.5;
        return v;
    };
    const std::int64_t length = std::int64_t(2 * kRate);
    return Take(kRate, "", length, std::move(events), {}, {view(0, "0", 1, 0), view(length, "0.3", 8, 0.6)}, {});
}

// The stills of the movie's frames, with the same views and audio-reactive inputs, and nothing else.
void BM_StillsAlone(benchmark::State& state)
{
    const Take take = benchTake();
    const auto [left, right] = TakeRenderer::renderAudio(take);
    std::vector<float> mono(left.size());
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = (left[i] + right[i]) * 0.5f;
    const std::int64_t count = TakeRenderer::frameCount(take, options.fps);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        FractalRenderer renderer(GpuDevice::systemDefault());
        Analyser analyser;
        for (std::int64_t i = 0; i < count; ++i) {
            const double t = double(i) / options.fps;
            const std::int64_t a = std::int64_t(kRate * t);
            auto [view, post] = TakeRenderer::view(a, take);
            const size_t end = size_t(std::min<std::int64_t>(a, std::int64_t(mono.size())));
            const size_t begin = end - std::min<size_t>(end, 4096);
            const auto analysis = analyser.update({mono.data() + begin, end - begin}, kRate, 1 / options.fps);
            post.autoQuality = false;
            Image still = renderer.renderStill(view, options.width, options.height, post,
                                               TakeRenderer::frameVisuals(analysis, t, view.zoom), t,
                                               int(options.samplesPerPixel()));
            benchmark::DoNotOptimize(still.bgrx.data());
        }
        stillsSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["fps"] = benchmark::Counter(double(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StillsAlone)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The whole movie: sound, stills, conversion, encoding and writing, to a file in the temporary folder.
void BM_Movie(benchmark::State& state)
{
    const Take take = benchTake();
    const std::int64_t count = TakeRenderer::frameCount(take, options.fps);
    const auto movie = std::filesystem::temp_directory_path() / "veltrane-movie-benchmark.mov";
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        TakeRenderer::render(take, movie, options, [](double) { return true; });
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::filesystem::remove(movie);
    state.counters["fps"] = benchmark::Counter(double(count), benchmark::Counter::kIsRate);
    if (stillsSeconds > 0) state.counters["ratio"] = seconds / stillsSeconds;
}
BENCHMARK(BM_Movie)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // Our own flags first; the rest are Google Benchmark's.
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2) return 2;
        } else if (!std::strcmp(argv[i], "--codec") && i + 1 < argc) {
            const auto codec = fromText<TakeRenderer::Codec>(argv[++i]);
            if (!codec) return 2;
            options.codec = *codec;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int count = int(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
