#include "processing/colour_simd.h"

#include "processing/colour_conversion.h"

#if defined(__x86_64__)
#include <immintrin.h>

#define TAVI_COLOUR_VECTORS __attribute__((target("avx2")))

namespace tavi {
namespace {

// Sixteen pixels as three planes of bytes to R, G, B triples (48 bytes).
TAVI_COLOUR_VECTORS inline void StoreRgb(uint8_t* out, __m128i r, __m128i g, __m128i b) {
    const __m128i r0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
    const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
    const __m128i b0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i r1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
    const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
    const __m128i b1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
    const __m128i r2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
    const __m128i b2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
    const __m128i first =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, r0), _mm_shuffle_epi8(g, g0)), _mm_shuffle_epi8(b, b0));
    const __m128i second =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, r1), _mm_shuffle_epi8(g, g1)), _mm_shuffle_epi8(b, b1));
    const __m128i third =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, r2), _mm_shuffle_epi8(g, g2)), _mm_shuffle_epi8(b, b2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), third);
}

// ---- Bayer ---------------------------------------------------------------------------------------

// Sixteen samples widened to 16 bits, columns x .. x + 15.
using Wide = __m256i;

TAVI_COLOUR_VECTORS inline Wide Load(const uint8_t* at) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

TAVI_COLOUR_VECTORS inline Wide Add(Wide a, Wide b) { return _mm256_add_epi16(a, b); }
TAVI_COLOUR_VECTORS inline Wide Shift(Wide a, int bits) { return _mm256_srli_epi16(a, bits); }

// Even columns from `even`, odd ones from `odd`, narrowed back to bytes.
TAVI_COLOUR_VECTORS inline __m128i ByParity(Wide even, Wide odd) {
    const __m256i chosen = _mm256_blend_epi16(odd, even, 0x55);
    return _mm_packus_epi16(_mm256_castsi256_si128(chosen), _mm256_extracti128_si256(chosen, 1));
}

// The three columns around each of sixteen: x - 1, x, x + 1.
struct Neighbours {
    Wide m, o, p;
};

TAVI_COLOUR_VECTORS inline Neighbours LoadNeighbours(const uint8_t* row, size_t x) {
    return {Load(row + x - 1), Load(row + x), Load(row + x + 1)};
}

// Row j (red and green samples) and row j + 1 (green and blue samples) of sixteen columns from x (even).
TAVI_COLOUR_VECTORS inline void DemosaicSixteen(const uint8_t* a, const uint8_t* b, const uint8_t* c,
                                                const uint8_t* d, size_t x, uint8_t* top, uint8_t* bottom) {
    const Neighbours A = LoadNeighbours(a, x), B = LoadNeighbours(b, x), C = LoadNeighbours(c, x),
                     D = LoadNeighbours(d, x);
    // Row j: red pixels at even columns, green at odd.
    {
        const __m128i red = ByParity(B.o, Shift(Add(B.m, B.p), 1));
        const __m128i green = ByParity(Shift(Add(Add(A.o, C.o), Add(B.m, B.p)), 2), B.o);
        const __m128i blue = ByParity(Shift(Add(Add(A.m, A.p), Add(C.m, C.p)), 2), Shift(Add(A.o, C.o), 1));
        StoreRgb(top + 3 * x, red, green, blue);
    }
    // Row j + 1: green pixels at even columns, blue at odd.
    {
        const __m128i red = ByParity(Shift(Add(B.o, D.o), 1), Shift(Add(Add(B.m, B.p), Add(D.m, D.p)), 2));
        const __m128i green = ByParity(C.o, Shift(Add(Add(B.o, D.o), Add(C.m, C.p)), 2));
        const __m128i blue = ByParity(Shift(Add(C.m, C.p), 1), C.o);
        StoreRgb(bottom + 3 * x, red, green, blue);
    }
}

// ---- YUYV ------------------------------------------------------------------------------------------

// The chroma terms in fixed point, 2^23 per unit, from one multiply-add of the centred (U, V) pairs
// per half of each coefficient: c x 2^23 = hi x 2^15 + lo with 16-bit hi and lo. The rounding of lo
// puts the term within 1.6e-5 of the exact one; a term within 2e-4 of an integer may round
// differently in the exact formula and is left to it.
struct FixedCoefficient {
    int16_t hi_u, hi_v, lo_u, lo_v;
};

constexpr int16_t HighPart(double c) { return static_cast<int16_t>(c * 256 + (c < 0 ? -0.5 : 0.5)); }
constexpr int16_t LowPart(double c) {
    const double rest = (c * 256 - HighPart(c)) * 32768;
    return static_cast<int16_t>(rest + (rest < 0 ? -0.5 : 0.5));
}
constexpr FixedCoefficient Fixed(double cu, double cv) {
    return {HighPart(cu), HighPart(cv), LowPart(cu), LowPart(cv)};
}

constexpr int kFractionBits = 23;
constexpr int32_t kNearInteger = 1678;  // 2e-4 x 2^23

struct ChromaOffsets {
    __m256i offset;  // floor of the term, eight groups as 32-bit lanes
    __m256i near;    // all ones where the term is too close to an integer
};

