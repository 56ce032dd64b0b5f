#include "preview.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavi::cli {
namespace {

constexpr uint8_t kBackground = 24;  // dark grey behind the rendered cloud
// The fixed viewpoint: turned about the vertical axis, then tilted down, around the cloud's centre.
constexpr float kYawRadians = -0.45f;
constexpr float kPitchRadians = 0.30f;
// The share of the panel the cloud's extent fills.
constexpr float kFill = 0.85f;
// At most this many points are sampled for the percentiles.
constexpr size_t kPercentileSamples = 65536;

bool Valid(const float* point) {
    return std::isfinite(point[2]) && point[2] > 0.0f && std::isfinite(point[0]) && std::isfinite(point[1]);
}

struct Colour {
    float r, g, b;
};

// A turbo-like ramp from red (near) through yellow, green and cyan to blue (far).
constexpr Colour kRamp[] = {{220, 40, 30}, {250, 200, 40}, {60, 200, 80}, {40, 190, 230}, {40, 60, 200}};

void PaintPanel(RgbImage& image, uint32_t left, uint32_t panel_width, uint32_t panel_height, uint8_t value) {
    for (uint32_t y = 0; y < panel_height; ++y) {
        std::fill_n(&image.pixels[(static_cast<size_t>(y) * image.width + left) * 3], panel_width * 3, value);
    }
}

void PointColour(const PreviewCloud& cloud, size_t index, float near_mm, float far_mm, uint8_t* rgb) {
    if (cloud.rgb != nullptr) {
        std::copy_n(&cloud.rgb[index * 3], 3, rgb);
        return;
    }
    DepthColour((cloud.xyz[index * 3 + 2] - near_mm) / (far_mm - near_mm), rgb);
}

void RenderDepthPanel(const PreviewCloud& cloud, float near_mm, float far_mm, RgbImage& image,
                      uint32_t panel_width, uint32_t panel_height) {
    for (uint32_t y = 0; y < panel_height; ++y) {
        const uint32_t row = static_cast<uint32_t>(static_cast<uint64_t>(y) * cloud.height / panel_height);
        for (uint32_t x = 0; x < panel_width; ++x) {
            const uint32_t column =
                static_cast<uint32_t>(static_cast<uint64_t>(x) * cloud.width / panel_width);
            const float* point = &cloud.xyz[(static_cast<size_t>(row) * cloud.width + column) * 3];
            uint8_t* out = &image.pixels[(static_cast<size_t>(y) * image.width + x) * 3];
            if (!Valid(point)) {
                std::fill_n(out, 3, 0);
                continue;
            }
            DepthColour((point[2] - near_mm) / (far_mm - near_mm), out);
        }
    }
}

struct View {
    float centre[3];
    float scale;
    float offset_x, offset_y;
};

void Rotate(const float* point, const float* centre, float* out) {
    const float x = point[0] - centre[0], y = point[1] - centre[1], z = point[2] - centre[2];
    const float cy = std::cos(kYawRadians), sy = std::sin(kYawRadians);
    const float cp = std::cos(kPitchRadians), sp = std::sin(kPitchRadians);
    const float x1 = cy * x + sy * z, z1 = -sy * x + cy * z;
    out[0] = x1;
    out[1] = cp * y - sp * z1;
    out[2] = sp * y + cp * z1;
}

// Centre and scale so that the turned cloud's extent fills the panel.
View FitView(const PreviewCloud& cloud, uint32_t panel_width, uint32_t panel_height) {
    const size_t count = static_cast<size_t>(cloud.width) * cloud.height;
    double sum[3] = {0, 0, 0};
    size_t valid = 0;
    for (size_t n = 0; n < count; ++n) {
        if (!Valid(&cloud.xyz[n * 3])) continue;
        for (int axis = 0; axis < 3; ++axis) sum[axis] += cloud.xyz[n * 3 + axis];
        ++valid;
    }
    View view{};
    for (int axis = 0; axis < 3; ++axis)
        view.centre[axis] = valid ? static_cast<float>(sum[axis] / valid) : 0.0f;
    // The extent between the 1st and 99th percentiles, so that stray points do not shrink the cloud.
    std::vector<float> turned_x, turned_y;
    const size_t stride = std::max<size_t>(1, count / kPercentileSamples);
    for (size_t n = 0; n < count; n += stride) {
        if (!Valid(&cloud.xyz[n * 3])) continue;
        float turned[3];
        Rotate(&cloud.xyz[n * 3], view.centre, turned);
        turned_x.push_back(turned[0]);
        turned_y.push_back(turned[1]);
    }
    float low[2] = {0, 0}, high[2] = {0, 0};
    std::vector<float>* axes[2] = {&turned_x, &turned_y};
    for (int axis = 0; axis < 2 && !turned_x.empty(); ++axis) {
        std::vector<float>& values = *axes[axis];
        std::sort(values.begin(), values.end());
        low[axis] = values[values.size() / 100];
        high[axis] = values[values.size() * 99 / 100];
    }
    const float extent_x = std::max(high[0] - low[0], 1.0f), extent_y = std::max(high[1] - low[1], 1.0f);
    view.scale = kFill * std::min(panel_width / extent_x, panel_height / extent_y);
    view.offset_x = panel_width / 2.0f - view.scale * (low[0] + high[0]) / 2.0f;
    view.offset_y = panel_height / 2.0f - view.scale * (low[1] + high[1]) / 2.0f;
    return view;
}

void RenderCloudPanel(const PreviewCloud& cloud, float near_mm, float far_mm, RgbImage& image,
                      uint32_t panel_width, uint32_t panel_height) {
    PaintPanel(image, panel_width, panel_width, panel_height, kBackground);
    const View view = FitView(cloud, panel_width, panel_height);
    std::vector<float> nearest(static_cast<size_t>(panel_width) * panel_height,
                               std::numeric_limits<float>::max());
    const size_t count = static_cast<size_t>(cloud.width) * cloud.height;
    for (size_t n = 0; n < count; ++n) {
        if (!Valid(&cloud.xyz[n * 3])) continue;
        float turned[3];
        Rotate(&cloud.xyz[n * 3], view.centre, turned);
        const long x = std::lround(view.offset_x + view.scale * turned[0]);
        const long y = std::lround(view.offset_y + view.scale * turned[1]);
        uint8_t colour[3];
        PointColour(cloud, n, near_mm, far_mm, colour);
        // Each point covers 2 x 2 pixels, so that a cloud seen at a slant shows no holes.
        for (long dy = 0; dy < 2; ++dy) {
            for (long dx = 0; dx < 2; ++dx) {
                const long px = x + dx, py = y + dy;
                if (px < 0 || py < 0 || px >= static_cast<long>(panel_width) ||
                    py >= static_cast<long>(panel_height))
                    continue;
                float& depth = nearest[static_cast<size_t>(py) * panel_width + static_cast<size_t>(px)];
                if (turned[2] >= depth) continue;
                depth = turned[2];
                uint8_t* out = &image.pixels[(static_cast<size_t>(py) * image.width + panel_width + px) * 3];
                std::copy_n(colour, 3, out);
            }
        }
    }
}

}  // namespace

