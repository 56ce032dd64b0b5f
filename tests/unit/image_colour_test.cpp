// Colour conversion to RGB8: the YUYV transform's rounding and clamping, the Bayer demosaic's
// interior, edge and corner rules, the fast paths against the plain loops, and the frames that are
// refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "cloud_test_support.h"
#include "processing/colour_conversion.h"

namespace {

using cloud_test::CloudCameraTest;

// A frame over a C-heap buffer of `capacity` bytes (the Bayer conversion frees it).
PhotoInfo HeapFrame(uint32_t format, uint32_t width, uint32_t height, const std::vector<uint8_t>& bytes,
                    size_t capacity) {
    PhotoInfo frame{};
    frame.data = static_cast<unsigned char*>(std::calloc(capacity, 1));
    std::memcpy(frame.data, bytes.data(), bytes.size());
    frame.pixel_format = format;
    frame.width = width;
    frame.height = height;
    frame.payload_size = static_cast<uint32_t>(bytes.size());
    return frame;
}

std::vector<uint8_t> RgbOf(const PhotoInfo& frame) {
    return {frame.data, frame.data + size_t{frame.width} * frame.height * 3};
}

using ColourConversion = CloudCameraTest;

TEST_F(ColourConversion, YuyvExamplesRoundClampAndTruncate) {
    const std::vector<uint8_t> groups = {128, 128, 128, 128, 255, 255, 255, 255, 0, 0, 0, 0};
    PhotoInfo frame = HeapFrame(kPixelYUV422_8, 6, 1, groups, 6 * 3);
    unsigned char* buffer = frame.data;
    camera_.RawdataToRgb888(frame);
    EXPECT_EQ(frame.data, buffer) << "YUYV converts into the frame's own buffer";
    EXPECT_EQ(frame.pixel_format, kPixelRGB8);
    EXPECT_EQ(frame.payload_size, 18u);
    const std::vector<uint8_t> expected = {128, 128, 128, 128, 128, 128, 255, 120, 255,
                                           255, 120, 255, 0,   135, 0,   0,   135, 0};
    EXPECT_EQ(RgbOf(frame), expected);
    std::free(frame.data);
}

// Every (Y, U, V) combination: the table-driven path gives the double-precision formula's bytes.
TEST(ColourConversionPaths, YuyvFastPathMatchesTheFormulaForEveryInput) {
    std::vector<uint8_t> yuyv(256 * 256 * 4), fast(256 * 256 * 6), reference(256 * 256 * 6);
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            for (int y = 0; y < 256; ++y) {
                uint8_t* group = &yuyv[4 * (static_cast<size_t>(v) * 256 + y)];
                group[0] = static_cast<uint8_t>(y);
                group[1] = static_cast<uint8_t>(u);
                group[2] = static_cast<uint8_t>(255 - y);
                group[3] = static_cast<uint8_t>(v);
            }
        }
        tavi::YuyvToRgbReference(yuyv.data(), 256 * 256, reference.data());
        tavi::YuyvToRgb(yuyv.data(), 256 * 256, fast.data());
        ASSERT_EQ(fast, reference) << "U = " << u;
        tavi::YuyvToRgbOnThisCore(yuyv.data(), 256 * 256, fast.data());
        ASSERT_EQ(fast, reference) << "one core, U = " << u;
        tavi::YuyvToRgbPortable(yuyv.data(), 256 * 256, fast.data());
        ASSERT_EQ(fast, reference) << "portable, U = " << u;
    }
}

TEST_F(ColourConversion, UniformBayerImageStaysUniformIncludingBordersAndCorners) {
    for (auto [width, height] : {std::pair{6u, 4u}, {8u, 8u}, {16u, 10u}, {64u, 6u}}) {
        PhotoInfo frame = HeapFrame(kPixelBayerRG8, width, height, std::vector<uint8_t>(width * height, 200),
                                    width * height);
        camera_.RawdataToRgb888(frame);
        ASSERT_EQ(frame.pixel_format, kPixelRGB8) << width << "x" << height;
        EXPECT_EQ(RgbOf(frame), std::vector<uint8_t>(width * height * 3, 200)) << width << "x" << height;
        std::free(frame.data);
    }
}

