#pragma once
// Shared set-up of the end-to-end suites: the first virtual camera that scripts/netns-run.sh
// started, found by discovery, and a count of the process's open descriptors for leak checks.

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "TaviSDK/Discovery.h"

namespace tavi::test {

// The address of camera `index` as netns-run.sh exports it, 0 outside the harness.
inline uint32_t CameraAddressFromEnvironment(int index = 0) {
    char name[32];
    std::snprintf(name, sizeof name, "TAVI_CAMERA_%d_IP", index);
    const char* text = std::getenv(name);
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (text == nullptr || std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// The discovery record of the camera at `address`, if it answered.
inline std::optional<DiscoveryInfo> DiscoverCameraAt(uint32_t address) {
    std::vector<DiscoveryInfo> found;
    Discovery discovery;
    discovery.DiscoverCamera(&found);
    auto entry = std::find_if(found.begin(), found.end(),
                              [&](const DiscoveryInfo& info) { return info.camera_ip == address; });
    if (entry == found.end()) return std::nullopt;
    return *entry;
}

inline int OpenDescriptors() {
    int count = 0;
    DIR* directory = opendir("/proc/self/fd");
    while (readdir(directory) != nullptr) ++count;
    closedir(directory);
    return count;
}

}  // namespace tavi::test
