#pragma once
// Where a point of the depth sensor lands in the image of another sensor: rotation and translation
// into the sensor's frame, perspective division, the lens distortion (radial k1, k2 on r^2 and r^4,
// k3 on the cube of each axis' own coordinate, tangential p1, p2), the camera matrix, and the
// frame's region offset. All in single precision, in the order written, so that every caller gets
// the same pixel for the same point.

#include <cstdint>

#include "TaviSDK/GigeCamera.h"

namespace tavi {

struct SensorModel {
    float r[9];
    float t[3];
    float k1, k2, p1, p2, k3;
    float k[6];  // fx, skew, cx, second-row first column, fy, cy
    float offset_x;
    float offset_y;
};

inline SensorModel ModelOf(const CmosCalibration& c, float offset_x, float offset_y) {
    SensorModel m{};
    for (int n = 0; n < 9; ++n) m.r[n] = c.rotation[n];
    for (int n = 0; n < 3; ++n) m.t[n] = c.translation[n];
    m.k1 = c.distortion[0];
    m.k2 = c.distortion[1];
    m.p1 = c.distortion[2];
    m.p2 = c.distortion[3];
    m.k3 = c.distortion[4];
    for (int n = 0; n < 6; ++n) m.k[n] = c.intrinsic[n];
    m.offset_x = offset_x;
    m.offset_y = offset_y;
    return m;
}

// The continuous pixel position (before truncation) of a point. `F` is float, or a vector of floats
// that computes the same thing lane by lane.
template <class F>
__attribute__((always_inline)) inline void ProjectToImage(const SensorModel& m, F x, F y, F z, F* u, F* v) {
    const F xc = m.r[0] * x + m.r[1] * y + m.r[2] * z + m.t[0];
    const F yc = m.r[3] * x + m.r[4] * y + m.r[5] * z + m.t[1];
    const F zc = m.r[6] * x + m.r[7] * y + m.r[8] * z + m.t[2];
    const F xn = xc / zc;
    const F yn = yc / zc;
    const F r2 = xn * xn + yn * yn;
    const F xd = xn * (1.0f + m.k1 * r2 + m.k2 * r2 * r2 + m.k3 * xn * xn * xn) + 2.0f * m.p1 * xn * yn +
                 m.p2 * (r2 + 2.0f * xn * xn);
    const F yd = yn * (1.0f + m.k1 * r2 + m.k2 * r2 * r2 + m.k3 * yn * yn * yn) +
                 m.p1 * (r2 + 2.0f * yn * yn) + 2.0f * m.p2 * xn * yn;
    *u = m.k[0] * xd + m.k[1] * yd + m.k[2] - m.offset_x;
    *v = m.k[3] * xd + m.k[4] * yd + m.k[5] - m.offset_y;
}

// A pixel is hit when its truncated coordinates satisfy 0 < u < width and 0 < v < height: row 0 and
// column 0 never are. For a continuous position that is u >= 1 and u < width; a position that is not
// finite fails both tests.
template <class F>
__attribute__((always_inline)) inline auto HitsImage(F u, F v, float width, float height) {
    return (u >= 1.0f) & (u < width) & (v >= 1.0f) & (v < height);
}

// The pixel index of a hit.
inline size_t PixelIndexOf(float u, float v, uint32_t width) {
    return static_cast<size_t>(static_cast<int32_t>(v)) * width +
           static_cast<size_t>(static_cast<int32_t>(u));
}

}  // namespace tavi
