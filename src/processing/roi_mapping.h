#pragma once
// The two steps of carrying a rectangle from one sensor's image to another's: a table that gives,
// for each source pixel, the target pixel that sees the same cloud point, and the marking of the
// target pixels of the source pixels inside the rectangle.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Types.h"
#include "processing/projection.h"

namespace tavi {

struct TargetPixel {
    int32_t column;
    int32_t row;  // 0: no point maps the source pixel
};

// `table` holds source width x height entries, zero to begin with.
void FillMappingTable(const float* xyz, size_t points, const SensorModel& source_model,
                      const SensorModel& target_model, const PhotoInfo& source, const PhotoInfo& target,
                      TargetPixel* table);

// Sets mask[row x target width + column] to 255 for every mapped source pixel inside `rect`; the
// rectangle is clipped to the source image.
void MarkRectangle(const TargetPixel* table, const PhotoInfo& source, const RoiPoint& rect,
                   const PhotoInfo& target, int* mask);

}  // namespace tavi
