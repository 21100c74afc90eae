#pragma once
// The user's own tunes: Standard MIDI Files copied into the library folder (`Melodies` in the data
// folder), each parsed into a Melody the player and the melody flight use like a built-in tune.
//
// An imported melody's id is "midi:" + its file name (with extension), its name the file name
// without extension; `imported` is sorted by name the way a file browser sorts (case-insensitive,
// digit runs by value). `imported` and `files` change only in reload(), which runs on construction,
// after every import and after every removal; they are observable (Support/Observable.h).
//
// Importing never replaces or deletes a stored file: the source is checked to make a melody before
// anything is written; a name already taken by different bytes moves the copy to "name 2.mid",
// "name 3.mid", …; identical bytes reuse the stored copy; and the copy is written under a temporary
// name and linked into place, so a failed import leaves no half-written file.
//
// Main thread only, like every observable; file reading and parsing run there too.
#include "Music/Melody.h"
#include "Support/Observable.h"

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

class InstrumentState;

class MelodyLibrary {
public:
    // Compared with the lower-cased extension.
    static constexpr std::array<std::string_view, 4> fileExtensions{"mid", "midi", "smf", "kar"};

    // The one library of the program, on the standard data folder; created (and read) on first use.
    static MelodyLibrary& shared();

    // A library on `directory`, read at once. The folder is created by the first import.
    explicit MelodyLibrary(std::filesystem::path directory);
    MelodyLibrary(const MelodyLibrary&) = delete;
    MelodyLibrary& operator=(const MelodyLibrary&) = delete;

    const std::filesystem::path& directory() const noexcept { return directory_; }
    const Observable<std::vector<Melody>>& imported() const noexcept { return imported_; }
    const Observable<std::map<std::string, std::filesystem::path>>& files() const noexcept { return files_; }

    // Rescans the folder. Entries that cannot be read or make no melody are left out silently; a
    // missing folder is an empty library.
    void reload();
    std::optional<Melody> melody(std::string_view id) const;
    // Deletes the melody's file (a failure is ignored) and reloads; an unknown id does nothing.
    void remove(std::string_view id);

    // Copies the file into the library and returns the melody made from the stored copy. Throws
    // Files::Error (reading, the folder or the write) or MIDIFile::Failure (not a playable melody).
    Melody importFile(const std::filesystem::path& source);

    struct Alert {
        std::string message;     // "That MIDI file couldn't be imported" / "Some MIDI files couldn't be imported"
        std::string informative; // one line per failed file: "name.mid: " + the reason
    };
    struct ImportOutcome {
        bool imported = false;      // the window reports a drop as accepted when true
        std::optional<Alert> alert; // for the host to show; absent when nothing failed
    };

    // Imports the files with an accepted extension (others are skipped without a word) into the
    // state's library, selects the last success in the state (at its own tempo, HUD shown) and
    // gathers the failures into one alert.
    static ImportOutcome importFiles(std::span<const std::filesystem::path> sources, InstrumentState& state);

    static bool hasMelodyExtension(const std::filesystem::path& path);
    // The ordering of `imported`: case-insensitive, runs of digits compared by value.
    static bool nameLess(std::string_view a, std::string_view b);

private:
    std::filesystem::path directory_;
    Observable<std::vector<Melody>> imported_;
    Observable<std::map<std::string, std::filesystem::path>> files_;
};

} // namespace veltrane
