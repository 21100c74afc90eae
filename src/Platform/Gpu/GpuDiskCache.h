#pragma once
// The GPU layer's caches on disk, in the program's cache folder (`~/.cache/Veltrane`): compiled
// SPIR-V of each shader function under `shaders/`, and the driver's pipeline cache of each device
// under `pipelines/`. What goes into a key is the caller's business; this file keeps the entries.
//
// What it does:
// - Keeps one entry per file: a fixed envelope (magic, format, kind, the entry's key, payload size,
//   payload digest) followed by the payload. A reader gets the payload only when the whole envelope
//   checks out against what it asked for, so a missing, truncated, corrupt or foreign file reads as
//   absent and the caller builds the thing again. Nothing read here is trusted before that check.
// - Writes through Files::replaceAtomically: another process reading at the same moment sees the old
//   file or the new one, never part of either.
// - Takes write failures quietly: a cache folder that cannot be created or written (read-only home,
//   full disk) leaves the program working, only slower; the failure is counted for tests.
//
// What it does not do: evict by size or age (writers remove an entry's older versions), lock between
// processes (two first starts both build and both write equal entries; the last rename wins), or
// decide whether a payload makes sense to its consumer (the SPIR-V and pipeline-cache headers are
// checked by their owners).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::GpuDiskCache {

// 128 bits of FNV-1a: the key of an entry and the check of its payload. Not a defence against
// forgery; a cache file is the user's own.
struct Digest {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    friend bool operator==(const Digest&, const Digest&) = default;
    std::string hex() const; // 32 lowercase digits
};

class Hasher {
public:
    Hasher();
    Hasher& bytes(const void* data, std::size_t size);
    // Length first, so that ("ab", "c") and ("a", "bc") differ.
    Hasher& text(std::string_view value);
    Hasher& number(std::uint64_t value);
    Digest digest() const;

private:
    unsigned __int128 state_;
};

Digest digestOf(std::span<const std::uint8_t> bytes);

enum class Kind : std::uint32_t { spirv = 1, pipelines = 2 };

// `shaders` or `pipelines` below the cache folder, named at each call (tests move the folder).
std::filesystem::path folder(Kind kind);

// The payload when the file holds an entry of this kind and key whose size and digest match.
std::optional<std::vector<std::uint8_t>> read(const std::filesystem::path& file, Kind kind, const Digest& key);

// Writes the entry atomically, creating the folder when needed. False when it could not be written.
bool write(const std::filesystem::path& file, Kind kind, const Digest& key,
           std::span<const std::uint8_t> payload) noexcept;

// Removes the files in `file`'s folder whose names start with `prefix`, `file` itself excepted: the
// older versions of an entry. Failures are ignored.
void removeOthers(const std::filesystem::path& file, std::string_view prefix) noexcept;

// Process-wide counts since start, for tests and diagnostics.
struct Counters {
    int found = 0;    // entries read and accepted
    int absent = 0;   // no file
    int rejected = 0; // a file that failed the envelope's checks
    int written = 0;
    int writeFailures = 0;
};
Counters counters();

} // namespace veltrane::GpuDiskCache
