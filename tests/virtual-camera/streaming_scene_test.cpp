// The scene as the three sensors deliver it: depth where the scene has surfaces, nothing in the
// dark patch, and colour images that the library's depth/colour fusion lines up with the depth.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "scene/scene.h"
#include "streaming_fixture.h"

namespace vcam_test {
namespace {

using vcam::CalibrationBlock;
using vcam::StreamEngine;
namespace scene = vcam::scene;

constexpr uint32_t kFullWidth = 1280, kFullHeight = 1024;

struct Point {
    float x = 0, y = 0, z = 0;
    bool valid() const { return std::fabs(z) > 0.000001f; }
};

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool reddish() const { return r > 60 && r > 3 * g && r > 3 * b; }
    bool greenish() const { return g > 60 && g > 2 * r && g > 2 * b; }
};

// A point of a Coord3D_ABC16 image: little-endian signed X, Y and unsigned Z over the cloud unit.
Point DepthAt(const Block& block, uint32_t width, uint32_t u, uint32_t v, float unit) {
    const uint8_t* p = &block.image[(size_t{v} * width + u) * 6];
    const auto x = static_cast<int16_t>(p[0] | p[1] << 8), y = static_cast<int16_t>(p[2] | p[3] << 8);
    const auto z = static_cast<uint16_t>(p[4] | p[5] << 8);
    return {x / unit, y / unit, z / unit};
}

// Where the fusion puts a depth point on a colour frame, in single precision as it computes.
bool FusionPixel(const CalibrationBlock& c, const Point& p, uint32_t offset_x, uint32_t offset_y,
                 uint32_t width, uint32_t height, int* u, int* v) {
    const float* r = c.rotation;
    const float* t = c.translation;
    const float x = r[0] * p.x + r[1] * p.y + r[2] * p.z + t[0];
    const float y = r[3] * p.x + r[4] * p.y + r[5] * p.z + t[1];
    const float z = r[6] * p.x + r[7] * p.y + r[8] * p.z + t[2];
    if (z == 0) return false;
    const float xn = x / z, yn = y / z, r2 = xn * xn + yn * yn;
    const float* d = c.distortion;
    const float xd = xn * (1 + d[0] * r2 + d[1] * r2 * r2 + d[4] * xn * xn * xn) + 2 * d[2] * xn * yn +
                     d[3] * (r2 + 2 * xn * xn);
    const float yd = yn * (1 + d[0] * r2 + d[1] * r2 * r2 + d[4] * yn * yn * yn) + d[2] * (r2 + 2 * yn * yn) +
                     2 * d[3] * xn * yn;
    const float* k = c.intrinsic;
    const float uf = k[0] * xd + k[1] * yd + k[2] - static_cast<float>(offset_x);
    const float vf = k[3] * xd + k[4] * yd + k[5] - static_cast<float>(offset_y);
    if (!std::isfinite(uf) || !std::isfinite(vf) || std::fabs(uf) > 1e9f || std::fabs(vf) > 1e9f)
        return false;
    *u = static_cast<int>(uf);
    *v = static_cast<int>(vf);
    return *v > 0 && *v < static_cast<int>(height) && *u > 0 && *u < static_cast<int>(width);
}

Point ScenePoint(const scene::Vec3& p) {
    return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
}

double PlaneZ(double x, double y) {
    return scene::kPlaneZ0 + scene::kPlaneSlopeX * x + scene::kPlaneSlopeY * y;
}

double DistanceToSphere(const Point& p) {
    const double dx = p.x - scene::kSphereCentre.x, dy = p.y - scene::kSphereCentre.y,
                 dz = p.z - scene::kSphereCentre.z;
    return std::fabs(std::sqrt(dx * dx + dy * dy + dz * dz) - scene::kSphereRadius);
}

// Decoders of the colour formats, as the library reads them.
Rgb Rgb8At(const Block& b, uint32_t width, int u, int v) {
    const uint8_t* p = &b.image[(size_t(v) * width + u) * 3];
    return {p[0], p[1], p[2]};
}

Rgb Rgb565At(const Block& b, uint32_t width, int u, int v) {
    const uint8_t* p = &b.image[(size_t(v) * width + u) * 2];
    const int value = p[0] | p[1] << 8;
    return {(value >> 8) & 0xF8, (value >> 3) & 0xFC, (value << 3) & 0xF8};
}

Rgb YuyvAt(const Block& b, uint32_t width, int u, int v) {
    const uint8_t* group = &b.image[(size_t(v) * width + (u & ~1)) * 2];
    const double y = group[(u & 1) ? 2 : 0], cu = group[1] - 128.0, cv = group[3] - 128.0;
    auto clamp = [](double value) { return static_cast<int>(std::fmin(255, std::fmax(0, value))); };
    return {clamp(y + 1.401687 * cv - 0.00093 * cu), clamp(y - 0.3437 * cu - 0.71417 * cv),
            clamp(y + 1.77216 * cu - 0.00099 * cv)};
}

// The 2 x 2 Bayer cell (R G / G B) that holds pixel (u, v).
Rgb BayerCellAt(const Block& b, uint32_t width, int u, int v) {
    const size_t row = size_t(v & ~1) * width, col = size_t(u & ~1);
    return {b.image[row + col], b.image[row + col + 1], b.image[row + width + col + 1]};
}

class SceneTest : public EngineTest {
  protected:
    Block Depth(uint32_t width = kFullWidth, uint32_t height = kFullHeight, uint32_t ox = 0,
                uint32_t oy = 0) {
        return CaptureOne(0, View(0, vcam::kPixelCoord3D_ABC16, width, height, ox, oy));
    }
    Point At(const Block& depth, uint32_t u, uint32_t v) { return DepthAt(depth, kFullWidth, u, v, unit_); }
    // The depth pixel on which a scene point lies.
    void DepthPixelOf(const scene::Vec3& p, int* u, int* v) {
        ASSERT_TRUE(
            FusionPixel(StreamEngine::Calibration(0), ScenePoint(p), 0, 0, kFullWidth, kFullHeight, u, v));
    }
    const float unit_ = static_cast<float>(engine_.CloudUnit());
};

TEST_F(SceneTest, DepthFrameMeasuresSphereBoxAndPlaneButNotTheDarkPatch) {
    const Block depth = Depth();
    ASSERT_EQ(depth.image.size(), size_t{kFullWidth} * kFullHeight * 6);
    EXPECT_EQ(depth.leader->pixel_format, vcam::kPixelCoord3D_ABC16);

    int u, v;
    const scene::Vec3 sphere_front{scene::kSphereCentre.x, scene::kSphereCentre.y,
                                   scene::kSphereCentre.z - scene::kSphereRadius};
    DepthPixelOf(sphere_front, &u, &v);
    const Point on_sphere = At(depth, u, v);
    EXPECT_NEAR(on_sphere.z, sphere_front.z, 1.0);
    EXPECT_LT(DistanceToSphere(on_sphere), 0.5);

    const scene::Vec3 box_front{300, 120, scene::kBoxMin.z};
    DepthPixelOf(box_front, &u, &v);
    EXPECT_NEAR(At(depth, u, v).z, scene::kBoxMin.z, 0.2);

    const double patch_x = (scene::kPatchMinX + scene::kPatchMaxX) / 2,
                 patch_y = (scene::kPatchMinY + scene::kPatchMaxY) / 2;
    DepthPixelOf({patch_x, patch_y, PlaneZ(patch_x, patch_y)}, &u, &v);
    const Point in_patch = At(depth, u, v);
    EXPECT_EQ(in_patch.x, 0);
    EXPECT_EQ(in_patch.y, 0);
    EXPECT_EQ(in_patch.z, 0);

    const Point background = At(depth, 1200, 60);
    ASSERT_TRUE(background.valid());
    EXPECT_NEAR(background.z, PlaneZ(background.x, background.y), 0.3);
}

TEST_F(SceneTest, EveryDepthPointProjectsBackOntoItsOwnPixel) {
    const Block depth = Depth();
    const CalibrationBlock calibration = StreamEngine::Calibration(0);
    size_t checked = 0, invalid = 0;
    for (uint32_t v = 1; v < kFullHeight; v += 7) {
        for (uint32_t u = 1; u < kFullWidth; u += 11) {
            const Point p = At(depth, u, v);
            if (!p.valid()) {
                ++invalid;
                continue;
            }
            int pu, pv;
            ASSERT_TRUE(FusionPixel(calibration, p, 0, 0, kFullWidth, kFullHeight, &pu, &pv))
                << u << "," << v;
            // Raw steps of 0.1 mm move a point by far less than a pixel; allow the edge of one.
            EXPECT_LE(std::abs(pu - static_cast<int>(u)), 1);
            EXPECT_LE(std::abs(pv - static_cast<int>(v)), 1);
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000u);
    EXPECT_GT(invalid, 50u);  // the dark patch
}

TEST_F(SceneTest, FusionColoursTheSpherePointsRedAndTheBoxPointsGreen) {
    const Block depth = Depth();
    const Block colour = CaptureOne(1, View(1, vcam::kPixelRGB8, kFullWidth, kFullHeight));
    ASSERT_EQ(colour.image.size(), size_t{kFullWidth} * kFullHeight * 3);
    const CalibrationBlock calibration = StreamEngine::Calibration(1);
    size_t sphere_hits = 0, sphere_red = 0, box_hits = 0, box_green = 0;
    for (uint32_t v = 0; v < kFullHeight; v += 2) {
        for (uint32_t u = 0; u < kFullWidth; u += 2) {
            const Point p = At(depth, u, v);
            int cu, cv;
            if (!p.valid() || !FusionPixel(calibration, p, 0, 0, kFullWidth, kFullHeight, &cu, &cv)) continue;
            const Rgb rgb = Rgb8At(colour, kFullWidth, cu, cv);
            if (DistanceToSphere(p) < 0.5) {
                ++sphere_hits;
                sphere_red += rgb.reddish();
            } else if (std::fabs(p.z - scene::kBoxMin.z) < 0.2 && p.x > scene::kBoxMin.x &&
                       p.x < scene::kBoxMax.x) {
                ++box_hits;
                box_green += rgb.greenish();
            }
        }
    }
    ASSERT_GT(sphere_hits, 5000u);
    ASSERT_GT(box_hits, 5000u);
    // Only points on the rim may fall just beside the sphere in the colour view.
    EXPECT_GT(sphere_red, sphere_hits * 97 / 100);
    EXPECT_GT(box_green, box_hits * 97 / 100);
}

struct ColourFormatCase {
    const char* name;
    uint32_t pixel_format;
    Rgb (*decode)(const Block&, uint32_t width, int u, int v);
};

class ColourFormatTest : public SceneTest, public ::testing::WithParamInterface<ColourFormatCase> {};

TEST_P(ColourFormatTest, SphereCentreIsRedAndTheBackgroundIsNotInARegionOfInterest) {
    constexpr uint32_t kWidth = 640, kHeight = 480, kOffsetX = 320, kOffsetY = 256;
    const Block colour =
        CaptureOne(1, View(1, GetParam().pixel_format, kWidth, kHeight, kOffsetX, kOffsetY, 1500));
    ASSERT_EQ(colour.image.size(), StreamEngine::PayloadSize(1, kWidth, kHeight, GetParam().pixel_format));
    EXPECT_EQ(colour.leader->offset_x, kOffsetX);
    EXPECT_EQ(colour.leader->offset_y, kOffsetY);

    const CalibrationBlock calibration = StreamEngine::Calibration(1);
    const scene::Vec3 sphere_front{scene::kSphereCentre.x, scene::kSphereCentre.y,
                                   scene::kSphereCentre.z - scene::kSphereRadius};
    int u, v;
    ASSERT_TRUE(
        FusionPixel(calibration, ScenePoint(sphere_front), kOffsetX, kOffsetY, kWidth, kHeight, &u, &v));
    const Rgb sphere = GetParam().decode(colour, kWidth, u, v);
    EXPECT_TRUE(sphere.reddish()) << sphere.r << " " << sphere.g << " " << sphere.b;

    const scene::Vec3 plane_point{150, -220, PlaneZ(150, -220)};
    ASSERT_TRUE(
        FusionPixel(calibration, ScenePoint(plane_point), kOffsetX, kOffsetY, kWidth, kHeight, &u, &v));
    const Rgb background = GetParam().decode(colour, kWidth, u, v);
    EXPECT_GT(background.g, 80);
    EXPECT_LT(std::abs(background.r - background.g), 40);
}

INSTANTIATE_TEST_SUITE_P(Formats, ColourFormatTest,
                         ::testing::Values(ColourFormatCase{"RGB8", vcam::kPixelRGB8, Rgb8At},
                                           ColourFormatCase{"RGB565p", vcam::kPixelRGB565p, Rgb565At},
                                           ColourFormatCase{"YUV422_8", vcam::kPixelYUV422_8, YuyvAt},
                                           ColourFormatCase{"BayerRG8", vcam::kPixelBayerRG8, BayerCellAt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SceneTest, GreySensorSeesTheDarkPatchDarkAndThePlaneBright) {
    const Block grey = CaptureOne(2, View(2, vcam::kPixelMono8, kFullWidth, kFullHeight));
    ASSERT_EQ(grey.image.size(), size_t{kFullWidth} * kFullHeight);
    const CalibrationBlock calibration = StreamEngine::Calibration(2);
    const double patch_x = (scene::kPatchMinX + scene::kPatchMaxX) / 2,
                 patch_y = (scene::kPatchMinY + scene::kPatchMaxY) / 2;
    int u, v;
    ASSERT_TRUE(FusionPixel(calibration, ScenePoint({patch_x, patch_y, PlaneZ(patch_x, patch_y)}), 0, 0,
                            kFullWidth, kFullHeight, &u, &v));
    EXPECT_LT(grey.image[size_t(v) * kFullWidth + u], 30);
    ASSERT_TRUE(FusionPixel(calibration, ScenePoint({150, -300, PlaneZ(150, -300)}), 0, 0, kFullWidth,
                            kFullHeight, &u, &v));
    EXPECT_GT(grey.image[size_t(v) * kFullWidth + u], 100);
}

TEST_F(SceneTest, RegionOfInterestIsTheMatchingWindowOfTheFullFrame) {
    const Block full = Depth();
    constexpr uint32_t kWidth = 200, kHeight = 100, kOffsetX = 333, kOffsetY = 411;
    const Block window = Depth(kWidth, kHeight, kOffsetX, kOffsetY);
    ASSERT_EQ(window.image.size(), size_t{kWidth} * kHeight * 6);
    for (uint32_t row = 0; row < kHeight; ++row) {
        const auto full_row = full.image.begin() + (size_t{row + kOffsetY} * kFullWidth + kOffsetX) * 6;
        ASSERT_TRUE(
            std::equal(full_row, full_row + kWidth * 6, window.image.begin() + size_t{row} * kWidth * 6))
            << "row " << row;
    }
}

TEST(NoisyScene, NoiseChangesFromFrameToFrameAndStrayPointsAreRare) {
    vcam::EngineOptions noisy = QuietOptions();
    noisy.noise = 0.5;
    noisy.outlier_ratio = 0.001;
    vcam::StreamEngine engine(noisy), quiet(QuietOptions());
    Listener listener;
    auto capture = [&listener](vcam::StreamEngine& source, size_t count) {
        EXPECT_TRUE(
            StartTriggered(source, listener, 0, View(0, vcam::kPixelCoord3D_ABC16, 640, 512, 320, 256)));
        Fire(source, 0, count);
        auto blocks = Assemble(listener.ReceiveBlocks(count));
        source.Stop(0);
        return blocks;
    };
    const auto clean = capture(quiet, 1);
    const auto frames = capture(engine, 2);
    ASSERT_EQ(clean.size(), 1u);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(frames[0].image.size(), clean[0].image.size());
    EXPECT_NE(frames[0].image, frames[1].image);

    size_t valid = 0, near = 0, stray = 0;
    for (uint32_t v = 0; v < 512; ++v) {
        for (uint32_t u = 0; u < 640; ++u) {
            const Point a = DepthAt(clean[0], 640, u, v, 10), b = DepthAt(frames[0], 640, u, v, 10);
            if (!a.valid()) continue;
            ++valid;
            const float error = std::fabs(a.z - b.z);
            near += error < 3.0f;
            stray += error > 20.0f;
        }
    }
    EXPECT_GT(near, valid * 99 / 100);
    EXPECT_GT(stray, valid / 3000);
    EXPECT_LT(stray, valid / 300);
}

TEST(SceneUnits, PointsBeyondTheRangeOfTheCloudUnitAreSentAsNoMeasurement) {
    // At 40 steps per mm an unsigned 16-bit Z reaches 1638 mm: the far corner of the plane is beyond.
    vcam::EngineOptions options = QuietOptions();
    options.cloud_unit = 40;
    vcam::StreamEngine engine(options);
    Listener listener;
    ASSERT_TRUE(
        StartTriggered(engine, listener, 0, View(0, vcam::kPixelCoord3D_ABC16, kFullWidth, kFullHeight)));
    Fire(engine, 0, 1);
    const std::vector<Block> blocks = Assemble(listener.ReceiveBlocks(1));
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_TRUE(blocks[0].complete());
    const Point far_corner = DepthAt(blocks[0], kFullWidth, 1270, 1000, 40);
    EXPECT_EQ(far_corner.x, 0);
    EXPECT_EQ(far_corner.z, 0);
    int u, v;
    ASSERT_TRUE(FusionPixel(StreamEngine::Calibration(0),
                            ScenePoint({scene::kSphereCentre.x, scene::kSphereCentre.y,
                                        scene::kSphereCentre.z - scene::kSphereRadius}),
                            0, 0, kFullWidth, kFullHeight, &u, &v));
    EXPECT_NEAR(DepthAt(blocks[0], kFullWidth, u, v, 40).z, scene::kSphereCentre.z - scene::kSphereRadius,
                0.5);
}

TEST(SceneModel, DistortionFollowsTheFusionModelAndUndistortInvertsIt) {
    const float k3_only[5] = {0, 0, 0, 0, 1};
    double xd, yd;
    scene::Distort(k3_only, 0.5, 0, &xd, &yd);
    EXPECT_DOUBLE_EQ(xd, 0.5625);  // k3 acts on xn cubed, not on r2 cubed
    EXPECT_DOUBLE_EQ(yd, 0);

    const CalibrationBlock colour = StreamEngine::Calibration(1);
    for (double xn : {-0.45, -0.1, 0.0, 0.3, 0.5}) {
        for (double yn : {-0.4, 0.0, 0.2, 0.38}) {
            double x, y;
            scene::Distort(colour.distortion, xn, yn, &xd, &yd);
            scene::Undistort(colour.distortion, xd, yd, &x, &y);
            EXPECT_NEAR(x, xn, 1e-9);
            EXPECT_NEAR(y, yn, 1e-9);
        }
    }
}

TEST(SceneModel, PixelRaysOfEverySensorProjectBackToThePixelCentre) {
    for (uint32_t sensor = 0; sensor < vcam::kSensorCount; ++sensor) {
        const CalibrationBlock calibration = StreamEngine::Calibration(sensor);
        for (uint32_t u : {0u, 17u, 640u, 1279u}) {
            for (uint32_t v : {0u, 500u, 1023u}) {
                scene::Vec3 origin, direction;
                scene::PixelRay(calibration, u, v, &origin, &direction);
                const scene::Hit hit = scene::CastRay(origin, direction);
                ASSERT_NE(hit.surface, scene::Surface::kNone);
                double pu, pv;
                ASSERT_TRUE(scene::Project(calibration, hit.point, &pu, &pv));
                EXPECT_NEAR(pu, u + 0.5, 1e-3) << "sensor " << sensor;
                EXPECT_NEAR(pv, v + 0.5, 1e-3) << "sensor " << sensor;
            }
        }
    }
}

TEST(SceneModel, CalibrationBytesHoldTheFloatsLittleEndianInMemoryOrder) {
    auto float_at = [](const uint8_t* p) {
        const uint32_t bits =
            uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        float value;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
    };
    for (uint32_t sensor = 0; sensor < vcam::kSensorCount; ++sensor) {
        uint8_t internal[56], external[48];
        StreamEngine::CalibrationBytes(sensor, internal, external);
        const CalibrationBlock c = StreamEngine::Calibration(sensor);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(float_at(internal + 4 * i), c.distortion[i]);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(float_at(internal + 20 + 4 * i), c.intrinsic[i]);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(float_at(external + 4 * i), c.rotation[i]);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(float_at(external + 36 + 4 * i), c.translation[i]);
    }
    const CalibrationBlock depth = StreamEngine::Calibration(0);
    const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(depth.rotation[i], identity[i]);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(depth.translation[i], 0);
    EXPECT_NE(StreamEngine::Calibration(1).translation[0], 0);  // the colour sensor sits beside it
}

TEST(SceneModel, PayloadSizeFollowsFormatAndSensor) {
    struct Case {
        uint32_t sensor, pixel_format, bytes;
    };
    const Case cases[] = {
        {0, vcam::kPixelCoord3D_ABC16, 6 * 1280 * 1024},
        {1, vcam::kPixelBayerRG8, 1280 * 1024},
        {1, vcam::kPixelYUV422_8, 2 * 1280 * 1024},
        {1, vcam::kPixelRGB8, 3 * 1280 * 1024},
        {1, vcam::kPixelRGB565p, 2 * 1280 * 1024},
        {2, vcam::kPixelMono8, 1280 * 1024},
        {0, vcam::kPixelMono8, 0},
        {2, vcam::kPixelRGB8, 0},
        {1, vcam::kPixelCoord3D_ABC16, 0},
        {3, vcam::kPixelMono8, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StreamEngine::PayloadSize(c.sensor, 1280, 1024, c.pixel_format), c.bytes)
            << c.sensor << " " << std::hex << c.pixel_format;
        EXPECT_EQ(StreamEngine::SupportsFormat(c.sensor, c.pixel_format), c.bytes != 0);
    }
}

}  // namespace
}  // namespace vcam_test
