#include "MIDIIO/MIDIKeyboard.h"

#include "MIDIIO/MIDIControlMap.h"

namespace veltrane {

std::vector<MIDIKeyboard::Action> MIDIKeyboard::handle(const MIDIEvent& event)
{
    switch (event.kind) {
    case MIDIEvent::Kind::noteOn:
        held.insert(event.note());
        return {Action::noteOn(event.note(), event.velocity() / 127.0)};
    case MIDIEvent::Kind::noteOff:
        held.erase(event.note());
        if (sustainOn) {
            sustained.insert(event.note());
            return {};
        }
        return {Action::noteOff(event.note())};
    case MIDIEvent::Kind::controlChange: {
        if (event.controller() != MIDIControlMap::sustainPedal) return {};
        sustainOn = event.value() >= 64;
        if (sustainOn) return {};
        std::vector<Action> actions;
        // Notes pressed again while the pedal was down keep sounding through `held`.
        for (std::uint8_t note : sustained)
            if (!held.contains(note)) actions.push_back(Action::noteOff(note));
        sustained.clear();
        return actions;
    }
    default: return {};
    }
}

std::vector<MIDIKeyboard::Action> MIDIKeyboard::releaseAll()
{
    std::vector<Action> actions;
    for (std::uint8_t note : activeNotes()) actions.push_back(Action::noteOff(note));
    held.clear();
    sustained.clear();
    sustainOn = false;
    return actions;
}

std::set<std::uint8_t> MIDIKeyboard::activeNotes() const
{
    std::set<std::uint8_t> notes = held;
    notes.insert(sustained.begin(), sustained.end());
    return notes;
}

} // namespace veltrane
