#include "Platform/Image/Image.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <png.h>

namespace veltrane {

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};

}  // namespace

void writePNG(const Image& image, const std::filesystem::path& path) {
  if (image.width < 1 || image.height < 1 || image.bgrx.size() < size_t(image.width) * image.height * 4)
    throw PngError(PngError::Stage::write, "PNG write: empty or short image");
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw PngError(PngError::Stage::destination, "PNG destination: cannot create " + path.string());

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
  png_init_io(png, file.get());
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
  if (std::fflush(file.get()) != 0 || std::ferror(file.get()))
    throw PngError(PngError::Stage::write, "PNG write: cannot write " + path.string());
}

std::optional<Image> readPNG(const std::filesystem::path& path) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
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
  png_init_io(png, file.get());
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
  for (int y = 0; y < result->height; ++y) png_read_row(png, result->bgrx.data() + size_t(y) * result->width * 4, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  Image out = std::move(*result);
  delete result;
  return out;
}

}  // namespace veltrane
