#pragma once
// The capture preview: a picture a user can glance at to see that the camera works. The left half is
// the depth frame through a colour map (near red, far blue, no point black); the right half is the
// coloured point cloud seen from a fixed viewpoint above and to the left of the camera, drawn by a
// small z-buffered point renderer.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavi::cli {

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // width x height x 3 bytes, R G B, rows top to bottom
};

// A cloud of width x height points, X Y Z in millimetres (Z 0: no point), and optionally a colour
// per point (R G B); without colours the points take the depth colour map's.
struct PreviewCloud {
    const float* xyz = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    const uint8_t* rgb = nullptr;
};

// The colour map's colour of t in [0, 1] (0 near, 1 far).
void DepthColour(float t, uint8_t* rgb);

// The near and far depth that the colour map spans: the 2nd and 98th percentile of the valid
// depths, so that a few stray points do not flatten it. False when the cloud holds no point.
bool DepthRange(const PreviewCloud& cloud, float* near_mm, float* far_mm);

// The preview picture: two panels of panel_width x panel_height side by side.
RgbImage RenderPreview(const PreviewCloud& cloud, uint32_t panel_width, uint32_t panel_height);

}  // namespace tavi::cli
