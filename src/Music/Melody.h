#pragma once
// A tune: melody and bass notes timed in beats (quarter notes) from the start and pitched in
// semitones from the tune's tonic, so a player can transpose it by handing it another tonic.
//
// Built from the compact text notation of the built-in tunes, or from ready note lists (MIDI import).
// Immutable once built; copied and shared by value.
//
// Text notation: tokens separated by spaces, tabs or line breaks.
//   |            bar line
//   E5  G#3  Bb2 a note name (C4 = 60); sharps "#" or flats "b", one accidental at most
//   r            a rest
//   E5:.25       name with a duration in beats (1/3, .5, 2); the duration persists until the next one
//   >E5          accented note
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

class MIDIFile;

class Melody {
public:
    enum class Part : unsigned char { melody, bass };

    struct Note {
        double beat = 0;   // start, in beats from the start of the tune
        double length = 0; // duration in beats
        int semitones = 0; // pitch offset from the tonic
        double velocity = 0;

        friend bool operator==(const Note&, const Note&) = default;
    };

    struct Parsed {
        std::vector<Note> notes;
        std::vector<double> bars;
        double length = 0;
    };

    // Bass velocities are scaled by this so that the bass sits under the tune.
    static constexpr double bassLevel = 0.55;

    // From the text notation. `tonic` is a note name ("C4"); `bass` may be empty.
    // A defective text (bad tonic, token or duration) throws std::invalid_argument naming the tune:
    // the texts ship with the program, so this is a defect found at start-up, not a user error.
    Melody(std::string id, std::string name, std::string credit, double bpm, double beatsPerBar, std::string_view tonic,
           std::string_view score, std::string_view bass);

    // From ready note lists (`tonic` is a MIDI note). Every bar is `beatsPerBar` long; there is at least one.
    Melody(std::string id, std::string name, std::string credit, double bpm, double beatsPerBar, int tonic,
           std::vector<Note> notes, std::vector<Note> bass, double length);

    const std::string& id() const noexcept { return id_; }
    const std::string& name() const noexcept { return name_; }
    const std::string& credit() const noexcept { return credit_; }
    double bpm() const noexcept { return bpm_; }
    double beatsPerBar() const noexcept { return beatsPerBar_; }
    int tonic() const noexcept { return tonic_; }
    const std::vector<Note>& notes() const noexcept { return notes_; }
    const std::vector<Note>& bass() const noexcept { return bass_; }
    double length() const noexcept { return length_; } // total length in beats; the player's loop length
    const std::vector<double>& bars() const noexcept { return bars_; }
    const std::vector<double>& bassBars() const noexcept { return bassBars_; }

    // A Standard MIDI File as a tune: drums left out, the bass separated (exactly the parts of
    // `bassTracks` when given), tempo, bar length, start and tonic settled. Throws MIDIFile::Failure:
    // noNotes, or unsupported for a piece longer than MIDIFile::maxMelodyBars.
    static Melody fromMIDI(const MIDIFile& file, std::string id, std::string name,
                           std::optional<std::string> credit = std::nullopt, std::optional<double> bpm = std::nullopt,
                           const std::optional<std::set<int>>& bassTracks = std::nullopt);

    // Parses a tune text against a tonic note number. `id` names the text in the error of a defect.
    static Parsed parse(std::string_view text, int tonic, std::string_view id);

    // A note name ("C4", "G#3", "Bb2", "C-1") to its MIDI note; nothing if the text is not one.
    // Not limited to 0...127.
    static std::optional<int> midi(std::string_view text);

    // A duration ("2", ".25", "1/3") in beats; nothing if the text is not a valid duration.
    static std::optional<double> length(std::string_view text);

    friend bool operator==(const Melody&, const Melody&) = default;

private:
    std::string id_;
    std::string name_;
    std::string credit_;
    double bpm_ = 120;
    double beatsPerBar_ = 4;
    int tonic_ = 60;
    std::vector<Note> notes_;
    std::vector<Note> bass_;
    double length_ = 0;
    std::vector<double> bars_;
    std::vector<double> bassBars_;
};

} // namespace veltrane
