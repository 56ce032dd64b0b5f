#include "png_file.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace tavi::cli {
namespace {

// libpng reports failures by longjmp: nothing with a destructor may live in this frame.
bool WriteRows(std::FILE* file, uint32_t width, uint32_t height, png_bytepp rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WriteRgbPng(const RgbImage& image, const std::string& path) {
    if (image.width == 0 || image.height == 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3)
        return false;
    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        rows[y] = const_cast<png_bytep>(&image.pixels[static_cast<size_t>(y) * image.width * 3]);
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = WriteRows(file, image.width, image.height, rows.data());
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) std::remove(path.c_str());
    return written && closed;
}

}  // namespace tavi::cli
