// Depth-colour fusion and ROI mapping: the projection's examples, the fast paths against the plain
// loops, the resampled cloud, and the failures reported instead of raised (no calibration record, no
// CmosIndex register).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cloud_test_support.h"
#include "processing/fusion.h"
#include "processing/morphology.h"
#include "processing/roi_mapping.h"
#include "support/cloud_frame.h"
#include "support/fake_camera.h"

namespace {

using cloud_test::CloudCameraTest;
using cloud_test::RawCloud;
using tavi::test::FakeCamera;
using tavi::test::FrameOver;

// Identity pose, no distortion, fx = fy = 500, centre (320, 240).
CmosCalibration PinholeCalibration() {
    CmosCalibration c{};
    const float k[9] = {500, 0, 320, 0, 500, 240, 0, 0, 1};
    std::copy(k, k + 9, c.intrinsic);
    c.rotation[0] = c.rotation[4] = c.rotation[8] = 1;
    return c;
}

uint32_t Landing(const CmosCalibration& c, float x, float y, float z, uint32_t width = 640,
                 uint32_t height = 480) {
    const float point[3] = {x, y, z};
    uint32_t pixel = 0;
    tavi::LandingPixelsReference(point, 1, tavi::ModelOf(c, 0, 0), width, height, &pixel);
    return pixel;
}

TEST(Projection, PointOnTheAxisLandsOnTheImageCentre) {
    EXPECT_EQ(Landing(PinholeCalibration(), 0, 0, 1000), 240u * 640 + 320);
}

TEST(Projection, ColumnZeroRowZeroAndDepthZeroAreMisses) {
    const CmosCalibration c = PinholeCalibration();
    EXPECT_EQ(Landing(c, -320, 0, 500), tavi::kNoPixel) << "u = 0";
    EXPECT_EQ(Landing(c, 0, -240, 500), tavi::kNoPixel) << "v = 0";
    EXPECT_EQ(Landing(c, -318, 0, 500), 240u * 640 + 2);
    EXPECT_EQ(Landing(c, 5, 5, 0), tavi::kNoPixel) << "z' = 0";
    EXPECT_EQ(Landing(c, 0, 0, 0), tavi::kNoPixel) << "0 / 0";
    EXPECT_EQ(Landing(c, 1e30f, 0, 1), tavi::kNoPixel) << "far outside";
}

TEST(Projection, K3UsesTheCubeOfTheSameAxis) {
    CmosCalibration c{};
    c.distortion[4] = 1;  // k3
    const float k[9] = {1000, 0, 0, 0, 1000, 0, 0, 0, 1};
    std::copy(k, k + 9, c.intrinsic);
    c.rotation[0] = c.rotation[4] = c.rotation[8] = 1;
    float u = 0, v = 0;
    tavi::ProjectToImage(tavi::ModelOf(c, 0, 0), 0.5f, 0.0f, 1.0f, &u, &v);
    EXPECT_FLOAT_EQ(u, 562.5f);  // 1000 x 0.5 x (1 + 0.125)
    EXPECT_FLOAT_EQ(v, 0.0f);
}

TEST(Projection, FrameOffsetsShiftThePixel) {
    float u = 0, v = 0;
    tavi::ProjectToImage(tavi::ModelOf(PinholeCalibration(), 100, 40), 0.0f, 0.0f, 1000.0f, &u, &v);
    EXPECT_EQ(static_cast<int>(u), 220);
    EXPECT_EQ(static_cast<int>(v), 200);
}

CmosCalibration RandomCalibration(std::mt19937& random) {
    std::uniform_real_distribution<float> small(-0.05f, 0.05f);
    CmosCalibration c = PinholeCalibration();
    for (int n = 0; n < 5; ++n) c.distortion[n] = small(random);
    for (int n = 0; n < 9; ++n) c.rotation[n] += small(random);
    c.translation[0] = 50 * small(random) * 20;
    c.translation[1] = 20 * small(random);
    return c;
}

std::vector<float> RandomPoints(std::mt19937& random, size_t count) {
    std::uniform_real_distribution<float> lateral(-700, 700), depth(-50, 3000);
    std::vector<float> xyz(count * 3);
    for (size_t n = 0; n < count; ++n) {
        xyz[3 * n] = lateral(random);
        xyz[3 * n + 1] = lateral(random);
        xyz[3 * n + 2] = n % 17 == 0 ? 0.0f : depth(random);
    }
    if (count > 1) xyz[3] = std::numeric_limits<float>::infinity();
    return xyz;
}

TEST(FusionPaths, VectorPathsMatchThePlainLoopsOnRandomPoints) {
    std::mt19937 random(3);
    for (size_t count : {size_t{1}, size_t{7}, size_t{8}, size_t{1003}, size_t{70001}}) {
        const std::vector<float> xyz = RandomPoints(random, count);
        const tavi::SensorModel model = tavi::ModelOf(RandomCalibration(random), 12, 8);
        std::vector<uint32_t> reference(count), fast(count);
        tavi::LandingPixelsReference(xyz.data(), count, model, 640, 480, reference.data());
        tavi::LandingPixels(xyz.data(), count, model, 640, 480, fast.data());
        EXPECT_EQ(fast, reference) << count;
        std::vector<uint32_t> one_core(count);
        tavi::LandingPixelsOnThisCore(xyz.data(), count, model, 640, 480, one_core.data());
        EXPECT_EQ(one_core, reference) << count;

        std::vector<uint8_t> pixels(640 * 480 * 3);
        for (uint8_t& p : pixels) p = static_cast<uint8_t>(random());
        const tavi::ColourImage image{pixels.data(), 640, 480};
        std::vector<float> fused_reference(count * 6, -1), fused_fast(count * 6, -2);
        tavi::FusePointsReference(xyz.data(), count, model, image, fused_reference.data());
        tavi::FusePoints(xyz.data(), count, model, image, fused_fast.data());
        EXPECT_EQ(0, std::memcmp(fused_fast.data(), fused_reference.data(), count * 6 * sizeof(float)))
            << count;
        std::vector<float> fused_one_core(count * 6, -3);
        tavi::FusePointsOnThisCore(xyz.data(), count, model, image, fused_one_core.data());
        EXPECT_EQ(0, std::memcmp(fused_one_core.data(), fused_reference.data(), count * 6 * sizeof(float)))
            << count;
    }
}

TEST(FusionPaths, FusedRecordsHoldThePointAndItsPixelsBytesReversed) {
    const float xyz[6] = {0, 0, 1000, -320, 0, 500};
    std::vector<uint8_t> pixels(640 * 480 * 3);
    uint8_t* centre = &pixels[(240 * 640 + 320) * 3];
    centre[0] = 10;
    centre[1] = 20;
    centre[2] = 30;
    float fused[12];
    tavi::FusePoints(xyz, 2, tavi::ModelOf(PinholeCalibration(), 0, 0), {pixels.data(), 640, 480}, fused);
    const float expected[12] = {0, 0, 1000, 30, 20, 10, 0, 0, 0, 0, 0, 0};
    for (int n = 0; n < 12; ++n) EXPECT_EQ(fused[n], expected[n]) << n;
}

class Fusion : public CloudCameraTest {
  protected:
    // A 640 x 480 RGB8 colour frame; its pixels are not used by the resampling.
    PhotoInfo ColourFrame(uint32_t format) {
        colour_bytes_.assign(640 * 480 * 3, 0);
        return FrameOver(colour_bytes_, format, 640, 480, 1);
    }
    std::vector<uint8_t> colour_bytes_;
};

TEST_F(Fusion, ResampledCloudKeepsTheLaterOfTwoPointsOnOnePixel) {
    camera_.calibration = {CmosCalibration{}, PinholeCalibration()};
    RawCloud cloud(4, 1, 10);
    cloud.Set(0, 0, 0, 10000);    // (0, 0, 1000) mm: pixel (240, 320)
    cloud.Set(1, 0, 0, 20000);    // (0, 0, 2000): the same pixel, later
    cloud.Set(2, 100, 50, 5000);  // (10, 5, 500): pixel (245, 330)
    cloud.Set(3, 0, 0, 0);        // no measurement: must not erase the pixel its origin lands on
    PhotoInfo cloud_frame = cloud.Frame();
    PhotoInfo colour = ColourFrame(kPixelRGB8);
    std::vector<uint8_t> out(640 * 480 * 6, 0xEE);
    PhotoInfo result{};
    result.data = out.data();
    result.channel_index = 7;
    ASSERT_EQ(camera_.Fusion3DToRGB(colour, cloud_frame, result), 0);
    EXPECT_EQ(result.width, 640u);
    EXPECT_EQ(result.height, 480u);
    EXPECT_EQ(result.cloud_unit, 10u);
    EXPECT_EQ(result.pixel_format, kPixelCoord3D_ABC16);
    EXPECT_EQ(result.payload_size, 640u * 480 * 6);
    EXPECT_EQ(result.channel_index, 7) << "other fields stay";
    RawCloud resampled(640, 480, 10);
    resampled.bytes = out;
    EXPECT_EQ(resampled.Get(240, 320), (std::array<int, 3>{0, 0, 20000}));
    EXPECT_EQ(resampled.Get(245, 330), (std::array<int, 3>{100, 50, 5000}));
    size_t set = 0;
    for (size_t n = 0; n < resampled.Points(); ++n) set += !resampled.IsCleared(n);
    EXPECT_EQ(set, 2u);
}

TEST_F(Fusion, ResamplingRefusesMono8AndACameraWithoutColourCalibration) {
    RawCloud cloud(2, 1, 1);
    PhotoInfo cloud_frame = cloud.Frame();
    std::vector<uint8_t> out(640 * 480 * 6);
    PhotoInfo result{};
    result.data = out.data();
    camera_.calibration = {CmosCalibration{}, PinholeCalibration()};
    PhotoInfo grey = ColourFrame(kPixelMono8);
    EXPECT_EQ(camera_.Fusion3DToRGB(grey, cloud_frame, result), -59);
    camera_.calibration.resize(1);
    PhotoInfo colour = ColourFrame(kPixelRGB565p);
    EXPECT_EQ(camera_.Fusion3DToRGB(colour, cloud_frame, result), -2);
    EXPECT_NE(
        LogText().find("[function:Fusion3DToRGB] The camera has no calibration of sensor 1, error code: -2"),
        std::string::npos);
}

TEST_F(Fusion, ResamplingRefusesAFrameThatIsNotAPointCloud) {
    camera_.calibration = {CmosCalibration{}, PinholeCalibration()};
    std::vector<uint8_t> grey_bytes(4 * 2, 9);
    PhotoInfo grey = FrameOver(grey_bytes, kPixelMono8, 4, 2);
    PhotoInfo colour = ColourFrame(kPixelRGB8);
    std::vector<uint8_t> out(640 * 480 * 6, 0xEE);
    PhotoInfo result{};
    result.data = out.data();
    EXPECT_EQ(camera_.Fusion3DToRGB(colour, grey, result), -2);
    EXPECT_EQ(result.width, 0u);
    EXPECT_EQ(result.payload_size, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(640 * 480 * 6, 0xEE));
    EXPECT_NE(LogText().find("[function:Fusion3DToRGB] Failed to fusion rgb to 3D point cloud due to the "
                             "incoming parameters error, error code: -2"),
              std::string::npos);
}

TEST_F(Fusion, ColouringWithoutAReadableCmosIndexIsAnErrorCode) {
    camera_.calibration = {CmosCalibration{}, PinholeCalibration()};
    RawCloud cloud(2, 1, 1);
    PhotoInfo cloud_frame = cloud.Frame();
    PhotoInfo colour = ColourFrame(kPixelRGB8);
    std::vector<float> fused(12, 5.0f);
    EXPECT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, fused.data()), -11);
    EXPECT_EQ(fused, std::vector<float>(12, 5.0f));
    EXPECT_NE(LogText().find(
                  "[function:FusionImageTo3D] Failed to read the CmosIndex of channel 1, error code: -11"),
              std::string::npos);
}

