// The region of interest of the sensor behind a stream channel: every value is checked against the
// sensor's limits before the first write, and the first refused one is the one reported.

#include <cstdint>

#include "TaviSDK/GigeCamera.h"
#include "camera/feature_access.h"

namespace {

using tavi::FeatureOffset;

// One side of the region: its size and offset features, the sensor's limit, the messages.
struct RoiAxis {
    const char* size_node;
    const char* offset_node;
    const char* limit_node;  // the sensor's largest size
    const char* limit_failure;
    const char* size_refused;
    const char* offset_refused;
    const char* size_write_failure;
    const char* offset_write_failure;
};

constexpr RoiAxis kHorizontal{
    "Width",
    "OffsetX",
    "MWOP",
    "[function:SetRoi] Failed to read maxvalue_width register. error code: %x.",
    "[function:SetRoi] The value x is illegal. channel_index: %d.",
    "[function:SetRoi] The value offset-x is illegal. channel_index: %d.",
    "[function:SetRoi] Failed to set the value of x of roi. channel_index: %d, error code: %x.",
    "[function:SetRoi] Failed to set the offset value of x of roi. channel_index: %d, error "
    "code: %x."};
constexpr RoiAxis kVertical{
    "Height",
    "OffsetY",
    "MHOP",
    "[function:SetRoi] Failed to read maxvalue_height register. error code: %x.",
    "[function:SetRoi] The value y is illegal. channel_index: %d.",
    "[function:SetRoi] The value offset-y is illegal. channel_index: %d.",
    "[function:SetRoi] Failed to set the value of y of roi. channel_index: %d, error code: %x.",
    "[function:SetRoi] Failed to set the offset value of y of roi. channel_index: %d, error "
    "code: %x."};

// A value on the node's increment grid, at or above its minimum and at or below `max`. The
// increment is never 0; 64-bit arithmetic keeps a hostile limit from overflowing.
bool OnGrid(GigeCamera& camera, const char* node, int64_t value, int64_t max) {
    const int64_t increment = camera.GetNodeIncValue(node);
    const int64_t min = camera.GetNodeMinValue(node);
    return value % increment == 0 && value >= min && value <= max;
}

// Reads the sensor's limit for one axis and checks the size against it; 0, -25 or the read's code.
int CheckSize(GigeCamera& camera, const RoiAxis& axis, int channel_index, uint32_t cmos, int size,
              int* limit) {
    // The increment and minimum are asked for before the limit is read, as the camera has always
    // seen it.
    const int64_t increment = camera.GetNodeIncValue(axis.size_node);
    const int64_t min = camera.GetNodeMinValue(axis.size_node);
    const int code = tavi::ReadFeature(camera, {axis.limit_node, FeatureOffset::kSensor, cmos}, limit);
    if (code != 0) {
        TAVI_LOG_ERROR(&camera.log, axis.limit_failure, code);
        return code;
    }
    if (size % increment != 0 || size < min || size > *limit) {
        TAVI_LOG_ERROR(&camera.log, axis.size_refused, channel_index);
        return TAVI_ERR_ROI_RANGE;
    }
    return 0;
}

int CheckOffset(GigeCamera& camera, const RoiAxis& axis, int channel_index, int offset, int size, int limit) {
    if (!OnGrid(camera, axis.offset_node, offset, static_cast<int64_t>(limit) - size)) {
        TAVI_LOG_ERROR(&camera.log, axis.offset_refused, channel_index);
        return TAVI_ERR_ROI_RANGE;
    }
    return 0;
}

int WriteRoiValue(GigeCamera& camera, const char* node, uint32_t cmos, int value, const char* failure,
                  int channel_index) {
    const int code = tavi::WriteFeature(camera, {node, FeatureOffset::kSensor, cmos}, value);
    if (code != 0) TAVI_LOG_ERROR(&camera.log, failure, channel_index, code);
    return code;
}

}  // namespace

int GigeCamera::SetRoi(int channel_index, int width, int height, int offset_x, int offset_y) {
    if (connected.load() == 0) {
        TAVI_LOG_ERROR(&log, "[function:SetRoi] The camera disconnected.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    int cmos_value = 0;
    int code = tavi::ReadFeature(
        *this, {"CmosIndex", FeatureOffset::kChannel, static_cast<uint32_t>(channel_index)}, &cmos_value);
    if (code != 0) {
        TAVI_LOG_ERROR(&log, "[function:SetRoi] Failed to read the_cmos_number register. error code: %x.",
                       code);
        return code;
    }
    // The sensor index comes from the camera and is used as it reads.
    const auto cmos = static_cast<uint32_t>(cmos_value);
    int max_width = 0;
    int max_height = 0;
    if ((code = CheckSize(*this, kHorizontal, channel_index, cmos, width, &max_width)) != 0) return code;
    if ((code = CheckSize(*this, kVertical, channel_index, cmos, height, &max_height)) != 0) return code;
    if ((code = CheckOffset(*this, kHorizontal, channel_index, offset_x, width, max_width)) != 0) return code;
    if ((code = CheckOffset(*this, kVertical, channel_index, offset_y, height, max_height)) != 0) return code;

    // Written in this order; a failure leaves the earlier writes in effect.
    if ((code = WriteRoiValue(*this, kHorizontal.size_node, cmos, width, kHorizontal.size_write_failure,
                              channel_index)) != 0 ||
        (code = WriteRoiValue(*this, kVertical.size_node, cmos, height, kVertical.size_write_failure,
                              channel_index)) != 0 ||
        (code = WriteRoiValue(*this, kHorizontal.offset_node, cmos, offset_x,
                              kHorizontal.offset_write_failure, channel_index)) != 0 ||
        (code = WriteRoiValue(*this, kVertical.offset_node, cmos, offset_y, kVertical.offset_write_failure,
                              channel_index)) != 0) {
        return code;
    }
    return 0;
}
