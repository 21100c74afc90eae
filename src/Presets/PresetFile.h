#pragma once
// Preset files (".veltrane"): a JSON envelope {"exportedAt", "presets", "version"} written pretty
// with sorted keys, version 2. Reading accepts envelopes of version 1 and 2 and bare JSON arrays of
// presets; one unreadable preset fails the whole file (presets are never skipped one by one).
//
// Failures: PresetFile::Error (an envelope of another version; bytes that read as an envelope only
// on the last attempt) or Json::Error (malformed JSON, a missing key, a value of the wrong type,
// and, when writing, a number JSON cannot hold). Plain functions; any thread.
#include "Presets/Preset.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane::PresetFile {

inline constexpr std::int64_t currentVersion = 2;
inline constexpr std::string_view fileExtension = "veltrane";

class Error : public std::runtime_error {
public:
    enum class Kind { unsupportedVersion, invalidFormat };

    static Error unsupportedVersion(std::int64_t version)
    {
        return Error(Kind::unsupportedVersion, version,
                     "The file's format version " + std::to_string(version) + " is not supported.");
    }
    static Error invalidFormat() { return Error(Kind::invalidFormat, 0, "The file is not in the right format."); }

    Kind kind;
    std::int64_t version; // the version found, for unsupportedVersion

    friend bool operator==(const Error& a, const Error& b) noexcept
    {
        return a.kind == b.kind && (a.kind != Kind::unsupportedVersion || a.version == b.version);
    }

private:
    Error(Kind kind, std::int64_t version, const std::string& text)
        : std::runtime_error(text), kind(kind), version(version)
    {}
};

struct Envelope {
    std::int64_t version = currentVersion;
    std::optional<std::string> exportedAt;
    std::vector<Preset> presets;
};

// ISO 8601 internet date-time in UTC with milliseconds: "2025-03-01T09:15:42.250Z".
std::string internetDateTime(std::chrono::system_clock::time_point time);

std::vector<std::uint8_t> encode(const std::vector<Preset>& presets, std::chrono::system_clock::time_point exportedAt);
std::vector<Preset> decode(std::span<const std::uint8_t> bytes);

// A preset read from a file to be imported, with what makes it unfit for the instrument: a number
// that is not finite (a JSON number past the range of a double reads as infinite), a zoom of 0 or
// less, or a fractal type the reader replaced because it does not know it. `defect` is a sentence
// naming the preset; none when the preset is fit.
struct Checked {
    Preset preset;
    std::optional<std::string> defect;
};
// decode, with each preset checked; fails as decode does.
std::vector<Checked> decodeChecked(std::span<const std::uint8_t> bytes);

} // namespace veltrane::PresetFile