TEST_F(Fusion, ColouringRefusesBadFramesAndUnknownColourFormats) {
    RawCloud cloud(2, 1, 1);
    PhotoInfo cloud_frame = cloud.Frame();
    std::vector<float> fused(12);
    PhotoInfo bayer = ColourFrame(kPixelBayerRG8);
    EXPECT_EQ(camera_.FusionImageTo3D(bayer, cloud_frame, fused.data()), -59);
    PhotoInfo colour = ColourFrame(kPixelRGB8);
    colour.payload_size -= 1;
    EXPECT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, fused.data()), -2);
    colour.payload_size += 1;
    EXPECT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, nullptr), -2);
    PhotoInfo not_a_cloud = colour;
    EXPECT_EQ(camera_.FusionImageTo3D(colour, not_a_cloud, fused.data()), -2);
    EXPECT_NE(LogText().find("[function:FusionImageTo3D] Failed to fusion image to 3D point cloud due to the "
                             "incoming parameters error, error code: -2"),
              std::string::npos);
}

TEST_F(Fusion, RoiMappingWithoutAReadableCmosIndexLeavesTheMaskAlone) {
    camera_.calibration = {PinholeCalibration(), PinholeCalibration()};
    RawCloud cloud(2, 1, 1);
    PhotoInfo cloud_frame = cloud.Frame();
    PhotoInfo colour = ColourFrame(kPixelRGB8);
    RoiPoint rect{10, 10, 0, 0};
    std::vector<int> mask(640 * 480, 3);
    EXPECT_EQ(camera_.ROIPixelMapping(cloud_frame, colour, colour, rect, mask.data()), -11);
    EXPECT_EQ(mask, std::vector<int>(640 * 480, 3));
    EXPECT_NE(LogText().find(
                  "[function:ROIPixelMapping] Failed to read the CmosIndex of channel 0, error code: -11"),
              std::string::npos);
}

