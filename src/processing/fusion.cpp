#include "processing/fusion.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "TaviSDK/GigeCamera.h"
#include "camera/feature_access.h"
#include "processing/cloud_decode.h"
#include "processing/cloud_frame.h"
#include "processing/cloud_vectors.h"
#include "processing/colour_conversion.h"
#include "processing/core_split.h"
#include "processing/image_frame.h"

namespace tavi {
namespace {

using vectors::Floats8;
using vectors::Ints8;

constexpr size_t kLanes = 8;

void StoreFused(const float* point, const uint8_t* pixel, float* record) {
    record[0] = point[0];
    record[1] = point[1];
    record[2] = point[2];
    record[3] = static_cast<float>(pixel[2]);
    record[4] = static_cast<float>(pixel[1]);
    record[5] = static_cast<float>(pixel[0]);
}

uint32_t LandingPixelOf(const SensorModel& model, const float* point, uint32_t width, uint32_t height) {
    float u, v;
    ProjectToImage(model, point[0], point[1], point[2], &u, &v);
    if (!HitsImage(u, v, static_cast<float>(width), static_cast<float>(height))) return kNoPixel;
    return static_cast<uint32_t>(PixelIndexOf(u, v, width));
}

// Eight points' landing pixels at once; the projection is the scalar one lane by lane.
__attribute__((always_inline)) inline void LandingPixelsOfBlock(const SensorModel& model, const float* xyz,
                                                                uint32_t width, uint32_t height,
                                                                uint32_t* pixel) {
    Floats8 x, y, z;
    for (size_t lane = 0; lane < kLanes; ++lane) {
        x[lane] = xyz[3 * lane];
        y[lane] = xyz[3 * lane + 1];
        z[lane] = xyz[3 * lane + 2];
    }
    Floats8 u, v;
    ProjectToImage(model, x, y, z, &u, &v);
    const Ints8 hit = HitsImage(u, v, static_cast<float>(width), static_cast<float>(height));
    // Lanes that miss may hold anything: they are zeroed before the conversion to integers.
    const Ints8 column =
        __builtin_convertvector(vectors::Reinterpret<Floats8>(vectors::Reinterpret<Ints8>(u) & hit), Ints8);
    const Ints8 row =
        __builtin_convertvector(vectors::Reinterpret<Floats8>(vectors::Reinterpret<Ints8>(v) & hit), Ints8);
    const Ints8 index = row * static_cast<int32_t>(width) + column;
    for (size_t lane = 0; lane < kLanes; ++lane)
        pixel[lane] = hit[lane] ? static_cast<uint32_t>(index[lane]) : kNoPixel;
}

__attribute__((always_inline)) inline void LandingPixelsOfBlocks(const float* xyz, size_t blocks,
                                                                 const SensorModel& model, uint32_t width,
                                                                 uint32_t height, uint32_t* pixel) {
    for (size_t block = 0; block < blocks; ++block)
        LandingPixelsOfBlock(model, xyz + block * kLanes * 3, width, height, pixel + block * kLanes);
}

void LandingPixelsPortable(const float* xyz, size_t blocks, const SensorModel& model, uint32_t width,
                           uint32_t height, uint32_t* pixel) {
    LandingPixelsOfBlocks(xyz, blocks, model, width, height, pixel);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void LandingPixelsAvx2(const float* xyz, size_t blocks,
                                                       const SensorModel& model, uint32_t width,
                                                       uint32_t height, uint32_t* pixel) {
    LandingPixelsOfBlocks(xyz, blocks, model, width, height, pixel);
}
#endif

using BlockProjector = void (*)(const float*, size_t, const SensorModel&, uint32_t, uint32_t, uint32_t*);

BlockProjector PickBlockProjector() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return LandingPixelsAvx2;
#endif
    return LandingPixelsPortable;
}

}  // namespace

void LandingPixelsOnThisCore(const float* xyz, size_t count, const SensorModel& model, uint32_t width,
                             uint32_t height, uint32_t* pixel) {
    static const BlockProjector project_blocks = PickBlockProjector();
    const size_t blocks = count / kLanes;
    project_blocks(xyz, blocks, model, width, height, pixel);
    for (size_t n = blocks * kLanes; n < count; ++n)
        pixel[n] = LandingPixelOf(model, xyz + 3 * n, width, height);
}

void LandingPixelsReference(const float* xyz, size_t count, const SensorModel& model, uint32_t width,
                            uint32_t height, uint32_t* pixel) {
    for (size_t n = 0; n < count; ++n) pixel[n] = LandingPixelOf(model, xyz + 3 * n, width, height);
}

void LandingPixels(const float* xyz, size_t count, const SensorModel& model, uint32_t width, uint32_t height,
                   uint32_t* pixel) {
    SplitAcrossCores(count, [&](size_t begin, size_t end) {
        LandingPixelsOnThisCore(xyz + 3 * begin, end - begin, model, width, height, pixel + begin);
    });
}

void FusePointsReference(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                         float* fused) {
    static constexpr float kMiss[6] = {};
    for (size_t n = 0; n < count; ++n) {
        const uint32_t pixel = LandingPixelOf(model, xyz + 3 * n, image.width, image.height);
        if (pixel == kNoPixel) {
            std::memcpy(fused + 6 * n, kMiss, sizeof kMiss);
        } else {
            StoreFused(xyz + 3 * n, image.pixels + size_t{pixel} * kRgbBytes, fused + 6 * n);
        }
    }
}

void FusePointsOnThisCore(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                          float* fused) {
    static constexpr size_t kChunk = 4096;  // landing pixels stay in the cache until they are used
    static constexpr float kMiss[6] = {};
    uint32_t pixel[kChunk];
    for (size_t first = 0; first < count; first += kChunk) {
        const size_t points = count - first < kChunk ? count - first : kChunk;
        LandingPixelsOnThisCore(xyz + 3 * first, points, model, image.width, image.height, pixel);
        for (size_t n = 0; n < points; ++n) {
            float* record = fused + 6 * (first + n);
            if (pixel[n] == kNoPixel) {
                std::memcpy(record, kMiss, sizeof kMiss);
            } else {
                StoreFused(xyz + 3 * (first + n), image.pixels + size_t{pixel[n]} * kRgbBytes, record);
            }
        }
    }
}

void FusePoints(const float* xyz, size_t count, const SensorModel& model, const ColourImage& image,
                float* fused) {
    SplitAcrossCores(count, [&](size_t begin, size_t end) {
        FusePointsOnThisCore(xyz + 3 * begin, end - begin, model, image, fused + 6 * begin);
    });
}

namespace {

// The decoded points of a cloud frame in a C-heap block (null when it cannot be had).
float* DecodedCloud(const PhotoInfo& cloud) {
    const size_t points = ExtentOf(cloud).points;
    auto* xyz = static_cast<float*>(std::malloc(points * kDecodedPointFloats * sizeof(float) + 1));
    if (xyz != nullptr) DecodeFrame(cloud, xyz);
    return xyz;
}

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
using HeapBytes = std::unique_ptr<uint8_t, FreeBlock>;

// The colour frame as 3-byte pixels: RGB8 as it is, the others expanded into `expanded`. YUV422_8 is
// converted in place to RGB8 first. 0, -59 for a format without colours, -2 for a payload that does
// not hold the pixels or no memory for the expansion.
int ColourPixelsOf(cameralog* log, PhotoInfo& colour, HeapBytes& expanded, const uint8_t** pixels) {
    if (colour.pixel_format == kPixelYUV422_8) {
        const int converted = ConvertYuyvFrame(log, &colour);
        if (converted != TAVI_OK) return converted;
    }
    const size_t count = PixelCount(colour);
    switch (colour.pixel_format) {
        case kPixelRGB8:
            if (!PayloadHoldsPixels(colour, kRgbBytes)) return TAVI_ERR_INVALID_ARGUMENT;
            *pixels = colour.data;
            return TAVI_OK;
        case kPixelRGB565p:
            if (!PayloadHoldsPixels(colour, 2)) return TAVI_ERR_INVALID_ARGUMENT;
            expanded.reset(static_cast<uint8_t*>(std::malloc(count * kRgbBytes + 1)));
            if (!expanded) return TAVI_ERR_INVALID_ARGUMENT;
            for (size_t n = 0; n < count; ++n)
                ExpandRgb565(colour.data + 2 * n, expanded.get() + n * kRgbBytes);
            *pixels = expanded.get();
            return TAVI_OK;
        case kPixelMono8:
            if (!PayloadHoldsPixels(colour, 1)) return TAVI_ERR_INVALID_ARGUMENT;
            expanded.reset(static_cast<uint8_t*>(std::malloc(count * kRgbBytes + 1)));
            if (!expanded) return TAVI_ERR_INVALID_ARGUMENT;
            for (size_t n = 0; n < count; ++n)
                std::memset(expanded.get() + n * kRgbBytes, colour.data[n], kRgbBytes);
            *pixels = expanded.get();
            return TAVI_OK;
        default:
            return TAVI_ERR_FUSION_FORMAT;
    }
}

bool ResamplingAccepts(uint32_t format) {
    return format == kPixelYUV422_8 || format == kPixelRGB8 || format == kPixelRGB565p;
}

}  // namespace
}  // namespace tavi

