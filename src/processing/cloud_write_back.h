#pragma once
// The write-back rule applied to raw points in place: each coordinate becomes the low 16 bits of
// trunc(unit x (raw / unit)), which is the raw value or one step closer to zero where single precision
// falls short (and 0 for a cloud unit of 0). The filters write their survivors back this way.

#include <cstddef>
#include <cstdint>

namespace tavi {

void RequantisePointsReference(uint8_t* raw, size_t count, uint32_t cloud_unit);

// Same results, eight points per step, on the calling thread.
void RequantisePoints(uint8_t* raw, size_t count, uint32_t cloud_unit);

}  // namespace tavi
