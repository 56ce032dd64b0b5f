#pragma once
// What the image operations need to know about a grey or colour frame: how many pixels it claims,
// whether its payload really holds them, and the pixel layouts shared by the converters, the BMP
// writers and the fusion.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Types.h"

namespace tavi {

inline constexpr size_t kRgbBytes = 3;  // R, G, B (or B, G, R in a BMP row)

// An object reached through a reference that a caller may have formed from a null pointer: the
// address is hidden from the optimiser so that the null test survives.
template <class T>
T* ReferencedAddress(T& object) {
    T* address = &object;
    asm volatile("" : "+r"(address));
    return address;
}

inline size_t PixelCount(const PhotoInfo& frame) {
    return static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
}

// True when the payload holds every pixel the header claims at `bytes_per_pixel` each: a header that
// claims more must never make an operation read past the buffer.
inline bool PayloadHoldsPixels(const PhotoInfo& frame, size_t bytes_per_pixel) {
    return PixelCount(frame) * bytes_per_pixel <= frame.payload_size;
}

// True when width x height x `bytes_per_pixel` still fits the 32-bit payload size of a frame.
inline bool FitsPayloadSize(const PhotoInfo& frame, size_t bytes_per_pixel) {
    return PixelCount(frame) * bytes_per_pixel <= UINT32_MAX;
}

// An RGB565 pixel (16-bit little-endian value p) as the three bytes blue, green, red; the low bits of
// each channel stay zero.
inline void ExpandRgb565(const uint8_t* pixel, uint8_t* blue_green_red) {
    const unsigned p = pixel[0] | (pixel[1] << 8);
    blue_green_red[0] = static_cast<uint8_t>((p << 3) & 0xF8);
    blue_green_red[1] = static_cast<uint8_t>((p >> 3) & 0xFC);
    blue_green_red[2] = static_cast<uint8_t>((p >> 8) & 0xF8);
}

}  // namespace tavi
