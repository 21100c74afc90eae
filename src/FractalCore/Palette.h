#pragma once
// The thirteen colour palettes. The texts are stored in presets and takes; the position is the index
// the shaders select the palette by.
#include "Support/EnumText.h"

#include <cstdint>
#include <string_view>

namespace veltrane {

enum class Palette {
    obsidian,
    ember,
    spectrum,
    aurora,
    void_, // "void" is a keyword
    ocean,
    sunset,
    forest,
    glacier,
    gilded,
    ink,
    thermal,
    candy,
};

template <>
struct EnumTexts<Palette> {
    static constexpr std::array table{
        std::pair{Palette::obsidian, std::string_view{"obsidian"}},
        std::pair{Palette::ember, std::string_view{"ember"}},
        std::pair{Palette::spectrum, std::string_view{"spectrum"}},
        std::pair{Palette::aurora, std::string_view{"aurora"}},
        std::pair{Palette::void_, std::string_view{"void"}},
        std::pair{Palette::ocean, std::string_view{"ocean"}},
        std::pair{Palette::sunset, std::string_view{"sunset"}},
        std::pair{Palette::forest, std::string_view{"forest"}},
        std::pair{Palette::glacier, std::string_view{"glacier"}},
        std::pair{Palette::gilded, std::string_view{"gilded"}},
        std::pair{Palette::ink, std::string_view{"ink"}},
        std::pair{Palette::thermal, std::string_view{"thermal"}},
        std::pair{Palette::candy, std::string_view{"candy"}},
    };
};

// The stored text with its first letter upper-cased ("Obsidian").
std::string_view label(Palette palette) noexcept;
// The case position, as the shaders number the palettes.
std::int32_t shaderIndex(Palette palette) noexcept;
// The HUD's accent colour for the palette, 0xRRGGBB.
std::uint32_t accentRGB(Palette palette) noexcept;

} // namespace veltrane
