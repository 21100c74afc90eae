#pragma once
// A frozen sound: the parameters, the oscillator waveform and the pitch at which it was locked.
// Keyboard notes play it at their own pitch; the tone exports write it.
//
// JSON: "params", "waveform", "baseFrequency", "baseMidiNote", all required (a missing or null key or
// a wrong type fails with Json::Error); inside "params" the per-key leniency of AudioParams holds.
#include "Music/AudioParams.h"
#include "Platform/Json/JsonFwd.h"

#include <string>

namespace veltrane {

struct LockedTone {
    AudioParams params;
    std::string waveform;       // the Waveform's stored text at locking; not validated here
    double baseFrequency = 220; // Hz
    int baseMidiNote = 57;      // the keyboard's lowest C is placed relative to it

    // Locks a sound at its own frequency. The base note is the nearest note (outside 0...127 for a
    // pitch outside the MIDI range); a frequency that names no note (zero, negative, NaN, infinite)
    // gives 0, or 127 for +infinity, so the keyboard stays playable.
    static LockedTone locking(const AudioParams& params, std::string waveform);

    friend bool operator==(const LockedTone&, const LockedTone&) = default;
};

void to_json(Json::Value& json, const LockedTone& tone);
void from_json(const Json::Value& json, LockedTone& tone);

} // namespace veltrane
