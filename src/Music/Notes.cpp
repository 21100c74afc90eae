#include "Music/Notes.h"

#include <cmath>

namespace veltrane::Notes {

namespace {

int pitchClassOf(int note) noexcept { return (note % 12 + 12) % 12; }

} // namespace

double midiToFrequency(double note) noexcept { return 440 * std::pow(2.0, (note - 69) / 12); }

double midiToFrequency(int note) noexcept { return midiToFrequency(static_cast<double>(note)); }

int frequencyToMidi(double frequency) noexcept
{
    if (!(frequency > 0)) return 0;
    if (std::isinf(frequency)) return 127;
    // Finite and positive: log2 lies within ±1075, so the note fits an int.
    return static_cast<int>(std::floor(12 * std::log2(frequency / 440) + 69 + 0.5));
}

std::string noteName(int note)
{
    const long long octave = (static_cast<long long>(note) - pitchClassOf(note)) / 12 - 1;
    return std::string(names[static_cast<size_t>(pitchClassOf(note))]) + std::to_string(octave);
}

bool isBlackKey(int pitchClass) noexcept
{
    return pitchClass >= 0 && pitchClass < 12 && ((0b10101001010 >> pitchClass) & 1) != 0;
}

int snapToC(int note) noexcept
{
    const long long c = static_cast<long long>(note) - pitchClassOf(note);
    // Only the few notes just above the lowest int have a C below the range of int.
    return c < -2147483648LL ? note : static_cast<int>(c);
}

} // namespace veltrane::Notes
