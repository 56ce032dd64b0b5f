#pragma once
// The two colour conversions to packed RGB8: a bilinear demosaic of BayerRG8 (even rows R G R G ...,
// odd rows G B G B ...) and the fixed-coefficient transform of YUV422_8 (Y0 U Y1 V per two pixels).
// Each has a plain reference loop that follows the rules one pixel at a time and a fast path that
// gives the same bytes.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Types.h"

namespace tavi {

// The demosaic works on whole 2 x 2 blocks and copies its corner blocks from pixels two blocks in,
// which must not be corner blocks themselves: an even width of at least 6 and an even height of at
// least 4.
bool BayerGeometryAccepted(uint32_t width, uint32_t height);

// `rgb` receives width x height x 3 bytes; the geometry must be accepted.
void DemosaicBayerRG8Reference(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb);
// The fast path: vector units where the processor has them, row pairs split across both cores.
void DemosaicBayerRG8(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb);
void DemosaicBayerRG8OnThisCore(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb);
// Without the vector units, on this core (what other processors run).
void DemosaicBayerRG8Portable(const uint8_t* raw, uint32_t width, uint32_t height, uint8_t* rgb);

// `groups` groups of four bytes Y0 U Y1 V become 6 bytes R0 G0 B0 R1 G1 B1 each. The reference
// computes in double precision, rounds to single precision, clamps to 0 ... 255 and truncates.
void YuyvToRgbReference(const uint8_t* yuyv, size_t groups, uint8_t* rgb);
void YuyvToRgb(const uint8_t* yuyv, size_t groups, uint8_t* rgb);
void YuyvToRgbOnThisCore(const uint8_t* yuyv, size_t groups, uint8_t* rgb);
void YuyvToRgbPortable(const uint8_t* yuyv, size_t groups, uint8_t* rgb);

// The frame-level conversions behind RawdataToRgb888, logging as `function`: 0 when the frame now
// holds RGB8, else -2 (null frame or data, a geometry or payload that cannot be converted) with the
// frame unchanged.
int ConvertBayerFrame(cameralog* log, PhotoInfo* frame);
int ConvertYuyvFrame(cameralog* log, PhotoInfo* frame);

}  // namespace tavi
