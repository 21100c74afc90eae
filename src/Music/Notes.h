#pragma once
// Twelve-tone equal temperament with A4 = MIDI note 69 = 440 Hz; note names use sharps only and
// C4 = 60. Pure functions, any thread.
#include <array>
#include <string>
#include <string_view>

namespace veltrane::Notes {

inline constexpr std::array<std::string_view, 12> names{"C",  "C#", "D",  "D#", "E",  "F",
                                                        "F#", "G",  "G#", "A",  "A#", "B"};

// Fractional note numbers give the pitch between notes.
double midiToFrequency(double note) noexcept;
double midiToFrequency(int note) noexcept;

// The nearest note, halves going up. A frequency that names no note (zero, negative, NaN) gives 0 and
// +infinity gives 127, so callers never see an undefined conversion.
int frequencyToMidi(double frequency) noexcept;

// "C4" for 60, "B-2" for -1: the pitch class (taken in 0...11 for negative notes too) and the octave.
std::string noteName(int note);

// For a pitch class 0...11 (not a note number): true for 1, 3, 6, 8, 10; false for anything else.
bool isBlackKey(int pitchClass) noexcept;

// The C at or below a note.
int snapToC(int note) noexcept;

} // namespace veltrane::Notes
