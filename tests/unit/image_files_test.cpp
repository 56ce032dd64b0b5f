// BMP and 16-bit PNG files: header fields and row layout byte for byte, pixel order and expansion,
// conversion before saving, and the failures (unknown format, short payload, unopenable or full
// file).

#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "cloud_test_support.h"
#include "support/cloud_frame.h"

namespace {

using cloud_test::CloudCameraTest;
using cloud_test::RawCloud;

uint32_t Le32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}
uint32_t Le16(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8;
}
std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) bytes.push_back(static_cast<char>(value));
    return bytes;
}

class ImageFiles : public CloudCameraTest {
  protected:
    int SaveBmp(PhotoInfo& frame, const std::string& name) {
        std::string path = PathOf(name).string();
        return camera_.SaveToBMP(frame, path.data());
    }
    std::string Read(const std::string& name) { return cloud_test::ReadFile(PathOf(name)); }
};

TEST_F(ImageFiles, Mono8BmpHasThePaletteAndRowsPaddedToFourBytes) {
    std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelMono8, 5, 2);
    ASSERT_EQ(SaveBmp(frame, "grey.bmp"), 0);
    const std::string file = Read("grey.bmp");
    ASSERT_EQ(file.size(), 1078u + 16u);
    EXPECT_EQ(file.substr(0, 2), "BM");
    EXPECT_EQ(Le32(file, 2), 1094u);
    EXPECT_EQ(Le32(file, 6), 0u);
    EXPECT_EQ(Le32(file, 10), 1078u);
    EXPECT_EQ(Le32(file, 14), 40u);
    EXPECT_EQ(Le32(file, 18), 5u);
    EXPECT_EQ(Le32(file, 22), 2u);
    EXPECT_EQ(Le16(file, 26), 1u);
    EXPECT_EQ(Le16(file, 28), 8u);
    EXPECT_EQ(Le32(file, 30), 0u);
    EXPECT_EQ(Le32(file, 34), 16u);
    EXPECT_EQ(Le32(file, 38), 0u);
    EXPECT_EQ(Le32(file, 42), 0u);
    EXPECT_EQ(Le32(file, 46), 256u);
    EXPECT_EQ(Le32(file, 50), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(file.substr(54 + 4 * i, 4), Bytes({i, i, i, 0})) << i;
    // Bottom row first.
    EXPECT_EQ(file.substr(1078), Bytes({6, 7, 8, 9, 10, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST_F(ImageFiles, Rgb8BmpStoresBlueGreenRedBottomUp) {
    std::vector<uint8_t> pixels(30);
    for (size_t n = 0; n < pixels.size(); ++n) pixels[n] = static_cast<uint8_t>(n + 1);
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelRGB8, 5, 2);
    ASSERT_EQ(SaveBmp(frame, "rgb.bmp"), 0);
    const std::string file = Read("rgb.bmp");
    ASSERT_EQ(file.size(), 86u);
    EXPECT_EQ(Le32(file, 2), 86u);
    EXPECT_EQ(Le32(file, 10), 54u);
    EXPECT_EQ(Le16(file, 28), 24u);
    EXPECT_EQ(Le32(file, 34), 32u);
    EXPECT_EQ(Le32(file, 46), 0u);
    EXPECT_EQ(Le32(file, 50), 0u);
    EXPECT_EQ(file.substr(54, 16), Bytes({18, 17, 16, 21, 20, 19, 24, 23, 22, 27, 26, 25, 30, 29, 28, 0}));
    EXPECT_EQ(file.substr(70, 16), Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13, 0}));
    EXPECT_EQ(pixels[0], 1) << "the caller's frame is not touched";
}

TEST_F(ImageFiles, FourPixelRgb8RowNeedsNoPadding) {
    std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelRGB8, 4, 1);
    ASSERT_EQ(SaveBmp(frame, "row.bmp"), 0);
    EXPECT_EQ(Read("row.bmp").substr(54), Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST_F(ImageFiles, Rgb565PixelsExpandWithTheirLowBitsZero) {
    std::vector<uint8_t> pixels = {0xFF, 0xFF, 0x1F, 0x00, 0xE0, 0x07, 0x00, 0xF8};
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelRGB565p, 4, 1);
    ASSERT_EQ(SaveBmp(frame, "565.bmp"), 0);
    const std::string file = Read("565.bmp");
    EXPECT_EQ(Le16(file, 28), 24u);
    EXPECT_EQ(file.substr(54), Bytes({248, 252, 248, 248, 0, 0, 0, 252, 0, 0, 0, 248}));
}

TEST_F(ImageFiles, BayerFrameIsConvertedInPlaceThenSaved) {
    PhotoInfo frame{};
    frame.data = static_cast<unsigned char*>(std::malloc(48));
    std::memset(frame.data, 77, 48);
    frame.pixel_format = kPixelBayerRG8;
    frame.width = 8;
    frame.height = 6;
    frame.payload_size = 48;
    const unsigned char* before = frame.data;
    ASSERT_EQ(SaveBmp(frame, "bayer.bmp"), 0);
    EXPECT_NE(frame.data, before);
    EXPECT_EQ(frame.pixel_format, kPixelRGB8);
    EXPECT_EQ(frame.payload_size, 144u);
    const std::string file = Read("bayer.bmp");
    ASSERT_EQ(file.size(), 54u + 144u);
    EXPECT_EQ(file.substr(54), std::string(144, static_cast<char>(77)));
    std::free(frame.data);
}

TEST_F(ImageFiles, YuyvFrameIsConvertedInPlaceThenSaved) {
    std::vector<uint8_t> buffer(4 * 2 * 3, 0);
    const uint8_t groups[] = {128, 128, 128, 128, 255, 255, 255, 255, 0, 0, 0, 0, 128, 128, 128, 128};
    std::memcpy(buffer.data(), groups, sizeof groups);
    PhotoInfo frame = tavi::test::FrameOver(buffer, kPixelYUV422_8, 4, 2);
    frame.payload_size = sizeof groups;
    ASSERT_EQ(SaveBmp(frame, "yuyv.bmp"), 0);
    EXPECT_EQ(frame.pixel_format, kPixelRGB8);
    EXPECT_EQ(frame.payload_size, 24u);
    // Bottom row (zeros, grey) first, as B, G, R.
    EXPECT_EQ(Read("yuyv.bmp").substr(54),
              Bytes({0,   135, 0,   0,   135, 0,   128, 128, 128, 128, 128, 128,  //
                     128, 128, 128, 128, 128, 128, 255, 120, 255, 255, 120, 255}));
}

TEST_F(ImageFiles, BayerFrameTheDemosaicRefusesIsNotSaved) {
    PhotoInfo frame{};
    frame.data = static_cast<unsigned char*>(std::malloc(35));
    frame.pixel_format = kPixelBayerRG8;
    frame.width = 7;
    frame.height = 5;
    frame.payload_size = 35;
    EXPECT_EQ(SaveBmp(frame, "odd.bmp"), -2);
    EXPECT_EQ(frame.pixel_format, kPixelBayerRG8);
    EXPECT_FALSE(std::filesystem::exists(PathOf("odd.bmp")));
    std::free(frame.data);
    EXPECT_NE(LogText().find("[function:SaveBayerRG8ToBmp] Failed to save bayerRG8 data due to the incoming "
                             "parameters error, error code: -2"),
              std::string::npos);
}

TEST_F(ImageFiles, CloudFrameHasNoBmpWriter) {
    RawCloud cloud(4, 2);
    PhotoInfo frame = cloud.Frame();
    EXPECT_EQ(SaveBmp(frame, "cloud.bmp"), -41);
    EXPECT_NE(
        LogText().find("[function:SaveToBMP] The save failed because there is no pixel format that supports "
                       "the data, error code: -41"),
        std::string::npos);
}

TEST_F(ImageFiles, PayloadShorterThanTheImageIsRefused) {
    std::vector<uint8_t> pixels(29);
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelRGB8, 5, 2);
    EXPECT_EQ(SaveBmp(frame, "short.bmp"), -2);
    EXPECT_FALSE(std::filesystem::exists(PathOf("short.bmp")));
    EXPECT_NE(LogText().find("[function:SaveRgb888ToBmp] Failed to save rgb data: the payload of 29 bytes"),
              std::string::npos);
}

