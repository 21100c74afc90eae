#pragma once
// Standard MIDI File reader: the notes, the first tempo, time signature and key signature, and the
// track names of a file (formats 0, 1 and 2, ticks-per-quarter timing). Everything else in a file is
// skipped. Reading is a pure function of the bytes; the first failure ends it with MIDIFile::Failure.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane {

class MIDIFile {
public:
    // Ticks are 64-bit: a track may add up to 2^28 ticks per event, far beyond 32 bits in a long file.
    struct Note {
        int64_t tick = 0;   // start, from the start of its track
        int64_t length = 1; // >= 1
        int key = 0;        // 0...127
        int velocity = 0;   // note-on velocity 1...127
        int channel = 0;    // 0...15; 9 is the drum channel
        int track = 0;      // index among the track chunks only
        bool operator==(const Note&) const = default;
    };

    struct TimeSignature {
        int numerator = 4;
        int denominator = 4; // the real denominator, a power of two 1...64
        bool operator==(const TimeSignature&) const = default;
    };

    struct KeySignature {
        int sharps = 0; // negative for flats
        bool minor = false;
        bool operator==(const KeySignature&) const = default;
    };

    // The reader's (and the import's) error; what() is the message shown to the user.
    class Failure : public std::runtime_error {
    public:
        enum class Kind { unsupported, notMIDI, truncated, noNotes };

        static Failure unsupported(std::string detail);
        static Failure notMIDI();
        static Failure truncated();
        static Failure noNotes();

        Kind kind() const noexcept { return kind_; }
        // The detail of an `unsupported` failure ("format 3", "SMPTE timing"); empty otherwise.
        const std::string& detail() const noexcept { return detail_; }

        bool operator==(const Failure& other) const noexcept
        {
            return kind_ == other.kind_ && detail_ == other.detail_;
        }

    private:
        Failure(Kind kind, std::string detail, const std::string& message);
        Kind kind_;
        std::string detail_;
    };

    // The longest melody an import makes. Far beyond any real piece, it stops a hostile file (huge delta
    // times over a tiny division) from asking for billions of bars.
    static constexpr int maxMelodyBars = 2000;

    MIDIFile() = default;
    // Throws Failure.
    explicit MIDIFile(std::span<const uint8_t> data);

    int format = 0;
    int ticksPerQuarter = 480; // >= 1 in a file that was read
    std::vector<Note> notes;   // sorted by tick, key, track; stable
    std::optional<int> tempo;  // microseconds per quarter note, first tempo event read
    std::optional<TimeSignature> timeSignature;
    std::optional<KeySignature> keySignature;
    std::map<int, std::string> trackNames; // first non-empty name of each track

    bool operator==(const MIDIFile&) const = default;
};

} // namespace veltrane