TEST_F(ColourConversion, InteriorGreenPixelTakesTheMeanOfItsRedNeighbours) {
    const uint32_t width = 12, height = 8;
    std::vector<uint8_t> raw(width * height, 50);
    raw[4 * width + 4] = 100;  // red at (4, 4)
    raw[4 * width + 6] = 200;  // red at (4, 6)
    PhotoInfo frame = HeapFrame(kPixelBayerRG8, width, height, raw, raw.size());
    camera_.RawdataToRgb888(frame);
    const uint8_t* green = frame.data + (4 * width + 5) * 3;
    EXPECT_EQ(green[0], 150);
    EXPECT_EQ(green[1], 50);
    std::free(frame.data);
}

TEST_F(ColourConversion, BayerFrameGetsANewHeapBufferOfThreeTimesItsPayload) {
    PhotoInfo frame = HeapFrame(kPixelBayerRG8, 8, 6, std::vector<uint8_t>(48, 9), 48);
    const unsigned char* before = frame.data;
    camera_.RawdataToRgb888(frame);
    EXPECT_NE(frame.data, before);
    EXPECT_EQ(frame.payload_size, 144u);
    EXPECT_EQ(frame.pixel_format, kPixelRGB8);
    std::free(frame.data);
}

TEST(ColourConversionPaths, BayerFastPathMatchesTheRulesOnRandomImages) {
    std::mt19937 random(7);
    for (auto [width, height] : {std::pair{6u, 4u},
                                 {8u, 6u},
                                 {10u, 10u},
                                 {20u, 8u},
                                 {22u, 6u},
                                 {36u, 8u},
                                 {64u, 48u},
                                 {130u, 66u},
                                 {6u, 40u}}) {
        std::vector<uint8_t> raw(width * height);
        for (uint8_t& sample : raw) sample = static_cast<uint8_t>(random());
        std::vector<uint8_t> reference(raw.size() * 3, 0xAA), fast(raw.size() * 3, 0x55);
        tavi::DemosaicBayerRG8Reference(raw.data(), width, height, reference.data());
        tavi::DemosaicBayerRG8(raw.data(), width, height, fast.data());
        EXPECT_EQ(fast, reference) << width << "x" << height;
        std::fill(fast.begin(), fast.end(), 0x55);
        tavi::DemosaicBayerRG8Portable(raw.data(), width, height, fast.data());
        EXPECT_EQ(fast, reference) << "portable " << width << "x" << height;
        std::fill(fast.begin(), fast.end(), 0x55);
        tavi::DemosaicBayerRG8OnThisCore(raw.data(), width, height, fast.data());
        EXPECT_EQ(fast, reference) << "one core " << width << "x" << height;
    }
}

// The edge rules that differ from the interior one, and the corner copies, on a hand-made image.
TEST(ColourConversionPaths, BayerEdgesAndCornersFollowTheirOwnRules) {
    const uint32_t width = 8, height = 6;
    std::vector<uint8_t> raw(width * height);
    for (size_t n = 0; n < raw.size(); ++n) raw[n] = static_cast<uint8_t>(n * 5);
    auto D = [&](int y, int x) { return int{raw[static_cast<size_t>(y) * width + x]}; };
    std::vector<uint8_t> rgb(raw.size() * 3);
    tavi::DemosaicBayerRG8Reference(raw.data(), width, height, rgb.data());
    auto O = [&](int y, int x, int c) { return int{rgb[(static_cast<size_t>(y) * width + x) * 3 + c]}; };
    // Top edge block (0, 2): green from three neighbours, blue copied straight from below.
    EXPECT_EQ(O(0, 2, 1), (D(0, 1) + D(1, 2) + D(0, 3)) / 3);
    EXPECT_EQ(O(0, 3, 2), D(1, 3));
    // Bottom edge block (4, 2): red copied, the odd blue rule.
    EXPECT_EQ(O(5, 2, 0), D(4, 2));
    EXPECT_EQ(O(4, 2, 2), (D(3, 1) + D(5, 1) + 2 * D(5, 3)) >> 2);
    // Left edge block (2, 0) and right edge block (2, 6).
    EXPECT_EQ(O(3, 0, 2), D(3, 1));
    EXPECT_EQ(O(2, 7, 0), D(2, 6));
    EXPECT_EQ(O(3, 7, 1), (D(2, 7) + D(4, 7) + D(3, 6)) / 3);
    // Corner blocks copy one pixel each.
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(O(0, 0, c), O(2, 2, c));
        EXPECT_EQ(O(1, 1, c), O(2, 2, c));
        EXPECT_EQ(O(5, 0, c), O(5, 2, c));
        EXPECT_EQ(O(0, 7, c), O(2, 5, c));
        EXPECT_EQ(O(5, 7, c), O(3, 5, c));
    }
}

