#pragma once
// What every point-cloud operation needs to know about a Coord3D_ABC16 frame: which frames qualify,
// how many points it claims and how many its payload really holds, where each raw coordinate lies,
// and the rule that turns a decoded coordinate back into a raw one.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TaviSDK/Types.h"

namespace tavi {

inline constexpr size_t kRawPointBytes = 6;              // signed X, signed Y, unsigned Z, little-endian
inline constexpr size_t kDecodedPointFloats = 3;         // X, Y, Z
inline constexpr double kNoMeasurementDepth = 0.000001;  // |Z| not above it: the point has no measurement

// A frame reached through a reference that a caller may have formed from a null pointer: the address
// is hidden from the optimiser so that the null test survives.
inline const PhotoInfo* FrameAddress(const PhotoInfo& frame) {
    const PhotoInfo* address = &frame;
    asm volatile("" : "+r"(address));
    return address;
}
inline PhotoInfo* FrameAddress(PhotoInfo& frame) {
    PhotoInfo* address = &frame;
    asm volatile("" : "+r"(address));
    return address;
}

inline bool IsCloudFrame(const PhotoInfo* frame) {
    return frame != nullptr && frame->pixel_format == kPixelCoord3D_ABC16 && frame->data != nullptr;
}

// The points a frame claims (width x height) and the leading ones its payload holds. A header that
// claims more points than the payload carries must never make an operation read or write past it:
// the missing points count as (0, 0, 0).
struct CloudExtent {
    size_t points;  // width x height
    size_t stored;  // min(points, payload_size / 6)
};

inline CloudExtent ExtentOf(const PhotoInfo& frame) {
    const size_t points = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    const size_t in_payload = frame.payload_size / kRawPointBytes;
    return {points, points < in_payload ? points : in_payload};
}

inline uint16_t RawWord(const uint8_t* raw, size_t point, int axis) {
    const uint8_t* word = raw + point * kRawPointBytes + static_cast<size_t>(axis) * 2;
    return static_cast<uint16_t>(word[0] | (word[1] << 8));
}

// X and Y are signed, Z is unsigned.
inline int32_t RawCoordinate(const uint8_t* raw, size_t point, int axis) {
    const uint16_t word = RawWord(raw, point, axis);
    return axis == 2 ? static_cast<int32_t>(word) : static_cast<int32_t>(static_cast<int16_t>(word));
}

inline void StoreRawWord(uint8_t* raw, size_t point, int axis, uint16_t value) {
    uint8_t* word = raw + point * kRawPointBytes + static_cast<size_t>(axis) * 2;
    word[0] = static_cast<uint8_t>(value & 0xFF);
    word[1] = static_cast<uint8_t>(value >> 8);
}

// The raw value of a decoded coordinate: the low 16 bits of trunc(unit x value). A product that is not
// a finite 32-bit integer (only a cloud unit of 0 gets there) gives 0.
inline uint16_t QuantiseToRaw(float unit, float value) {
    const float product = unit * value;
    if (!(std::fabs(product) < 2147483648.0f)) return 0;
    return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(product)));
}

inline void WriteBackPoint(uint8_t* raw, size_t point, float unit, const float* xyz) {
    for (int axis = 0; axis < 3; ++axis) StoreRawWord(raw, point, axis, QuantiseToRaw(unit, xyz[axis]));
}

inline void ClearRawPoint(uint8_t* raw, size_t point) {
    std::memset(raw + point * kRawPointBytes, 0, kRawPointBytes);
}

// The three tests of "has a measurement" the operations use: the filters test the magnitude, the
// PLY and text writers the signed depth, and the PCD writer calls a point missing below the threshold.
inline bool HasMeasurement(float z) { return std::fabs(z) > kNoMeasurementDepth; }
inline bool HasPositiveDepth(float z) { return z > kNoMeasurementDepth; }
inline bool IsMissingInPcd(float z) { return std::fabs(z) < kNoMeasurementDepth; }

}  // namespace tavi
