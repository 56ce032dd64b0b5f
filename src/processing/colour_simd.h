#pragma once
// The colour conversions sixteen pixels at a time on x86 vector units (AVX2). Every
// result byte is the one the plain rules give; callers pick these paths only when
// ColourVectorsAvailable() says the processor has the instructions.

#include <cstddef>
#include <cstdint>

namespace tavi {

bool ColourVectorsAvailable();

// The interior blocks of Bayer row pair j (rows j and j + 1, j even, neither the first nor the last
// pair), from column 2 on, sixteen columns per step. Returns the first column it did not convert.
size_t DemosaicInteriorRowPairVectors(const uint8_t* raw, size_t width, size_t j, uint8_t* rgb);

// YUYV groups eight at a time; returns how many groups it converted (a multiple of eight).
size_t YuyvToRgbVectors(const uint8_t* yuyv, size_t groups, uint8_t* rgb);

}  // namespace tavi
