// The flat functions on caller-owned frames: point-cloud planes, filters, colour conversion, fusion,
// ROI mapping, morphology and files. The class operations take their frames by reference, so a null
// frame never reaches them: it is answered here with the function's missing result.

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::kNoCamera;
using tavi::api::OnCamera;

namespace {

constexpr int kNothingDone = 0;

}  // namespace

extern "C" {

// ---- point-cloud planes and filters --------------------------------------------------------------
int GetCloudPlaneX(int index, PhotoInfo* frame, short* plane) {
    if (frame == nullptr || plane == nullptr) return kNothingDone;
    return OnCamera(__func__, index, kNothingDone,
                    [&](GigeCamera& c) { return c.GetCloudPlaneX(*frame, plane); });
}
int GetCloudPlaneY(int index, PhotoInfo* frame, short* plane) {
    if (plane == nullptr) return kNothingDone;
    return OnCamera(__func__, index, kNothingDone, [&](GigeCamera& c) {
        if (frame != nullptr) return c.GetCloudPlaneY(*frame, plane);
        // The same answer and log line the plane operation gives for a frame it cannot use.
        TAVI_LOG_ERROR(&c.log,
                       "[function:GetCloudPlaneY] Failed to get the plane Y of cloud due to the incoming "
                       "parameters error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return static_cast<int>(TAVI_ERR_INVALID_ARGUMENT);
    });
}
int GetCloudPlaneZ(int index, PhotoInfo* frame, short* plane) {
    if (frame == nullptr || plane == nullptr) return kNothingDone;
    return OnCamera(__func__, index, kNothingDone,
                    [&](GigeCamera& c) { return c.GetCloudPlaneZ(*frame, plane); });
}
int SaveCloudPlane(int index, PhotoInfo* frame, short* plane, char* path) {
    if (frame == nullptr || plane == nullptr || path == nullptr) return kNothingDone;
    return OnCamera(__func__, index, kNothingDone,
                    [&](GigeCamera& c) { return c.SaveCloudPlane(*frame, plane, path); });
}
int SpatialFilterPointcloud(int index, PhotoInfo* frame, int min_population) {
    if (frame == nullptr) return kNothingDone;
    return OnCamera(__func__, index, kNothingDone,
                    [&](GigeCamera& c) { return c.SpatialFilterPointcloud(*frame, min_population); });
}
void Convert3DPointFromCharToFloat(int index, PhotoInfo* frame, float* points) {
    if (frame == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.Convert3DPointFromCharToFloat(*frame, points); });
}
void FilterPointCloud(int index, PhotoInfo* frame, double factor) {
    if (frame == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.FilterPointCloud(*frame, factor); });
}

// ---- colour, fusion, ROI and morphology ----------------------------------------------------------
void RawdataToRgb888(int index, PhotoInfo* frame) {
    if (frame == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.RawdataToRgb888(*frame); });
}
int Fusion3DToRGB(int index, PhotoInfo* colour, PhotoInfo* cloud, PhotoInfo* result) {
    if (colour == nullptr || cloud == nullptr || result == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.Fusion3DToRGB(*colour, *cloud, *result); });
}
int FusionImageTo3D(int index, PhotoInfo* colour, PhotoInfo* cloud, float* fused_points) {
    if (colour == nullptr || cloud == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.FusionImageTo3D(*colour, *cloud, fused_points); });
}
void PixelCorrosion(int index, int* mask, PhotoInfo* frame) {
    if (frame == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.PixelCorrosion(mask, *frame); });
}
void PixelSwell(int index, int* mask, PhotoInfo* frame) {
    if (frame == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.PixelSwell(mask, *frame); });
}
void ROIMappingCoordinate(int index, int* mask, PhotoInfo* frame, RoiPoint* rect) {
    if (frame == nullptr || rect == nullptr) return;
    OnCamera(__func__, index, [&](GigeCamera& c) { c.ROIMappingCoordinate(mask, *frame, *rect); });
}
void ROIPixelMapping(int index, PhotoInfo* cloud, PhotoInfo* source, PhotoInfo* target, RoiPoint* rect,
                     int* target_mask) {
    if (cloud == nullptr || source == nullptr || target == nullptr || rect == nullptr) return;
    OnCamera(__func__, index,
             [&](GigeCamera& c) { c.ROIPixelMapping(*cloud, *source, *target, *rect, target_mask); });
}

// ---- files ---------------------------------------------------------------------------------------
int SaveDepthToPng(int index, PhotoInfo* frame, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SaveDepthToPng(*frame, path); });
}
int SavePointCloudToPcd(int index, PhotoInfo* frame, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SavePointCloudToPcd(*frame, path); });
}
int SavePointCloudToPly(int index, PhotoInfo* frame, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SavePointCloudToPly(*frame, path); });
}
int SavePointCloudToTxt(int index, PhotoInfo* frame, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera,
                    [&](GigeCamera& c) { return c.SavePointCloudToTxt(*frame, path); });
}
int SaveToBMP(int index, PhotoInfo* frame, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) { return c.SaveToBMP(*frame, path); });
}
int SavePointCloudWithImageToTxt(int index, PhotoInfo* frame, float* fused_points, char* path) {
    if (frame == nullptr) return kNoCamera;
    return OnCamera(__func__, index, kNoCamera, [&](GigeCamera& c) {
        return c.SavePointCloudWithImageToTxt(*frame, fused_points, path);
    });
}

}  // extern "C"
