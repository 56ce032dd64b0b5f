// The managed-caller twins of the frame functions: each input frame is a private copy of the
// caller's header and bytes, released after the operation; only what the operation writes into the
// caller's own buffers (points, planes, masks, files), or what a twin copies back, reaches the caller.
// A frame that cannot be built (null header, negative size, null data) counts as missing, like a null
// frame of the plain function.

#include <algorithm>
#include <cstring>

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"
#include "api/twin_frame.h"

using tavi::api::ImageBytes;
using tavi::api::kNoCamera;
using tavi::api::OnCamera;
using tavi::api::PrivateFrame;

namespace {

constexpr int kNothingDone = 0;
constexpr uint32_t kRgbBytes = 3;
constexpr uint32_t kFusedPixelBytes = 6;

// A twin on one input frame: missing camera or unusable frame give `missing`, otherwise the work's
// result on the private frame.
template <typename Result, typename Work>
Result OnFrame(const char* function, int index, Result missing, const PhotoInfoCSharp* header,
               const void* data, int size, Work&& work) {
    if (tavi::api::CameraAt(index) == nullptr) return missing;
    PrivateFrame frame;
    if (!frame.CopyIn(header, data, size)) return missing;
    return OnCamera(function, index, missing,
                    [&](GigeCamera& camera) { return work(camera, frame.frame()); });
}

// The frame of the mask twins: `size` zero bytes, and only the header's width and height.
bool MaskFrame(const PhotoInfoCSharp* header, int size, PrivateFrame* frame) {
    if (header == nullptr || size < 0 || !frame->Zeroed(static_cast<size_t>(size))) return false;
    frame->frame().width = header->width;
    frame->frame().height = header->height;
    return true;
}

}  // namespace

extern "C" {

// ---- point clouds --------------------------------------------------------------------------------
void Convert3DPointFromCharToFloatCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                         float* points) {
    OnFrame(__func__, index, 0, header, data, size, [&](GigeCamera& c, PhotoInfo& frame) {
        c.Convert3DPointFromCharToFloat(frame, points);
        return 0;
    });
}
void FilterPointCloudCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, double factor) {
    OnFrame(__func__, index, 0, header, data, size, [&](GigeCamera& c, PhotoInfo& frame) {
        c.FilterPointCloud(frame, factor);
        return 0;
    });
}
int SpatialFilterPointcloudCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                  int min_population) {
    return OnFrame(__func__, index, kNothingDone, header, data, size, [&](GigeCamera& c, PhotoInfo& frame) {
        return c.SpatialFilterPointcloud(frame, min_population);
    });
}
int GetCloudPlaneXCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, short* plane) {
    return OnFrame(__func__, index, kNothingDone, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.GetCloudPlaneX(frame, plane); });
}
int GetCloudPlaneYCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, short* plane) {
    return OnFrame(__func__, index, kNothingDone, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.GetCloudPlaneY(frame, plane); });
}
int GetCloudPlaneZCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, short* plane) {
    return OnFrame(__func__, index, kNothingDone, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.GetCloudPlaneZ(frame, plane); });
}

// ---- colour conversion ---------------------------------------------------------------------------
void RawdataToRgb888CSharp(int index, PhotoInfoCSharp* header, void* buffer, int length) {
    if (tavi::api::CameraAt(index) == nullptr || !tavi::api::UsableOutput(buffer, length)) return;
    PrivateFrame frame;
    // Room for the converted frame, which the YUYV path writes over its own input.
    const size_t converted = header == nullptr ? 0 : ImageBytes(header->width, header->height, kRgbBytes);
    if (!frame.CopyIn(header, buffer, length, converted)) return;
    OnCamera(__func__, index, [&](GigeCamera& c) {
        c.RawdataToRgb888(frame.frame());
        const size_t wanted = static_cast<size_t>(length);
        if (wanted == 0) return;
        std::memset(buffer, 0, wanted);
        std::memcpy(buffer, frame.frame().data, std::min(wanted, frame.capacity()));
    });
}

