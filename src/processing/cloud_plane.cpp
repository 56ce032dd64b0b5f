#include "processing/cloud_plane.h"

#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/core_split.h"

namespace tavi {
namespace {

short NetworkOrder(uint16_t value) {
    return static_cast<short>(static_cast<uint16_t>((value >> 8) | (value << 8)));
}

short PlaneSample(float unit, float decoded) { return NetworkOrder(QuantiseToRaw(unit, decoded)); }

// The three public plane operations differ only in their axis and their log line.
struct PlaneOperation {
    int axis;
    const char* failure_message;
};

constexpr PlaneOperation kPlaneOperations[3] = {
    {0,
     "[function:GetCloudPlaneX] Failed to get the plane X of cloud due to the incoming parameters error, "
     "error code: %d"},
    {1,
     "[function:GetCloudPlaneY] Failed to get the plane Y of cloud due to the incoming parameters error, "
     "error code: %d"},
    {2,
     "[function:GetCloudPlaneZ] Failed to get the plane Z of cloud due to the incoming parameters error, "
     "error code: %d"},
};

}  // namespace

int ExtractPlaneReference(const PhotoInfo& frame, short* plane, int axis) {
    const CloudExtent extent = ExtentOf(frame);
    auto* decoded = static_cast<float*>(std::calloc(extent.points * kDecodedPointFloats + 1, sizeof(float)));
    if (decoded == nullptr) return TAVI_ERR_INVALID_ARGUMENT;
    DecodePointsReference(frame.data, extent.stored, frame.cloud_unit, decoded);
    std::memset(plane, 0, extent.points * sizeof(short));
    const float unit = static_cast<float>(frame.cloud_unit);
    for (size_t n = 0; n < extent.points; ++n) plane[n] = PlaneSample(unit, decoded[3 * n + axis]);
    std::free(decoded);
    return TAVI_OK;
}

void ExtractPlane(const PhotoInfo& frame, short* plane, int axis) {
    const CloudExtent extent = ExtentOf(frame);
    const float unit = static_cast<float>(frame.cloud_unit);
    const uint8_t* raw = frame.data;
    SplitAcrossCores(extent.stored, [&](size_t begin, size_t end) {
        for (size_t n = begin; n < end; ++n) {
            plane[n] = PlaneSample(unit, static_cast<float>(RawCoordinate(raw, n, axis)) / unit);
        }
    });
    std::memset(plane + extent.stored, 0, (extent.points - extent.stored) * sizeof(short));
}

int CloudPlane(cameralog* log, const PhotoInfo* frame, short* plane, int axis) {
    if (!IsCloudFrame(frame) || plane == nullptr || axis < 0 || axis > 2) {
        TAVI_LOG_ERROR(
            log,
            "[function:GetCloudPlane] Failed to get the plane of cloud due to the incoming parameters "
            "error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    ExtractPlane(*frame, plane, axis);
    return TAVI_OK;
}

int CloudPlaneOfAxis(cameralog* log, const PhotoInfo* frame, short* plane, int axis) {
    const PlaneOperation& operation = kPlaneOperations[axis];
    if (!IsCloudFrame(frame) || plane == nullptr) {
        TAVI_LOG_ERROR(log, operation.failure_message, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    CloudPlane(log, frame, plane, operation.axis);  // its own checks have passed already
    return TAVI_OK;
}

}  // namespace tavi

int GigeCamera::GetCloudPlane(PhotoInfo& frame, short* plane, int axis) {
    return tavi::CloudPlane(&log, tavi::FrameAddress(frame), plane, axis);
}

int GigeCamera::GetCloudPlaneX(PhotoInfo& frame, short* plane) {
    return tavi::CloudPlaneOfAxis(&log, tavi::FrameAddress(frame), plane, 0);
}
int GigeCamera::GetCloudPlaneY(PhotoInfo& frame, short* plane) {
    return tavi::CloudPlaneOfAxis(&log, tavi::FrameAddress(frame), plane, 1);
}
int GigeCamera::GetCloudPlaneZ(PhotoInfo& frame, short* plane) {
    return tavi::CloudPlaneOfAxis(&log, tavi::FrameAddress(frame), plane, 2);
}
