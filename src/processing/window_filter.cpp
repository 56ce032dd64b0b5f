#include "processing/window_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
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

float* DecodedCopy(const PhotoInfo& frame, const FilterGrid& grid, bool reference) {
    auto* decoded =
        static_cast<float*>(std::malloc((grid.points() * kDecodedPointFloats + 1) * sizeof(float)));
    if (decoded == nullptr) return nullptr;
    const size_t decodable = std::min(grid.stored, grid.points());
    if (reference) {
        DecodePointsReference(frame.data, decodable, frame.cloud_unit, decoded);
    } else {
        DecodePoints(frame.data, decodable, frame.cloud_unit, decoded);
    }
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
    float* decoded = DecodedCopy(frame, grid, true);
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

// Evaluates the window of one centre and, when it is accepted, applies it to the state bytes.
// `rows[i]` points at the decoded row r - 2 + i, already offset to column c - 1.
void ApplyWindow(const float* const rows[kWindowRows], uint8_t* const states[kWindowRows], float xc, float zc,
                 float tolerance) {
    uint8_t flags[kWindowPixels];
    int count = 0;
    for (int row = 0; row < kWindowRows; ++row) {
        for (int column = 0; column < kWindowColumns; ++column) {
            const float* point = rows[row] + 3 * column;
            const float d = std::fabs(xc - point[0]) + std::fabs(zc - point[2]);
            const uint8_t flag = tolerance > d;
            flags[row * kWindowColumns + column] = flag;
            count += flag;
        }
    }
    if (count < kMinAgreeingPixels) return;
    for (int row = 0; row < kWindowRows; ++row) {
        for (int column = 0; column < kWindowColumns; ++column) {
            uint8_t& state = states[row][column];
            state = flags[row * kWindowColumns + column] ? (kMarked | kKept) : (state & kKept);
        }
    }
}

}  // namespace

int WindowFilter(PhotoInfo& frame, double k) {
    const FilterGrid grid = GridOf(frame);
    if (!grid.has_centres) {
        ClearAllPoints(frame, grid.stored);
        return TAVI_OK;
    }
    auto* states = static_cast<uint8_t*>(std::calloc(grid.points(), 1));
    float* decoded = DecodedCopy(frame, grid, false);
    if (states == nullptr || decoded == nullptr) {
        std::free(states), std::free(decoded);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const size_t width = grid.width;
    for (size_t r = 2; r <= grid.last_centre; ++r) {
        const float* rows[kWindowRows];
        uint8_t* state_rows[kWindowRows];
        for (int i = 0; i < kWindowRows; ++i) {
            rows[i] = decoded + 3 * (r - 2 + i) * width;
            state_rows[i] = states + (r - 2 + i) * width;
        }
        const float* centre_row = rows[2];
        for (size_t c = 1; c + 1 < width; ++c) {
            const float zc = centre_row[3 * c + 2];
            if ((state_rows[2][c] & kMarked) || !HasMeasurement(zc)) continue;
            const float* window_rows[kWindowRows];
            uint8_t* window_states[kWindowRows];
            for (int i = 0; i < kWindowRows; ++i) {
                window_rows[i] = rows[i] + 3 * (c - 1);
                window_states[i] = state_rows[i] + (c - 1);
            }
            ApplyWindow(window_rows, window_states, centre_row[3 * c], zc, ToleranceOf(k, zc));
        }
    }
    const float unit = static_cast<float>(frame.cloud_unit);
    SplitAcrossCores(grid.stored, [&](size_t begin, size_t end) {
        for (size_t n = begin; n < end; ++n) {
            if (n < grid.points() && (states[n] & kKept)) {
                WriteBackPoint(frame.data, n, unit, decoded + 3 * n);
            } else {
                ClearRawPoint(frame.data, n);
            }
        }
    });
    std::free(states), std::free(decoded);
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
