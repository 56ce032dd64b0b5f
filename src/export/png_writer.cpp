#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "TaviSDK/GigeCamera.h"
#include "export/image_files.h"

namespace tavi {
namespace {

// Taller images are refused before any row is written, as the row-pointer table of the whole image
// could not be addressed.
constexpr uint32_t kMaxPngHeight = 0x1FFFFFFF;

// Everything libpng may leave by its error jump, with nothing to unwind: only plain values live in
// this frame. 0, or -1 when libpng reported an error (a write error of the file included).
int WriteRowsThroughLibpng(png_structp png, png_infop info, FILE* file, const uint8_t* samples,
                           uint32_t width, uint32_t height, cameralog* log, const char* function) {
    if (setjmp(png_jmpbuf(png))) return TAVI_ERR_FILE_OR_COUNT;
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (height > kMaxPngHeight) {
        TAVI_LOG_ERROR(log, "[function:%s] Image is too tall to process in memory.", function);
        png_error(png, "Image is too tall to process in memory");
    }
    const size_t row_bytes = size_t{width} * 2;
    for (uint32_t row = 0; row < height; ++row) png_write_row(png, samples + row * row_bytes);
    png_write_end(png, nullptr);
    return TAVI_OK;
}

}  // namespace

int WritePng16File(cameralog* log, const char* function, const char* path, const uint8_t* samples,
                   uint32_t width, uint32_t height) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        TAVI_LOG_ERROR(log,
                       "[function:%s] Failed to save depth data due to open the file error, error code: %d",
                       function, TAVI_ERR_FILE_OPEN);
        return TAVI_ERR_FILE_OPEN;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        std::fclose(file);
        TAVI_LOG_ERROR(log, "[function:%s] png_create_write_struct failed, error code: %d", function,
                       TAVI_ERR_FILE_OPEN);
        return TAVI_ERR_FILE_OPEN;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        std::fclose(file);
        png_destroy_write_struct(&png, nullptr);
        TAVI_LOG_ERROR(log, "[function:%s] png_create_info_struct failed.", function);
        return TAVI_ERR_FILE_OR_COUNT;
    }
    const int written = WriteRowsThroughLibpng(png, info, file, samples, width, height, log, function);
    png_destroy_write_struct(&png, &info);
    // Buffered bytes reach the file only now: a full disk may show itself here first.
    const bool closed = std::fclose(file) == 0;
    if (written != TAVI_OK) {
        TAVI_LOG_ERROR(log, "[function:%s] Error during init_io.", function);
        return written;
    }
    if (!closed) {
        TAVI_LOG_ERROR(log, "[function:%s] Failed to write the file, error code: %d", function,
                       TAVI_ERR_FILE_OR_COUNT);
        return TAVI_ERR_FILE_OR_COUNT;
    }
    return TAVI_OK;
}

}  // namespace tavi
