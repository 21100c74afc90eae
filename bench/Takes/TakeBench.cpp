// A ten-minute take of a busy performance through its file and its views: every display frame
// (60 a second) a view and a HUD state that both changed and a handful of parameter changes; key
// notes and step notes several times a second; an orbit of 256 points every half second. Budgets on
// one core: encoding 1.5 s, decoding 1.5 s with the heap never more than 3x the file's size above
// the file itself, a view 5 µs.
#include <benchmark/benchmark.h>

#include "Takes/Take.h"
#include "Takes/TakeRenderer.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <string>

using namespace veltrane;

// ---- heap accounting: the bytes in use now and the most since the last reset ----

namespace {
std::atomic<long long> heapNow{0};
std::atomic<long long> heapPeak{0};

void* counted(std::size_t n)
{
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    const long long now = heapNow += static_cast<long long>(malloc_usable_size(p));
    long long peak = heapPeak.load(std::memory_order_relaxed);
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {}
    return p;
}

void uncounted(void* p)
{
    if (!p) return;
    heapNow -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
} // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

namespace {

constexpr double kRate = 48000;
constexpr int kFps = 60;
constexpr int kSeconds = 600;
constexpr std::int64_t kFrame = 800; // audio frames per display frame

// The JSON of a HUD snapshot as the sound bridge hands it over (about 1.6 kB), its progress and a
// few sound values changing every frame.
std::string hudState(int i)
{
    std::string s = R"({"fractalType":"julia","palette":"aurora","scale":"dorian","rootNote":62,"isPlaying":true,)"
                    R"("toneLocked":false,"micEnabled":false,"mappingMode":"web","hudTab":"sound","audioParams":{)";
    s += "\"frequency\":" + std::to_string(220 + i % 300) +
         ".25,\"harmonicRatio\":1.5,\"filterCutoff\":" + std::to_string(800 + i % 1000) +
         ",\"filterQ\":2,\"filterType\":\"lowpass\",\"filterRolloff\":-24,";
    s += R"("distortionAmount":0.1,"reverbWet":0.3,"reverbDecay":2.5,"delayTime":0.25,"delayFeedback":0.3,)"
         R"("delayWet":0.2,"lfoRate":1,"volume":0.5,"fmModIndex":2,"chorusAmount":0.3,"stereoWidth":0.7,)"
         R"("noiseLevel":0,"noiseType":"white","bitCrushDepth":16,"phaserRate":0.5,"phaserDepth":0,"pitchShift":0,)"
         R"("freqShift":0,"subLevel":0.25,"glide":0.06,"glue":0.35,"synthMode":"subtractive"},"waveform":0,)"
         R"("keyboardOctaveOffset":0,"movement":{"enabled":true,"mode":"markov","bpm":120,"subdivision":4,)"
         R"("arp":{"pattern":"up","stepCount":8,"radius":0.5,"rate":1,"axis":"both"},"euclidean":{"pulses":3,)"
         R"("steps":8,"rotationOffset":0,"axis":"x","stepSize":0.1,"rate":1},"markov":{"driftAmount":0.3,)"
         R"("jumpProbability":0.1,"memory":0.5,"boundaryAttraction":0.5},"lsystem":{"preset":"hilbert",)"
         R"("axiom":"A","rules":{"A":"-BF+AFA+FB-","B":"+AF-BFB-FA+"},"iterations":3,"stepSize":0.1,"angle":90,)"
         R"("rate":1},"lerpSpeed":0.15,"manualResumeDelay":2},"movementPaused":false,)"
         R"("midiDevices":["Keystation 49","Launch Control XL"],"midiOut":true,"midiClockOut":false,)"
         R"("midiClockIn":false,"melodyID":"gymnopedie-1","melodyPlaying":true,"melodyLoop":true,)"
         R"("melodyBass":true,"melodyFly":false,"melodyProgress":)";
    s += std::to_string((i % 400) / 400.0);
    s += R"(,"bloom":0.7,"grain":0.5,"supersample":true,"autoQuality":true,"extendedRange":false})";
    return s;
}

Take busyTake()
{
    std::vector<Take::Event> events;
    std::vector<Take::OrbitSnapshot> orbits;
    std::vector<Take::View> views;
    std::vector<Take::HUDFrame> hud;
    const int frames = kSeconds * kFps;
    int id = 1;
    for (int f = 0; f < frames; ++f) {
        const std::int64_t at = f * kFrame;
        const double t = double(f) / kFps;
        // The view moves every frame: frequency, cutoff, ratio, Q, delay, chorus, width and LFO follow.
        for (int p : {0, 1, 2, 3, 9, 12, 15, 16})
            events.push_back({at, VK_EVENT_PARAM, p, 0, float(100 + p + std::sin(t + p)), 0, 0});
        if (f % 8 == 0) { // a key note 7.5 times a second, released 0.3 s later
            events.push_back({at + 5000, VK_EVENT_KEY_ON, 0, id, float(220 * std::pow(2, (f % 24) / 12.0)), 0, 0.8f});
            events.push_back({at + 5000 + 14400, VK_EVENT_KEY_OFF, 0, id, 0, 0, 0});
            ++id;
        }
        if (f % 15 == 0) // movement step notes, 4 a second
            events.push_back({at + 6000, VK_EVENT_STEP, 0, 0, 330, 0.12f, 0.9f});
        if (f % 30 == 0) {
            std::vector<double> points;
            for (int k = 0; k < 256; ++k) {
                points.push_back(-0.75 + 0.3 * std::cos(k * 0.37 + t));
                points.push_back(0.1 + 0.3 * std::sin(k * 0.53 + t));
            }
            orbits.push_back({at, std::move(points), 256});
        }
        // A deep dive: zoom from 1 to 1e40 over the ten minutes, the centre at that precision.
        const double zoom = std::pow(10.0, 40.0 * f / frames);
        const int limbs = BigFixed::limbsForZoom(zoom, 64);
        const BigComplex centre = BigComplex(-0.743643887037151, 0.131825904205330, limbs)
                                      .offset(0.3 / zoom * std::sin(t), 0.3 / zoom * std::cos(t));
        views.emplace_back(at, FractalType::mandelbrot, centre, zoom, 0.01 * t, Complex{-0.7, 0.27015}, Palette::aurora,
                           2000, 0.7, 0.5, std::fmod(0.01 * t, 1.0));
        hud.push_back({at, hudState(f)});
    }
    return Take(kRate, "2026-12-11T10:00:00Z", std::int64_t(kSeconds) * std::int64_t(kRate), std::move(events),
                std::move(orbits), std::move(views), std::move(hud));
}

const Take& take()
{
    static const Take t = busyTake();
    return t;
}

const std::string& file()
{
    static const std::string f = take().encoded();
    return f;
}

void Encode(benchmark::State& state)
{
    for (auto _ : state) {
        std::string bytes = take().encoded();
        benchmark::DoNotOptimize(bytes.data());
    }
    state.counters["fileMB"] = double(file().size()) / 1e6;
    state.counters["events"] = double(take().events.size());
}
BENCHMARK(Encode)->Unit(benchmark::kMillisecond)->Iterations(3);

void Decode(benchmark::State& state)
{
    const std::string& bytes = file();
    double worst = 0;
    for (auto _ : state) {
        const long long before = heapNow.load();
        heapPeak.store(before);
        Take t = Take::decode(bytes);
        benchmark::DoNotOptimize(t.events.data());
        worst = std::max(worst, double(heapPeak.load() - before) / double(bytes.size()));
        state.PauseTiming();
        {
            Take gone = std::move(t);
        }
        state.ResumeTiming();
    }
    // The heap decoding needed above the file it read, in multiples of the file's size.
    state.counters["peakOverFile"] = worst;
    state.counters["fileMB"] = double(bytes.size()) / 1e6;
}
BENCHMARK(Decode)->Unit(benchmark::kMillisecond)->Iterations(3);

// One view per movie frame (60 a second) through the whole take, after the first call has built
// the take's index.
void ViewAt(benchmark::State& state)
{
    const Take& t = take();
    TakeRenderer::view(0, t);
    std::int64_t a = 0;
    const std::int64_t step = std::int64_t(kRate) / 60 + 7; // between the samples
    for (auto _ : state) {
        auto v = TakeRenderer::view(a, t);
        benchmark::DoNotOptimize(v.first.zoom);
        a += step;
        if (a > t.length) a = 0;
    }
}
BENCHMARK(ViewAt);

} // namespace

BENCHMARK_MAIN();
