#include "processing/grid_filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_write_back.h"
#include "processing/core_split.h"

namespace tavi {
namespace {

// Half the depth range, from the running minimum and maximum of every point's depth (valid or not).
// A range that is no finite 32-bit integer (only a cloud unit of 0 gets there) counts as 0.
int32_t HalfDepthRange(const float* decoded, size_t count) {
    float low = 0.0f, high = 0.0f;
    for (size_t n = 0; n < count; ++n) {
        const float z = decoded[3 * n + 2];
        if (low > z) {
            low = z;
        } else {
            high = std::max(z, high);
        }
    }
    const double half = (high - low) * 0.5;
    if (!(std::fabs(half) < 2147483648.0)) return 0;
    return static_cast<int32_t>(half);
}

struct GridShape {
    int32_t half_range = 0;  // h
    int64_t cells = 0;       // C per axis
};

// Cell index along one axis: trunc(q) where q = (offset + value) / 30, or -1 outside [0, C).
// trunc() takes q in (-1, 0) to cell 0, so points a little below the grid's low edge still count.
int64_t CellIndex(float offset, float value, int64_t cells) {
    const float q = (offset + value) / kGridCellEdge;
    if (!(q > -1.0f && q < static_cast<float>(cells))) return -1;
    const auto index = static_cast<int64_t>(q);
    return index < cells ? index : -1;
}

// The cell of a point as one number, or -1 when the point lies outside the grid.
int64_t CellKey(const float* point, const GridShape& shape) {
    const float offset = static_cast<float>(shape.half_range);
    const int64_t ix = CellIndex(offset, point[0], shape.cells);
    const int64_t iy = CellIndex(offset, point[1], shape.cells);
    const int64_t iz = CellIndex(0.0f, point[2], shape.cells);
    if (ix < 0 || iy < 0 || iz < 0) return -1;
    return (ix * shape.cells + iy) * shape.cells + iz;
}

float* DecodedCopy(const PhotoInfo& frame, size_t stored) {
    auto* decoded = static_cast<float*>(std::malloc((stored * kDecodedPointFloats + 1) * sizeof(float)));
    if (decoded == nullptr) return nullptr;
    DecodePointsReference(frame.data, stored, frame.cloud_unit, decoded);
    return decoded;
}

}  // namespace

int GridFilterReference(PhotoInfo& frame, int min_population) {
    const size_t stored = ExtentOf(frame).stored;
    float* decoded = DecodedCopy(frame, stored);
    if (decoded == nullptr) return TAVI_ERR_INVALID_ARGUMENT;
    const int32_t h = HalfDepthRange(decoded, stored);
    const int64_t c = (2 * static_cast<int64_t>(h)) / 30;
    const size_t cells = static_cast<size_t>(c * c * c);
    auto* counts = static_cast<int32_t*>(std::calloc(cells + 1, sizeof(int32_t)));
    auto* sparse = static_cast<int32_t*>(std::calloc(cells + 1, sizeof(int32_t)));
    if (counts == nullptr || sparse == nullptr) {
        std::free(decoded), std::free(counts), std::free(sparse);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    auto cell_of = [&](const float* p, int64_t& ix, int64_t& iy, int64_t& iz) {
        const float tx = std::trunc((static_cast<float>(h) + p[0]) / 30.0f);
        const float ty = std::trunc((static_cast<float>(h) + p[1]) / 30.0f);
        const float tz = std::trunc(p[2] / 30.0f);
        auto inside = [&](float t) { return t >= 0.0f && t < static_cast<float>(c); };
        if (!(inside(tx) && inside(ty) && inside(tz))) return false;
        ix = static_cast<int64_t>(tx), iy = static_cast<int64_t>(ty), iz = static_cast<int64_t>(tz);
        return true;
    };
    if (min_population >= 1) {
        int64_t ix, iy, iz;
        for (size_t n = 0; n < stored; ++n) {
            float* p = decoded + 3 * n;
            if (!(std::fabs(p[2]) > kNoMeasurementDepth)) continue;
            if (!cell_of(p, ix, iy, iz)) {
                p[0] = p[1] = p[2] = 0.0f;
                continue;
            }
            counts[(ix * c + iy) * c + iz] += 1;
        }
        for (size_t cell = 0; cell < cells; ++cell)
            sparse[cell] = counts[cell] >= 1 && counts[cell] < min_population;
        for (size_t n = 0; n < stored; ++n) {
            float* p = decoded + 3 * n;
            if (!(std::fabs(p[2]) > kNoMeasurementDepth)) continue;
            if (!cell_of(p, ix, iy, iz) || sparse[(ix * c + iy) * c + iz] == 1) p[0] = p[1] = p[2] = 0.0f;
        }
    }
    const float unit = static_cast<float>(frame.cloud_unit);
    for (size_t n = 0; n < stored; ++n) WriteBackPoint(frame.data, n, unit, decoded + 3 * n);
    std::free(decoded), std::free(counts), std::free(sparse);
    return TAVI_OK;
}

namespace {

// Population of the occupied cells: open addressing over the cell keys, each new cell getting the next
// id. Ids stay put when the table grows, so a point's id found in the counting pass serves the removal
// pass without a second look-up.
class CellPopulation {
  public:
    static constexpr uint32_t kNoCell = 0xFFFFFFFF;

    uint32_t Add(uint64_t key) {
        if ((populations_.size() + 1) * 2 > slots_.size()) Grow();
        size_t slot = SlotOf(key);
        while (slots_[slot].id != kNoCell) {
            if (slots_[slot].key == key) {
                populations_[slots_[slot].id] += 1;
                return slots_[slot].id;
            }
            slot = (slot + 1) & mask_;
        }
        const auto id = static_cast<uint32_t>(populations_.size());
        slots_[slot] = {key, id};
        populations_.push_back(1);
        return id;
    }

    uint32_t Population(uint32_t id) const { return populations_[id]; }

  private:
    struct Slot {
        uint64_t key;
        uint32_t id;
    };

    size_t SlotOf(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }

    void Grow() {
        const size_t capacity = slots_.empty() ? 1024 : slots_.size() * 2;
        std::vector<Slot> old(capacity, Slot{0, kNoCell});
        old.swap(slots_);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (const Slot& entry : old) {
            if (entry.id == kNoCell) continue;
            size_t slot = SlotOf(entry.key);
            while (slots_[slot].id != kNoCell) slot = (slot + 1) & mask_;
            slots_[slot] = entry;
        }
    }

    std::vector<Slot> slots_;
    std::vector<uint32_t> populations_;
    size_t mask_ = 0;
    int shift_ = 64;
};

// What the counting pass found for each point.
constexpr uint32_t kUnmeasured = 0xFFFFFFFF;  // no measurement: kept as it is
constexpr uint32_t kOutside = 0xFFFFFFFE;     // outside the grid: removed

constexpr size_t kChunkPoints = 2048;

// For a cloud unit above 0 every depth is raw Z / unit >= 0, so the running minimum stays 0 and the
// maximum is the largest raw Z divided by the unit (division by a positive number keeps the order).
GridShape ShapeOfPositiveUnitCloud(const uint8_t* raw, size_t stored, uint32_t cloud_unit) {
    uint16_t deepest = 0;
    for (size_t n = 0; n < stored; ++n) deepest = std::max(deepest, RawWord(raw, n, 2));
    const float deepest_depth = static_cast<float>(deepest) / static_cast<float>(cloud_unit);
    GridShape shape;
    shape.half_range = static_cast<int32_t>(deepest_depth * 0.5);
    shape.cells = (2 * static_cast<int64_t>(shape.half_range)) / 30;
    return shape;
}

void CountCells(const uint8_t* raw, size_t stored, uint32_t cloud_unit, const GridShape& shape,
                CellPopulation& population, uint32_t* cell_ids) {
    int64_t last_key = -1;
    uint32_t last_id = 0;
    float chunk[kChunkPoints * 3];
    for (size_t first = 0; first < stored; first += kChunkPoints) {
        const size_t count = std::min(kChunkPoints, stored - first);
        DecodePointsOnThisCore(raw + first * kRawPointBytes, count, cloud_unit, chunk);
        for (size_t i = 0; i < count; ++i) {
            const float* p = chunk + 3 * i;
            uint32_t& id = cell_ids[first + i];
            if (!HasMeasurement(p[2])) {
                id = kUnmeasured;
                continue;
            }
            const int64_t key = CellKey(p, shape);
            if (key < 0) {
                id = kOutside;
            } else if (key == last_key) {
                // Neighbouring pixels mostly share a cell: count it without a new slot search.
                id = last_id;
                population.Add(static_cast<uint64_t>(key));
            } else {
                last_id = id = population.Add(static_cast<uint64_t>(key));
                last_key = key;
            }
        }
    }
}

// Removed points are cleared, the others written back with the write-back rule.
void WriteBackSurvivors(PhotoInfo& frame, const uint32_t* cell_ids, size_t stored,
                        const CellPopulation& population, uint32_t needed) {
    SplitAcrossCores(stored, [&](size_t begin, size_t end) {
        for (size_t first = begin; first < end; first += kChunkPoints) {
            const size_t count = std::min(kChunkPoints, end - first);
            for (size_t n = first; n < first + count; ++n) {
                const uint32_t id = cell_ids[n];
                if (id == kOutside || (id != kUnmeasured && population.Population(id) < needed)) {
                    ClearRawPoint(frame.data, n);
                }
            }
            RequantisePoints(frame.data + first * kRawPointBytes, count, frame.cloud_unit);
        }
    });
}

}  // namespace

int GridFilter(PhotoInfo& frame, int min_population) {
    const size_t stored = ExtentOf(frame).stored;
    if (frame.cloud_unit == 0) {
        // Every decoded value is infinite or NaN: whatever the grid, the write-back rule gives 0.
        std::memset(frame.data, 0, stored * kRawPointBytes);
        return TAVI_OK;
    }
    if (min_population < 1) {
        SplitAcrossCores(stored, [&](size_t begin, size_t end) {
            RequantisePoints(frame.data + begin * kRawPointBytes, end - begin, frame.cloud_unit);
        });
        return TAVI_OK;
    }
    auto* cell_ids = static_cast<uint32_t*>(std::malloc((stored + 1) * sizeof(uint32_t)));
    if (cell_ids == nullptr) return TAVI_ERR_INVALID_ARGUMENT;
    try {
        CellPopulation population;
        const GridShape shape = ShapeOfPositiveUnitCloud(frame.data, stored, frame.cloud_unit);
        CountCells(frame.data, stored, frame.cloud_unit, shape, population, cell_ids);
        WriteBackSurvivors(frame, cell_ids, stored, population, static_cast<uint32_t>(min_population));
    } catch (const std::bad_alloc&) {
        std::free(cell_ids);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    std::free(cell_ids);
    return TAVI_OK;
}

}  // namespace tavi

int GigeCamera::SpatialFilterPointcloud(PhotoInfo& frame, int min_population) {
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (!tavi::IsCloudFrame(checked)) {
        TAVI_LOG_ERROR(&log,
                       "[function:SpatialFilterPointcloud] Failed to filter point cloud data due to the "
                       "pixel_format error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const int result = tavi::GridFilter(*checked, min_population);
    if (result != TAVI_OK) {
        TAVI_LOG_ERROR(
            &log, "[function:SpatialFilterPointcloud] Failed to allocate the working memory, error code: %d",
            result);
    }
    return result;
}
