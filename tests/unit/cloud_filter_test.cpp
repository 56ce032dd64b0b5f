#include <cstring>

#include "cloud_test_support.h"
#include "processing/cloud_frame.h"
#include "processing/grid_filter.h"
#include "processing/window_filter.h"

using cloud_test::CloudCameraTest;
using cloud_test::RawCloud;

namespace {

// A 5 x 3 patch at depth `depth`, X equal to the column, Y to the row.
RawCloud FlatPatch(int depth) {
    RawCloud cloud(3, 5, 1);
    for (size_t r = 0; r < 5; ++r)
        for (size_t c = 0; c < 3; ++c) cloud.Set(r, c, static_cast<int>(c), static_cast<int>(r), depth);
    return cloud;
}

size_t Survivors(const RawCloud& cloud) {
    size_t survivors = 0;
    for (size_t n = 0; n < cloud.Points(); ++n) survivors += !cloud.IsCleared(n);
    return survivors;
}

}  // namespace

class CloudWindowFilter : public CloudCameraTest {
  protected:
    RawCloud Filtered(RawCloud cloud, double k) {
        PhotoInfo frame = cloud.Frame();
        camera_.FilterPointCloud(frame, k);
        return cloud;
    }
};

TEST_F(CloudWindowFilter, FlatPatchSurvivesWithItsRawValues) {
    const RawCloud patch = FlatPatch(1000);
    EXPECT_EQ(Filtered(patch, 1.0).bytes, patch.bytes);
}

TEST_F(CloudWindowFilter, IsolatedTrioIsRemoved) {
    RawCloud trio(3, 5, 1);
    for (size_t c = 0; c < 3; ++c) trio.Set(2, c, static_cast<int>(c), 0, 1000);
    EXPECT_EQ(Survivors(Filtered(trio, 1.0)), 0u);
}

TEST_F(CloudWindowFilter, NonPositiveFactorOrTooSmallFrameRemovesEveryPoint) {
    EXPECT_EQ(Survivors(Filtered(FlatPatch(1000), 0.0)), 0u);
    EXPECT_EQ(Survivors(Filtered(FlatPatch(1000), -2.0)), 0u);
    RawCloud four_rows(3, 4, 1), two_columns(2, 9, 1);
    for (size_t n = 0; n < 12; ++n) four_rows.Set(n, 0, 0, 1000);
    for (size_t n = 0; n < 18; ++n) two_columns.Set(n, 0, 0, 1000);
    EXPECT_EQ(Survivors(Filtered(four_rows, 1.0)), 0u);
    EXPECT_EQ(Survivors(Filtered(two_columns, 1.0)), 0u);
}

// Three pixels agree at depth 1000; the other twelve lie 20 deeper. With k = 100 the tolerance is capped
// at 15, so they disagree and the window (count 3) is rejected; at 14 deeper they agree.
TEST_F(CloudWindowFilter, ToleranceIsCappedAtFifteen) {
    auto cloud_with_offset = [](int offset) {
        RawCloud cloud(3, 5, 1);
        for (size_t r = 0; r < 5; ++r)
            for (size_t c = 0; c < 3; ++c) cloud.Set(r, c, 0, 0, r == 2 ? 1000 : 1000 + offset);
        return cloud;
    };
    EXPECT_EQ(Survivors(Filtered(cloud_with_offset(20), 100.0)), 0u);
    EXPECT_EQ(Survivors(Filtered(cloud_with_offset(14), 100.0)), 15u);
}

TEST_F(CloudWindowFilter, WrongFormatIsLoggedAndLeavesTheFrameAlone) {
    RawCloud patch = FlatPatch(1000);
    const auto before = patch.bytes;
    PhotoInfo frame = patch.Frame();
    frame.pixel_format = kPixelRGB8;
    camera_.FilterPointCloud(frame, 1.0);
    EXPECT_EQ(patch.bytes, before);
    EXPECT_NE(LogText().find(
                  "[function:FilterPointCloud] Failed to filter point cloud data due to the pixel_format "
                  "error, error code: -2"),
              std::string::npos);
}