TEST_F(ImageFiles, BmpThatCannotBeOpenedOrWrittenIsReported) {
    std::vector<uint8_t> pixels(640 * 480 * 3, 9);
    PhotoInfo frame = tavi::test::FrameOver(pixels, kPixelRGB8, 640, 480);
    char missing_directory[] = "/nonexistent-tavi-dir/a.bmp";
    EXPECT_EQ(camera_.SaveToBMP(frame, missing_directory), -42);
    char full_disk[] = "/dev/full";
    EXPECT_EQ(camera_.SaveToBMP(frame, full_disk), -41);
    PhotoInfo grey = tavi::test::FrameOver(pixels, kPixelMono8, 8, 2);
    EXPECT_EQ(camera_.SaveToBMP(grey, full_disk), -41) << "a small file fails when it is closed";
    const std::string log = LogText();
    EXPECT_NE(
        log.find(
            "[function:SaveRgb888ToBmp] Failed to save rgb data due to open the file error, error code: -42"),
        std::string::npos);
    EXPECT_NE(
        log.find("[function:SaveRgb888ToBmp] Failed to save rgb data due to a write error, error code: -41"),
        std::string::npos);
    EXPECT_NE(
        log.find(
            "[function:SaveGrayImageToBmp] Failed to save grey data due to a write error, error code: -41"),
        std::string::npos);
}

