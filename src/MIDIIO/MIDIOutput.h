#pragma once
// The program as a virtual MIDI source other programs listen to: notes, controllers and clock, each
// list stamped with the host time at which it is to leave.
//
// Main thread. A send copies the events into the one preallocated 4096-byte event list and hands it
// to the port's queue: it allocates nothing and never waits. A list that does not fit the buffer is
// handed over in several parts, none written past it. Stopping (and destroying) the output lets the
// messages already due leave (waiting at most 0.2 s for them), drops those stamped for later, and
// sends a note-off at once for every note it turned on since it started, so no note is left hanging
// on a synth that listens.
#include "MIDIIO/MIDIEvent.h"
#include "Platform/Midi/MidiPorts.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace veltrane {

class MIDIOutput {
public:
    class Failure : public std::runtime_error {
    public:
        enum class Kind { clientNotCreated, sourceNotCreated };
        Failure(Kind kind, std::int32_t status);
        Kind kind;
        std::int32_t status;
        friend bool operator==(const Failure& a, const Failure& b) { return a.kind == b.kind && a.status == b.status; }
    };

    static constexpr std::size_t bufferBytes = 4096;

    explicit MIDIOutput(std::string name, MidiBackend backend = MidiBackend::automatic);
    ~MIDIOutput();
    MIDIOutput(const MIDIOutput&) = delete;
    MIDIOutput& operator=(const MIDIOutput&) = delete;

    // Creates the virtual source; throws Failure when the system refuses it. With no MIDI system the
    // output stays off (not running) and nothing is thrown. Does nothing while running.
    void start();
    void stop();

    const std::string& name() const { return name_; }
    bool isRunning() const { return running_; }
    // The source's id as inputs see it (an input ignores it to not hear the program itself).
    std::int32_t uniqueID() const { return port_.id(); }
    MidiBackend backend() const { return port_.backend(); }

    // Host time 0: as soon as possible. Nothing happens while stopped or for no events.
    void send(std::span<const MIDIEvent> events, std::uint64_t hostTime);
    void send(const MIDIEvent& event, std::uint64_t hostTime);
    // A note-on at `at` (velocity at least 1) and its note-off at `off`, as two lists.
    void note(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel, std::uint64_t at, std::uint64_t off);

    // Messages the port's queue had no room for.
    std::uint64_t dropped() const { return port_.dropped(); }

private:
    void handOver(const MIDIEventListWriter& list);

    std::string name_;
    bool running_ = false;
    std::unique_ptr<std::array<std::uint8_t, bufferBytes>> buffer_;
    std::bitset<16 * 128> turnedOn_; // channel x 128 + note
    MidiOutputPort port_;
};

} // namespace veltrane