// The term is moved up by the margin first: one comparison then finds both sides of an integer, and
// wherever it finds neither, the floor of the moved term is the floor of the term.
TAVI_COLOUR_VECTORS inline ChromaOffsets Term(__m256i uv, FixedCoefficient c) {
    const __m256i high =
        _mm256_madd_epi16(uv, _mm256_set1_epi32((c.hi_v << 16) | static_cast<uint16_t>(c.hi_u)));
    const __m256i low =
        _mm256_madd_epi16(uv, _mm256_set1_epi32((c.lo_v << 16) | static_cast<uint16_t>(c.lo_u)));
    const __m256i moved =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(high, 15), low), _mm256_set1_epi32(kNearInteger));
    const __m256i fraction = _mm256_and_si256(moved, _mm256_set1_epi32((1 << kFractionBits) - 1));
    return {_mm256_srai_epi32(moved, kFractionBits),
            _mm256_cmpgt_epi32(_mm256_set1_epi32(2 * kNearInteger), fraction)};
}

// Eight groups; returns a bit per group that needs the exact formula instead.
TAVI_COLOUR_VECTORS inline int YuyvEight(const uint8_t* in, uint8_t* out) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    // Sixteen pixels' Y, and per group the 16-bit pair (U - 128, V - 128).
    const __m256i y = _mm256_set_m128i(_mm_and_si128(second, low_bytes), _mm_and_si128(first, low_bytes));
    const __m256i uv = _mm256_sub_epi16(_mm256_set_m128i(_mm_srli_epi16(second, 8), _mm_srli_epi16(first, 8)),
                                        _mm256_set1_epi16(128));
    const ChromaOffsets red = Term(uv, Fixed(-0.00093, 1.401687));
    const ChromaOffsets green = Term(uv, Fixed(-0.3437, -0.71417));
    const ChromaOffsets blue = Term(uv, Fixed(1.77216, -0.00099));
    // Each group's offset twice, once per pixel, added to the pixels' Y and clamped to a byte.
    const __m256i red_green = _mm256_packs_epi32(red.offset, green.offset);
    const __m256i blue_blue = _mm256_packs_epi32(blue.offset, blue.offset);
    const __m256i r = _mm256_add_epi16(y, _mm256_unpacklo_epi16(red_green, red_green));
    const __m256i g = _mm256_add_epi16(y, _mm256_unpackhi_epi16(red_green, red_green));
    const __m256i b = _mm256_add_epi16(y, _mm256_unpacklo_epi16(blue_blue, blue_blue));
    const __m256i rg = _mm256_permute4x64_epi64(_mm256_packus_epi16(r, g), 0xD8);
    const __m256i bb = _mm256_permute4x64_epi64(_mm256_packus_epi16(b, b), 0x08);
    StoreRgb(out, _mm256_castsi256_si128(rg), _mm256_extracti128_si256(rg, 1), _mm256_castsi256_si128(bb));
    // Grey (U = V = 128) makes every term exactly 0, which the sum above gives exactly.
    const __m256i grey = _mm256_cmpeq_epi32(uv, _mm256_setzero_si256());
    const __m256i near =
        _mm256_andnot_si256(grey, _mm256_or_si256(_mm256_or_si256(red.near, green.near), blue.near));
    return _mm256_movemask_ps(_mm256_castsi256_ps(near));
}

}  // namespace

bool ColourVectorsAvailable() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

TAVI_COLOUR_VECTORS size_t DemosaicInteriorRowPairVectors(const uint8_t* raw, size_t width, size_t j,
                                                          uint8_t* rgb) {
    const uint8_t* a = raw + (j - 1) * width;
    const uint8_t* b = a + width;
    const uint8_t* c = b + width;
    const uint8_t* d = c + width;
    uint8_t* top = rgb + j * width * 3;
    uint8_t* bottom = top + width * 3;
    size_t x = 2;
    // Sixteen interior columns need samples up to x + 16, and the right edge block starts at width - 2.
    for (; x + 16 <= width - 2; x += 16) DemosaicSixteen(a, b, c, d, x, top, bottom);
    return x;
}

TAVI_COLOUR_VECTORS size_t YuyvToRgbVectors(const uint8_t* yuyv, size_t groups, uint8_t* rgb) {
    size_t g = 0;
    for (; g + 8 <= groups; g += 8) {
        int exact = YuyvEight(yuyv + 4 * g, rgb + 6 * g);
        for (size_t group = g; exact != 0; ++group, exact >>= 1) {
            if (exact & 1) YuyvToRgbPortable(yuyv + 4 * group, 1, rgb + 6 * group);
        }
    }
    return g;
}

}  // namespace tavi

#else

namespace tavi {
bool ColourVectorsAvailable() { return false; }
size_t DemosaicInteriorRowPairVectors(const uint8_t*, size_t, size_t, uint8_t*) { return 2; }
size_t YuyvToRgbVectors(const uint8_t*, size_t, uint8_t*) { return 0; }
}  // namespace tavi

#endif
