#include "FractalCore/Palette.h"

namespace veltrane {

namespace {

struct PaletteInfo {
    std::string_view label;
    std::uint32_t accent;
};

constexpr std::array<PaletteInfo, 13> kPalettes{{
    {"Obsidian", 0x00FFB2},
    {"Ember", 0xFF9D45},
    {"Spectrum", 0xE0E0FF},
    {"Aurora", 0x66FFBB},
    {"Void", 0xFF44DD},
    {"Ocean", 0x3FD0FF},
    {"Sunset", 0xFF7A59},
    {"Forest", 0x8EDB5A},
    {"Glacier", 0xB8DCFF},
    {"Gilded", 0xFFC857},
    {"Ink", 0xE8E8E8},
    {"Thermal", 0xFF5A2E},
    {"Candy", 0xFF8AD1},
}};

} // namespace

std::string_view label(Palette palette) noexcept
{
    return kPalettes[static_cast<std::size_t>(caseIndex(palette))].label;
}
std::int32_t shaderIndex(Palette palette) noexcept { return caseIndex(palette); }
std::uint32_t accentRGB(Palette palette) noexcept
{
    return kPalettes[static_cast<std::size_t>(caseIndex(palette))].accent;
}

} // namespace veltrane
