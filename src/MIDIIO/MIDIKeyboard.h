#pragma once
// Which notes sound on a MIDI keyboard with a sustain pedal: note and pedal events in, note actions
// out. Channels do not matter: one instrument plays them all.
#include "MIDIIO/MIDIEvent.h"

#include <cstdint>
#include <set>
#include <vector>

namespace veltrane {

struct MIDIKeyboard {
    struct Action {
        enum class Kind : std::uint8_t { noteOn, noteOff };
        Kind kind = Kind::noteOff;
        std::uint8_t note = 0;
        double velocity = 0; // 0...1, note-on only

        static Action noteOn(std::uint8_t note, double velocity) { return {Kind::noteOn, note, velocity}; }
        static Action noteOff(std::uint8_t note) { return {Kind::noteOff, note, 0}; }
        friend bool operator==(const Action&, const Action&) = default;
    };

    std::set<std::uint8_t> held;      // key down
    std::set<std::uint8_t> sustained; // released while the pedal was down, still sounding
    bool sustainOn = false;

    std::vector<Action> handle(const MIDIEvent& event);
    // Every sounding note off, in ascending order; back to the initial state.
    std::vector<Action> releaseAll();
    std::set<std::uint8_t> activeNotes() const;

    friend bool operator==(const MIDIKeyboard&, const MIDIKeyboard&) = default;
};

} // namespace veltrane
