#include <array>
#include <cstddef>

#include "TaviSDK/Types.h"

// Callers in other languages rely on these layouts (natural alignment, field order).
static_assert(offsetof(DiscoveryInfo, mac_high) == 16);
static_assert(offsetof(DiscoveryInfo, manufacturer_name) == 18);
static_assert(offsetof(DiscoveryInfo, serial_number) == 162);
static_assert(offsetof(DiscoveryInfo, user_name) == 178);
static_assert(offsetof(DiscoveryInfo, pc_ip) == 196);
static_assert(offsetof(DiscoveryInfo, mtu) == 208);
static_assert(offsetof(DiscoveryInfo, adapter_name) == 212);
static_assert(sizeof(DiscoveryInfo) == 468);
static_assert(offsetof(PhotoInfo, reserved) == 8);
static_assert(offsetof(PhotoInfo, payload_size) == 28);
static_assert(offsetof(PhotoInfo, offset_y) == 52);
static_assert(offsetof(PhotoInfo, block_id) == 56);
static_assert(offsetof(PhotoInfo, channel_index) == 58);
static_assert(sizeof(PhotoInfo) == 64);
static_assert(sizeof(RoiPoint) == 16);
static_assert(offsetof(StatisticsData, sample_count) == 24);
static_assert(offsetof(StatisticsData, below_count) == 40);
static_assert(offsetof(StatisticsData, buckets) == 48);
static_assert(sizeof(StatisticsData) == 48 + 8 * kStatisticsBucketSlots);

namespace {

struct PixelFormatRow {
    uint32_t value;
    uint32_t bytes_per_pixel;
};

constexpr std::array<PixelFormatRow, 15> kPixelFormats{{
    {kPixelMono8, 1},
    {kPixelMono8s, 1},
    {kPixelBayerGR8, 1},
    {kPixelBayerRG8, 1},
    {kPixelBayerGB8, 1},
    {kPixelBayerBG8, 1},
    {kPixelBayerGR10, 2},
    {kPixelBayerRG10, 2},
    {kPixelBayerGB10, 2},
    {kPixelBayerBG10, 2},
    {kPixelYUV422_8, 2},
    {kPixelRGB565p, 2},
    {kPixelRGB8, 3},
    {kPixelCoord3D_ABC16, 6},
    {kPixelCoord3D_ABC16_Planar, 6},
}};

}  // namespace

uint32_t PixelBytesOfFormat(uint32_t format) {
    for (const PixelFormatRow& row : kPixelFormats) {
        if (row.value == format) return row.bytes_per_pixel;
    }
    return 0;
}

void RecordStatisticsSample(StatisticsData* statistics, int32_t t) {
    statistics->sample_count += 1;
    if (t < statistics->min_time) statistics->min_time = t;
    if (t > statistics->max_time) statistics->max_time = t;
    if (t < statistics->range_start) {
        statistics->below_count += 1;
        return;
    }
    // A zero bucket width would divide by zero; such a histogram has no buckets to count into.
    if (statistics->bucket_width == 0) {
        statistics->above_count += 1;
        return;
    }
    const int64_t index = (static_cast<int64_t>(t) - statistics->range_start) / statistics->bucket_width;
    if (index >= statistics->bucket_count || index >= kStatisticsBucketSlots) {
        statistics->above_count += 1;
    } else {
        statistics->buckets[index] += 1;
    }
}
