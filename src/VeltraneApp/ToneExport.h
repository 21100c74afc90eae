#pragma once
// The locked tone saved as a MIDI controller file or as an Ableton Live device rack, through a save
// panel. Nothing happens without a locked tone; a rack that cannot be built and a file that cannot
// be written are alerts ("Ableton export failed", "Could not save " + the file's name).
//
// Main thread; the panel's answer arrives on the main queue.
#include "Platform/Dialogs/Dialogs.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane {

class InstrumentState;

namespace ToneExport {

void exportMIDI(const InstrumentState& state, Dialogs::Presenter& dialogs);
void exportAbleton(const InstrumentState& state, Dialogs::Presenter& dialogs);
// The save panel for `data`, suggesting `name`; a confirmed place gets the bytes atomically.
void save(std::vector<std::uint8_t> data, const std::string& name, const Dialogs::FileType& type,
          Dialogs::Presenter& dialogs);

} // namespace ToneExport
} // namespace veltrane
