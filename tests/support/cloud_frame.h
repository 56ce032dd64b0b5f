#pragma once
// Frames over caller-owned bytes, as tests, reader checks and benchmarks build them.

#include <cstdint>
#include <vector>

#include "TaviSDK/Types.h"

namespace tavi::test {

// A frame of `format`, `width` x `height`, over `bytes`, seen through `channel`.
inline PhotoInfo FrameOver(std::vector<uint8_t>& bytes, uint32_t format, uint32_t width, uint32_t height,
                           uint16_t channel = 0) {
    PhotoInfo frame{};
    frame.data = bytes.data();
    frame.pixel_format = format;
    frame.width = width;
    frame.height = height;
    frame.payload_size = static_cast<uint32_t>(bytes.size());
    frame.channel_index = channel;
    return frame;
}

// A Coord3D_ABC16 frame of raw point bytes.
inline PhotoInfo CloudFrameOver(std::vector<uint8_t>& raw, uint32_t width, uint32_t height,
                                uint32_t cloud_unit) {
    PhotoInfo frame = FrameOver(raw, kPixelCoord3D_ABC16, width, height);
    frame.cloud_unit = cloud_unit;
    return frame;
}

}  // namespace tavi::test
