// Mask morphology and the marked rectangle: the documented examples, borders, tiny masks, and the
// row-wise fast paths against the plain neighbourhood sums.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cloud_test_support.h"
#include "processing/morphology.h"

namespace {

using cloud_test::CloudCameraTest;

struct Mask {
    uint32_t width, height;
    std::vector<int> values;
    Mask(uint32_t w, uint32_t h) : width(w), height(h), values(size_t{w} * h, 0) {}
    int& at(uint32_t row, uint32_t column) { return values[size_t{row} * width + column]; }
    PhotoInfo Frame() const {
        PhotoInfo frame{};
        frame.width = width;
        frame.height = height;
        return frame;
    }
    size_t Marked() const { return static_cast<size_t>(std::count(values.begin(), values.end(), 255)); }
};

using Morphology = CloudCameraTest;

TEST_F(Morphology, SwellMarksTheNeighbourhoodOfASinglePixel) {
    Mask mask(9, 7);
    mask.at(3, 4) = 255;
    PhotoInfo frame = mask.Frame();
    camera_.PixelSwell(mask.values.data(), frame);
    EXPECT_EQ(mask.Marked(), 9u);
    for (uint32_t row = 2; row <= 4; ++row)
        for (uint32_t column = 3; column <= 5; ++column) EXPECT_EQ(mask.at(row, column), 255);
}

TEST_F(Morphology, SwellClearsTheBorder) {
    Mask mask(5, 5);
    mask.values.assign(25, 255);
    PhotoInfo frame = mask.Frame();
    camera_.PixelSwell(mask.values.data(), frame);
    EXPECT_EQ(mask.Marked(), 9u);
    EXPECT_EQ(mask.at(0, 0), 0);
    EXPECT_EQ(mask.at(4, 2), 0);
}

TEST_F(Morphology, CorrosionOfASolidBlockLeavesItsCentre) {
    Mask mask(7, 7);
    for (uint32_t row = 2; row <= 4; ++row)
        for (uint32_t column = 2; column <= 4; ++column) mask.at(row, column) = 255;
    PhotoInfo frame = mask.Frame();
    camera_.PixelCorrosion(mask.values.data(), frame);
    EXPECT_EQ(mask.Marked(), 1u);
    EXPECT_EQ(mask.at(3, 3), 255);
}

TEST_F(Morphology, CorrosionKeepsACrossWithoutDiagonals) {
    Mask mask(5, 5);
    mask.at(2, 2) = mask.at(1, 2) = mask.at(3, 2) = mask.at(2, 1) = mask.at(2, 3) = 255;
    PhotoInfo frame = mask.Frame();
    camera_.PixelCorrosion(mask.values.data(), frame);
    EXPECT_EQ(mask.Marked(), 1u);
    EXPECT_EQ(mask.at(2, 2), 255);
}

TEST_F(Morphology, MasksWithoutInteriorEndAllZero) {
    for (auto [width, height] : {std::pair{2u, 5u}, {5u, 2u}, {1u, 1u}}) {
        Mask mask(width, height);
        mask.values.assign(mask.values.size(), 255);
        PhotoInfo frame = mask.Frame();
        camera_.PixelSwell(mask.values.data(), frame);
        EXPECT_EQ(mask.Marked(), 0u);
        mask.values.assign(mask.values.size(), 255);
        camera_.PixelCorrosion(mask.values.data(), frame);
        EXPECT_EQ(mask.Marked(), 0u);
    }
}

TEST_F(Morphology, NullMaskIsLogged) {
    Mask mask(3, 3);
    PhotoInfo frame = mask.Frame();
    camera_.PixelSwell(nullptr, frame);
    camera_.PixelCorrosion(nullptr, frame);
    RoiPoint rect{1, 2, 3, 4};
    camera_.ROIMappingCoordinate(nullptr, frame, rect);
    EXPECT_EQ(rect.width, 1);
    const std::string log = LogText();
    EXPECT_NE(log.find("[function:PixelSwell] the incoming parameters error, error code: -2"),
              std::string::npos);
    EXPECT_NE(log.find("[function:PixelCorrosion] the incoming parameters error, error code: -2"),
              std::string::npos);
    EXPECT_NE(log.find("[function:ROIMappingCoordinate] the incoming parameters error, error code: -2"),
              std::string::npos);
}

TEST_F(Morphology, RectangleOfASinglePixelHasSizeZero) {
    Mask mask(12, 9);
    mask.at(4, 7) = 255;
    PhotoInfo frame = mask.Frame();
    RoiPoint rect{};
    camera_.ROIMappingCoordinate(mask.values.data(), frame, rect);
    EXPECT_EQ(rect.offset_x, 7);
    EXPECT_EQ(rect.offset_y, 4);
    EXPECT_EQ(rect.width, 0);
    EXPECT_EQ(rect.height, 0);
    mask.at(8, 1) = 1;
    camera_.ROIMappingCoordinate(mask.values.data(), frame, rect);
    EXPECT_EQ(rect.offset_x, 1);
    EXPECT_EQ(rect.offset_y, 4);
    EXPECT_EQ(rect.width, 6);
    EXPECT_EQ(rect.height, 4);
}

TEST_F(Morphology, RectangleOfAnEmptyMaskIsNegative) {
    Mask mask(12, 9);
    PhotoInfo frame = mask.Frame();
    RoiPoint rect{};
    camera_.ROIMappingCoordinate(mask.values.data(), frame, rect);
    EXPECT_EQ(rect.offset_x, 12);
    EXPECT_EQ(rect.offset_y, 9);
    EXPECT_EQ(rect.width, -12);
    EXPECT_EQ(rect.height, -9);
}

TEST(MorphologyPaths, FastPathsMatchTheNeighbourhoodSumsOnRandomMasks) {
    std::mt19937 random(5);
    for (auto [width, height] :
         {std::pair{3u, 3u}, {4u, 9u}, {9u, 4u}, {10u, 5u}, {31u, 17u}, {200u, 120u}}) {
        for (int density : {2, 5, 50, -2, -5}) {
            std::vector<int> mask(size_t{width} * height);
            for (int& value : mask) value = random() % std::abs(density) == 0 ? 255 : 0;
            if (density < 0) {
                // Large and negative values too: sums must neither overflow nor differ.
                mask[0] = INT32_MAX;
                mask[mask.size() / 2] = INT32_MIN;
                mask[mask.size() / 3] = -300;
            } else {
                mask[mask.size() / 3] = -300;  // small negative values keep the 32-bit path
                mask[mask.size() / 4] = 1 << 26;
            }
            std::vector<int> reference(mask.size(), 1), fast(mask.size(), 2);
            tavi::DilateReference(mask.data(), width, height, reference.data());
            tavi::Dilate(mask.data(), width, height, fast.data());
            EXPECT_EQ(fast, reference) << width << "x" << height;
            tavi::ErodeCrossReference(mask.data(), width, height, reference.data());
            tavi::ErodeCross(mask.data(), width, height, fast.data());
            EXPECT_EQ(fast, reference) << width << "x" << height;
        }
    }
}

}  // namespace
