#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vcam::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;

Vec3 Add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 Scale(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Normalised(const Vec3& a) { return Scale(a, 1.0 / std::sqrt(Dot(a, a))); }

struct Candidate {
    double t = std::numeric_limits<double>::infinity();
    Surface surface = Surface::kNone;
    Vec3 normal;
};

void KeepNearer(Candidate* best, double t, Surface surface, const Vec3& normal) {
    if (t > 1e-9 && t < best->t) *best = {t, surface, normal};
}

void HitPlane(const Vec3& o, const Vec3& d, Candidate* best) {
    // The plane n . p = kPlaneZ0 with n = (-slope_x, -slope_y, 1).
    const Vec3 n{-kPlaneSlopeX, -kPlaneSlopeY, 1};
    const double denominator = Dot(n, d);
    if (std::fabs(denominator) < 1e-12) return;
    const double t = (kPlaneZ0 - Dot(n, o)) / denominator;
    const Vec3 p = Add(o, Scale(d, t));
    const bool in_patch = p.x >= kPatchMinX && p.x <= kPatchMaxX && p.y >= kPatchMinY && p.y <= kPatchMaxY;
    KeepNearer(best, t, in_patch ? Surface::kDarkPatch : Surface::kBackground, Normalised(Scale(n, -1)));
}

void HitSphere(const Vec3& o, const Vec3& d, Candidate* best) {
    const Vec3 oc = Sub(o, kSphereCentre);
    const double a = Dot(d, d), b = Dot(oc, d), c = Dot(oc, oc) - kSphereRadius * kSphereRadius;
    const double discriminant = b * b - a * c;
    if (discriminant < 0) return;
    const double t = (-b - std::sqrt(discriminant)) / a;
    const Vec3 p = Add(o, Scale(d, t));
    KeepNearer(best, t, Surface::kSphere, Scale(Sub(p, kSphereCentre), 1.0 / kSphereRadius));
}

void HitBox(const Vec3& o, const Vec3& d, Candidate* best) {
    const double origin[3] = {o.x, o.y, o.z}, direction[3] = {d.x, d.y, d.z};
    const double low[3] = {kBoxMin.x, kBoxMin.y, kBoxMin.z}, high[3] = {kBoxMax.x, kBoxMax.y, kBoxMax.z};
    double t_enter = -std::numeric_limits<double>::infinity(),
           t_exit = std::numeric_limits<double>::infinity();
    int enter_axis = 0;
    for (int axis = 0; axis < 3; ++axis) {
        if (std::fabs(direction[axis]) < 1e-12) {
            if (origin[axis] < low[axis] || origin[axis] > high[axis]) return;
            continue;
        }
        double t0 = (low[axis] - origin[axis]) / direction[axis];
        double t1 = (high[axis] - origin[axis]) / direction[axis];
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > t_enter) t_enter = t0, enter_axis = axis;
        t_exit = std::min(t_exit, t1);
    }
    if (t_enter > t_exit) return;
    double normal[3] = {0, 0, 0};
    normal[enter_axis] = direction[enter_axis] > 0 ? -1 : 1;
    KeepNearer(best, t_enter, Surface::kBox, {normal[0], normal[1], normal[2]});
}

Rgb BackgroundColour(const Vec3& p) {
    // A 100 mm checkerboard, so that images show the plane's tilt.
    const long cell = static_cast<long>(std::floor(p.x / 100)) + static_cast<long>(std::floor(p.y / 100));
    return (cell & 1) ? kBackgroundDark : kBackgroundLight;
}

Rgb BaseColour(const Hit& hit) {
    switch (hit.surface) {
        case Surface::kBackground:
            return BackgroundColour(hit.point);
        case Surface::kDarkPatch:
            return kPatchColour;
        case Surface::kSphere:
            return kSphereColour;
        case Surface::kBox:
            return kBoxColour;
        case Surface::kNone:
            break;
    }
    return {};
}

// Rotation of depth-sensor coordinates into a sensor's, from small angles about x then y (rad).
void RotationXY(double about_x, double about_y, float out[9]) {
    const double cx = std::cos(about_x), sx = std::sin(about_x), cy = std::cos(about_y),
                 sy = std::sin(about_y);
    // R = Ry * Rx
    const double r[9] = {cy, sy * sx, sy * cx, 0, cx, -sx, -sy, cy * sx, cy * cx};
    for (int i = 0; i < 9; ++i) out[i] = static_cast<float>(r[i]);
}

// t = -R * centre: the sensor's optical centre given in depth-sensor coordinates.
void TranslationFromCentre(const float rotation[9], const Vec3& centre, float out[3]) {
    for (int row = 0; row < 3; ++row) {
        out[row] = static_cast<float>(-(rotation[3 * row] * centre.x + rotation[3 * row + 1] * centre.y +
                                        rotation[3 * row + 2] * centre.z));
    }
}

struct SensorPose {
    double fx, fy, cx, cy;
    float distortion[5];
    double about_x_deg, about_y_deg;
    Vec3 centre;
};