const CmosCalibration* GigeCamera::CalibrationOfChannel(const char* function, uint16_t channel, int* code) {
    int sensor = -1;
    *code = tavi::ReadFeature(*this, {"CmosIndex", tavi::FeatureOffset::kChannel, channel}, &sensor);
    if (*code != TAVI_OK) {
        TAVI_LOG_ERROR(&log, "[function:%s] Failed to read the CmosIndex of channel %u, error code: %d",
                       function, static_cast<unsigned>(channel), *code);
        return nullptr;
    }
    if (sensor < 0 || static_cast<size_t>(sensor) >= calibration.size()) {
        *code = TAVI_ERR_INVALID_ARGUMENT;
        TAVI_LOG_ERROR(&log, "[function:%s] The camera has no calibration of sensor %d, error code: %d",
                       function, sensor, *code);
        return nullptr;
    }
    return &calibration[static_cast<size_t>(sensor)];
}

int GigeCamera::FusionImageTo3D(PhotoInfo& colour, PhotoInfo& cloud, float* fused_points) {
    PhotoInfo* colour_frame = tavi::FrameAddress(colour);
    const PhotoInfo* cloud_frame = tavi::FrameAddress(cloud);
    if (colour_frame == nullptr || colour_frame->data == nullptr || !tavi::IsCloudFrame(cloud_frame) ||
        fused_points == nullptr) {
        TAVI_LOG_ERROR(
            &log,
            "[function:FusionImageTo3D] Failed to fusion image to 3D point cloud due to the incoming "
            "parameters error, error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    tavi::HeapBytes expanded;
    const uint8_t* pixels = nullptr;
    const int colours = tavi::ColourPixelsOf(&log, *colour_frame, expanded, &pixels);
    if (colours == TAVI_ERR_FUSION_FORMAT) return colours;
    if (colours != TAVI_OK) {
        TAVI_LOG_ERROR(&log,
                       "[function:FusionImageTo3D] The colour frame's %ux%u pixels cannot be read (payload "
                       "too small or no memory), error code: %d",
                       colour_frame->width, colour_frame->height, colours);
        return colours;
    }
    int code = TAVI_OK;
    const CmosCalibration* record =
        CalibrationOfChannel("FusionImageTo3D", colour_frame->channel_index, &code);
    if (record == nullptr) return code;
    const size_t points = tavi::ExtentOf(*cloud_frame).points;
    if (points == 0) return TAVI_OK;
    float* xyz = tavi::DecodedCloud(*cloud_frame);
    if (xyz == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:FusionImageTo3D] malloc points failed, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const tavi::SensorModel model = tavi::ModelOf(*record, static_cast<float>(colour_frame->offset_x),
                                                  static_cast<float>(colour_frame->offset_y));
    tavi::FusePoints(xyz, points, model, {pixels, colour_frame->width, colour_frame->height}, fused_points);
    std::free(xyz);
    return TAVI_OK;
}

int GigeCamera::Fusion3DToRGB(PhotoInfo& colour, PhotoInfo& cloud, PhotoInfo& result) {
    const PhotoInfo* colour_frame = tavi::FrameAddress(colour);
    const PhotoInfo* cloud_frame = tavi::FrameAddress(cloud);
    PhotoInfo* result_frame = tavi::FrameAddress(result);
    if (colour_frame == nullptr || !tavi::IsCloudFrame(cloud_frame) || result_frame == nullptr ||
        result_frame->data == nullptr || !tavi::FitsPayloadSize(*colour_frame, tavi::kRawPointBytes)) {
        TAVI_LOG_ERROR(&log,
                       "[function:Fusion3DToRGB] Failed to fusion rgb to 3D point cloud due to the incoming "
                       "parameters error, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    if (!tavi::ResamplingAccepts(colour_frame->pixel_format)) return TAVI_ERR_FUSION_FORMAT;
    // The colour sensor is the second one.
    constexpr size_t kColourSensor = 1;
    if (calibration.size() <= kColourSensor) {
        TAVI_LOG_ERROR(&log,
                       "[function:Fusion3DToRGB] The camera has no calibration of sensor %d, error code: %d",
                       static_cast<int>(kColourSensor), TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const size_t points = tavi::ExtentOf(*cloud_frame).points;
    const size_t pixels = tavi::PixelCount(*colour_frame);
    float* xyz = tavi::DecodedCloud(*cloud_frame);
    auto* landing = static_cast<uint32_t*>(std::malloc(points * sizeof(uint32_t) + 1));
    auto* last_point = static_cast<uint32_t*>(std::malloc(pixels * sizeof(uint32_t) + 1));
    if (xyz == nullptr || landing == nullptr || last_point == nullptr || points >= tavi::kNoPixel) {
        std::free(xyz);
        std::free(landing);
        std::free(last_point);
        TAVI_LOG_ERROR(&log, "[function:Fusion3DToRGB] malloc points failed, error code: %d",
                       TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const tavi::SensorModel model =
        tavi::ModelOf(calibration[kColourSensor], static_cast<float>(colour_frame->offset_x),
                      static_cast<float>(colour_frame->offset_y));
    tavi::LandingPixels(xyz, points, model, colour_frame->width, colour_frame->height, landing);
    // A later point replaces an earlier one at the same pixel; a point without measurement (Z = 0)
    // projects to wherever the depth sensor's origin lands and must not erase a real point there.
    std::memset(last_point, 0xFF, pixels * sizeof(uint32_t));
    for (size_t n = 0; n < points; ++n) {
        if (landing[n] != tavi::kNoPixel && tavi::HasMeasurement(xyz[3 * n + 2]))
            last_point[landing[n]] = static_cast<uint32_t>(n);
    }
    const float unit = static_cast<float>(cloud_frame->cloud_unit);
    static constexpr float kEmpty[3] = {};
    for (size_t p = 0; p < pixels; ++p) {
        const float* point = last_point[p] == tavi::kNoPixel ? kEmpty : xyz + 3 * size_t{last_point[p]};
        tavi::WriteBackPoint(result_frame->data, p, unit, point);
    }
    std::free(xyz);
    std::free(landing);
    std::free(last_point);
    result_frame->width = colour_frame->width;
    result_frame->height = colour_frame->height;
    result_frame->cloud_unit = cloud_frame->cloud_unit;
    result_frame->pixel_format = cloud_frame->pixel_format;
    result_frame->payload_size = static_cast<uint32_t>(pixels * tavi::kRawPointBytes);
    return TAVI_OK;
}
