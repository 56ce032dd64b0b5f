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

// A chroma term within this much of an integer may round differently in the exact formula; the
// single-precision term here is within 5e-5 of the double one.
constexpr float kNearInteger = 2e-4f;

struct ChromaOffsets {
    __m256i offset;  // floor of the term, eight groups as 32-bit lanes
    __m256 near;     // all ones where the term is too close to an integer
};

// The term is moved up by the margin first: one comparison then finds both sides of an integer, and
// wherever it finds neither, the floor of the moved term is the floor of the term.
TAVI_COLOUR_VECTORS inline ChromaOffsets Term(__m256 u, __m256 v, float cu, float cv) {
    const __m256 term =
        _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(cv), v), _mm256_mul_ps(_mm256_set1_ps(cu), u));
    const __m256 moved = _mm256_add_ps(term, _mm256_set1_ps(kNearInteger));
    const __m256 floor = _mm256_floor_ps(moved);
    const __m256 near =
        _mm256_cmp_ps(_mm256_sub_ps(moved, floor), _mm256_set1_ps(2 * kNearInteger), _CMP_LT_OQ);
    return {_mm256_cvtps_epi32(floor), near};
}

// Eight groups' 32-bit offsets as sixteen pixels' 16-bit offsets, added to the pixels' Y and clamped.
TAVI_COLOUR_VECTORS inline __m128i Channel(__m128i y_first, __m128i y_second, __m256i offset) {
    const __m128i groups =
        _mm_packs_epi32(_mm256_castsi256_si128(offset), _mm256_extracti128_si256(offset, 1));
    const __m128i first = _mm_add_epi16(y_first, _mm_unpacklo_epi16(groups, groups));
    const __m128i second = _mm_add_epi16(y_second, _mm_unpackhi_epi16(groups, groups));
    return _mm_packus_epi16(first, second);
}

// Eight groups; returns a bit per group that needs the exact formula instead.
TAVI_COLOUR_VECTORS inline int YuyvEight(const uint8_t* in, uint8_t* out) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i y_first = _mm_and_si128(first, low_bytes), y_second = _mm_and_si128(second, low_bytes);
    // Per group a 32-bit lane (V << 16) | U after taking the odd bytes.
    const __m256i chroma = _mm256_set_m128i(_mm_srli_epi16(second, 8), _mm_srli_epi16(first, 8));
    const __m256i bias = _mm256_set1_epi32(128);
    const __m256i u_int = _mm256_sub_epi32(_mm256_and_si256(chroma, _mm256_set1_epi32(0xFFFF)), bias);
    const __m256i v_int = _mm256_sub_epi32(_mm256_srli_epi32(chroma, 16), bias);
    const __m256 u = _mm256_cvtepi32_ps(u_int), v = _mm256_cvtepi32_ps(v_int);
    const ChromaOffsets red = Term(u, v, -0.00093f, 1.401687f);
    const ChromaOffsets green = Term(u, v, -0.3437f, -0.71417f);
    const ChromaOffsets blue = Term(u, v, 1.77216f, -0.00099f);
    StoreRgb(out, Channel(y_first, y_second, red.offset), Channel(y_first, y_second, green.offset),
             Channel(y_first, y_second, blue.offset));
    // Grey (U = V = 128) makes every term exactly 0, which the sum above gives exactly.
    const __m256i grey = _mm256_cmpeq_epi32(_mm256_or_si256(u_int, v_int), _mm256_setzero_si256());
    const __m256i near = _mm256_andnot_si256(
        grey, _mm256_castps_si256(_mm256_or_ps(_mm256_or_ps(red.near, green.near), blue.near)));
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
