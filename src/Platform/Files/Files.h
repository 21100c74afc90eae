#pragma once
// The standard folders and safe file writes.
//
// What it does:
// - Names the program's folders after the XDG base-directory rules: data `$XDG_DATA_HOME/Veltrane`
//   (else `~/.local/share/Veltrane`), cache `$XDG_CACHE_HOME/Veltrane` (else `~/.cache/Veltrane`),
//   config `$XDG_CONFIG_HOME/Veltrane` (else `~/.config/Veltrane`); a variable that is unset, empty or
//   not an absolute path counts as unset (the rule's own wording). The music folder is XDG_MUSIC_DIR
//   of `user-dirs.dirs` in the config home (what `xdg-user-dir MUSIC` reads), else `~/Music`.
//   The folders are looked up at each call, so a test may point the variables at a temporary folder.
// - Writes files so that a reader never sees a half-written one: the bytes go to a temporary file in
//   the same folder, are flushed to disk, and the temporary file is renamed into place.
// - Keeps the user defaults: a JSON object in `defaults.json` of the config folder.
//
// What it does not do: create folders unless a write asks for it, watch files, lock files between
// processes, or follow the Freedesktop trash. Every failure is a `Files::Error` carrying the
// system's own description ("No such file or directory") and the path.
#include "Platform/Json/Json.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::Files {

// what() is the system's description alone ("Permission denied"); the file it concerns is path().
class Error : public std::runtime_error {
public:
    Error(std::filesystem::path path, const std::string& description)
        : std::runtime_error(description), path_(std::move(path))
    {}
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

std::filesystem::path dataFolder();
std::filesystem::path cacheFolder();
std::filesystem::path configFolder();
std::filesystem::path musicFolder();
std::filesystem::path temporaryFolder();

std::vector<std::uint8_t> readAll(const std::filesystem::path& path);

// Creates the folder and its parents when missing.
void createFolders(const std::filesystem::path& folder);

// Replaces (or creates) the file at `path` in one step: readers see the old bytes or the new ones.
void replaceAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Creates a file at `path` with the bytes in one step, never replacing one that exists: false (and
// nothing written) when a file is already there, even one that appeared a moment ago.
bool createAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Renames `from` to `to` in the same file system, never replacing a file at `to`: false (nothing
// moved) when one is there. Throws Error for any other failure.
bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Moves the file `from` to `to`, replacing a file there, so that `to` always holds either its old
// bytes or all of the new ones. In one file system this is a rename. Across file systems (EXDEV: the
// temporary folder and the music folder often are) the bytes are copied into a PendingFile beside
// `to`, flushed, and renamed over `to`; only then is `from` removed. Throws Error (for `to`) when the
// move cannot be done: then `from` is where it was and `to` as it was. A folder at `to` is refused,
// never replaced.
void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// A file written under a hidden temporary name in its destination's folder, which takes the
// destination's place only when committed. Until then, and for good when it is dropped, the
// destination keeps whatever it held, and a folder listing does not take the file for a finished one.
// Whoever writes opens path() itself (it exists, empty). Move-only.
class PendingFile {
public:
    // Creates the temporary file, never reusing one that exists. Throws Error (for the destination)
    // when the folder cannot take a new file.
    explicit PendingFile(std::filesystem::path destination);
    ~PendingFile(); // removes the temporary file unless it was committed
    PendingFile(PendingFile&& other) noexcept;
    PendingFile& operator=(PendingFile&& other) noexcept;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::filesystem::path& path() const noexcept { return temporary_; }
    const std::filesystem::path& destination() const noexcept { return destination_; }

    // Flushes the file's bytes to disk. Throws Error.
    void flush() const;
    // Flushes, then renames the file over the destination in one step. Throws Error, after which the
    // temporary file is gone and the destination untouched.
    void commit();
    // Removes the temporary file now; the destination is untouched.
    void discard() noexcept;

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_; // empty once committed or discarded
};

// The user defaults: a flat JSON object of values by key. Reads the file at every call (it is
// tiny, read rarely, and another instance may have written it); a missing or unreadable file, or one
// that is not a JSON object, reads as empty. `set` rewrites the file atomically.
class UserDefaults {
public:
    // The standard file, `defaults.json` in the config folder.
    UserDefaults();
    explicit UserDefaults(std::filesystem::path file);

    std::optional<Json::Value> value(std::string_view key) const;
    // The stored value when it is a boolean, else the fallback.
    bool boolValue(std::string_view key, bool fallback) const;
    // Throws Error when the file cannot be written.
    void set(std::string_view key, const Json::Value& value);

    const std::filesystem::path& file() const noexcept { return file_; }

private:
    Json::Value read() const;
    std::filesystem::path file_;
};

} // namespace veltrane::Files
