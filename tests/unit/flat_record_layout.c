/* The records as a C caller sees them through the flat interface's header, compiled as C99: their
 * sizes and a few telling field offsets, for the unit test that compares them with the C++ view. */
#include <stddef.h>

#include "TaviSDK/FlatInterface.h"

void FlatRecordLayoutInC(size_t* sizes, size_t* offsets);

void FlatRecordLayoutInC(size_t* sizes, size_t* offsets) {
    sizes[0] = sizeof(DiscoveryInfo);
    sizes[1] = sizeof(PhotoInfo);
    sizes[2] = sizeof(RoiPoint);
    sizes[3] = sizeof(StatisticsData);
    sizes[4] = sizeof(PhotoInfoCSharp);
    sizes[5] = sizeof(StatisticsHeaderCSharp);
    offsets[0] = offsetof(DiscoveryInfo, mac_high);
    offsets[1] = offsetof(DiscoveryInfo, pc_ip);
    offsets[2] = offsetof(DiscoveryInfo, adapter_name);
    offsets[3] = offsetof(PhotoInfo, reserved);
    offsets[4] = offsetof(PhotoInfo, block_id);
    offsets[5] = offsetof(PhotoInfo, channel_index);
    offsets[6] = offsetof(StatisticsData, sample_count);
    offsets[7] = offsetof(StatisticsData, buckets);
    offsets[8] = offsetof(PhotoInfoCSharp, block_id);
    offsets[9] = offsetof(StatisticsHeaderCSharp, below_count);
}
