#pragma once
// Depth and colour fusion: every decoded cloud point is projected into a colour image, either to take
// the colour it lands on or to be stored at that pixel. Each step has a plain reference loop and a
// fast path (eight points per vector step, both cores) with the same results.

#include <cstddef>
#include <cstdint>

#include "processing/projection.h"

namespace tavi {

// An image of 3-byte pixels that the points take their colour from.
struct ColourImage {
    const uint8_t* pixels;
    uint32_t width;
    uint32_t height;
};

// Six floats per point: X, Y, Z and the third, second and first byte of the pixel the point lands
// on, or six zeros for a point that misses.
void FusePointsReference(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                         float* fused);
// The fast path on both cores, and the same on the calling core alone.
void FusePoints(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                float* fused);
void FusePointsOnThisCore(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                          float* fused);

inline constexpr uint32_t kNoPixel = UINT32_MAX;

// The pixel index (v x width + u) each point lands on, kNoPixel for a miss.
void LandingPixelsReference(const float* xyz, size_t count, const SensorModel& model, uint32_t width,
                            uint32_t height, uint32_t* pixel);
void LandingPixels(const float* xyz, size_t count, const SensorModel& model, uint32_t width, uint32_t height,
                   uint32_t* pixel);
void LandingPixelsOnThisCore(const float* xyz, size_t count, const SensorModel& model, uint32_t width,
                             uint32_t height, uint32_t* pixel);

}  // namespace tavi
