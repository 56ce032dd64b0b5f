#pragma once
// Masks of width x height signed 32-bit values (255 marks a pixel): 3 x 3 dilation, cross-shaped
// erosion and the bounding rectangle of the marked pixels. Each morphology step has a plain
// reference and a row-wise fast path with the same results.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Types.h"

namespace tavi {

inline constexpr int kMarked = 255;

// `result` (width x height, not the mask itself) receives the operation's mask; the border is 0.
void DilateReference(const int* mask, uint32_t width, uint32_t height, int* result);
void Dilate(const int* mask, uint32_t width, uint32_t height, int* result);
void ErodeCrossReference(const int* mask, uint32_t width, uint32_t height, int* result);
void ErodeCross(const int* mask, uint32_t width, uint32_t height, int* result);

// The distances between the extreme marked pixels; for an empty mask offset W, H and size -W, -H.
RoiPoint MarkedBounds(const int* mask, uint32_t width, uint32_t height);

}  // namespace tavi
