#pragma once
// Small tunes for the melody-flight tests, built from note lists.
#include "Music/Melody.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace veltrane::test {

using Note = Melody::Note;

// A tune from note lists: every bar `beatsPerBar` long, length rounded up to whole bars unless given.
inline Melody tune(std::vector<Note> notes, std::vector<Note> bass = {}, double beatsPerBar = 4, double length = -1,
                   double bpm = 120)
{
    if (length < 0) {
        double end = 0;
        for (const Note& n : notes) end = std::max(end, n.beat + n.length);
        for (const Note& n : bass) end = std::max(end, n.beat + n.length);
        length = std::ceil(end / beatsPerBar) * beatsPerBar;
    }
    return Melody("test", "Test", "", bpm, beatsPerBar, 60, std::move(notes), std::move(bass), length);
}

// `bars` bars of one note per beat: pitch from `pitch(bar, beat)`, velocity `velocity(bar)`.
template <typename Pitch, typename Velocity>
std::vector<Note> beatNotes(int bars, Pitch pitch, Velocity velocity, int beatsPerBar = 4)
{
    std::vector<Note> notes;
    for (int bar = 0; bar < bars; ++bar)
        for (int b = 0; b < beatsPerBar; ++b)
            notes.push_back({double(bar * beatsPerBar + b), 1, pitch(bar, b), velocity(bar)});
    return notes;
}

} // namespace veltrane::test
