#pragma once
// The built-in classical and traditional pieces: a fixed table, and the pieces read from the MIDI
// files `<id>.mid` in the resource folder "Tunes" (or the resource root) at first use. A piece whose
// file is missing, unreadable or rejected is left out without a message.

#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "Music/Melody.h"

namespace veltrane::Classics {

struct Entry {
    std::string id; // also the resource's base name and the melody's id
    std::string name;
    std::string credit;
    std::optional<double> bpm; // none: the file's own tempo
    std::set<int> bassTracks;  // track chunks (from 0) that form the bass; empty: no bass
};

// The forty pieces, in menu order. Built once.
const std::vector<Entry>& entries();

// The pieces that loaded, in table order. Read once, on the first call, on the calling thread
// (thread-safe); never reloaded.
const std::vector<Melody>& all();

// What all() does once: the given entries from the resources as they are now.
std::vector<Melody> load(std::span<const Entry> entries);

// One entry from the resources as they are now. Throws std::runtime_error saying why it has no
// melody: its file is missing or unreadable, or the reader or the import rejects it
// (MIDIFile::Failure). Tools report with it what all() leaves out without a message.
Melody loadOne(const Entry& entry);

} // namespace veltrane::Classics
