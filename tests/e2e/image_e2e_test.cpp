// Frames of a virtual camera (run inside scripts/netns-run.sh with one camera) through the image
// operations: colour frames in every colour format and a grey frame saved as BMP, a depth frame as
// PNG, each read back by PIL with the same pixels; the cloud coloured from the colour image and
// resampled onto its grid, the sphere's points red and the box's green; a rectangle drawn around the
// sphere in the colour image carried to the depth points behind it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "camera/feature_access.h"
#include "scene/scene.h"
#include "support/e2e_camera.h"
#include "support/temp_dir.h"

namespace {

namespace scene = vcam::scene;

constexpr int64_t kCaptureWaitUs = 30'000'000;  // bounds a hang; a sanitizer build renders slowly
constexpr unsigned short kDepthChannel = 0, kColourChannel = 1, kGreyChannel = 2;

// A frame over a C-heap buffer large enough for its RGB8 form (the Bayer conversion replaces it).
struct HeapFrame {
    PhotoInfo frame{};
    explicit HeapFrame(size_t capacity) {
        frame.data = static_cast<unsigned char*>(std::calloc(capacity, 1));
    }
    ~HeapFrame() { std::free(frame.data); }
    HeapFrame(const HeapFrame&) = delete;
    HeapFrame& operator=(const HeapFrame&) = delete;
    size_t Pixels() const { return size_t{frame.width} * frame.height; }
};

struct ReadImage {
    uint32_t width = 0, height = 0;
    std::string mode;
    std::string pixels;
};

// The image as PIL reads it (see image_reader.py).
ReadImage ReadWithPil(const std::filesystem::path& image, const std::filesystem::path& scratch) {
    const std::filesystem::path out = scratch / (image.filename().string() + ".read");
    const std::string command = std::string("/usr/bin/python3 ") + TAVI_IMAGE_READER + " '" + image.string() +
                                "' '" + out.string() + "'";
    ReadImage read;
    if (std::system(command.c_str()) != 0) return read;
    std::ifstream in(out, std::ios::binary);
    in >> read.width >> read.height >> read.mode;
    in.get();
    read.pixels.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return read;
}

bool IsSphereColour(int r, int g, int b) { return r > 2 * g && r > 2 * b; }
bool IsBoxColour(int r, int g, int b) { return g > 2 * r && g > 2 * b; }

bool OnSphere(const float* p) {
    const double to_centre = std::hypot(p[0] - scene::kSphereCentre.x, p[1] - scene::kSphereCentre.y,
                                        p[2] - scene::kSphereCentre.z);
    return std::fabs(to_centre - scene::kSphereRadius) < 3.0;
}
bool InBox(const float* p) {
    auto within = [](double v, double low, double high) { return v > low - 3.0 && v < high + 3.0; };
    return within(p[0], scene::kBoxMin.x, scene::kBoxMax.x) &&
           within(p[1], scene::kBoxMin.y, scene::kBoxMax.y) &&
           within(p[2], scene::kBoxMin.z, scene::kBoxMax.z);
}

class ImageE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint32_t address = tavi::test::CameraAddressFromEnvironment();
        ASSERT_NE(address, 0u) << "run inside scripts/netns-run.sh with one camera";
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
        ASSERT_EQ(camera_.calibration.size(), 3u);
    }
    void TearDown() override { camera_.CameraDisconnect(); }

    void SetColourFormat(uint32_t format) {
        ASSERT_EQ(tavi::WriteFeature(camera_, {"PixelFormat", tavi::FeatureOffset::kChannel, kColourChannel},
                                     static_cast<int>(format)),
                  0);
    }

    // One frame from each of the channels, all streaming at once.
    void Capture(std::vector<std::pair<unsigned short, HeapFrame*>> captures) {
        std::vector<GigeStream*> streams;
        for (auto& [channel, target] : captures) {
            int payload = 0;
            ASSERT_EQ(
                tavi::ReadFeature(camera_, {"PayloadSize", tavi::FeatureOffset::kChannel, channel}, &payload),
                0);
            ASSERT_GT(payload, 0);
            GigeStream* stream = nullptr;
            ASSERT_EQ(camera_.StreamOn(channel, &stream), 0);
            streams.push_back(stream);
        }
        ASSERT_EQ(camera_.AcquisitionStart(), 0);
        std::vector<::testing::AssertionResult> results;
        for (size_t n = 0; n < captures.size(); ++n) {
            results.push_back(
                tavi::test::CaptureWholeFrame(streams[n], &captures[n].second->frame, kCaptureWaitUs));
        }
        camera_.AcquisitionStop();
        for (size_t n = 0; n < captures.size(); ++n) camera_.StreamOff(captures[n].first, streams[n]);
        for (size_t n = 0; n < captures.size(); ++n)
            ASSERT_TRUE(results[n]) << "channel " << captures[n].first;
    }

    std::string Save(HeapFrame& image, const std::string& name) {
        std::string path = (scratch_.path() / name).string();
        EXPECT_EQ(camera_.SaveToBMP(image.frame, path.data()), 0) << name;
        return path;
    }

    static constexpr size_t kLargestFrame = 1280 * 1024 * 6;
    tavi::test::ScratchDirectory scratch_;
    DiscoveryInfo info_{};
    GigeCamera camera_;
};