// A connected scripted camera whose channel c reads CmosIndex c, with the pinhole record for sensors
// 0 and 1 and none for sensor 2.
class FusionOnACamera : public ::testing::Test {
  protected:
    static constexpr uint32_t kCmosIndex = 0x90000;
    static constexpr uint32_t kChannelStride = 0x40;

    void SetUp() override {
        ASSERT_TRUE(fake_.peer.ok());
        std::string description = tavi::test::kFakeDescription;
        const std::string port = "<Port Name=\"Device\"/>";
        description.replace(description.find(port), port.size(),
                            "<IntReg Name=\"CmosIndex\"><Address>0x90000</Address><Length>4</Length>"
                            "<pPort>Device</pPort></IntReg>\n" +
                                port);
        fake_.SetDescription("Local:fake.xml", tavi::test::TextBytes(description));
        for (uint32_t channel = 0; channel < 3; ++channel)
            fake_.peer.SetRegister(kCmosIndex + kChannelStride * channel, channel);
        LogSwitches::error = 1;
        DiscoveryInfo info = fake_.Info(1500, serial_.c_str());
        ASSERT_EQ(camera_.CameraConnect(&info), 0);
        camera_.calibration = {PinholeCalibration(), PinholeCalibration()};
    }
    void TearDown() override {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
        LogSwitches::AllOff();
        std::remove((serial_ + ".log").c_str());
    }

