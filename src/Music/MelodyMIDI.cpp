// Melody.fromMIDI: a Standard MIDI File as a tune.
#include "Music/MIDIFile.h"
#include "Music/Melody.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace veltrane {

namespace {

constexpr int drumChannel = 9;
constexpr double bassMeanKey = 52; // a part whose mean key lies below this is bass

struct PartKey {
    int track;
    int channel;
    auto operator<=>(const PartKey&) const = default;
};

struct PartStats {
    int64_t keySum = 0;
    int64_t count = 0;
    double mean() const { return double(keySum) / double(count); }
};

double settledTempo(const MIDIFile& file, std::optional<double> bpm)
{
    double t = 120;
    if (bpm)
        t = *bpm;
    else if (file.tempo && *file.tempo > 0) // a zero tempo is corrupt data, not an infinitely fast piece
        t = 60'000'000.0 / *file.tempo;
    if (!(t >= 30)) t = 30; // NaN included
    if (t > 300) t = 300;
    return std::round(t * 10) / 10;
}

int tonicPitchClass(const MIDIFile& file, const std::vector<MIDIFile::Note>& notes)
{
    if (auto key = file.keySignature; key && (key->sharps != 0 || key->minor)) {
        int pc = ((7 * key->sharps) % 12 + 12) % 12;
        if (key->minor) pc = pc < 3 ? pc + 9 : pc - 3;
        return pc;
    }
    // The lowest note sounding at the last onset: the chord the piece ends on. The notes starting there
    // count even if a hand-made file gave them no length.
    int64_t lastOnset = std::numeric_limits<int64_t>::min();
    for (const auto& n : notes) lastOnset = std::max(lastOnset, n.tick);
    int lowest = std::numeric_limits<int>::max();
    for (const auto& n : notes)
        if (n.tick + n.length > lastOnset || n.tick == lastOnset) lowest = std::min(lowest, n.key);
    return lowest % 12;
}

} // namespace

Melody Melody::fromMIDI(const MIDIFile& file, std::string id, std::string name, std::optional<std::string> credit,
                        std::optional<double> bpm, const std::optional<std::set<int>>& bassTracks)
{
    std::vector<MIDIFile::Note> notes;
    notes.reserve(file.notes.size());
    for (const auto& n : file.notes)
        if (n.channel != drumChannel) notes.push_back(n);
    if (notes.empty()) throw MIDIFile::Failure::noNotes();

    std::map<PartKey, PartStats> parts;
    for (const auto& n : notes) {
        PartStats& part = parts[{n.track, n.channel}];
        part.keySum += n.key;
        part.count += 1;
    }
    std::set<PartKey> bassParts;
    if (bassTracks) {
        for (const auto& [key, stats] : parts)
            if (bassTracks->contains(key.track)) bassParts.insert(key);
    } else {
        for (const auto& [key, stats] : parts)
            if (stats.mean() < bassMeanKey) bassParts.insert(key);
        if (parts.size() == 1 || bassParts.size() == parts.size()) {
            // Ties go to the first part in (track, channel) order.
            auto highest = std::max_element(parts.begin(), parts.end(), [](const auto& a, const auto& b) {
                return a.second.mean() < b.second.mean();
            });
            bassParts.erase(highest->first);
        }
    }

    const double tempo = settledTempo(file, bpm);
    double beatsPerBar = 4;
    if (file.timeSignature)
        beatsPerBar = std::max(4.0 * file.timeSignature->numerator / std::max(file.timeSignature->denominator, 1), 0.5);

    const double ticksPerQuarter = std::max(file.ticksPerQuarter, 1);
    int64_t firstTick = std::numeric_limits<int64_t>::max(), endTick = std::numeric_limits<int64_t>::min();
    for (const auto& n : notes) {
        firstTick = std::min(firstTick, n.tick);
        endTick = std::max(endTick, n.tick + n.length);
    }
    const double start = beatsPerBar * std::floor(double(firstTick) / ticksPerQuarter / beatsPerBar);
    const double end = double(endTick) / ticksPerQuarter;
    // The tolerance keeps a piece that overruns its last bar line by rounding from gaining a bar.
    const double barCount = std::max(std::ceil((end - start) / beatsPerBar - 0.000001), 1.0);
    if (!(barCount <= MIDIFile::maxMelodyBars))
        throw MIDIFile::Failure::unsupported("more than " + std::to_string(MIDIFile::maxMelodyBars) + " bars");
    const double length = beatsPerBar * barCount;

    std::vector<int> melodyKeys;
    for (const auto& n : notes)
        if (!bassParts.contains({n.track, n.channel})) melodyKeys.push_back(n.key);
    std::sort(melodyKeys.begin(), melodyKeys.end());
    const int median = melodyKeys.empty() ? 60 : melodyKeys[melodyKeys.size() / 2];

    // The tonic's octave is the one that puts it within six semitones of the median melody key.
    int tonic = tonicPitchClass(file, notes) + 12 * (median / 12);
    if (tonic - median >= 7)
        tonic -= 12;
    else if (median - tonic >= 7)
        tonic += 12;

    std::vector<Note> melodyNotes, bassNotes;
    for (const auto& n : notes) {
        const bool isBass = bassParts.contains({n.track, n.channel});
        const double velocity = double(n.velocity) / 127 * (isBass ? bassLevel : 1.0);
        Note note{double(n.tick) / ticksPerQuarter - start, double(n.length) / ticksPerQuarter, n.key - tonic,
                  std::min(velocity, 1.0)};
        (isBass ? bassNotes : melodyNotes).push_back(note);
    }

    std::string creditLine = "MIDI file";
    if (credit) {
        creditLine = std::move(*credit);
    } else if (!file.trackNames.empty() && file.trackNames.begin()->second != name) {
        creditLine = file.trackNames.begin()->second;
    }

    return Melody(std::move(id), std::move(name), std::move(creditLine), tempo, beatsPerBar, tonic,
                  std::move(melodyNotes), std::move(bassNotes), length);
}

} // namespace veltrane
