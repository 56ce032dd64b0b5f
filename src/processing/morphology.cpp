#include "processing/morphology.h"

#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_frame.h"
#include "processing/image_frame.h"

namespace tavi {
namespace {

// Sums are 64-bit: a mask may hold any 32-bit values, and nine of them must not overflow.
int64_t At(const int* mask, size_t width, size_t y, size_t x) { return mask[y * width + x]; }

// The cross's weight sum (5) times a marked pixel: all five pixels of the cross are marked.
constexpr int64_t kErosionThreshold = int64_t{5} * kMarked;

bool HasInterior(uint32_t width, uint32_t height) { return width >= 3 && height >= 3; }

// Horizontal sums of three neighbours of one row, for the columns 1 ... width - 2.
void RowTriples(const int* row, size_t width, int64_t* sums) {
    for (size_t x = 1; x + 1 < width; ++x)
        sums[x] = static_cast<int64_t>(row[x - 1]) + static_cast<int64_t>(row[x]) +
                  static_cast<int64_t>(row[x + 1]);
}

// ---- masks whose values are small enough for 32-bit sums (every real mask: 0 and 255) ----------

// Nine values of at most 2^26 in magnitude sum to less than 2^30.
constexpr int32_t kNarrowLimit = 1 << 26;

typedef int32_t Ints8 __attribute__((vector_size(32)));

__attribute__((always_inline)) inline Ints8 Load8(const int* at) {
    Ints8 values;
    std::memcpy(&values, at, sizeof values);
    return values;
}

__attribute__((always_inline)) inline bool AllNarrow(const int* mask, size_t count) {
    Ints8 outside{};
    const Ints8 limit = Ints8{} + kNarrowLimit;
    size_t n = 0;
    for (; n + 8 <= count; n += 8) {
        const Ints8 values = Load8(mask + n);
        outside |= (values > limit) | (values < -limit);
    }
    bool narrow = true;
    for (int lane = 0; lane < 8; ++lane) narrow &= outside[lane] == 0;
    for (; n < count; ++n) narrow &= mask[n] <= kNarrowLimit && mask[n] >= -kNarrowLimit;
    return narrow;
}

// One interior row of the result, eight columns per step: the 3 x 3 sum (dilation) or the cross's
// sum (erosion) against the operation's threshold.
template <bool kCross>
__attribute__((always_inline)) inline void NarrowRow(const int* up, const int* row, const int* down, int* out,
                                                     size_t width) {
    size_t x = 1;
    for (; x + 9 <= width; x += 8) {
        Ints8 hit;
        if constexpr (kCross) {
            const Ints8 sum =
                Load8(up + x) + Load8(row + x - 1) + Load8(row + x) + Load8(row + x + 1) + Load8(down + x);
            hit = sum >= static_cast<int32_t>(kErosionThreshold);
        } else {
            const Ints8 sum = Load8(up + x - 1) + Load8(up + x) + Load8(up + x + 1) + Load8(row + x - 1) +
                              Load8(row + x) + Load8(row + x + 1) + Load8(down + x - 1) + Load8(down + x) +
                              Load8(down + x + 1);
            hit = sum > 0;
        }
        const Ints8 result = hit & kMarked;
        std::memcpy(out + x, &result, sizeof result);
    }
    for (; x + 1 < width; ++x) {
        const int64_t sum = kCross ? int64_t{up[x]} + row[x - 1] + row[x] + row[x + 1] + down[x]
                                   : int64_t{up[x - 1]} + up[x] + up[x + 1] + row[x - 1] + row[x] +
                                         row[x + 1] + down[x - 1] + down[x] + down[x + 1];
        out[x] = (kCross ? sum >= kErosionThreshold : sum > 0) ? kMarked : 0;
    }
}

template <bool kCross>
__attribute__((always_inline)) inline void NarrowRows(const int* mask, size_t width, size_t height,
                                                      int* result) {
    for (size_t y = 1; y + 1 < height; ++y) {
        const int* row = mask + y * width;
        NarrowRow<kCross>(row - width, row, row + width, result + y * width, width);
    }
}

void NarrowDilatePortable(const int* mask, size_t width, size_t height, int* result) {
    NarrowRows<false>(mask, width, height, result);
}
void NarrowErodePortable(const int* mask, size_t width, size_t height, int* result) {
    NarrowRows<true>(mask, width, height, result);
}
bool AllNarrowPortable(const int* mask, size_t count) { return AllNarrow(mask, count); }

#if defined(__x86_64__)
__attribute__((target("avx2"))) void NarrowDilateAvx2(const int* mask, size_t width, size_t height,
                                                      int* result) {
    NarrowRows<false>(mask, width, height, result);
}
__attribute__((target("avx2"))) void NarrowErodeAvx2(const int* mask, size_t width, size_t height,
                                                     int* result) {
    NarrowRows<true>(mask, width, height, result);
}
__attribute__((target("avx2"))) bool AllNarrowAvx2(const int* mask, size_t count) {
    return AllNarrow(mask, count);
}
#endif

struct NarrowKernels {
    bool (*all_narrow)(const int*, size_t);
    void (*dilate)(const int*, size_t, size_t, int*);
    void (*erode)(const int*, size_t, size_t, int*);
};

const NarrowKernels& Kernels() {
    static const NarrowKernels kernels = [] {
#if defined(__x86_64__)
        if (__builtin_cpu_supports("avx2"))
            return NarrowKernels{AllNarrowAvx2, NarrowDilateAvx2, NarrowErodeAvx2};
#endif
        return NarrowKernels{AllNarrowPortable, NarrowDilatePortable, NarrowErodePortable};
    }();
    return kernels;
}

}  // namespace

void DilateReference(const int* mask, uint32_t width, uint32_t height, int* result) {
    std::memset(result, 0, size_t{width} * height * sizeof(int));
    if (!HasInterior(width, height)) return;
    for (size_t y = 1; y + 1 < height; ++y) {
        for (size_t x = 1; x + 1 < width; ++x) {
            int64_t sum = 0;
            for (size_t dy = 0; dy < 3; ++dy)
                for (size_t dx = 0; dx < 3; ++dx) sum += At(mask, width, y + dy - 1, x + dx - 1);
            if (sum > 0) result[y * width + x] = kMarked;
        }
    }
}

void Dilate(const int* mask, uint32_t width, uint32_t height, int* result) {
    std::memset(result, 0, size_t{width} * height * sizeof(int));
    if (!HasInterior(width, height)) return;
    if (Kernels().all_narrow(mask, size_t{width} * height))
        return Kernels().dilate(mask, width, height, result);
    const size_t w = width;
    // Three rows of horizontal sums, rotated as the window moves down.
    auto* sums = static_cast<int64_t*>(std::calloc(3 * w, sizeof(int64_t)));
    if (sums == nullptr) {
        DilateReference(mask, width, height, result);
        return;
    }
    int64_t* rows[3] = {sums, sums + w, sums + 2 * w};
    RowTriples(mask, w, rows[0]);
    RowTriples(mask + w, w, rows[1]);
    for (size_t y = 1; y + 1 < height; ++y) {
        RowTriples(mask + (y + 1) * w, w, rows[2]);
        int* out = result + y * w;
        for (size_t x = 1; x + 1 < w; ++x) out[x] = rows[0][x] + rows[1][x] + rows[2][x] > 0 ? kMarked : 0;
        int64_t* oldest = rows[0];
        rows[0] = rows[1];
        rows[1] = rows[2];
        rows[2] = oldest;
    }
    std::free(sums);
}

void ErodeCrossReference(const int* mask, uint32_t width, uint32_t height, int* result) {
    static constexpr int kCross[3][3] = {{0, 1, 0}, {1, 1, 1}, {0, 1, 0}};
    std::memset(result, 0, size_t{width} * height * sizeof(int));
    if (!HasInterior(width, height)) return;
    for (size_t y = 1; y + 1 < height; ++y) {
        for (size_t x = 1; x + 1 < width; ++x) {
            int64_t sum = 0;
            for (size_t dy = 0; dy < 3; ++dy)
                for (size_t dx = 0; dx < 3; ++dx)
                    sum += kCross[dy][dx] * At(mask, width, y + dy - 1, x + dx - 1);
            if (sum >= kErosionThreshold) result[y * width + x] = kMarked;
        }
    }
}

void ErodeCross(const int* mask, uint32_t width, uint32_t height, int* result) {
    std::memset(result, 0, size_t{width} * height * sizeof(int));
    if (!HasInterior(width, height)) return;
    if (Kernels().all_narrow(mask, size_t{width} * height))
        return Kernels().erode(mask, width, height, result);
    const size_t w = width;
    for (size_t y = 1; y + 1 < height; ++y) {
        const int* up = mask + (y - 1) * w;
        const int* row = up + w;
        const int* down = row + w;
        int* out = result + y * w;
        for (size_t x = 1; x + 1 < w; ++x) {
            const int64_t sum = static_cast<int64_t>(up[x]) + row[x - 1] + static_cast<int64_t>(row[x]) +
                                row[x + 1] + static_cast<int64_t>(down[x]);
            out[x] = sum >= kErosionThreshold ? kMarked : 0;
        }
    }
}

RoiPoint MarkedBounds(const int* mask, uint32_t width, uint32_t height) {
    int64_t max_column = 0, min_column = width, min_row = height, max_row = 0;
    for (size_t y = 0; y < height; ++y) {
        const int* row = mask + y * width;
        for (size_t x = 0; x < width; ++x) {
            if (row[x] == 0) continue;
            const auto column = static_cast<int64_t>(x), line = static_cast<int64_t>(y);
            if (column > max_column) max_column = column;
            if (column < min_column) min_column = column;
            if (line < min_row) min_row = line;
            if (line > max_row) max_row = line;
        }
    }
    return {static_cast<int32_t>(max_column - min_column), static_cast<int32_t>(max_row - min_row),
            static_cast<int32_t>(min_column), static_cast<int32_t>(min_row)};
}

namespace {

using Morphology = void (*)(const int*, uint32_t, uint32_t, int*);

// The mask is replaced by the operation's result; without memory for the result it stays as it was.
void ApplyToMask(cameralog* log, const char* function, int* mask, const PhotoInfo* frame,
                 Morphology operation) {
    if (mask == nullptr || frame == nullptr) {
        TAVI_LOG_ERROR(log, "[function:%s] the incoming parameters error, error code: %d", function,
                       TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    const size_t pixels = PixelCount(*frame);
    auto* result = static_cast<int*>(std::malloc(pixels * sizeof(int) + 1));
    if (result == nullptr) {
        TAVI_LOG_ERROR(log, "[function:%s] malloc mask failed, error code: %d", function,
                       TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    operation(mask, frame->width, frame->height, result);
    std::memcpy(mask, result, pixels * sizeof(int));
    std::free(result);
}

}  // namespace
}  // namespace tavi

void GigeCamera::PixelSwell(int* mask, PhotoInfo& frame) {
    tavi::ApplyToMask(&log, "PixelSwell", mask, tavi::FrameAddress(frame), tavi::Dilate);
}

void GigeCamera::PixelCorrosion(int* mask, PhotoInfo& frame) {
    tavi::ApplyToMask(&log, "PixelCorrosion", mask, tavi::FrameAddress(frame), tavi::ErodeCross);
}

void GigeCamera::ROIMappingCoordinate(int* mask, PhotoInfo& frame, RoiPoint& rect) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    RoiPoint* result = tavi::ReferencedAddress(rect);
    if (mask == nullptr || checked == nullptr || result == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:ROIMappingCoordinate] the incoming parameters error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    *result = tavi::MarkedBounds(mask, checked->width, checked->height);
}
