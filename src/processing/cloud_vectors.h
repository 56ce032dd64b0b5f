#pragma once
// Eight raw points at a time on the vector units (GCC/clang vector extensions: AVX2 where the
// processor has it, two SSE halves elsewhere). Eight points are 24 little-endian words, three vectors
// of eight; word j holds X, Y or Z as j % 3 is 0, 1 or 2. Every lane computes exactly what the scalar
// code computes for its word, so results are bit-identical to the plain loops.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// These helpers are always inlined, so the ABI of passing 32-byte vectors by value never matters; the
// note about it is off in the kernel files that include this header.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tavi::vectors {

static_assert(std::endian::native == std::endian::little, "raw points are read as host words");

typedef uint16_t Words8 __attribute__((vector_size(16)));
typedef int32_t Ints8 __attribute__((vector_size(32)));
typedef float Floats8 __attribute__((vector_size(32)));

inline constexpr size_t kPointsPerBlock = 8;
inline constexpr size_t kBlockBytes = kPointsPerBlock * 6;
inline constexpr size_t kBlockFloats = kPointsPerBlock * 3;
inline constexpr int kPartsPerBlock = 3;

// X and Y are sign-extended by (w ^ 0x8000) - 0x8000; Z stays unsigned.
inline constexpr int32_t S = 0x8000;
inline constexpr Ints8 kSignMasks[kPartsPerBlock] = {
    {S, S, 0, S, S, 0, S, S}, {0, S, S, 0, S, S, 0, S}, {S, 0, S, S, 0, S, S, 0}};

// The bits of one vector as another type of the same size.
template <class To, class From>
__attribute__((always_inline)) inline To Reinterpret(From value) {
    static_assert(sizeof(To) == sizeof(From));
    To bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

__attribute__((always_inline)) inline Floats8 Broadcast(float value) {
    return Floats8{value, value, value, value, value, value, value, value};
}

__attribute__((always_inline)) inline Words8 LoadWords(const uint8_t* block, int part) {
    Words8 words;
    std::memcpy(&words, block + part * sizeof(Words8), sizeof words);
    return words;
}

__attribute__((always_inline)) inline void StoreWords(uint8_t* block, int part, Words8 words) {
    std::memcpy(block + part * sizeof(Words8), &words, sizeof words);
}

// float(raw) / unit for each word.
__attribute__((always_inline)) inline Floats8 DecodeWords(Words8 words, int part, Floats8 unit) {
    Ints8 wide = __builtin_convertvector(words, Ints8);
    wide = (wide ^ kSignMasks[part]) - kSignMasks[part];
    return __builtin_convertvector(wide, Floats8) / unit;
}

// The write-back rule for each value: low 16 bits of trunc(unit x value), 0 where the product is no
// finite 32-bit integer.
__attribute__((always_inline)) inline Words8 QuantiseFloats(Floats8 values, Floats8 unit) {
    Floats8 product = unit * values;
    const Ints8 magnitude_bits = Reinterpret<Ints8>(product) & 0x7FFFFFFF;
    const Ints8 in_range = Reinterpret<Floats8>(magnitude_bits) < Broadcast(2147483648.0f);
    product = Reinterpret<Floats8>(Reinterpret<Ints8>(product) & in_range);
    return __builtin_convertvector(__builtin_convertvector(product, Ints8), Words8);
}

}  // namespace tavi::vectors
