#pragma once
// A Coord3D_ABC16 frame over caller-owned raw bytes, as tests, reader checks and benchmarks build it.

#include <cstdint>
#include <vector>

#include "TaviSDK/Types.h"

namespace tavi::test {

inline PhotoInfo CloudFrameOver(std::vector<uint8_t>& raw, uint32_t width, uint32_t height,
                                uint32_t cloud_unit) {
    PhotoInfo frame{};
    frame.data = raw.data();
    frame.pixel_format = kPixelCoord3D_ABC16;
    frame.width = width;
    frame.height = height;
    frame.cloud_unit = cloud_unit;
    frame.payload_size = static_cast<uint32_t>(raw.size());
    return frame;
}

}  // namespace tavi::test