    // The log so far; the connection is closed first, which flushes it.
    std::string LogText() {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
        return cloud_test::ReadFile(serial_ + ".log");
    }

    // A 640 x 480 frame of `format` with `bytes_per_pixel`, zero but for what a test sets, seen
    // through `channel`.
    PhotoInfo ColourFrame(uint32_t format, uint32_t bytes_per_pixel, uint16_t channel = 1) {
        colour_bytes_.assign(640 * 480 * size_t{bytes_per_pixel}, 0);
        return FrameOver(colour_bytes_, format, 640, 480, channel);
    }
    uint8_t* PixelAt(size_t row, size_t column, uint32_t bytes_per_pixel) {
        return &colour_bytes_[(row * 640 + column) * bytes_per_pixel];
    }

    // Three points: (0, 0, 1024) lands on (240, 320), (11, 0, 1024) on (240, 325), and a point
    // without measurement, which misses.
    static RawCloud ThreePoints() {
        RawCloud cloud(3, 1, 1);
        cloud.Set(0, 0, 0, 1024);
        cloud.Set(1, 11, 0, 1024);
        return cloud;
    }

    FakeCamera fake_;
    std::string serial_ = "J" + std::to_string(getpid());
    GigeCamera camera_;
    std::vector<uint8_t> colour_bytes_;
};

TEST_F(FusionOnACamera, GreyFrameGivesItsGreyInAllThreeColourValues) {
    PhotoInfo grey = ColourFrame(kPixelMono8, 1);
    *PixelAt(240, 320, 1) = 77;
    *PixelAt(240, 321, 1) = 1;  // neighbours differ, so a pixel read as three bytes shows
    *PixelAt(240, 325, 1) = 200;
    RawCloud cloud = ThreePoints();
    PhotoInfo cloud_frame = cloud.Frame();
    std::vector<float> fused(18, -1.0f);
    ASSERT_EQ(camera_.FusionImageTo3D(grey, cloud_frame, fused.data()), 0);
    const std::vector<float> expected{0, 0, 1024, 77, 77, 77, 11, 0, 1024, 200, 200, 200, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(fused, expected);
    EXPECT_EQ(grey.pixel_format, kPixelMono8);  // the caller's frame is left as it was
}

TEST_F(FusionOnACamera, Rgb565PointsHoldRedGreenBlue) {
    PhotoInfo colour = ColourFrame(kPixelRGB565p, 2);
    // 0xAE67 (little-endian): red 10101, green 110011, blue 00111.
    PixelAt(240, 320, 2)[0] = 0x67;
    PixelAt(240, 320, 2)[1] = 0xAE;
    PixelAt(240, 325, 2)[0] = 0x1F;  // blue alone
    RawCloud cloud = ThreePoints();
    PhotoInfo cloud_frame = cloud.Frame();
    std::vector<float> fused(18, -1.0f);
    ASSERT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, fused.data()), 0);
    const std::vector<float> expected{0, 0, 1024, 168, 204, 56, 11, 0, 1024, 0, 0, 248, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(fused, expected);
}

