// veltrane-play: the instrument without a window. It makes the instrument state and the sound bridge,
// starts the sound and runs the frame tick at 120 Hz while it flies a views file or follows a motion
// script, optionally playing a melody on a locked tone, running a movement engine, sending MIDI out
// and recording the output to a WAV file. It prints what it does.
#include "../common/ArgNumbers.h"

#include "FractalCore/BigFixed.h"
#include "Support/EnumText.h"
#include "FractalRender/Motion.h"
#include "Music/Notes.h"
#include "Platform/Clock/Clock.h"
#include "Platform/Json/Json.h"
#include "Platform/Queues/MainQueue.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/MelodyLibrary.h"
#include "VeltraneApp/SoundBridge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace veltrane;

namespace {

constexpr double tickRate = 120;
constexpr double viewHoldSeconds = 1.0; // at each view of a views file before flying on
constexpr double viewFlightMs = 2600;   // base duration of each flight, as the window's launch flight

volatile std::sig_atomic_t interrupted = 0;

void usage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: veltrane-play [--seconds S] [--views FILE | --motion FILE] [--melody ID [--fly]]\n"
                 "                     [--movement MODE] [--lock] [--midi-out] [--record OUT.wav]\n"
                 "  --seconds S      how long to play (default 10)\n"
                 "  --views FILE     start at the first view of a views file, then fly to each in turn\n"
                 "                   ({\"views\": [{\"id\", \"centerX\", \"centerY\" or exact \"x\"/\"y\", \"zoom\",\n"
                 "                   \"fractalType\", \"juliaC\"}]})\n"
                 "  --motion FILE    follow a motion script (bench/motions/*.json)\n"
                 "  --melody ID      play a tune (locks the tone first); --fly flies the view along it\n"
                 "  --movement MODE  run a movement engine: arpeggiator, euclidean, markov or lsystem\n"
                 "  --lock           lock the tone (the drone falls silent, keys and melodies play it)\n"
                 "  --midi-out       send notes, controllers and clock on the MIDI output \"Veltrane\"\n"
                 "  --record OUT.wav record the output to a 24-bit WAV file\n");
}

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "veltrane-play: %s\n", message.c_str());
    std::exit(2);
}

struct View {
    std::string id;
    FractalType type = FractalType::mandelbrot;
    BigComplex centre;
    double zoom = 1;
    Complex juliaC = InstrumentState::defaultJuliaC;
};

// The views file the window reads with --views: every entry, in order.
std::vector<View> readViews(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    Json::Value json;
    try {
        json = Json::parse(text.str());
    } catch (const std::exception& e) {
        fail(path + " is not JSON: " + e.what());
    }
    if (!json.is_object() || !json.contains("views") || !json["views"].is_array() || json["views"].empty())
        fail(path + ": expected an object with a non-empty array \"views\"");
    std::vector<View> views;
    for (const Json::Value& v : json["views"]) {
        if (!v.is_object()) fail(path + ": every view must be an object");
        View view;
        const auto number = [&](const char* key, double fallback) {
            if (!v.contains(key)) return fallback;
            if (!v[key].is_number() || !std::isfinite(v[key].get<double>()))
                fail(path + ": \"" + key + "\" must be a finite number");
            return v[key].get<double>();
        };
        view.id = v.contains("id") && v["id"].is_string() ? v["id"].get<std::string>()
                                                          : "view " + std::to_string(views.size() + 1);
        view.zoom = number("zoom", 1);
        if (!(view.zoom >= 0.1 && view.zoom <= InstrumentState::maxZoom))
            fail(path + ": view \"" + view.id + "\" has a zoom outside 0.1...1e300");
        const int limbs = BigFixed::limbsForZoom(view.zoom, InstrumentState::guardBits);
        view.centre = BigComplex(BigFixed(number("centerX", 0), limbs), BigFixed(number("centerY", 0), limbs));
        if (v.contains("x") && v.contains("y") && v["x"].is_string() && v["y"].is_string()) {
            const auto x = BigFixed::fromDecimal(v["x"].get<std::string>(), limbs);
            const auto y = BigFixed::fromDecimal(v["y"].get<std::string>(), limbs);
            if (!x || !y) fail(path + ": view \"" + view.id + "\" has an exact centre that is not a decimal number");
            view.centre = BigComplex(*x, *y);
        }
        if (v.contains("fractalType")) {
            const auto type = v["fractalType"].is_string() ? fromText<FractalType>(v["fractalType"].get<std::string>())
                                                           : std::nullopt;
            if (!type) fail(path + ": view \"" + view.id + "\" has an unknown fractalType");
            view.type = *type;
        }
        if (v.contains("juliaC") && v["juliaC"].is_object())
            view.juliaC = Complex{v["juliaC"].value("x", view.juliaC.x), v["juliaC"].value("y", view.juliaC.y)};
        views.push_back(std::move(view));
    }
    return views;
}

