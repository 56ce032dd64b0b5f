#pragma once
// The synthetic scene that all three sensors of the virtual camera look at, in depth-sensor
// coordinates (millimetres, x right, y down, z away from the camera): a tilted background plane
// with a dark patch that returns no measurement, a red sphere and a green box in front of it.
// It is deterministic: the same ray always gives the same hit.

#include <cstdint>

#include "streaming/stream_engine.h"

namespace vcam::scene {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

enum class Surface : uint8_t { kNone, kBackground, kDarkPatch, kSphere, kBox };

struct Hit {
    Surface surface = Surface::kNone;
    Vec3 point;   // depth-sensor coordinates, mm
    Vec3 normal;  // unit, facing the ray
};

// Background plane z = kPlaneZ0 + kPlaneSlopeX * x + kPlaneSlopeY * y.
inline constexpr double kPlaneZ0 = 1500;
inline constexpr double kPlaneSlopeX = 0.2;
inline constexpr double kPlaneSlopeY = 0.1;
// The dark patch on the plane: x and y ranges where the plane absorbs the projector's light.
inline constexpr double kPatchMinX = -600, kPatchMaxX = -350;
inline constexpr double kPatchMinY = 150, kPatchMaxY = 400;
inline constexpr Vec3 kSphereCentre{-100, -80, 1000};
inline constexpr double kSphereRadius = 160;
inline constexpr Vec3 kBoxMin{180, -20, 950};
inline constexpr Vec3 kBoxMax{420, 260, 1150};

inline constexpr Rgb kSphereColour{210, 30, 30};
inline constexpr Rgb kBoxColour{30, 170, 50};
inline constexpr Rgb kPatchColour{18, 18, 18};
inline constexpr Rgb kBackgroundLight{200, 196, 176};
inline constexpr Rgb kBackgroundDark{150, 146, 130};

// The nearest surface hit by the ray origin + t * direction, t > 0.
Hit CastRay(const Vec3& origin, const Vec3& direction);

// Whether the depth sensor measures the surface (the dark patch returns nothing).
bool Measurable(Surface surface);

// The surface colour at a hit, lit by a fixed light above and to the left of the camera.
Rgb ShadedColour(const Hit& hit);

// A sensor's calibration as the camera stores it (see CalibrationBlock).
CalibrationBlock SensorCalibration(uint32_t sensor);

// The lens model the library's fusion applies to normalised coordinates (xn, yn): radial k1, k2,
// tangential p1, p2, and k3 on the cube of each axis' own coordinate.
void Distort(const float distortion[5], double xn, double yn, double* xd, double* yd);
// Its inverse, by fixed-point iteration (the camera's distortion is mild).
void Undistort(const float distortion[5], double xd, double yd, double* xn, double* yn);

// Where a depth-sensor point lands on a sensor's full pixel grid (continuous coordinates, the
// pixel whose index is the truncation), exactly as the fusion projects it. False behind the sensor.
bool Project(const CalibrationBlock& calibration, const Vec3& point, double* u, double* v);

// The ray through the centre of full-sensor pixel (u, v) of a sensor, in depth-sensor coordinates.
void PixelRay(const CalibrationBlock& calibration, uint32_t u, uint32_t v, Vec3* origin, Vec3* direction);

}  // namespace vcam::scene