TEST_F(ImageE2E, ColourFramesOfEveryFormatSavedAsBmpReadBackWithTheSamePixels) {
    for (uint32_t format : {kPixelBayerRG8, kPixelYUV422_8, kPixelRGB8, kPixelRGB565p}) {
        SCOPED_TRACE(format);
        ASSERT_NO_FATAL_FAILURE(SetColourFormat(format));
        HeapFrame colour(kLargestFrame);
        ASSERT_NO_FATAL_FAILURE(Capture({{kColourChannel, &colour}}));
        ASSERT_EQ(colour.frame.pixel_format, format);
        const size_t pixels = colour.Pixels();
        ASSERT_EQ(colour.frame.payload_size, pixels * PixelBytesOfFormat(format));
        const std::filesystem::path path = Save(colour, "colour.bmp");
        // What the file must show, as R, G, B: the converted frame, or the RGB565 expansion.
        std::string expected(pixels * 3, '\0');
        if (format == kPixelRGB565p) {
            for (size_t n = 0; n < pixels; ++n) {
                const unsigned p = colour.frame.data[2 * n] | colour.frame.data[2 * n + 1] << 8;
                expected[3 * n] = static_cast<char>((p >> 8) & 0xF8);
                expected[3 * n + 1] = static_cast<char>((p >> 3) & 0xFC);
                expected[3 * n + 2] = static_cast<char>((p << 3) & 0xF8);
            }
        } else {
            ASSERT_EQ(colour.frame.pixel_format, static_cast<uint32_t>(kPixelRGB8)) << "converted in place";
            ASSERT_EQ(colour.frame.payload_size, pixels * 3);
            std::memcpy(expected.data(), colour.frame.data, expected.size());
        }
        const ReadImage read = ReadWithPil(path, scratch_.path());
        EXPECT_EQ(read.width, colour.frame.width);
        EXPECT_EQ(read.height, colour.frame.height);
        EXPECT_EQ(read.mode, "RGB");
        EXPECT_TRUE(read.pixels == expected) << "PIL reads other pixels";
        // The scene's colours survive: the sphere is red, the box green.
        size_t red = 0, green = 0;
        for (size_t n = 0; n < pixels; ++n) {
            const int r = static_cast<uint8_t>(expected[3 * n]),
                      g = static_cast<uint8_t>(expected[3 * n + 1]),
                      b = static_cast<uint8_t>(expected[3 * n + 2]);
            red += IsSphereColour(r, g, b);
            green += IsBoxColour(r, g, b);
        }
        EXPECT_GT(red, pixels / 100);
        EXPECT_GT(green, pixels / 100);
    }
}

TEST_F(ImageE2E, GreyFrameSavedAsBmpReadsBackWithTheSamePixels) {
    HeapFrame grey(kLargestFrame);
    ASSERT_NO_FATAL_FAILURE(Capture({{kGreyChannel, &grey}}));
    ASSERT_EQ(grey.frame.pixel_format, static_cast<uint32_t>(kPixelMono8));
    const ReadImage read = ReadWithPil(Save(grey, "grey.bmp"), scratch_.path());
    EXPECT_EQ(read.width, grey.frame.width);
    EXPECT_EQ(read.height, grey.frame.height);
    std::string expected(grey.Pixels() * 3, '\0');
    for (size_t n = 0; n < grey.Pixels(); ++n) std::memset(&expected[3 * n], grey.frame.data[n], 3);
    EXPECT_TRUE(read.pixels == expected) << "PIL reads other pixels";
}