std::string noteName(double frequency)
{
    if (!(frequency > 0) || !std::isfinite(frequency)) return "no note";
    return Notes::noteName(static_cast<int>(std::lround(12 * std::log2(frequency / 440) + 69)));
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 10;
    std::optional<std::string> viewsPath, motionPath, melodyID, movementMode, recordPath;
    bool lock = false, fly = false, midiOut = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--seconds") {
            const auto s = tools::argNumber(value(), 0, 86400);
            if (!s || *s <= 0) fail("--seconds takes a number of seconds above 0, at most a day");
            seconds = *s;
        } else if (arg == "--views") {
            viewsPath = value();
        } else if (arg == "--motion") {
            motionPath = value();
        } else if (arg == "--melody") {
            melodyID = value();
        } else if (arg == "--movement") {
            movementMode = value();
        } else if (arg == "--record") {
            recordPath = value();
        } else if (arg == "--lock") {
            lock = true;
        } else if (arg == "--fly") {
            fly = true;
        } else if (arg == "--midi-out") {
            midiOut = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            fail("unknown argument " + arg);
        }
    }
    if (viewsPath && motionPath) fail("give --views or --motion, not both");
    if (fly && !melodyID) fail("--fly flies along a melody: give --melody too");

    std::vector<View> views;
    if (viewsPath) views = readViews(*viewsPath);
    std::optional<Motion> motion;
    if (motionPath) {
        try {
            motion = Motion::load(*motionPath);
        } catch (const std::exception& e) {
            fail("cannot use the motion script " + *motionPath + ": " + e.what());
        }
    }
    std::optional<MovementMode> mode;
    if (movementMode) {
        mode = fromText<MovementMode>(*movementMode);
        if (!mode) fail("unknown movement mode " + *movementMode + " (arpeggiator, euclidean, markov or lsystem)");
    }

    InstrumentState state(MelodyLibrary::shared());
    if (melodyID) {
        const auto melodies = state.allMelodies();
        if (std::none_of(melodies.begin(), melodies.end(), [&](const Melody& m) { return m.id() == *melodyID; }))
            fail("no melody with the id " + *melodyID);
    }

    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });

    MainQueue& queue = MainQueue::main();
    SoundBridge bridge;
    bridge.start();
    bridge.wire(state);
    SoundEngine& engine = bridge.engine();
    std::printf("audio: %s%s, %.0f Hz, output latency %lld frames\n", toText(engine.audio().backend()),
                engine.isRunning() ? "" : " (not running: silent)", engine.sampleRate(),
                static_cast<long long>(engine.outputLatencyFrames()));

    if (motion) {
        state.fractalType.set(motion->fractalType);
        state.setPalette(motion->colorPalette);
        std::printf("following the motion script %s (%.1f s, looped)\n", motionPath->c_str(), motion->durationSec);
    } else if (!views.empty()) {
        // The instrument starts at the first view (its sound is the one a lock takes) and flies on.
        const View& first = views.front();
        state.fractalType.set(first.type);
        state.juliaC.set(first.juliaC);
        state.setView(first.centre, first.zoom, 0, true);
        std::printf("starting at %s, then flying through the %zu views of %s\n", first.id.c_str(), views.size(),
                    viewsPath->c_str());
    }

    if (recordPath) {
        try {
            engine.startRecording(*recordPath);
            std::printf("recording to %s\n", recordPath->c_str());
        } catch (const std::exception& e) {
            fail(std::string("could not start recording: ") + e.what());
        }
    }

    // One frame first, so that the drone starts on the sound of the first view.
    const Clock& clock = Clock::steady();
    double now = clock.now();
    queue.pump();
    state.advance(now);
    bridge.frame(state, now);
    state.actions.get().togglePlay();
    std::printf("drone playing at %.1f Hz (%s)\n", state.audioParams.get().frequency,
                noteName(state.audioParams.get().frequency).c_str());
    if (lock || melodyID) {
        state.actions.get().toggleLock();
        if (const auto& tone = state.lockedTone.get())
            std::printf("tone locked at %.1f Hz (%s, MIDI note %d)%s\n", tone->baseFrequency,
                        noteName(tone->baseFrequency).c_str(), tone->baseMidiNote, lock ? "" : " for the melody");
    }
    if (mode) {
        state.movement.modify([&](MovementSettings& m) {
            m.enabled = true;
            m.mode = *mode;
        });
        std::printf("movement: %s at %.0f bpm\n", std::string(toText(*mode)).c_str(), state.movement.get().bpm);
    }
    if (midiOut) state.midiOut.set(true);
    if (melodyID) {
        state.melodyID.set(*melodyID);
        state.melodyFly.set(fly);
        state.melodyPlaying.set(true);
        const Melody melody = state.melody();
        std::printf("melody %s (\"%s\") at %.0f bpm, %.1f beats%s\n", melody.id().c_str(), melody.name().c_str(),
                    melody.bpm(), melody.length(), fly ? ", flying along it" : "");
    }

    const double start = clock.now();
    const auto period = std::chrono::duration<double>(1.0 / tickRate);
    auto next = std::chrono::steady_clock::now();
    std::size_t nextView = 1;
    double landed = start;
    int reported = -1;
    bool midiReported = false, melodyWasPlaying = state.melodyPlaying.get();
    std::uint64_t frames = 0;
    while (!interrupted) {
        now = clock.now();
        const double t = now - start;
        if (t >= seconds) break;
        queue.pump();
        if (motion) {
            const FractalTarget target = motion->at(std::fmod(t, motion->durationSec));
            const int limbs = BigFixed::limbsForZoom(target.zoom, InstrumentState::guardBits);
            state.setView(BigComplex(BigFixed(target.centerX, limbs), BigFixed(target.centerY, limbs)), target.zoom,
                          target.rotation, true);
        } else if (views.size() > 1 && !state.flight.get() && now - landed >= viewHoldSeconds) {
            // The last flight has landed and held: on to the next view.
            const View& view = views[nextView % views.size()];
            state.fractalType.set(view.type);
            state.juliaC.set(view.juliaC);
            state.fly(view.centre, view.zoom, 0, viewFlightMs);
            std::printf("%6.2f s  flying to %s at zoom %.3g\n", t, view.id.c_str(), view.zoom);
            ++nextView;
            landed = std::numeric_limits<double>::infinity(); // set when this flight ends
        }
        state.advance(now);
        if (views.size() > 1 && !state.flight.get() && std::isinf(landed)) landed = now;
        bridge.frame(state, now);
        ++frames;

        if (midiOut && !midiReported && bridge.midiOutput().isRunning()) {
            std::printf("%6.2f s  MIDI out on \"%s\"\n", t, bridge.midiOutput().name().c_str());
            midiReported = true;
        }
        if (melodyWasPlaying && !state.melodyPlaying.get()) std::printf("%6.2f s  melody finished\n", t);
        melodyWasPlaying = state.melodyPlaying.get();
        if (static_cast<int>(t) != reported) {
            reported = static_cast<int>(t);
            const AudioParams& p = state.audioParams.get();
            std::printf("%6.2f s  zoom %.3g  %.1f Hz  level %.2f", t, state.zoom.get(), p.frequency,
                        state.audioVisuals.get().amplitude);
            if (state.melodyPlaying.get()) std::printf("  melody %3.0f%%", 100 * state.melodyProgress.get());
            if (state.movement.get().enabled) std::printf("  movement%s", state.movementPaused.get() ? " (held)" : "");
            std::printf("\n");
        }
        std::fflush(stdout);

        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        const auto wake = std::chrono::steady_clock::now();
        if (next < wake) next = wake; // a late frame is not caught up with a burst
        std::this_thread::sleep_until(next);
    }

    if (recordPath) {
        try {
            if (const auto file = engine.stopRecording()) std::printf("recorded %s\n", file->c_str());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "veltrane-play: could not save recording: %s\n", e.what());
            return 1;
        }
    }
    std::printf("played %.1f s, %llu frames\n", clock.now() - start, static_cast<unsigned long long>(frames));
    return 0;
}