// Reads a 16-bit grey PNG with libpng's reader: width, height and the samples as stored.
struct PngImage {
    uint32_t width = 0, height = 0;
    int bit_depth = 0, colour_type = -1;
    std::vector<uint8_t> samples;  // most significant byte first
};

PngImage ReadPng(const std::filesystem::path& path) {
    PngImage image;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        image.width = png_get_image_width(png, info);
        image.height = png_get_image_height(png, info);
        image.bit_depth = png_get_bit_depth(png, info);
        image.colour_type = png_get_color_type(png, info);
        const size_t row_bytes = png_get_rowbytes(png, info);
        image.samples.resize(row_bytes * image.height);
        for (uint32_t row = 0; row < image.height; ++row)
            png_read_row(png, &image.samples[row * row_bytes], nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return image;
}

TEST_F(ImageFiles, DepthPngHoldsTheZSamplesMostSignificantByteFirst) {
    RawCloud cloud(5, 3, 1);
    for (size_t n = 0; n < cloud.Points(); ++n) cloud.Set(n, -7, 9, 1000);
    PhotoInfo frame = cloud.Frame();
    std::string path = PathOf("depth.png").string();
    ASSERT_EQ(camera_.SaveDepthToPng(frame, path.data()), 0);
    const PngImage image = ReadPng(path);
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.height, 3u);
    EXPECT_EQ(image.bit_depth, 16);
    EXPECT_EQ(image.colour_type, PNG_COLOR_TYPE_GRAY);
    std::vector<uint8_t> expected;
    for (int n = 0; n < 15; ++n) expected.insert(expected.end(), {0x03, 0xE8});
    EXPECT_EQ(image.samples, expected);
}

TEST_F(ImageFiles, CloudPlanePngTakesAnyFormatAndOnlyItsSize) {
    std::vector<uint8_t> nothing(1);
    PhotoInfo frame = tavi::test::FrameOver(nothing, kPixelMono8, 3, 2);
    short plane[6];
    const uint8_t samples[12] = {0x00, 0x01, 0x12, 0x34, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x03, 0xE8};
    std::memcpy(plane, samples, sizeof samples);
    std::string path = PathOf("plane.png").string();
    ASSERT_EQ(camera_.SaveCloudPlane(frame, plane, path.data()), 0);
    const PngImage image = ReadPng(path);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.samples, std::vector<uint8_t>(samples, samples + 12));
}

TEST_F(ImageFiles, PngFailuresAreReported) {
    RawCloud cloud(64, 64, 1);
    PhotoInfo frame = cloud.Frame();
    char full_disk[] = "/dev/full";
    EXPECT_EQ(camera_.SaveDepthToPng(frame, full_disk), -1);
    // A small plane stays in the file's buffer until it is closed: the close must be what fails.
    std::vector<short> plane(64 * 64, 1000);
    EXPECT_EQ(camera_.SaveCloudPlane(frame, plane.data(), full_disk), -1);
    char missing_directory[] = "/nonexistent-tavi-dir/a.png";
    EXPECT_EQ(camera_.SaveDepthToPng(frame, missing_directory), -42);
    std::vector<uint8_t> grey(4);
    PhotoInfo not_a_cloud = tavi::test::FrameOver(grey, kPixelMono8, 2, 2);
    std::string path = PathOf("grey.png").string();
    EXPECT_EQ(camera_.SaveDepthToPng(not_a_cloud, path.data()), -2);
    EXPECT_EQ(camera_.SaveCloudPlane(frame, nullptr, path.data()), -2);
    const std::string log = LogText();
    EXPECT_NE(log.find("[function:SaveDepthToPng] Failed to save depth data due to open the file error, "
                       "error code: -42"),
              std::string::npos);
    EXPECT_NE(
        log.find("[function:SaveDepthToPng] Failed to save depth data due to the incoming parameters error, "
                 "error code: -2"),
        std::string::npos);
    EXPECT_NE(
        log.find("[function:SaveCloudPlane] Failed to save cloud plane due to the incoming parameters error, "
                 "error code: -2"),
        std::string::npos);
    EXPECT_TRUE(log.find("[function:SaveDepthToPng] Error during init_io.") != std::string::npos ||
                log.find("[function:SaveDepthToPng] Failed to write the file, error code: -1") !=
                    std::string::npos);
    EXPECT_NE(log.find("[function:SaveCloudPlane] Failed to write the file, error code: -1"),
              std::string::npos);
}

}  // namespace
