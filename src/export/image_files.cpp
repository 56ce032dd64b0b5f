// The camera's image-file operations: BMP by pixel format, depth and cloud planes as 16-bit PNG.

#include "export/image_files.h"

#include <cstdio>
#include <cstdlib>

#include "TaviSDK/GigeCamera.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_plane.h"
#include "processing/colour_conversion.h"
#include "processing/image_frame.h"

namespace tavi {
namespace {

struct BmpKind {
    const char* function;
    const char* what;  // the data named in the log lines
    BmpPixels pixels;
    size_t bytes_per_pixel;
};

constexpr BmpKind kGreyBmp{"SaveGrayImageToBmp", "grey", BmpPixels::kGrey, 1};
constexpr BmpKind kRgb888Bmp{"SaveRgb888ToBmp", "rgb", BmpPixels::kRgb888, 3};
constexpr BmpKind kRgb565Bmp{"SaveRgb565ToBmp", "rgb", BmpPixels::kRgb565, 2};

int SaveBmp(cameralog* log, const BmpKind& kind, const PhotoInfo* frame, const char* path) {
    if (frame == nullptr || frame->data == nullptr || path == nullptr) {
        TAVI_LOG_ERROR(
            log, "[function:%s] Failed to save %s data due to the incoming parameters error, error code: %d",
            kind.function, kind.what, TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    if (!PayloadHoldsPixels(*frame, kind.bytes_per_pixel) ||
        BmpFileSize(frame->width, frame->height, kind.pixels) == 0) {
        TAVI_LOG_ERROR(log,
                       "[function:%s] Failed to save %s data: the payload of %u bytes does not hold a %ux%u "
                       "image the file can take, error code: %d",
                       kind.function, kind.what, frame->payload_size, frame->width, frame->height,
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const int result = WriteBmpFile(path, frame->data, frame->width, frame->height, kind.pixels);
    if (result == TAVI_ERR_FILE_OPEN) {
        if (kind.pixels == BmpPixels::kRgb888) std::printf("open file error\n");
        TAVI_LOG_ERROR(log, "[function:%s] Failed to save %s data due to open the file error, error code: %d",
                       kind.function, kind.what, result);
    } else if (result != TAVI_OK) {
        TAVI_LOG_ERROR(log, "[function:%s] Failed to save %s data due to a write error, error code: %d",
                       kind.function, kind.what, result);
    }
    return result;
}

}  // namespace
}  // namespace tavi

int GigeCamera::SaveToBMP(PhotoInfo& frame, char* path) {
    struct Writer {
        uint32_t format;
        int (GigeCamera::*save)(PhotoInfo&, char*);
    };
    static constexpr Writer kWriters[] = {
        {kPixelMono8, &GigeCamera::SaveGrayImageToBmp},  {kPixelBayerRG8, &GigeCamera::SaveBayerRG8ToBmp},
        {kPixelYUV422_8, &GigeCamera::SaveYuyvRgbToBmp}, {kPixelRGB565p, &GigeCamera::SaveRgb565ToBmp},
        {kPixelRGB8, &GigeCamera::SaveRgb888ToBmp},
    };
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || checked->data == nullptr || path == nullptr) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SaveToBMP] Failed to save data due to the incoming parameters error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    for (const Writer& writer : kWriters) {
        if (writer.format == checked->pixel_format) return (this->*writer.save)(*checked, path);
    }
    TAVI_LOG_ERROR(
        &log,
        "[function:SaveToBMP] The save failed because there is no pixel format that supports the data, "
        "error code: %d",
        TAVI_ERR_NO_WRITER);
    return TAVI_ERR_NO_WRITER;
}

int GigeCamera::SaveGrayImageToBmp(PhotoInfo& frame, char* path) {
    return tavi::SaveBmp(&log, tavi::kGreyBmp, tavi::FrameAddress(frame), path);
}

int GigeCamera::SaveRgb888ToBmp(PhotoInfo& frame, char* path) {
    return tavi::SaveBmp(&log, tavi::kRgb888Bmp, tavi::FrameAddress(frame), path);
}

int GigeCamera::SaveRgb565ToBmp(PhotoInfo& frame, char* path) {
    return tavi::SaveBmp(&log, tavi::kRgb565Bmp, tavi::FrameAddress(frame), path);
}

// A frame the conversion refuses stays as it is and is not saved.
int GigeCamera::SaveBayerRG8ToBmp(PhotoInfo& frame, char* path) {
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || checked->data == nullptr || path == nullptr ||
        tavi::ConvertBayerFrame(&log, checked) != TAVI_OK) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SaveBayerRG8ToBmp] Failed to save bayerRG8 data due to the incoming parameters "
            "error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    return SaveToBMP(*checked, path);
}

int GigeCamera::SaveYuyvRgbToBmp(PhotoInfo& frame, char* path) {
    PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || checked->data == nullptr || path == nullptr ||
        tavi::ConvertYuyvFrame(&log, checked) != TAVI_OK) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SaveYuyvRgbToBmp] Failed to save yuyv data due to the incoming parameters error, "
            "error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    return SaveToBMP(*checked, path);
}

int GigeCamera::SaveDepthToPng(PhotoInfo& frame, char* path) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    if (!tavi::IsCloudFrame(checked) || path == nullptr) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SaveDepthToPng] Failed to save depth data due to the incoming parameters error, "
            "error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    auto* plane = static_cast<short*>(std::malloc(tavi::PixelCount(*checked) * sizeof(short) + 1));
    if (plane == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:SaveDepthToPng] malloc image failed.");
        return TAVI_ERR_FILE_OR_COUNT;
    }
    tavi::ExtractPlane(*checked, plane, 2);
    const int result =
        tavi::WritePng16File(&log, "SaveDepthToPng", path, reinterpret_cast<const uint8_t*>(plane),
                             checked->width, checked->height);
    std::free(plane);
    return result;
}

int GigeCamera::SaveCloudPlane(PhotoInfo& frame, short* plane, char* path) {
    const PhotoInfo* checked = tavi::FrameAddress(frame);
    if (checked == nullptr || plane == nullptr || path == nullptr) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SaveCloudPlane] Failed to save cloud plane due to the incoming parameters error, "
            "error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    return tavi::WritePng16File(&log, "SaveCloudPlane", path, reinterpret_cast<const uint8_t*>(plane),
                                checked->width, checked->height);
}