TEST_F(FusionOnACamera, SensorsWithoutACalibrationRecordAreReportedByName) {
    RawCloud cloud = ThreePoints();
    PhotoInfo cloud_frame = cloud.Frame();  // channel 0: sensor 0
    PhotoInfo colour = ColourFrame(kPixelRGB8, 3, 2);
    std::vector<float> fused(18, 5.0f);
    EXPECT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, fused.data()), -2);
    EXPECT_EQ(fused, std::vector<float>(18, 5.0f));

    PhotoInfo source = ColourFrame(kPixelRGB8, 3, 1);
    PhotoInfo target = source;
    target.channel_index = 2;
    RoiPoint rect{640, 480, 0, 0};
    std::vector<int> mask(640 * 480, 3);
    EXPECT_EQ(camera_.ROIPixelMapping(cloud_frame, source, target, rect, mask.data()), -2);
    EXPECT_EQ(camera_.ROIPixelMapping(cloud_frame, target, source, rect, mask.data()), -2);
    cloud_frame.channel_index = 2;  // the cloud's own sensor is looked up as well
    EXPECT_EQ(camera_.ROIPixelMapping(cloud_frame, source, source, rect, mask.data()), -2);
    EXPECT_EQ(mask, std::vector<int>(640 * 480, 3));

    fake_.peer.SetRegister(kCmosIndex + 2 * kChannelStride, 0xFFFFFFFFu);  // a negative index
    EXPECT_EQ(camera_.FusionImageTo3D(colour, cloud_frame, fused.data()), -2);
    const std::string log = LogText();
    EXPECT_NE(
        log.find("[function:FusionImageTo3D] The camera has no calibration of sensor 2, error code: -2"),
        std::string::npos);
    EXPECT_NE(
        log.find("[function:ROIPixelMapping] The camera has no calibration of sensor 2, error code: -2"),
        std::string::npos);
    EXPECT_NE(
        log.find("[function:FusionImageTo3D] The camera has no calibration of sensor -1, error code: -2"),
        std::string::npos);
}

// A point seen at source pixel (v, u) is filed under (v - 1, u - 1); the rectangle is clipped to the
// source image and an empty rectangle marks nothing.
TEST(RoiMapping, RectangleMarksTheMappedTargetPixelsAndIsClipped) {
    PhotoInfo source{}, target{};
    source.width = 640;
    source.height = 480;
    target.width = 320;
    target.height = 240;
    CmosCalibration half = PinholeCalibration();
    half.intrinsic[0] = half.intrinsic[4] = 250;
    half.intrinsic[2] = 160;
    half.intrinsic[5] = 120;
    std::vector<float> xyz;
    for (int y = -100; y <= 100; y += 20)
        for (int x = -100; x <= 100; x += 20) xyz.insert(xyz.end(), {float(x), float(y), 1000.0f});
    std::vector<tavi::TargetPixel> table(640 * 480, tavi::TargetPixel{0, 0});
    tavi::FillMappingTable(xyz.data(), xyz.size() / 3, tavi::ModelOf(PinholeCalibration(), 0, 0),
                           tavi::ModelOf(half, 0, 0), source, target, table.data());
    // (0, 0, 1000) is seen at source (240, 320) and target (120, 160).
    EXPECT_EQ(table[239 * 640 + 319].column, 160);
    EXPECT_EQ(table[239 * 640 + 319].row, 120);

    std::vector<int> mask(320 * 240, 0);
    tavi::MarkRectangle(table.data(), source, RoiPoint{0, 100, 300, 200}, target, mask.data());
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), 0) << "width 0";
    tavi::MarkRectangle(table.data(), source, RoiPoint{1000, 1000, 319, 239}, target, mask.data());
    // Source pixels 319 ... 639 of rows 239 ... 479 hold the points with x >= 0 and y >= 0: 6 x 6.
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), 36);
    EXPECT_EQ(mask[120 * 320 + 160], 255);
    EXPECT_EQ(mask[119 * 320 + 160], 0);
    tavi::MarkRectangle(table.data(), source, RoiPoint{100000, 100000, -50000, -50000}, target, mask.data());
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 255), 121) << "every mapped pixel, nothing outside";
}

}  // namespace
