#pragma once
// Whether an image fits the bytes of a frame: width x height x bytes per pixel, computed without
// overflow. A pixel format the table does not know has no size, so such an image fits nothing
// (never "0 bytes per pixel"); an image of no pixels fits any frame.

#include <cstdint>

#include "TaviSDK/Types.h"

namespace tavi::stream {

inline bool ImageFitsPayload(uint32_t pixel_format, uint32_t size_x, uint32_t size_y, uint32_t payload_size) {
    const uint64_t pixels = static_cast<uint64_t>(size_x) * size_y;  // at most (2^32 - 1)^2: no wrap
    if (pixels == 0) return true;
    const uint32_t bytes_per_pixel = PixelBytesOfFormat(pixel_format);
    if (bytes_per_pixel == 0) return false;
    return pixels <= payload_size / bytes_per_pixel;
}

}  // namespace tavi::stream
