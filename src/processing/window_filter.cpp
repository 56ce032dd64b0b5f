#include "processing/window_filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_write_back.h"
#include "processing/core_split.h"

namespace tavi {
namespace {

constexpr int kWindowRows = 5;
constexpr int kWindowColumns = 3;
constexpr int kWindowPixels = kWindowRows * kWindowColumns;
constexpr int kMinAgreeingPixels = 4;  // more than three
constexpr double kToleranceFactor = 0.005;
constexpr double kMaxTolerance = 15.0;

// Which part of the frame the filter has to look at. Rows past the payload hold no measurement, so no
// centre lies there; they matter only as the lower window rows of the last centres, so the working
// grid stops two rows past the last row with data. A lying header thus never sizes the work.
struct FilterGrid {
    size_t width = 0;
    size_t rows = 0;         // rows of the working grid
    size_t last_centre = 0;  // last centre row to visit (inclusive)
    bool has_centres = false;
    size_t stored = 0;  // points with data in the payload
    size_t points() const { return width * rows; }
};

FilterGrid GridOf(const PhotoInfo& frame) {
    FilterGrid grid;
    const CloudExtent extent = ExtentOf(frame);
    grid.stored = extent.stored;
    const size_t width = frame.width, height = frame.height;
    if (height <= 4 || width <= 2 || extent.stored == 0) return grid;
    const size_t rows_with_data = (extent.stored + width - 1) / width;
    grid.width = width;
    grid.rows = std::min(height, rows_with_data + 2);
    grid.last_centre = std::min(height - 3, rows_with_data - 1);
    grid.has_centres = grid.last_centre >= 2;
    return grid;
}

float ToleranceOf(double k, float zc) {
    return static_cast<float>(std::min(k * kToleranceFactor * zc, kMaxTolerance));
}

float* DecodedCopy(const PhotoInfo& frame, const FilterGrid& grid) {
    auto* decoded =
        static_cast<float*>(std::malloc((grid.points() * kDecodedPointFloats + 1) * sizeof(float)));
    if (decoded == nullptr) return nullptr;
    const size_t decodable = std::min(grid.stored, grid.points());
    DecodePointsReference(frame.data, decodable, frame.cloud_unit, decoded);
    std::memset(decoded + decodable * 3, 0, (grid.points() - decodable) * 3 * sizeof(float));
    return decoded;
}

void ClearAllPoints(PhotoInfo& frame, size_t stored) { std::memset(frame.data, 0, stored * kRawPointBytes); }

}  // namespace

int WindowFilterReference(PhotoInfo& frame, double k) {
    const FilterGrid grid = GridOf(frame);
    if (!grid.has_centres) {
        ClearAllPoints(frame, grid.stored);
        return TAVI_OK;
    }
    const size_t n_points = grid.points();
    auto* marks = static_cast<uint8_t*>(std::calloc(n_points, 1));
    auto* kept = static_cast<float*>(std::calloc(n_points * 3, sizeof(float)));
    float* decoded = DecodedCopy(frame, grid);
    if (marks == nullptr || kept == nullptr || decoded == nullptr) {
        std::free(marks), std::free(kept), std::free(decoded);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const size_t width = grid.width;
    for (size_t r = 2; r <= grid.last_centre; ++r) {
        for (size_t c = 1; c + 1 < width; ++c) {
            const size_t centre = r * width + c;
            const float xc = decoded[3 * centre], zc = decoded[3 * centre + 2];
            if (!(std::fabs(zc) > kNoMeasurementDepth && marks[centre] == 0)) continue;
            const float tolerance = ToleranceOf(k, zc);
            uint8_t flags[kWindowPixels];
            int count = 0;
            for (int i = 0; i < kWindowPixels; ++i) {
                const size_t n = (r + i / kWindowColumns - 2) * width + (c + i % kWindowColumns - 1);
                const float d = std::fabs(xc - decoded[3 * n]) + std::fabs(zc - decoded[3 * n + 2]);
                flags[i] = tolerance > d ? 1 : 0;
                count += flags[i];
            }
            if (count < kMinAgreeingPixels) continue;
            for (int i = 0; i < kWindowPixels; ++i) {
                const size_t n = (r + i / kWindowColumns - 2) * width + (c + i % kWindowColumns - 1);
                marks[n] = flags[i];
                if (flags[i]) std::memcpy(kept + 3 * n, decoded + 3 * n, 3 * sizeof(float));
            }
        }
    }
    const float unit = static_cast<float>(frame.cloud_unit);
    for (size_t n = 0; n < grid.stored; ++n) WriteBackPoint(frame.data, n, unit, kept + 3 * n);
    std::free(marks), std::free(kept), std::free(decoded);
    return TAVI_OK;
}

namespace {

// Per point: bit 0 = marked by the last accepted window that covered it, bit 1 = kept.
constexpr uint8_t kMarked = 1;
constexpr uint8_t kKept = 2;

// The window reads X and Z only; they live in two planes so that a window row is three adjacent
// floats, read as one vector of four (the fourth lane is ignored, so the planes carry padding).
constexpr size_t kPlanePadding = 4;
constexpr size_t kChunkPoints = 2048;

typedef float Floats4 __attribute__((vector_size(16)));
typedef int32_t Ints4 __attribute__((vector_size(16)));

Floats4 Abs(Floats4 value) {
    Ints4 bits;
    std::memcpy(&bits, &value, sizeof bits);
    bits &= 0x7FFFFFFF;
    std::memcpy(&value, &bits, sizeof bits);
    return value;
}

struct Planes {
    float* x = nullptr;
    float* z = nullptr;
    uint8_t* states = nullptr;
    bool Allocate(size_t points) {
        x = static_cast<float*>(std::malloc((points + kPlanePadding) * sizeof(float)));
        z = static_cast<float*>(std::malloc((points + kPlanePadding) * sizeof(float)));
        states = static_cast<uint8_t*>(std::calloc(points, 1));
        return x != nullptr && z != nullptr && states != nullptr;
    }
    ~Planes() { std::free(x), std::free(z), std::free(states); }
};

// Decoded X and Z of every point of the working grid; points past the payload and the padding are 0.
void FillPlanes(const PhotoInfo& frame, const FilterGrid& grid, Planes& planes) {
    const size_t decodable = std::min(grid.stored, grid.points());
    SplitAcrossCores(decodable, [&](size_t begin, size_t end) {
        float chunk[kChunkPoints * 3];
        for (size_t first = begin; first < end; first += kChunkPoints) {
            const size_t count = std::min(kChunkPoints, end - first);
            DecodePointsOnThisCore(frame.data + first * kRawPointBytes, count, frame.cloud_unit, chunk);
            for (size_t i = 0; i < count; ++i) {
                planes.x[first + i] = chunk[3 * i];
                planes.z[first + i] = chunk[3 * i + 2];
            }
        }
    });
    const size_t rest = grid.points() + kPlanePadding - decodable;
    std::memset(planes.x + decodable, 0, rest * sizeof(float));
    std::memset(planes.z + decodable, 0, rest * sizeof(float));
}

// The agreeing pixels of a window as 15 bits, row by row, left to right. `x_rows[i]` and `z_rows[i]`
// point at window row i, column c - 1.
uint32_t AgreeingPixels(const float* const x_rows[kWindowRows], const float* const z_rows[kWindowRows],
                        float xc, float zc, float tolerance) {
    const Floats4 centre_x = {xc, xc, xc, xc}, centre_z = {zc, zc, zc, zc};
    const Floats4 limit = {tolerance, tolerance, tolerance, tolerance};
    const Ints4 lane_bits = {1, 2, 4, 0};
    uint32_t agreeing = 0;
    for (int row = 0; row < kWindowRows; ++row) {
        Floats4 xs, zs;
        std::memcpy(&xs, x_rows[row], sizeof xs);
        std::memcpy(&zs, z_rows[row], sizeof zs);
        const Ints4 bits = (limit > Abs(centre_x - xs) + Abs(centre_z - zs)) & lane_bits;
        agreeing |= static_cast<uint32_t>(bits[0] | bits[1] | bits[2]) << (kWindowColumns * row);
    }
    return agreeing;
}

void ApplyWindow(uint32_t agreeing, uint8_t* const state_rows[kWindowRows]) {
    for (int row = 0; row < kWindowRows; ++row) {
        for (int column = 0; column < kWindowColumns; ++column) {
            uint8_t& state = state_rows[row][column];
            const bool agrees = (agreeing >> (row * kWindowColumns + column)) & 1;
            state = agrees ? (kMarked | kKept) : (state & kKept);
        }
    }
}

void VisitCentres(const FilterGrid& grid, Planes& planes, double k) {
    const size_t width = grid.width;
    for (size_t r = 2; r <= grid.last_centre; ++r) {
        const size_t centre_row = r * width;
        for (size_t c = 1; c + 1 < width; ++c) {
            const float zc = planes.z[centre_row + c];
            if ((planes.states[centre_row + c] & kMarked) || !HasMeasurement(zc)) continue;
            const float* x_rows[kWindowRows];
            const float* z_rows[kWindowRows];
            uint8_t* state_rows[kWindowRows];
            for (int i = 0; i < kWindowRows; ++i) {
                const size_t first = (r - 2 + i) * width + c - 1;
                x_rows[i] = planes.x + first, z_rows[i] = planes.z + first,
                state_rows[i] = planes.states + first;
            }
            const uint32_t agreeing =
                AgreeingPixels(x_rows, z_rows, planes.x[centre_row + c], zc, ToleranceOf(k, zc));
            if (std::popcount(agreeing) >= kMinAgreeingPixels) ApplyWindow(agreeing, state_rows);
        }
    }
}

// Kept points are written back with the write-back rule, the others cleared.
void WriteBackKept(PhotoInfo& frame, const uint8_t* states, size_t stored) {
    SplitAcrossCores(stored, [&](size_t begin, size_t end) {
        for (size_t first = begin; first < end; first += kChunkPoints) {
            const size_t count = std::min(kChunkPoints, end - first);
            for (size_t n = first; n < first + count; ++n) {
                if (!(states[n] & kKept)) ClearRawPoint(frame.data, n);
            }
            RequantisePoints(frame.data + first * kRawPointBytes, count, frame.cloud_unit);
        }
    });
}

}  // namespace

int WindowFilter(PhotoInfo& frame, double k) {
    const FilterGrid grid = GridOf(frame);
    if (!grid.has_centres) {
        ClearAllPoints(frame, grid.stored);
        return TAVI_OK;
    }
    Planes planes;
    if (!planes.Allocate(grid.points())) return TAVI_ERR_INVALID_ARGUMENT;
    FillPlanes(frame, grid, planes);
    VisitCentres(grid, planes, k);
    WriteBackKept(frame, planes.states, grid.stored);
    return TAVI_OK;
}

}  // namespace tavi

void GigeCamera::FilterPointCloud(PhotoInfo& frame, double k) {
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (!tavi::IsCloudFrame(checked)) {
        TAVI_LOG_ERROR(
            &log,
            "[function:FilterPointCloud] Failed to filter point cloud data due to the pixel_format "
            "error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return;
    }
    if (tavi::WindowFilter(*checked, k) != TAVI_OK) {
        TAVI_LOG_ERROR(&log,
                       "[function:FilterPointCloud] Failed to allocate the working memory, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
    }
}
