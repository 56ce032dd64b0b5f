// Ordering the discovery list by address or by serial number.

#include <algorithm>
#include <cstring>
#include <utility>

#include "TaviSDK/Discovery.h"

namespace {

// Serial numbers are at most 16 bytes and need not be terminated: compare in strcmp order within them.
int CompareSerialNumbers(const DiscoveryInfo& a, const DiscoveryInfo& b) {
    return std::strncmp(a.serial_number, b.serial_number, sizeof a.serial_number);
}

// The exchange sort that orders the first `count` records by serial number.
void SortBySerialNumber(std::vector<DiscoveryInfo>* list, size_t count) {
    for (size_t j = 0; j < count; ++j) {
        for (size_t k = 0; k < count; ++k) {
            if (CompareSerialNumbers((*list)[j], (*list)[k]) < 0) std::swap((*list)[j], (*list)[k]);
        }
    }
}

}  // namespace

int Discovery::CameraSort(std::vector<DiscoveryInfo>* list, int sort_mode) {
    if (camera_count == 0 || list == nullptr) {
        TAVI_LOG_WARNING(
            &log, "[function:CameraSort] The incoming parameters discovery_info is invalid, error code: %d",
            TAVI_ERR_NO_CAMERAS_TO_SORT);
        return TAVI_ERR_NO_CAMERAS_TO_SORT;
    }
    switch (sort_mode) {
        case 0:
            std::sort(list->begin(), list->end(), [](const DiscoveryInfo& a, const DiscoveryInfo& b) {
                return a.camera_ip < b.camera_ip;
            });
            return 0;
        case 1: {
            // The count may be stale or negative; never walk past the list itself.
            const size_t counted = camera_count > 0 ? static_cast<size_t>(camera_count) : 0;
            SortBySerialNumber(list, std::min(counted, list->size()));
            return 0;
        }
        default:
            TAVI_LOG_ERROR(
                &log, "[function:CameraSort] The incoming parameter sort_mode is invalid, error code: %d",
                TAVI_ERR_INVALID_ARGUMENT);
            return TAVI_ERR_INVALID_ARGUMENT;
    }
}