void DepthColour(float t, uint8_t* rgb) {
    if (!(t >= 0.0f)) t = 0.0f;  // also catches NaN
    if (t > 1.0f) t = 1.0f;
    constexpr int kSteps = static_cast<int>(sizeof kRamp / sizeof kRamp[0]) - 1;
    const float position = t * kSteps;
    const int step = std::min(static_cast<int>(position), kSteps - 1);
    const float f = position - static_cast<float>(step);
    const Colour& a = kRamp[step];
    const Colour& b = kRamp[step + 1];
    rgb[0] = static_cast<uint8_t>(std::lround(a.r + (b.r - a.r) * f));
    rgb[1] = static_cast<uint8_t>(std::lround(a.g + (b.g - a.g) * f));
    rgb[2] = static_cast<uint8_t>(std::lround(a.b + (b.b - a.b) * f));
}

bool DepthRange(const PreviewCloud& cloud, float* near_mm, float* far_mm) {
    const size_t count = static_cast<size_t>(cloud.width) * cloud.height;
    const size_t stride = std::max<size_t>(1, count / kPercentileSamples);
    std::vector<float> depths;
    for (size_t n = 0; n < count; n += stride) {
        if (Valid(&cloud.xyz[n * 3])) depths.push_back(cloud.xyz[n * 3 + 2]);
    }
    if (depths.empty()) return false;
    std::sort(depths.begin(), depths.end());
    *near_mm = depths[depths.size() * 2 / 100];
    *far_mm = depths[depths.size() * 98 / 100];
    if (*far_mm - *near_mm < 1.0f) *far_mm = *near_mm + 1.0f;
    return true;
}

RgbImage RenderPreview(const PreviewCloud& cloud, uint32_t panel_width, uint32_t panel_height) {
    RgbImage image;
    image.width = 2 * panel_width;
    image.height = panel_height;
    image.pixels.assign(static_cast<size_t>(image.width) * image.height * 3, 0);
    float near_mm = 0, far_mm = 1;
    if (cloud.xyz == nullptr || cloud.width == 0 || cloud.height == 0 ||
        !DepthRange(cloud, &near_mm, &far_mm)) {
        PaintPanel(image, panel_width, panel_width, panel_height, kBackground);
        return image;
    }
    RenderDepthPanel(cloud, near_mm, far_mm, image, panel_width, panel_height);
    RenderCloudPanel(cloud, near_mm, far_mm, image, panel_width, panel_height);
    return image;
}

}  // namespace tavi::cli
