// Soak test of the live engine on a private JACK dummy server: a drone and 32 held keys for a
// while, reporting underruns (xruns) and the output callback's worst time against its budget.
//
//   sound-soak [--seconds 60] [--period 256] [--rate 48000] [--realtime 0|1]
//
// The server runs without real-time scheduling, as in the tests, unless --realtime 1 is given
// (which needs the privilege to use SCHED_FIFO). --silent 1 runs a client that only writes zeros
// instead of the engine, to tell the server's own xruns (scheduling on a busy machine) from the
// engine's. Exit status 0 when no underrun was reported
// after the first second, 1 otherwise, 2 when the server or the engine failed.
#include "Synth/SoundEngine.h"

#include "../../tests/Support/JackServer.h"

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
        for (int c = 0; c < channels; ++c)
            std::memset(planes[c], 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
};

int runSilent(double seconds, bool realtime, unsigned period, unsigned rate)
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
    std::printf("silent client, %s, period %u frames at %u Hz, %.0f s: %llu callbacks, %llu xruns (%llu in the "
                "first second), worst callback %.3f ms\n",
                realtime ? "real-time" : "no real-time", period, rate, seconds,
                static_cast<unsigned long long>(s.callbacks), static_cast<unsigned long long>(s.underruns),
                static_cast<unsigned long long>(warm.underruns), s.worstCallbackSeconds * 1e3);
    return s.underruns == warm.underruns ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    unsigned period = 256, rate = 48000;
    bool realtime = false, silent = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--period"))
            period = unsigned(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rate"))
            rate = unsigned(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--silent"))
            silent = std::atoi(argv[i + 1]) != 0;
        else if (!std::strcmp(argv[i], "--realtime"))
            realtime = std::atoi(argv[i + 1]) != 0;
        else {
            std::fprintf(stderr, "usage: sound-soak [--seconds s] [--period frames] [--rate hz] [--realtime 0|1] [--silent 0|1]\n");
            return 2;
        }
    }
    testsupport::JackServer server;
    if (const std::string why = server.start(rate, period, realtime); !why.empty()) {
        std::fprintf(stderr, "sound-soak: JACK server: %s\n", why.c_str());
        return 2;
    }
    if (silent)
        return runSilent(seconds, realtime, period, rate);
    try {
        MainQueue queue;
        SoundEngine engine({}, queue);
        engine.start();
        AudioParams sound;
        engine.apply(sound, Waveform::sawtooth, Waveform::triangle, 0, 0);
        engine.play();
        for (int k = 0; k < 32; ++k)
            engine.keyOn(k + 1, 110 * std::pow(2.0, k / 12.0), 0.5);
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
        std::printf("%s, period %u frames at %u Hz, %.0f s: %llu callbacks, %llu xruns (%llu in the first second), "
                    "worst callback %.3f ms (budget %.3f ms, %.1f%%), %lld frames rendered\n",
                    realtime ? "real-time" : "no real-time", period, rate, seconds,
                    static_cast<unsigned long long>(s.callbacks), static_cast<unsigned long long>(s.underruns),
                    static_cast<unsigned long long>(startUnderruns),
                    s.worstCallbackSeconds * 1e3, budget * 1e3, 100 * s.worstCallbackSeconds / budget,
                    static_cast<long long>(engine.currentFrame()));
        return s.underruns == startUnderruns ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sound-soak: %s\n", e.what());
        return 2;
    }
}
