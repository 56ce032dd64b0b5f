#pragma once
// Image files: uncompressed BMP (8-bit grey with a grey palette, or 24-bit blue-green-red, rows
// bottom-up padded to four bytes) and 16-bit grey PNG (samples most significant byte first, rows top
// to bottom).

#include <cstddef>
#include <cstdint>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Types.h"

namespace tavi {

// How a BMP row's pixel bytes come from a frame.
enum class BmpPixels {
    kGrey,    // one byte per pixel, as stored
    kRgb888,  // R, G, B stored, B, G, R written
    kRgb565,  // 16-bit little-endian RGB565 expanded to B, G, R
};

// Bytes of the BMP file of a width x height image; 0 when it would not fit the format's 32-bit
// sizes.
size_t BmpFileSize(uint32_t width, uint32_t height, BmpPixels pixels);

// Writes `data` (width x height pixels of the given kind) as a BMP file. 0, -42 when the file cannot
// be opened, -41 when it cannot be written completely.
int WriteBmpFile(const char* path, const uint8_t* data, uint32_t width, uint32_t height, BmpPixels pixels);

// Writes width x height 16-bit samples (most significant byte first) as a grey PNG, logging its
// failures as `function`: 0, -42 (file or PNG writer), -1 (PNG library failure or write error).
int WritePng16File(cameralog* log, const char* function, const char* path, const uint8_t* samples,
                   uint32_t width, uint32_t height);

}  // namespace tavi
