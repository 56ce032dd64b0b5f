#include "scene/sensor_render.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "scene/random.h"
#include "scene/scene.h"
#include "streaming/stream_engine.h"

namespace vcam::scene {
namespace {

constexpr double kImageNoisePerMm = 4.0;  // grey levels of image noise per mm of depth noise

// A clean rendering before noise: per pixel the measured point (depth) or the colour (images).
struct DepthPoint {
    float x = 0, y = 0, z = 0;
    bool valid = false;
};

using ImageWriter = void (*)(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out);

uint8_t Luma(const Rgb& c) {
    return static_cast<uint8_t>(std::lround(0.299 * c.r + 0.587 * c.g + 0.114 * c.b));
}

void WriteBayerRG8(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out) {
    // Even rows R G R G ..., odd rows G B G B ...: the region's first pixel is always red.
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const Rgb& c = image[size_t{y} * width + x];
            const bool even_row = (y & 1) == 0, even_col = (x & 1) == 0;
            out[size_t{y} * width + x] = even_row ? (even_col ? c.r : c.g) : (even_col ? c.g : c.b);
        }
    }
}

uint8_t ClampByte(double value) { return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L)); }

void WriteYuv422(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out) {
    // Y0 U Y1 V per pixel pair (full-range BT.601); U and V are the pair's average.
    const size_t pixels = size_t{width} * height;
    for (size_t i = 0; i < pixels; i += 2) {
        const Rgb& a = image[i];
        const Rgb& b = image[std::min(i + 1, pixels - 1)];
        const double r = (a.r + b.r) / 2.0, g = (a.g + b.g) / 2.0, bl = (a.b + b.b) / 2.0;
        uint8_t* group = out + i * 2;
        group[0] = Luma(a);
        group[1] = ClampByte(-0.168736 * r - 0.331264 * g + 0.5 * bl + 128);
        if (i + 1 < pixels) group[2] = Luma(b);
        if (i + 1 < pixels) group[3] = ClampByte(0.5 * r - 0.418688 * g - 0.081312 * bl + 128);
    }
}

void WriteRgb8(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out) {
    for (size_t i = 0; i < size_t{width} * height; ++i) {
        out[3 * i] = image[i].r;
        out[3 * i + 1] = image[i].g;
        out[3 * i + 2] = image[i].b;
    }
}