// The one-byte-per-point filter must keep exactly the reference's points on clouds where windows
// overlap, clear earlier marks and keep points whose marks were cleared.
TEST(CloudWindowFilterFastPath, KeepsTheSamePointsAsTheReference) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const uint32_t units[4] = {1, 7, 0, 1};
        const uint32_t unit = units[seed % 4];
        const double k = seed % 4 == 0 ? 250.0 : 2.0 * seed;
        RawCloud expected = cloud_test::RandomCloud(61 + seed, 47, unit, seed, 400);
        RawCloud actual = expected;
        PhotoInfo expected_frame = expected.Frame(), actual_frame = actual.Frame();
        ASSERT_EQ(tavi::WindowFilterReference(expected_frame, k), 0);
        ASSERT_EQ(tavi::WindowFilter(actual_frame, k), 0);
        ASSERT_EQ(expected.bytes, actual.bytes) << "seed " << seed;
        if (unit != 0) {
            EXPECT_GT(Survivors(actual), 0u);
        }
    }
}

// A header claiming 100 rows over a payload of 10: rows past the payload count as points without
// measurement, nothing past the payload is touched, and the result is that of the 10 rows followed by
// two empty rows.
TEST(CloudWindowFilterFastPath, HeaderClaimingMoreRowsThanThePayloadIsBoundedByThePayload) {
    RawCloud data = cloud_test::RandomCloud(20, 10, 1, 99, 300);
    RawCloud padded(20, 12, 1);
    std::memcpy(padded.bytes.data(), data.bytes.data(), data.bytes.size());
    PhotoInfo padded_frame = padded.Frame();
    ASSERT_EQ(tavi::WindowFilterReference(padded_frame, 3.0), 0);

    for (auto filter : {&tavi::WindowFilterReference, &tavi::WindowFilter}) {
        RawCloud lying = data;
        lying.bytes.push_back(0xAB);  // a byte after the last whole point stays as it is
        PhotoInfo frame = lying.Frame();
        frame.height = 100;
        ASSERT_EQ(filter(frame, 3.0), 0);
        EXPECT_EQ(std::vector<uint8_t>(lying.bytes.begin(), lying.bytes.end() - 1),
                  std::vector<uint8_t>(padded.bytes.begin(), padded.bytes.begin() + data.bytes.size()));
        EXPECT_EQ(lying.bytes.back(), 0xAB);
    }
}

class CloudGridFilter : public CloudCameraTest {
  protected:
    int Filter(RawCloud& cloud, int min_population) {
        PhotoInfo frame = cloud.Frame();
        return camera_.SpatialFilterPointcloud(frame, min_population);
    }
};

// A far point at depth 3000 gives h = 1500 and C = 100 (and falls outside the grid itself). Two points
// share a cell, one is alone, one has no measurement.
TEST_F(CloudGridFilter, SharedCellSurvivesAndALonePointIsRemoved) {
    RawCloud cloud(5, 1, 1);
    cloud.Set(0, 0, 0, 100);
    cloud.Set(1, 1, 1, 101);
    cloud.Set(2, 0, 0, 200);
    cloud.Set(3, 5, 6, 0);
    cloud.Set(4, 0, 0, 3000);
    ASSERT_EQ(Filter(cloud, 2), 0);
    EXPECT_EQ(cloud.Get(0), (std::array<int, 3>{0, 0, 100}));
    EXPECT_EQ(cloud.Get(1), (std::array<int, 3>{1, 1, 101}));
    EXPECT_TRUE(cloud.IsCleared(2));
    EXPECT_EQ(cloud.Get(3), (std::array<int, 3>{5, 6, 0}));
    EXPECT_TRUE(cloud.IsCleared(4));
}

// The same scene with the far point at 65535: dense grids would need 2 x 4369^3 integers (over 600 GB);
// the cell hash needs memory for the five points only.
TEST_F(CloudGridFilter, FarPointAtTheTopOfTheRangeNeedsNoGiantGrid) {
    RawCloud cloud(4, 1, 1);
    cloud.Set(0, 0, 0, 100);
    cloud.Set(1, 1, 1, 101);
    cloud.Set(2, 0, 0, 900);
    cloud.Set(3, 0, 0, 65535);
    ASSERT_EQ(Filter(cloud, 2), 0);
    EXPECT_EQ(Survivors(cloud), 2u);
    EXPECT_TRUE(cloud.IsCleared(2));
    EXPECT_TRUE(cloud.IsCleared(3));
}