TEST_F(ColourConversion, BayerFramesThatCannotBeDemosaicedAreLeftAloneWithALogLine) {
    struct Case {
        uint32_t width, height, payload;
    };
    for (const Case& c : {Case{7, 4, 28}, Case{8, 5, 40}, Case{4, 8, 32}, Case{8, 2, 16}, Case{8, 6, 47}}) {
        PhotoInfo frame =
            HeapFrame(kPixelBayerRG8, c.width, c.height, std::vector<uint8_t>(c.payload, 1), 64);
        const unsigned char* before = frame.data;
        camera_.RawdataToRgb888(frame);
        EXPECT_EQ(frame.data, before);
        EXPECT_EQ(frame.pixel_format, kPixelBayerRG8);
        EXPECT_EQ(frame.payload_size, c.payload);
        std::free(frame.data);
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("[function:BayerRG8ToRgb888] A 7x4 frame cannot be demosaiced"), std::string::npos);
    EXPECT_NE(log.find("[function:BayerRG8ToRgb888] A 4x8 frame cannot be demosaiced"), std::string::npos);
    EXPECT_NE(
        log.find("[function:BayerRG8ToRgb888] The payload of 47 bytes is smaller than the 8x6 frame needs"),
        std::string::npos);
}

TEST_F(ColourConversion, ZeroSizedBayerFrameGivesTheDataInfoLine) {
    PhotoInfo frame = HeapFrame(kPixelBayerRG8, 0, 4, std::vector<uint8_t>(8, 1), 8);
    camera_.RawdataToRgb888(frame);
    EXPECT_EQ(frame.pixel_format, kPixelBayerRG8);
    std::free(frame.data);
    EXPECT_NE(
        LogText().find("[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error."),
        std::string::npos);
}

TEST_F(ColourConversion, YuyvFrameWithAShortPayloadIsRefused) {
    PhotoInfo frame = HeapFrame(kPixelYUV422_8, 4, 2, std::vector<uint8_t>(15, 1), 24);
    camera_.RawdataToRgb888(frame);
    EXPECT_EQ(frame.pixel_format, kPixelYUV422_8);
    EXPECT_EQ(frame.payload_size, 15u);
    std::free(frame.data);
    EXPECT_NE(LogText().find("[function:YuyvToRgb888] The payload of 15 bytes does not hold the 4x2 frame"),
              std::string::npos);
}

TEST_F(ColourConversion, OtherFormatsAreLeftUnchangedWithoutALogLine) {
    PhotoInfo frame = HeapFrame(kPixelMono8, 8, 4, std::vector<uint8_t>(32, 3), 32);
    camera_.RawdataToRgb888(frame);
    EXPECT_EQ(frame.pixel_format, kPixelMono8);
    EXPECT_EQ(frame.payload_size, 32u);
    std::free(frame.data);
    EXPECT_EQ(LogText(), "");
}

TEST_F(ColourConversion, NullDataIsLogged) {
    PhotoInfo empty{};
    camera_.RawdataToRgb888(empty);
    EXPECT_NE(LogText().find("[function:RawdataToRgb888] the incoming parameters error, error code: -2"),
              std::string::npos);
}

}  // namespace
