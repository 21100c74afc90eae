#pragma once
// 8-bit images in memory and PNG files (libpng). Pixels are stored as the renderer's still targets
// hold them: blue, green, red and one ignored byte per pixel, rows from the top, sRGB-encoded.
// PNG files are written as 8-bit RGB without alpha.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace veltrane {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgrx; // 4 * width * height bytes

    uint8_t red(int x, int y) const { return bgrx[size_t(y * width + x) * 4 + 2]; }
    uint8_t green(int x, int y) const { return bgrx[size_t(y * width + x) * 4 + 1]; }
    uint8_t blue(int x, int y) const { return bgrx[size_t(y * width + x) * 4 + 0]; }
};

class PngError : public std::runtime_error {
public:
    enum class Stage { destination, write };
    PngError(Stage stage, const std::string& message) : std::runtime_error(message), stage(stage) {}
    Stage stage;
};

// Writes the image as a PNG file, whole or not at all (through a temporary file in the same folder,
// renamed into place). The folder must exist. Throws PngError: `destination` when the file cannot
// be written, with the path and the system's reason ("Cannot write /x/y.png: No space left on
// device"); `write` when the image is empty or encoding fails.
void writePNG(const Image& image, const std::filesystem::path& path);

// The same PNG in memory. Throws PngError (`write`).
std::vector<uint8_t> encodePNG(const Image& image);

// Pictures wider or taller than this are refused when reading (a header may claim any size).
inline constexpr int maxPNGSide = 16384;

// Reads an 8-bit RGB or RGBA PNG file; nothing when it cannot be read.
std::optional<Image> readPNG(const std::filesystem::path& path);
// Reads a PNG held in memory; nothing when the bytes are not a readable PNG.
std::optional<Image> decodePNG(std::span<const uint8_t> bytes);

} // namespace veltrane