TEST_F(ImageE2E, DepthFrameSavedAsPngReadsBackAsTheZPlane) {
    HeapFrame depth(kLargestFrame);
    ASSERT_NO_FATAL_FAILURE(Capture({{kDepthChannel, &depth}}));
    std::string path = (scratch_.path() / "depth.png").string();
    ASSERT_EQ(camera_.SaveDepthToPng(depth.frame, path.data()), 0);
    std::vector<short> plane(depth.Pixels());
    ASSERT_EQ(camera_.GetCloudPlaneZ(depth.frame, plane.data()), 0);
    const ReadImage read = ReadWithPil(path, scratch_.path());
    EXPECT_EQ(read.width, depth.frame.width);
    EXPECT_EQ(read.height, depth.frame.height);
    ASSERT_EQ(read.pixels.size(), plane.size() * 2);
    EXPECT_EQ(std::memcmp(read.pixels.data(), plane.data(), read.pixels.size()), 0);
    // Millimetres x cloud unit: the scene lies between 0.8 m and 2 m.
    const auto* samples = reinterpret_cast<const uint8_t*>(read.pixels.data());
    const size_t centre = (depth.frame.height / 2) * depth.frame.width + depth.frame.width / 2;
    const int z = samples[2 * centre] << 8 | samples[2 * centre + 1];
    EXPECT_GT(z, 8000);
    EXPECT_LT(z, 20000);
}

TEST_F(ImageE2E, FusedCloudColoursTheSphereRedAndTheBoxGreen) {
    for (uint32_t format : {kPixelRGB8, kPixelYUV422_8, kPixelRGB565p}) {
        SCOPED_TRACE(format);
        ASSERT_NO_FATAL_FAILURE(SetColourFormat(format));
        HeapFrame depth(kLargestFrame), colour(kLargestFrame);
        ASSERT_NO_FATAL_FAILURE(Capture({{kDepthChannel, &depth}, {kColourChannel, &colour}}));
        const size_t points = depth.Pixels();
        std::vector<float> fused(points * 6, -1.0f);
        ASSERT_EQ(camera_.FusionImageTo3D(colour.frame, depth.frame, fused.data()), 0);
        if (format == kPixelYUV422_8) {
            EXPECT_EQ(colour.frame.pixel_format, static_cast<uint32_t>(kPixelRGB8));
        }
        size_t sphere = 0, sphere_red = 0, box = 0, box_green = 0;
        for (size_t n = 0; n < points; ++n) {
            const float* record = &fused[6 * n];
            if (!(record[2] > 0.000001f)) continue;
            // RGB8 and YUYV give B, G, R; RGB565 gives R, G, B.
            const bool bgr = format != kPixelRGB565p;
            const int r = static_cast<int>(bgr ? record[5] : record[3]), g = static_cast<int>(record[4]),
                      b = static_cast<int>(bgr ? record[3] : record[5]);
            if (OnSphere(record)) {
                ++sphere;
                sphere_red += IsSphereColour(r, g, b);
            } else if (InBox(record)) {
                ++box;
                box_green += IsBoxColour(r, g, b);
            }
        }
        EXPECT_GT(sphere, 1000u);
        EXPECT_GT(box, 1000u);
        EXPECT_GT(sphere_red, sphere * 95 / 100);
        EXPECT_GT(box_green, box * 95 / 100);

        // The resampled cloud: each point stored at a colour pixel lies on the surface of that colour.
        if (format == kPixelYUV422_8) continue;  // the colour frame is RGB8 now, checked above
        std::vector<unsigned char> resampled(colour.Pixels() * 6);
        PhotoInfo result{};
        result.data = resampled.data();
        ASSERT_EQ(camera_.Fusion3DToRGB(colour.frame, depth.frame, result), 0);
        ASSERT_EQ(result.width, colour.frame.width);
        std::vector<float> xyz(colour.Pixels() * 3);
        camera_.Convert3DPointFromCharToFloat(result, xyz.data());
        size_t on_sphere = 0, red_there = 0;
        for (size_t p = 0; p < colour.Pixels(); ++p) {
            if (!(xyz[3 * p + 2] > 0.000001f) || !OnSphere(&xyz[3 * p])) continue;
            ++on_sphere;
            uint8_t rgb[3];
            if (format == kPixelRGB565p) {
                const unsigned v = colour.frame.data[2 * p] | colour.frame.data[2 * p + 1] << 8;
                rgb[0] = static_cast<uint8_t>((v >> 8) & 0xF8);
                rgb[1] = static_cast<uint8_t>((v >> 3) & 0xFC);
                rgb[2] = static_cast<uint8_t>((v << 3) & 0xF8);
            } else {
                std::memcpy(rgb, colour.frame.data + 3 * p, 3);
            }
            red_there += IsSphereColour(rgb[0], rgb[1], rgb[2]);
        }
        EXPECT_GT(on_sphere, 1000u);
        EXPECT_GT(red_there, on_sphere * 95 / 100);
    }
}

