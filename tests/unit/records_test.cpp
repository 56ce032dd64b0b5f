#include <gtest/gtest.h>

#include <cstddef>

#include "TaviSDK/Types.h"

// Callers in other languages lay the records out by field order with natural alignment.
TEST(Records, DiscoveryInfoLayoutFollowsFieldOrder) {
    EXPECT_EQ(offsetof(DiscoveryInfo, camera_ip), 0u);
    EXPECT_EQ(offsetof(DiscoveryInfo, mac_low), 12u);
    EXPECT_EQ(offsetof(DiscoveryInfo, mac_high), 16u);
    EXPECT_EQ(offsetof(DiscoveryInfo, model_name), 50u);
    EXPECT_EQ(offsetof(DiscoveryInfo, device_version), 82u);
    EXPECT_EQ(offsetof(DiscoveryInfo, manufacturer_info), 114u);
    EXPECT_EQ(offsetof(DiscoveryInfo, pc_mask), 200u);
    EXPECT_EQ(offsetof(DiscoveryInfo, pc_gateway), 204u);
    EXPECT_EQ(sizeof(DiscoveryInfo), 468u);
}

TEST(Records, PhotoInfoLayoutFollowsFieldOrder) {
    EXPECT_EQ(offsetof(PhotoInfo, pixel_format), 12u);
    EXPECT_EQ(offsetof(PhotoInfo, cloud_unit), 24u);
    EXPECT_EQ(offsetof(PhotoInfo, timestamp_high), 32u);
    EXPECT_EQ(offsetof(PhotoInfo, size_x), 40u);
    EXPECT_EQ(offsetof(PhotoInfo, channel_index), 58u);
    EXPECT_EQ(sizeof(PhotoInfo), 64u);
    EXPECT_EQ(offsetof(RoiPoint, offset_y), 12u);
}

TEST(Records, StatisticsStartCoveringOneSecondInMillisecondBuckets) {
    StatisticsData statistics;
    EXPECT_EQ(statistics.range_start, 0);
    EXPECT_EQ(statistics.bucket_width, 1000u);
    EXPECT_EQ(statistics.bucket_count, 1000);
    EXPECT_EQ(statistics.min_time, 1000000);
    EXPECT_EQ(offsetof(StatisticsData, buckets), 48u);
}

TEST(Records, StatisticsSamplesLandInTheirBucketOrOutside) {
    StatisticsData statistics;
    RecordStatisticsSample(&statistics, 999);
    RecordStatisticsSample(&statistics, 1000);
    RecordStatisticsSample(&statistics, 999999);
    RecordStatisticsSample(&statistics, 1000000);  // range_start + 1000 widths: past the last bucket
    RecordStatisticsSample(&statistics, -1);
    EXPECT_EQ(statistics.buckets[0], 1u);
    EXPECT_EQ(statistics.buckets[1], 1u);
    EXPECT_EQ(statistics.buckets[999], 1u);
    EXPECT_EQ(statistics.above_count, 1u);
    EXPECT_EQ(statistics.below_count, 1u);
    EXPECT_EQ(statistics.sample_count, 5u);
    EXPECT_EQ(statistics.min_time, -1);
    EXPECT_EQ(statistics.max_time, 1000000);
}

TEST(Records, StatisticsWithZeroBucketWidthCountAboveInsteadOfDividing) {
    StatisticsData statistics;
    statistics.bucket_width = 0;
    RecordStatisticsSample(&statistics, 5);
    EXPECT_EQ(statistics.above_count, 1u);
}

TEST(PixelFormats, BytesPerPixelFollowTheTable) {
    EXPECT_EQ(PixelBytesOfFormat(kPixelMono8), 1u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelBayerRG10), 2u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelYUV422_8), 2u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelRGB565p), 2u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelRGB8), 3u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelCoord3D_ABC16), 6u);
    EXPECT_EQ(PixelBytesOfFormat(kPixelCoord3D_ABC16_Planar), 6u);
}

TEST(PixelFormats, UnknownFormatsHaveNoBytes) {
    EXPECT_EQ(PixelBytesOfFormat(0), 0u);
    EXPECT_EQ(PixelBytesOfFormat(0x01080003), 0u);
    EXPECT_EQ(PixelBytesOfFormat(0xFFFFFFFF), 0u);
}
