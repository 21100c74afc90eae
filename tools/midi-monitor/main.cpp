// veltrane-midi-monitor: checks MIDI devices without the instrument. Lists the MIDI sources, prints
// the events that come in from all of them, and can send a test note and MIDI clock on the virtual
// output "Veltrane" (connect it to a synth or a DAW to hear or see them).
//
//   veltrane-midi-monitor [--list] [--seconds N] [--note] [--clock BPM] [--backend jack|alsa]
#include "MIDIIO/HostTime.h"
#include "MIDIIO/MIDIClock.h"
#include "MIDIIO/MIDIInput.h"
#include "MIDIIO/MIDIOutput.h"
#include "Platform/Queues/MainQueue.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

using namespace veltrane;

namespace {

volatile std::sig_atomic_t interrupted = 0;

std::string describe(const MIDIEvent& e)
{
    char text[64];
    switch (e.kind) {
    case MIDIEvent::Kind::noteOn:
        std::snprintf(text, sizeof text, "note on   ch %2d  note %3d  velocity %3d", e.channel() + 1, e.note(),
                      e.velocity());
        break;
    case MIDIEvent::Kind::noteOff:
        std::snprintf(text, sizeof text, "note off  ch %2d  note %3d  velocity %3d", e.channel() + 1, e.note(),
                      e.velocity());
        break;
    case MIDIEvent::Kind::controlChange:
        std::snprintf(text, sizeof text, "control   ch %2d  cc %3d    value %3d", e.channel() + 1, e.controller(),
                      e.value());
        break;
    case MIDIEvent::Kind::clock: return "clock";
    case MIDIEvent::Kind::start: return "start";
    case MIDIEvent::Kind::continue_: return "continue";
    case MIDIEvent::Kind::stop: return "stop";
    }
    return text;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: veltrane-midi-monitor [--list] [--seconds N] [--note] [--clock BPM] [--backend jack|alsa]\n"
                 "  --list       print the MIDI system and its sources, then quit\n"
                 "  --seconds N  monitor for N seconds (default: until Ctrl+C)\n"
                 "  --note       send C4 (velocity 100, half a second) on the output \"Veltrane\"\n"
                 "  --clock BPM  send start and MIDI clock at BPM on the output while monitoring\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool list = false, note = false;
    double seconds = 0;
    std::optional<double> clockBpm;
    MidiBackend backend = MidiBackend::automatic;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--list")
            list = true;
        else if (a == "--note")
            note = true;
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--clock" && i + 1 < argc)
            clockBpm = std::atof(argv[++i]);
        else if (a == "--backend" && i + 1 < argc) {
            const std::string b = argv[++i];
            backend = b == "jack" ? MidiBackend::jack : b == "alsa" ? MidiBackend::alsa : MidiBackend::none;
            if (backend == MidiBackend::none) return usage();
        } else
            return usage();
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });

    MainQueue& queue = MainQueue::main();
    MIDIOutput output("Veltrane", backend);
    const bool sending = note || clockBpm;
    if (sending) {
        try {
            output.start();
        } catch (const MIDIOutput::Failure& e) {
            std::fprintf(stderr, "MIDI out unavailable: %s\n", e.what());
            return 1;
        }
        if (!output.isRunning())
            std::fprintf(stderr, "no MIDI system (neither a JACK server nor the ALSA sequencer): nothing is sent\n");
    }
    MIDIInput input("Veltrane Monitor", backend, queue);
    if (output.isRunning()) input.setIgnoredSourceIDs({output.uniqueID()});
    input.onEvent = [&](const MIDIEvent& e, std::int32_t id) {
        std::string from = std::to_string(id);
        for (const auto& s : input.sources().get())
            if (s.id == id) from = s.name;
        std::printf("%-40s  from %s\n", describe(e).c_str(), from.c_str());
        std::fflush(stdout);
    };
    try {
        input.start();
    } catch (const MIDIInput::Failure& e) {
        std::fprintf(stderr, "MIDI input unavailable: %s\n", e.what());
        return 1;
    }
    const auto printSources = [&] {
        std::printf("MIDI system: %s\n", toText(input.backend()));
        if (input.sources().get().empty()) std::printf("  no sources\n");
        for (const auto& s : input.sources().get()) std::printf("  source %11d  %s\n", s.id, s.name.c_str());
        std::fflush(stdout);
    };
    printSources();
    if (list) return 0;
    auto token = input.sources().observe(printSources);

    if (note && output.isRunning()) {
        output.note(60, 100, 0, HostTime::fromNow(0.05), HostTime::fromNow(0.55));
        std::printf("sent C4 on \"Veltrane\"\n");
    }
    MIDIClockOut clock(clockBpm.value_or(120));
    if (clockBpm && output.isRunning()) {
        if (!clock.setBpm(*clockBpm)) {
            std::fprintf(stderr, "--clock needs a positive tempo\n");
            return 2;
        }
        const std::uint64_t first = clock.start(0.05);
        output.send(MIDIEvent::start(), first);
        std::printf("sending clock at %g bpm on \"Veltrane\"\n", clock.bpm());
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!interrupted && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        for (std::uint64_t t : clock.pump(0.1)) output.send(MIDIEvent::clock(), t);
        queue.pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (clock.running()) output.send(MIDIEvent::stop(), 0);
    output.stop();
    input.stop();
    return 0;
}
