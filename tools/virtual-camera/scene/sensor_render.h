#pragma once
// Renders what one sensor sees of the scene, for a region of its pixel grid and a pixel format:
// point clouds for the depth sensor, colour or grey images for the others.

#include <cstdint>
#include <vector>

namespace vcam::scene {

struct SensorView {
    uint32_t sensor = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t offset_x = 0;
    uint32_t offset_y = 0;
    uint32_t pixel_format = 0;
};

struct RenderParams {
    double noise = 0;          // depth: standard deviation in mm; images: in grey levels × 4
    double outlier_ratio = 0;  // share of measured depth points moved off their surface
    uint32_t cloud_unit = 10;  // raw depth steps per mm
    uint64_t seed = 1;
    uint32_t variants = 1;  // distinct noisy frames wanted (1 when there is no noise)
};

// Bytes of one frame; 0 when the sensor cannot deliver the format.
uint32_t FrameBytes(uint32_t sensor, uint32_t width, uint32_t height, uint32_t pixel_format);

// The frames of a view, each FrameBytes long: one without noise or outliers, else
// params.variants frames that differ only in their noise. Empty for an unsupported format or a
// region outside the sensor.
std::vector<std::vector<uint8_t>> RenderSensor(const SensorView& view, const RenderParams& params);

}  // namespace vcam::scene
