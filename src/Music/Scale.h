#pragma once
// The fourteen pitch scales offered to the user, and snapping a frequency to a scale on a root.
// Stored in presets and HUD snapshots by their texts.
#include "Music/Notes.h"
#include "Platform/Json/JsonFwd.h"
#include "Support/EnumText.h"

#include <array>
#include <span>
#include <string_view>

namespace veltrane {

enum class Scale : unsigned char {
    off,
    chromatic,
    major,
    minor,
    dorian,
    lydian,
    mixolydian,
    pentMajor,
    pentMinor,
    blues,
    wholeTone,
    harmMinor,
    hirajoshi,
    fifths,
};

template <>
struct EnumTexts<Scale> {
    static constexpr std::array table{
        std::pair{Scale::off, std::string_view{"off"}},
        std::pair{Scale::chromatic, std::string_view{"chromatic"}},
        std::pair{Scale::major, std::string_view{"major"}},
        std::pair{Scale::minor, std::string_view{"minor"}},
        std::pair{Scale::dorian, std::string_view{"dorian"}},
        std::pair{Scale::lydian, std::string_view{"lydian"}},
        std::pair{Scale::mixolydian, std::string_view{"mixolydian"}},
        std::pair{Scale::pentMajor, std::string_view{"pentMajor"}},
        std::pair{Scale::pentMinor, std::string_view{"pentMinor"}},
        std::pair{Scale::blues, std::string_view{"blues"}},
        std::pair{Scale::wholeTone, std::string_view{"wholeTone"}},
        std::pair{Scale::harmMinor, std::string_view{"harmMinor"}},
        std::pair{Scale::hirajoshi, std::string_view{"hirajoshi"}},
        std::pair{Scale::fifths, std::string_view{"fifths"}},
    };
};

// The order menus offer the scales in (not the declaration order).
inline constexpr std::array<Scale, 14> scaleOrder{
    Scale::off,    Scale::chromatic,  Scale::major, Scale::minor,     Scale::pentMajor, Scale::pentMinor, Scale::dorian,
    Scale::lydian, Scale::mixolydian, Scale::blues, Scale::harmMinor, Scale::wholeTone, Scale::hirajoshi, Scale::fifths,
};

// Root menus list these; a root travels as its index (0 = C ... 11 = B).
inline constexpr const std::array<std::string_view, 12>& scaleRootNames = Notes::names;

// "Free", "Chromatic", "Pent. Major", …
std::string_view label(Scale scale) noexcept;

// Semitones above the root; empty for `off`.
std::span<const int> degrees(Scale scale) noexcept;

// The nearest equal-tempered pitch of the scale on `root` (semitones above C). Ties keep the lower
// degree, and a degree before its upper octave, so a pitch just below the next root snaps up to it.
// `off` returns the frequency unchanged; frequencies below 0.001 Hz are taken as 0.001 Hz.
double quantize(Scale scale, double frequency, int root) noexcept;

void to_json(Json::Value& json, Scale value);
void from_json(const Json::Value& json, Scale& value);

} // namespace veltrane
