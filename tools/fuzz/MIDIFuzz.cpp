// libFuzzer target: any bytes through the MIDI file reader and the melody import. Besides crashes and
// sanitizer reports, it stops on a result that breaks what the reader and the import promise.
#include "Require.h"
#include "Music/MIDIFile.h"
#include "Music/Melody.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace veltrane;
using veltrane::fuzz::require;

namespace {

void checkFile(const MIDIFile& file)
{
    require(file.format >= 0 && file.format <= 2, "format 0...2");
    require(file.ticksPerQuarter >= 1, "ticks per quarter >= 1");
    for (size_t i = 0; i < file.notes.size(); ++i) {
        const auto& n = file.notes[i];
        require(n.tick >= 0 && n.length >= 1, "note timing");
        require(n.key >= 0 && n.key <= 127 && n.velocity >= 1 && n.velocity <= 127, "note key and velocity");
        require(n.channel >= 0 && n.channel <= 15 && n.track >= 0, "note channel and track");
        if (i > 0) {
            const auto& p = file.notes[i - 1];
            require(p.tick < n.tick || (p.tick == n.tick && (p.key < n.key || (p.key == n.key && p.track <= n.track))),
                    "notes sorted");
        }
    }
    if (file.timeSignature)
        require(file.timeSignature->denominator >= 1 && file.timeSignature->denominator <= 64, "denominator");
    for (const auto& [track, name] : file.trackNames) require(!name.empty() && track >= 0, "track names");
}

void checkMelody(const Melody& m)
{
    require(m.bpm() >= 30 && m.bpm() <= 300, "tempo 30...300");
    require(m.beatsPerBar() >= 0.5 && std::isfinite(m.beatsPerBar()), "bar length");
    require(std::isfinite(m.length()) && m.length() >= m.beatsPerBar(), "length of at least one bar");
    require(!m.bars().empty() && m.bars().size() <= size_t(MIDIFile::maxMelodyBars), "bar count");
    require(m.bassBars().empty() == m.bass().empty(), "bass bars");
    for (const auto* part : {&m.notes(), &m.bass()})
        for (const auto& n : *part)
            require(n.beat >= 0 && n.beat < m.length() && n.length > 0 && n.velocity > 0 && n.velocity <= 1,
                    "note within the tune");
}

void import(const MIDIFile& file, std::optional<double> bpm, const std::optional<std::set<int>>& bassTracks)
{
    try {
        checkMelody(Melody::fromMIDI(file, "fuzz", "Fuzz", std::nullopt, bpm, bassTracks));
    } catch (const MIDIFile::Failure& failure) {
        require(failure.kind() == MIDIFile::Failure::Kind::noNotes ||
                    failure.kind() == MIDIFile::Failure::Kind::unsupported,
                "import fails only for lack of notes or length");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::optional<MIDIFile> file;
    try {
        file.emplace(std::span<const uint8_t>(data, size));
    } catch (const MIDIFile::Failure&) {
        return 0;
    }
    checkFile(*file);
    import(*file, std::nullopt, std::nullopt);
    // The classics' way: a tempo override and named bass tracks, both taken from the input.
    const double bpm = size > 0 ? data[size - 1] * 1.37 : 0;
    import(*file, bpm, std::set<int>{0, size > 1 ? data[size - 2] % 4 : 2});
    return 0;
}