TEST_F(CloudGridFilter, DepthsBelowThirtyGiveAnEmptyGridThatRemovesEveryMeasuredPoint) {
    RawCloud cloud(3, 1, 1);
    cloud.Set(0, 1, 1, 10);
    cloud.Set(1, 1, 1, 29);
    cloud.Set(2, 4, 4, 0);
    ASSERT_EQ(Filter(cloud, 1), 0);
    EXPECT_TRUE(cloud.IsCleared(0));
    EXPECT_TRUE(cloud.IsCleared(1));
    EXPECT_EQ(cloud.Get(2), (std::array<int, 3>{4, 4, 0}));
}

// With a < 1 nothing is removed, but every point goes through the write-back rule, which brings a raw
// value one step closer to zero where single precision falls short.
TEST_F(CloudGridFilter, NonPositivePopulationRemovesNothingButRequantises) {
    const uint32_t unit = 49;
    int shrinking = 0;
    for (int raw = 1; raw < 32768 && shrinking == 0; ++raw) {
        if (tavi::QuantiseToRaw(unit, static_cast<float>(raw) / unit) != raw) shrinking = raw;
    }
    ASSERT_NE(shrinking, 0);
    RawCloud cloud(2, 1, unit);
    cloud.Set(0, shrinking, -shrinking, shrinking);
    cloud.Set(1, 3, 3, 60000);
    ASSERT_EQ(Filter(cloud, 0), 0);
    EXPECT_EQ(cloud.Get(0), (std::array<int, 3>{shrinking - 1, -(shrinking - 1), shrinking - 1}));
    EXPECT_EQ(cloud.Get(1)[2], tavi::QuantiseToRaw(unit, 60000.0f / unit));
}

TEST_F(CloudGridFilter, WrongFormatReturnsMinusTwoAndLeavesTheFrameAlone) {
    RawCloud cloud(1, 1, 1);
    cloud.Set(0, 1, 2, 3);
    PhotoInfo frame = cloud.Frame();
    frame.pixel_format = kPixelCoord3D_ABC16_Planar;
    EXPECT_EQ(camera_.SpatialFilterPointcloud(frame, 2), -2);
    EXPECT_EQ(cloud.Get(0), (std::array<int, 3>{1, 2, 3}));
    EXPECT_NE(
        LogText().find("[function:SpatialFilterPointcloud] Failed to filter point cloud data due to the "
                       "pixel_format error, error code: -2"),
        std::string::npos);
}

// The cell hash must give the dense grids' survivors, including points just below the grid's low X/Y
// edge that truncation puts into cell 0, points beyond its far edge, and every population threshold.
TEST(CloudGridFilterFastPath, CellHashKeepsTheSamePointsAsTheDenseGrids) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const uint32_t units[4] = {1, 3, 0, 7};
        const uint32_t unit = units[seed % 4];
        RawCloud base = cloud_test::RandomCloud(80, 40, unit, seed, 1200);
        base.Set(0, -700, -700, 600);  // far below the low edge
        base.Set(1, -618, 10, 600);    // within 30 below it (h = 600 for depth 1200): cell 0
        base.Set(2, 30000, 10, 600);   // beyond the far edge
        for (int min_population : {-1, 1, 2, 3, 5}) {
            RawCloud expected = base, actual = base;
            PhotoInfo expected_frame = expected.Frame(), actual_frame = actual.Frame();
            ASSERT_EQ(tavi::GridFilterReference(expected_frame, min_population), 0);
            ASSERT_EQ(tavi::GridFilter(actual_frame, min_population), 0);
            ASSERT_EQ(expected.bytes, actual.bytes) << "seed " << seed << " a " << min_population;
        }
    }
}

TEST(CloudGridFilterFastPath, ShortPayloadIsFilteredWithoutReadingOrWritingPastIt) {
    RawCloud cloud = cloud_test::RandomCloud(70, 30, 1, 5, 900);
    RawCloud reference = cloud;
    PhotoInfo frame = cloud.Frame(), reference_frame = reference.Frame();
    frame.height = 1000;
    frame.payload_size -= 4;
    reference_frame.payload_size -= 4;
    reference_frame.height = 1000;
    ASSERT_EQ(tavi::GridFilter(frame, 2), 0);
    ASSERT_EQ(tavi::GridFilterReference(reference_frame, 2), 0);
    EXPECT_EQ(cloud.bytes, reference.bytes);
    EXPECT_EQ(cloud.Get(cloud.Points() - 1), reference.Get(reference.Points() - 1));
}
