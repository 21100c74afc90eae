// Soak test of the live engine on a private JACK dummy server: a drone and 32 held keys for a
// while, reporting underruns (xruns) and the output callback's worst time against its budget.
//
//   sound-soak [--seconds 60] [--period 256] [--rate 48000] [--realtime 0|1]
//
// The server runs without real-time scheduling, as in the tests, unless --realtime 1 is given
// (which needs the privilege to use SCHED_FIFO). --silent 1 runs a client that only writes zeros
// instead of the engine, to tell the server's own xruns (scheduling on a busy machine) from the
// engine's. The report gives the values in force (the server's period and rate), the xruns, and the
// worst callback against its budget twice: on the wall clock, and in the processor time the
// callback itself used (its own cost: a slow callback shows both high, a starved thread only the
// first). Exit status 0 when no underrun was reported after the first second, 1 otherwise, 2 for a
// bad argument or when the server or the engine failed.
#include "Synth/SoundEngine.h"

#include "../../tests/Support/JackServer.h"
#include "../common/ArgNumbers.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

using namespace veltrane;

namespace {

struct Silence final : AudioRenderCallback {
    void renderAudio(float* const* planes, int channels, int frames) noexcept override
    {
        for (int c = 0; c < channels; ++c) std::memset(planes[c], 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
};

// What the output callback cost, against the period it has: "worst 1.234 ms on the clock, 0.456 ms
// of processor time (budget 5.333 ms: 23.1 % and 8.6 %), mean 0.120 ms of processor time".
std::string costReport(const AudioStats& s, double budget)
{
    char text[256];
    const double mean = s.callbacks ? s.totalCallbackCpuSeconds / double(s.callbacks) : 0;
    std::snprintf(text, sizeof text,
                  "worst callback %.3f ms on the clock, %.3f ms of processor time (budget %.3f ms: %.1f %% and "
                  "%.1f %%), mean %.3f ms of processor time",
                  s.worstCallbackSeconds * 1e3, s.worstCallbackCpuSeconds * 1e3, budget * 1e3,
                  100 * s.worstCallbackSeconds / budget, 100 * s.worstCallbackCpuSeconds / budget, mean * 1e3);
    return text;
}

int runSilent(double seconds, bool realtime)
{
    Silence silence;
    AudioOutput out(silence);
    try {
        out.start();
    } catch (const AudioError& e) {
        std::fprintf(stderr, "sound-soak: %s\n", e.what());
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const AudioStats warm = out.stats();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds - 1));
    const AudioStats s = out.stats();
    const double budget = double(out.bufferFrames()) / out.sampleRate();
    std::printf("silent client, %s, period %u frames at %.0f Hz, %.0f s: %llu callbacks, %llu xruns (%llu in the "
                "first second), %s\n",
                realtime ? "real-time" : "no real-time", out.bufferFrames(), out.sampleRate(), seconds,
                static_cast<unsigned long long>(s.callbacks), static_cast<unsigned long long>(s.underruns),
                static_cast<unsigned long long>(warm.underruns), costReport(s, budget).c_str());
    return s.underruns == warm.underruns ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    unsigned period = 256, rate = 48000;
    bool realtime = false, silent = false;
    const char* usage = "usage: sound-soak [--seconds 2..86400] [--period 16..8192 frames] [--rate 8000..192000 Hz] "
                        "[--realtime 0|1] [--silent 0|1]\n";
    if (argc % 2 == 0) {
        std::fprintf(stderr, "sound-soak: missing value for %s\n%s", argv[argc - 1], usage);
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* key = argv[i];
        std::optional<double> value;
        // The first second is counted apart, so a soak lasts at least two.
        if (!std::strcmp(key, "--seconds"))
            value = tools::argNumber(argv[i + 1], 2, 86400);
        else if (!std::strcmp(key, "--period"))
            value = tools::argInteger(argv[i + 1], 16, 8192);
        else if (!std::strcmp(key, "--rate"))
            value = tools::argInteger(argv[i + 1], 8000, 192000);
        else if (!std::strcmp(key, "--silent") || !std::strcmp(key, "--realtime"))
            value = tools::argInteger(argv[i + 1], 0, 1);
        else {
            std::fprintf(stderr, "sound-soak: unknown option %s\n%s", key, usage);
            return 2;
        }
        if (!value) {
            std::fprintf(stderr, "sound-soak: invalid value \"%s\" for %s\n%s", argv[i + 1], key, usage);
            return 2;
        }
        if (!std::strcmp(key, "--seconds"))
            seconds = *value;
        else if (!std::strcmp(key, "--period"))
            period = unsigned(*value);
        else if (!std::strcmp(key, "--rate"))
            rate = unsigned(*value);
        else if (!std::strcmp(key, "--silent"))
            silent = *value != 0;
        else
            realtime = *value != 0;
    }
    testsupport::JackServer server;
    if (const std::string why = server.start(rate, period, realtime); !why.empty()) {
        std::fprintf(stderr, "sound-soak: JACK server: %s\n", why.c_str());
        return 2;
    }
    if (silent) return runSilent(seconds, realtime);
    try {
        MainQueue queue;
        SoundEngine engine({}, queue);
        engine.start();
        AudioParams sound;
        engine.apply(sound, Waveform::sawtooth, Waveform::triangle, 0, 0);
        engine.play();
        for (int k = 0; k < 32; ++k) engine.keyOn(k + 1, 110 * std::pow(2.0, k / 12.0), 0.5);
        const auto start = std::chrono::steady_clock::now();
        std::int64_t displayFrames = 0;
        // JACK may flag an xrun while a client joins the graph; the first second is counted apart.
        std::optional<AudioStats> warm;
        // Like the application: one pump and one apply per display frame at 60 Hz, with a slow
        // sweep of the cutoff so parameter events keep arriving.
        while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
            if (!warm && std::chrono::steady_clock::now() - start > std::chrono::seconds(1))
                warm = engine.audio().stats();
            sound.filterCutoff = 1000 + 800 * std::sin(double(displayFrames) * 0.01);
            engine.apply(sound, Waveform::sawtooth, Waveform::triangle, 0, 0);
            queue.pump();
            ++displayFrames;
            std::this_thread::sleep_for(std::chrono::microseconds(16667));
        }
        // Read before stopping: JACK may flag the cycle in which a client leaves the graph.
        const AudioStats s = engine.audio().stats();
        engine.stop();
        const double budget = double(engine.ioBufferFrames()) / engine.sampleRate();
        const std::uint64_t startUnderruns = warm ? warm->underruns : s.underruns;
        // The values in force: the server's period and rate, whatever was asked.
        std::printf("%s, period %d frames at %.0f Hz, %.0f s: %llu callbacks, %llu xruns (%llu in the first second), "
                    "%s, %lld frames rendered\n",
                    realtime ? "real-time" : "no real-time", engine.ioBufferFrames(), engine.sampleRate(), seconds,
                    static_cast<unsigned long long>(s.callbacks), static_cast<unsigned long long>(s.underruns),
                    static_cast<unsigned long long>(startUnderruns), costReport(s, budget).c_str(),
                    static_cast<long long>(engine.currentFrame()));
        return s.underruns == startUnderruns ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sound-soak: %s\n", e.what());
        return 2;
    }
}