void WriteRgb565p(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out) {
    // Little-endian 16-bit: red in bits 11-15, green in 5-10, blue in 0-4.
    for (size_t i = 0; i < size_t{width} * height; ++i) {
        const Rgb& c = image[i];
        const uint16_t p = static_cast<uint16_t>(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
        out[2 * i] = static_cast<uint8_t>(p);
        out[2 * i + 1] = static_cast<uint8_t>(p >> 8);
    }
}

void WriteMono8(const std::vector<Rgb>& image, uint32_t width, uint32_t height, uint8_t* out) {
    for (size_t i = 0; i < size_t{width} * height; ++i) out[i] = Luma(image[i]);
}

struct FormatEntry {
    uint32_t pixel_format;
    uint32_t sensor;
    uint32_t bytes_per_pixel;
    ImageWriter writer;  // null for the point cloud
};

constexpr FormatEntry kFormats[] = {
    {kPixelCoord3D_ABC16, kSensorDepth, 6, nullptr}, {kPixelBayerRG8, kSensorColour, 1, WriteBayerRG8},
    {kPixelYUV422_8, kSensorColour, 2, WriteYuv422}, {kPixelRGB8, kSensorColour, 3, WriteRgb8},
    {kPixelRGB565p, kSensorColour, 2, WriteRgb565p}, {kPixelMono8, kSensorGrey, 1, WriteMono8},
};

const FormatEntry* FindFormat(uint32_t sensor, uint32_t pixel_format) {
    for (const FormatEntry& entry : kFormats) {
        if (entry.sensor == sensor && entry.pixel_format == pixel_format) return &entry;
    }
    return nullptr;
}

bool InsideSensor(const SensorView& view) {
    return view.width > 0 && view.height > 0 && view.offset_x + uint64_t{view.width} <= kSensorMaxWidth &&
           view.offset_y + uint64_t{view.height} <= kSensorMaxHeight;
}

template <typename PerPixel>
void ForEachPixelRay(const SensorView& view, PerPixel per_pixel) {
    const CalibrationBlock calibration = SensorCalibration(view.sensor);
    for (uint32_t y = 0; y < view.height; ++y) {
        for (uint32_t x = 0; x < view.width; ++x) {
            Vec3 origin, direction;
            PixelRay(calibration, x + view.offset_x, y + view.offset_y, &origin, &direction);
            per_pixel(size_t{y} * view.width + x, CastRay(origin, direction));
        }
    }
}

std::vector<DepthPoint> MeasureDepth(const SensorView& view) {
    std::vector<DepthPoint> points(size_t{view.width} * view.height);
    ForEachPixelRay(view, [&points](size_t i, const Hit& hit) {
        if (!Measurable(hit.surface)) return;
        points[i] = {static_cast<float>(hit.point.x), static_cast<float>(hit.point.y),
                     static_cast<float>(hit.point.z), true};
    });
    return points;
}

std::vector<Rgb> ShadeImage(const SensorView& view) {
    std::vector<Rgb> image(size_t{view.width} * view.height);
    ForEachPixelRay(view, [&image](size_t i, const Hit& hit) { image[i] = ShadedColour(hit); });
    return image;
}

void PutLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

// The raw record of a point, or false when a coordinate does not fit its 16 bits at this unit:
// such a point lies outside the camera's measuring range and is sent as no measurement.
bool RawRecord(double x, double y, double z, double unit, uint8_t* record) {
    const long rx = std::lround(x * unit), ry = std::lround(y * unit), rz = std::lround(z * unit);
    if (rx < INT16_MIN || rx > INT16_MAX || ry < INT16_MIN || ry > INT16_MAX || rz < 1 || rz > UINT16_MAX) {
        return false;
    }
    PutLe16(record, static_cast<uint16_t>(static_cast<int16_t>(rx)));
    PutLe16(record + 2, static_cast<uint16_t>(static_cast<int16_t>(ry)));
    PutLe16(record + 4, static_cast<uint16_t>(rz));
    return true;
}

void EncodeDepth(const std::vector<DepthPoint>& points, const RenderParams& params, Random* random,
                 uint8_t* out) {
    for (size_t i = 0; i < points.size(); ++i) {
        const DepthPoint& p = points[i];
        uint8_t* record = out + 6 * i;
        std::fill(record, record + 6, 0);  // no measurement: all three coordinates 0
        if (!p.valid) continue;
        // Noise and stray points move the point along its viewing ray, as a depth error would.
        double scale = 1.0;
        if (random->Chance(params.outlier_ratio)) {
            scale = 0.5 + random->Uniform();
        } else if (params.noise > 0) {
            scale = 1.0 + params.noise * random->Gaussian() / p.z;
        }
        if (!RawRecord(p.x * scale, p.y * scale, p.z * scale, params.cloud_unit, record))
            std::fill(record, record + 6, 0);
    }
}

std::vector<Rgb> WithImageNoise(const std::vector<Rgb>& image, double sigma, Random* random) {
    if (sigma <= 0) return image;
    std::vector<Rgb> noisy(image.size());
    auto jitter = [&](uint8_t value) { return ClampByte(value + sigma * random->Gaussian()); };
    for (size_t i = 0; i < image.size(); ++i) {
        noisy[i] = {jitter(image[i].r), jitter(image[i].g), jitter(image[i].b)};
    }
    return noisy;
}

uint32_t VariantCount(const RenderParams& params) {
    const bool noisy = params.noise > 0 || params.outlier_ratio > 0;
    return noisy ? std::max<uint32_t>(1, params.variants) : 1;
}

}  // namespace

uint32_t FrameBytes(uint32_t sensor, uint32_t width, uint32_t height, uint32_t pixel_format) {
    const FormatEntry* entry = FindFormat(sensor, pixel_format);
    if (entry == nullptr) return 0;
    const uint64_t bytes = uint64_t{width} * height * entry->bytes_per_pixel;
    return bytes > UINT32_MAX ? 0 : static_cast<uint32_t>(bytes);
}

std::vector<std::vector<uint8_t>> RenderSensor(const SensorView& view, const RenderParams& params) {
    const FormatEntry* entry = FindFormat(view.sensor, view.pixel_format);
    if (entry == nullptr || !InsideSensor(view)) return {};
    const size_t bytes = FrameBytes(view.sensor, view.width, view.height, view.pixel_format);
    const uint32_t variants = VariantCount(params);
    std::vector<std::vector<uint8_t>> frames(variants, std::vector<uint8_t>(bytes));
    if (entry->writer == nullptr) {
        const std::vector<DepthPoint> points = MeasureDepth(view);
        for (uint32_t v = 0; v < variants; ++v) {
            Random random(Random::Mix(params.seed) ^ (uint64_t{view.sensor} << 32) ^ v);
            EncodeDepth(points, params, &random, frames[v].data());
        }
        return frames;
    }
    const std::vector<Rgb> image = ShadeImage(view);
    for (uint32_t v = 0; v < variants; ++v) {
        Random random(Random::Mix(params.seed) ^ (uint64_t{view.sensor} << 32) ^ v);
        entry->writer(WithImageNoise(image, params.noise * kImageNoisePerMm, &random), view.width,
                      view.height, frames[v].data());
    }
    return frames;
}

}  // namespace vcam::scene