// ---- fusion and ROI mapping ----------------------------------------------------------------------
int Fusion3DToRGBCSharp(int index, PhotoInfoCSharp* colour_header, const void* colour_data, int colour_size,
                        PhotoInfoCSharp* cloud_header, const void* cloud_data, int cloud_size,
                        PhotoInfoCSharp* result_header, void* result_buffer, int length) {
    if (tavi::api::CameraAt(index) == nullptr || result_header == nullptr ||
        !tavi::api::UsableOutput(result_buffer, length)) {
        return kNoCamera;
    }
    PrivateFrame colour, cloud, result;
    // The result holds colour width x height points of six bytes, whatever the caller's length.
    const size_t wanted = static_cast<size_t>(length);
    const size_t needed = ImageBytes(colour_header == nullptr ? 0 : colour_header->width,
                                     colour_header == nullptr ? 0 : colour_header->height, kFusedPixelBytes);
    if (!colour.CopyIn(colour_header, colour_data, colour_size) ||
        !cloud.CopyIn(cloud_header, cloud_data, cloud_size) || !result.Zeroed(std::max(wanted, needed))) {
        return kNoCamera;
    }
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        const int code = c.Fusion3DToRGB(colour.frame(), cloud.frame(), result.frame());
        const PhotoInfo& out = result.frame();
        if (wanted > 0) std::memcpy(result_buffer, out.data, std::min(wanted, result.capacity()));
        result_header->pixel_format = out.pixel_format;
        result_header->width = out.width;
        result_header->height = out.height;
        result_header->cloud_unit = out.cloud_unit;
        result_header->payload_size = out.payload_size;
        return code;
    });
}

int FusionImageTo3DCSharp(int index, PhotoInfoCSharp* colour_header, const void* colour_data, int colour_size,
                          PhotoInfoCSharp* cloud_header, const void* cloud_data, int cloud_size,
                          float* fused_points) {
    if (tavi::api::CameraAt(index) == nullptr) return kNoCamera;
    PrivateFrame colour, cloud;
    if (!colour.CopyIn(colour_header, colour_data, colour_size) ||
        !cloud.CopyIn(cloud_header, cloud_data, cloud_size)) {
        return kNoCamera;
    }
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        return c.FusionImageTo3D(colour.frame(), cloud.frame(), fused_points);
    });
}

void ROIPixelMappingCSharp(int index, PhotoInfoCSharp* cloud_header, const void* cloud_data, int cloud_size,
                           PhotoInfoCSharp* source_header, const void* source_data, int source_size,
                           PhotoInfoCSharp* target_header, const void* target_data, int target_size,
                           RoiPoint* rect, void* /*unused*/, int* target_mask) {
    if (tavi::api::CameraAt(index) == nullptr || rect == nullptr) return;
    PrivateFrame cloud, source, target;
    if (!cloud.CopyIn(cloud_header, cloud_data, cloud_size) ||
        !source.CopyIn(source_header, source_data, source_size) ||
        !target.CopyIn(target_header, target_data, target_size)) {
        return;
    }
    OnCamera(__func__, index, [&](GigeCamera& c) {
        c.ROIPixelMapping(cloud.frame(), source.frame(), target.frame(), *rect, target_mask);
    });
}

// ---- masks ---------------------------------------------------------------------------------------
void ROIMappingCoordinateCSharp(int index, void* /*unused*/, int* mask, PhotoInfoCSharp* header, int size,
                                RoiPoint* rect) {
    PrivateFrame frame;
    if (tavi::api::CameraAt(index) == nullptr || rect == nullptr || !MaskFrame(header, size, &frame)) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.ROIMappingCoordinate(mask, frame.frame(), *rect); });
}
void PixelCorrosionCSharp(int index, int* mask, PhotoInfoCSharp* header, int size) {
    PrivateFrame frame;
    if (tavi::api::CameraAt(index) == nullptr || !MaskFrame(header, size, &frame)) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.PixelCorrosion(mask, frame.frame()); });
}
void PixelSwellCSharp(int index, int* mask, PhotoInfoCSharp* header, int size) {
    PrivateFrame frame;
    if (tavi::api::CameraAt(index) == nullptr || !MaskFrame(header, size, &frame)) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.PixelSwell(mask, frame.frame()); });
}

// ---- files ---------------------------------------------------------------------------------------
int SaveCloudPlaneCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, short* plane,
                         char* path) {
    return OnFrame(__func__, index, kNothingDone, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SaveCloudPlane(frame, plane, path); });
}
int SaveDepthToPngCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SaveDepthToPng(frame, path); });
}
int SavePointCloudToPcdCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SavePointCloudToPcd(frame, path); });
}
int SavePointCloudToPlyCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SavePointCloudToPly(frame, path); });
}
int SavePointCloudToTxtCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SavePointCloudToTxt(frame, path); });
}
int SaveToBMPCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size,
                   [&](GigeCamera& c, PhotoInfo& frame) { return c.SaveToBMP(frame, path); });
}
int SavePointCloudWithImageToTxtCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                       float* fused_points, char* path) {
    return OnFrame(__func__, index, kNoCamera, header, data, size, [&](GigeCamera& c, PhotoInfo& frame) {
        return c.SavePointCloudWithImageToTxt(frame, fused_points, path);
    });
}

// ---- description nodes ---------------------------------------------------------------------------
void GetCameraXMLNodeNamesCSharp(int index, void* names) {
    if (names == nullptr) return;
    OnCamera(__func__, index,
             [&](GigeCamera& c) { c.GetCameraXMLNodeNames(static_cast<std::vector<std::string>*>(names)); });
}

}  // extern "C"