TEST_F(ImageE2E, RectangleAroundTheSphereInTheColourImageMapsToTheSpheresDepthPoints) {
    ASSERT_NO_FATAL_FAILURE(SetColourFormat(kPixelRGB8));
    HeapFrame depth(kLargestFrame), colour(kLargestFrame);
    ASSERT_NO_FATAL_FAILURE(Capture({{kDepthChannel, &depth}, {kColourChannel, &colour}}));
    // The rectangle: the red pixels' bounds, a quarter in from each side (well inside the sphere).
    std::vector<int> red_mask(colour.Pixels(), 0);
    for (size_t p = 0; p < colour.Pixels(); ++p) {
        const uint8_t* rgb = colour.frame.data + 3 * p;
        if (IsSphereColour(rgb[0], rgb[1], rgb[2])) red_mask[p] = 255;
    }
    RoiPoint red{};
    camera_.ROIMappingCoordinate(red_mask.data(), colour.frame, red);
    ASSERT_GT(red.width, 40);
    ASSERT_GT(red.height, 40);
    const RoiPoint rect{red.width / 2, red.height / 2, red.offset_x + red.width / 4,
                        red.offset_y + red.height / 4};

    std::vector<int> mask(depth.Pixels(), 0);
    ASSERT_EQ(camera_.ROIPixelMapping(depth.frame, colour.frame, depth.frame, const_cast<RoiPoint&>(rect),
                                      mask.data()),
              0);
    std::vector<float> xyz(depth.Pixels() * 3);
    camera_.Convert3DPointFromCharToFloat(depth.frame, xyz.data());
    size_t marked = 0, sphere_points = 0;
    for (size_t p = 0; p < depth.Pixels(); ++p) {
        if (mask[p] == 0) continue;
        ++marked;
        sphere_points += xyz[3 * p + 2] > 0.000001f && OnSphere(&xyz[3 * p]);
    }
    EXPECT_GT(marked, size_t(rect.width) * rect.height / 4);
    EXPECT_GT(sphere_points, marked * 98 / 100) << "marked depth pixels whose point is not on the sphere";

    // The marked depth region, cleaned, lies inside the sphere's part of the depth image.
    PhotoInfo depth_size = depth.frame;
    camera_.PixelSwell(mask.data(), depth_size);
    camera_.PixelCorrosion(mask.data(), depth_size);
    RoiPoint mapped{};
    camera_.ROIMappingCoordinate(mask.data(), depth_size, mapped);
    EXPECT_GT(mapped.width, 10);
    EXPECT_GT(mapped.height, 10);

    // A rectangle reaching past the colour image is clipped: it marks what the whole image marks.
    std::vector<int> clipped(depth.Pixels(), 0), whole(depth.Pixels(), 0);
    RoiPoint beyond{100000, 100000, -50000, -50000};
    RoiPoint all{static_cast<int32_t>(colour.frame.width), static_cast<int32_t>(colour.frame.height), 0, 0};
    ASSERT_EQ(camera_.ROIPixelMapping(depth.frame, colour.frame, depth.frame, beyond, clipped.data()), 0);
    ASSERT_EQ(camera_.ROIPixelMapping(depth.frame, colour.frame, depth.frame, all, whole.data()), 0);
    EXPECT_EQ(clipped, whole);
}

TEST_F(ImageE2E, SensorWithoutCalibrationIsAnErrorCodeNotACrash) {
    HeapFrame depth(kLargestFrame), colour(kLargestFrame);
    ASSERT_NO_FATAL_FAILURE(SetColourFormat(kPixelRGB8));
    ASSERT_NO_FATAL_FAILURE(Capture({{kDepthChannel, &depth}, {kColourChannel, &colour}}));
    camera_.calibration.resize(1);
    std::vector<float> fused(depth.Pixels() * 6);
    EXPECT_EQ(camera_.FusionImageTo3D(colour.frame, depth.frame, fused.data()), -2);
    std::vector<int> mask(depth.Pixels(), 0);
    RoiPoint rect{10, 10, 100, 100};
    EXPECT_EQ(camera_.ROIPixelMapping(depth.frame, colour.frame, depth.frame, rect, mask.data()), -2);
    std::vector<unsigned char> resampled(colour.Pixels() * 6);
    PhotoInfo result{};
    result.data = resampled.data();
    EXPECT_EQ(camera_.Fusion3DToRGB(colour.frame, depth.frame, result), -2);
}

}  // namespace
