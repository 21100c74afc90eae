#include "Platform/Image/Image.h"

#include "Platform/Files/Files.h"

#include <csetjmp>
#include <cstdio>
#include <algorithm>
#include <memory>

#include <png.h>

namespace veltrane {

namespace {

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f) std::fclose(f);
    }
};

} // namespace

namespace {

// Encodes into whatever `sink` writes to (a file or a memory buffer).
void encode(const Image& image, png_rw_ptr write, png_flush_ptr flush, void* sink)
{
    if (image.width < 1 || image.height < 1 || image.bgrx.size() < size_t(image.width) * image.height * 4)
        throw PngError(PngError::Stage::write, "PNG write: empty or short image");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        throw PngError(PngError::Stage::write, "PNG write: out of memory");
    }
    std::vector<uint8_t> row(size_t(image.width) * 3);
    // libpng reports errors by longjmp; nothing with a destructor is created between here and the end.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw PngError(PngError::Stage::write, "PNG write: encoding failed");
    }
    png_set_write_fn(png, sink, write, flush);
    png_set_IHDR(png, info, uint32_t(image.width), uint32_t(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* src = image.bgrx.data() + size_t(y) * image.width * 4;
        for (int x = 0; x < image.width; ++x) {
            row[size_t(x) * 3 + 0] = src[x * 4 + 2];
            row[size_t(x) * 3 + 1] = src[x * 4 + 1];
            row[size_t(x) * 3 + 2] = src[x * 4 + 0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

// Unreadable input is an ordinary outcome here (nothing is returned), not something to print.
void quietError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void quietWarning(png_structp, png_const_charp) {}

std::optional<Image> decode(png_rw_ptr read, void* source)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quietError, quietWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_read_struct(&png, &info, nullptr);
        return std::nullopt;
    }
    Image* result = new Image();
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        delete result;
        return std::nullopt;
    }
    png_set_read_fn(png, source, read);
    // A header may claim any size: refuse what no picture of ours needs before allocating for it.
    png_set_user_limits(png, maxPNGSide, maxPNGSide);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_palette_to_rgb(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_read_update_info(png, info);
    result->width = int(png_get_image_width(png, info));
    result->height = int(png_get_image_height(png, info));
    result->bgrx.resize(size_t(result->width) * result->height * 4);
    for (int y = 0; y < result->height; ++y)
        png_read_row(png, result->bgrx.data() + size_t(y) * result->width * 4, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    Image out = std::move(*result);
    delete result;
    return out;
}

struct Memory {
    std::span<const uint8_t> bytes;
    size_t offset = 0;
};

} // namespace

void writePNG(const Image& image, const std::filesystem::path& path)
{
    if (image.width < 1 || image.height < 1 || image.bgrx.size() < size_t(image.width) * image.height * 4)
        throw PngError(PngError::Stage::write, "PNG write: empty or short image");
    // Encoded whole in memory first, then placed in one step: a full disk or a missing permission
    // leaves the old file (or none), never a truncated picture under the final name.
    const std::vector<uint8_t> bytes = encodePNG(image);
    try {
        Files::replaceAtomically(path, bytes);
    } catch (const Files::Error& error) {
        throw PngError(PngError::Stage::destination, "Cannot write " + path.string() + ": " + error.what());
    }
}

std::vector<uint8_t> encodePNG(const Image& image)
{
    std::vector<uint8_t> out;
    encode(
        image,
        [](png_structp png, png_bytep data, png_size_t size) {
            auto* sink = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
            sink->insert(sink->end(), data, data + size);
        },
        [](png_structp) {}, &out);
    return out;
}

std::optional<Image> readPNG(const std::filesystem::path& path)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    return decode(
        [](png_structp png, png_bytep data, png_size_t size) {
            if (std::fread(data, 1, size, static_cast<FILE*>(png_get_io_ptr(png))) != size)
                png_error(png, "short file");
        },
        file.get());
}

std::optional<Image> decodePNG(std::span<const uint8_t> bytes)
{
    Memory memory{bytes};
    return decode(
        [](png_structp png, png_bytep data, png_size_t size) {
            auto* m = static_cast<Memory*>(png_get_io_ptr(png));
            if (m->bytes.size() - m->offset < size) png_error(png, "short data");
            std::copy_n(m->bytes.data() + m->offset, size, data);
            m->offset += size;
        },
        &memory);
}

} // namespace veltrane
