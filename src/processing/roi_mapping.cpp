// Carries a rectangle marked in one sensor's image over to another sensor's image through the depth
// data: every cloud point is projected into both images, giving for each source pixel the target
// pixel that sees the same point.

#include "processing/roi_mapping.h"

#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/image_frame.h"
#include "processing/morphology.h"
#include "processing/projection.h"

namespace tavi {
namespace {

struct Landing {
    float u;
    float v;
};

Landing LandingOf(const SensorModel& model, const float* point) {
    Landing landing;
    ProjectToImage(model, point[0], point[1], point[2], &landing.u, &landing.v);
    return landing;
}

bool Hits(const Landing& landing, const PhotoInfo& image) {
    return HitsImage(landing.u, landing.v, static_cast<float>(image.width), static_cast<float>(image.height));
}

}  // namespace

// The source-to-target table; a later point overwrites an earlier one. A hit at source pixel (v, u)
// is filed under (v - 1, u - 1), as the camera's mapping has always done.
void FillMappingTable(const float* xyz, size_t points, const SensorModel& source_model,
                      const SensorModel& target_model, const PhotoInfo& source, const PhotoInfo& target,
                      TargetPixel* table) {
    for (size_t n = 0; n < points; ++n) {
        const Landing at_source = LandingOf(source_model, xyz + 3 * n);
        const Landing at_target = LandingOf(target_model, xyz + 3 * n);
        if (!Hits(at_target, target) || !Hits(at_source, source)) continue;
        const size_t source_row = static_cast<size_t>(static_cast<int32_t>(at_source.v)) - 1;
        const size_t source_column = static_cast<size_t>(static_cast<int32_t>(at_source.u)) - 1;
        table[source_row * source.width + source_column] = {static_cast<int32_t>(at_target.u),
                                                            static_cast<int32_t>(at_target.v)};
    }
}

namespace {

// The rectangle's half-open column or row range, clipped to [0, size).
void ClippedRange(int32_t offset, int32_t length, uint32_t size, size_t* begin, size_t* end) {
    const int64_t first = offset < 0 ? 0 : offset;
    int64_t last = static_cast<int64_t>(offset) + length;
    if (last > static_cast<int64_t>(size)) last = size;
    *begin = static_cast<size_t>(first);
    *end = last > first ? static_cast<size_t>(last) : *begin;
}

}  // namespace

void MarkRectangle(const TargetPixel* table, const PhotoInfo& source, const RoiPoint& rect,
                   const PhotoInfo& target, int* mask) {
    size_t row_begin, row_end, column_begin, column_end;
    ClippedRange(rect.offset_y, rect.height, source.height, &row_begin, &row_end);
    ClippedRange(rect.offset_x, rect.width, source.width, &column_begin, &column_end);
    for (size_t r = row_begin; r < row_end; ++r) {
        for (size_t q = column_begin; q < column_end; ++q) {
            const TargetPixel& entry = table[r * source.width + q];
            if (entry.row != 0)
                mask[static_cast<size_t>(entry.row) * target.width + static_cast<size_t>(entry.column)] =
                    kMarked;
        }
    }
}

}  // namespace tavi

int GigeCamera::ROIPixelMapping(PhotoInfo& cloud, PhotoInfo& source, PhotoInfo& target, RoiPoint& rect,
                                int* target_mask) {
    const PhotoInfo* cloud_frame = tavi::FrameAddress(cloud);
    const PhotoInfo* source_frame = tavi::FrameAddress(source);
    const PhotoInfo* target_frame = tavi::FrameAddress(target);
    const RoiPoint* rectangle = tavi::ReferencedAddress(rect);
    if (!tavi::IsCloudFrame(cloud_frame) || source_frame == nullptr || target_frame == nullptr ||
        rectangle == nullptr || target_mask == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:ROIPixelMapping] the incoming parameters error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    int code = TAVI_OK;
    const CmosCalibration* cloud_sensor =
        CalibrationOfChannel("ROIPixelMapping", cloud_frame->channel_index, &code);
    if (cloud_sensor == nullptr) return code;
    const CmosCalibration* source_sensor =
        CalibrationOfChannel("ROIPixelMapping", source_frame->channel_index, &code);
    if (source_sensor == nullptr) return code;
    const CmosCalibration* target_sensor =
        CalibrationOfChannel("ROIPixelMapping", target_frame->channel_index, &code);
    if (target_sensor == nullptr) return code;
    // The cloud's sensor must have a readable CmosIndex and a record like the other two, or the call
    // fails above; its record itself is not used, as the points are projected straight into the
    // source and the target image with those sensors' records, whichever sensors they are.

    const size_t points = tavi::ExtentOf(*cloud_frame).points;
    const size_t source_pixels = tavi::PixelCount(*source_frame);
    auto* xyz = static_cast<float*>(std::malloc(points * tavi::kDecodedPointFloats * sizeof(float) + 1));
    auto* table = static_cast<tavi::TargetPixel*>(std::calloc(source_pixels + 1, sizeof(tavi::TargetPixel)));
    if (xyz == nullptr || table == nullptr) {
        std::free(xyz);
        std::free(table);
        TAVI_LOG_ERROR(&log, "[function:ROIPixelMapping] malloc mapping failed, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    tavi::DecodeFrame(*cloud_frame, xyz);
    // The mapping works on full sensor grids: region offsets are not applied.
    const tavi::SensorModel source_model = tavi::ModelOf(*source_sensor, 0.0f, 0.0f);
    const tavi::SensorModel target_model = tavi::ModelOf(*target_sensor, 0.0f, 0.0f);
    tavi::FillMappingTable(xyz, points, source_model, target_model, *source_frame, *target_frame, table);
    tavi::MarkRectangle(table, *source_frame, *rectangle, *target_frame, target_mask);
    std::free(xyz);
    std::free(table);
    return TAVI_OK;
}
