#pragma once
// Inside the MIDI layer: finding the system, and the dummy system's registry.
#include "Platform/Midi/MidiPorts.h"

#include <cstdint>
#include <string>

namespace veltrane::midisystem {

// libjack and libasound print to standard error when there is no server or no sequencer; here
// that is an ordinary answer.
void silenceLibraries();
bool jackServerRuns();
// RtMidi's ALSA client writes to standard error before it throws: ask first.
bool alsaSequencerOpens();

// Dummy system: connections, and outputs' ports as sources.
void dummyConnect(const std::string& key, MidiReceiver& receiver, bool& ok);
void dummyDisconnect(const std::string& key, MidiReceiver& receiver);
std::vector<MidiSourceInfo> dummySources();
void dummyDeliver(const std::string& key, const std::uint8_t* bytes, std::size_t count);

} // namespace veltrane::midisystem
