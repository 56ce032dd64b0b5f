#pragma once
// Decoding of Coord3D_ABC16 points into float X, Y, Z: each value is the raw integer divided by the
// frame's cloud unit, in single precision.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Types.h"

namespace tavi {

// The plain loop, one point at a time.
void DecodePointsReference(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out);

// Same results bit for bit, eight points per step on vector units and split across both cores.
void DecodePoints(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out);

// The vector path on the calling thread alone, for callers that split the work themselves.
void DecodePointsOnThisCore(const uint8_t* raw, size_t count, uint32_t cloud_unit, float* out);

// Decodes the frame's width x height points into `out` (3 floats each); points beyond the payload
// come out as (0, 0, 0).
void DecodeFrame(const PhotoInfo& frame, float* out);

}  // namespace tavi