// The depth sensor is the reference; the colour sensor sits 60 mm to its right and the grey one
// 50 mm to its left, both turned slightly towards the scene, with mild lens distortion.
constexpr SensorPose kPoses[kSensorCount] = {
    {1400, 1400, 640, 512, {0, 0, 0, 0, 0}, 0, 0, {0, 0, 0}},
    {1300, 1302, 650.5, 498.25, {-0.05f, 0.01f, 0.0004f, -0.0003f, 0.002f}, 0.4, -2.0, {60, 2, 1}},
    {1380, 1380, 636, 515, {-0.02f, 0.004f, 0, 0, 0}, -0.2, 1.5, {-50, 0, 0}},
};

}  // namespace

Hit CastRay(const Vec3& origin, const Vec3& direction) {
    Candidate best;
    HitPlane(origin, direction, &best);
    HitSphere(origin, direction, &best);
    HitBox(origin, direction, &best);
    Hit hit;
    if (best.surface == Surface::kNone) return hit;
    hit.surface = best.surface;
    hit.point = Add(origin, Scale(direction, best.t));
    hit.normal = Dot(best.normal, direction) > 0 ? Scale(best.normal, -1) : best.normal;
    return hit;
}

bool Measurable(Surface surface) { return surface != Surface::kNone && surface != Surface::kDarkPatch; }

Rgb ShadedColour(const Hit& hit) {
    static const Vec3 to_light = Normalised({-0.3, -0.5, -1.0});
    const double shade = 0.45 + 0.55 * std::max(0.0, Dot(hit.normal, to_light));
    const Rgb base = BaseColour(hit);
    auto channel = [shade](uint8_t value) { return static_cast<uint8_t>(std::lround(value * shade)); };
    return {channel(base.r), channel(base.g), channel(base.b)};
}

CalibrationBlock SensorCalibration(uint32_t sensor) {
    CalibrationBlock block{};
    if (sensor >= kSensorCount) return block;
    const SensorPose& pose = kPoses[sensor];
    std::copy(pose.distortion, pose.distortion + 5, block.distortion);
    const double k[9] = {pose.fx, 0, pose.cx, 0, pose.fy, pose.cy, 0, 0, 1};
    for (int i = 0; i < 9; ++i) block.intrinsic[i] = static_cast<float>(k[i]);
    RotationXY(pose.about_x_deg * kPi / 180, pose.about_y_deg * kPi / 180, block.rotation);
    TranslationFromCentre(block.rotation, pose.centre, block.translation);
    return block;
}

void Distort(const float distortion[5], double xn, double yn, double* xd, double* yd) {
    const double k1 = distortion[0], k2 = distortion[1], p1 = distortion[2], p2 = distortion[3],
                 k3 = distortion[4];
    const double r2 = xn * xn + yn * yn;
    const double radial = 1 + k1 * r2 + k2 * r2 * r2;
    *xd = xn * (radial + k3 * xn * xn * xn) + 2 * p1 * xn * yn + p2 * (r2 + 2 * xn * xn);
    *yd = yn * (radial + k3 * yn * yn * yn) + p1 * (r2 + 2 * yn * yn) + 2 * p2 * xn * yn;
}

void Undistort(const float distortion[5], double xd, double yd, double* xn, double* yn) {
    double x = xd, y = yd;
    for (int iteration = 0; iteration < 20; ++iteration) {
        double fx, fy;
        Distort(distortion, x, y, &fx, &fy);
        const double dx = xd - fx, dy = yd - fy;
        x += dx;
        y += dy;
        if (std::fabs(dx) + std::fabs(dy) < 1e-13) break;
    }
    *xn = x;
    *yn = y;
}

bool Project(const CalibrationBlock& c, const Vec3& p, double* u, double* v) {
    const float* r = c.rotation;
    const double x = r[0] * p.x + r[1] * p.y + r[2] * p.z + c.translation[0];
    const double y = r[3] * p.x + r[4] * p.y + r[5] * p.z + c.translation[1];
    const double z = r[6] * p.x + r[7] * p.y + r[8] * p.z + c.translation[2];
    if (z <= 0) return false;
    double xd, yd;
    Distort(c.distortion, x / z, y / z, &xd, &yd);
    const float* k = c.intrinsic;
    *u = k[0] * xd + k[1] * yd + k[2];
    *v = k[3] * xd + k[4] * yd + k[5];
    return true;
}

void PixelRay(const CalibrationBlock& c, uint32_t u, uint32_t v, Vec3* origin, Vec3* direction) {
    const float* k = c.intrinsic;
    const double yd = (v + 0.5 - k[5]) / k[4];
    const double xd = (u + 0.5 - k[2] - k[1] * yd) / k[0];
    double xn, yn;
    Undistort(c.distortion, xd, yd, &xn, &yn);
    // Back from sensor to depth-sensor coordinates: p = R^T (q - t).
    const float* r = c.rotation;
    const float* t = c.translation;
    const Vec3 q{xn, yn, 1};
    *direction = {r[0] * q.x + r[3] * q.y + r[6] * q.z, r[1] * q.x + r[4] * q.y + r[7] * q.z,
                  r[2] * q.x + r[5] * q.y + r[8] * q.z};
    *origin = {-(r[0] * t[0] + r[3] * t[1] + r[6] * t[2]), -(r[1] * t[0] + r[4] * t[1] + r[7] * t[2]),
               -(r[2] * t[0] + r[5] * t[1] + r[8] * t[2])};
}

}  // namespace vcam::scene
