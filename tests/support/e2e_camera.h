#pragma once
// Shared set-up of the end-to-end suites: the first virtual camera that scripts/netns-run.sh
// started, found by discovery (the fixtures E2eCamera and ConnectedE2eCamera), and a count of the
// process's open descriptors for leak checks.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "TaviSDK/GigeCamera.h"
#include "support/virtual_camera_control.h"

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

// The first camera of the namespace as discovery reports it, its control socket and a camera object
// for it, disconnected after each test. For suites that test connecting itself.
class E2eCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint32_t address = CameraAddressFromEnvironment();
        ASSERT_NE(address, 0u) << "run inside scripts/netns-run.sh with a camera";
        std::optional<DiscoveryInfo> entry;
        // Discovery waits a fixed time for answers; a camera just started may miss the first round.
        for (int round = 0; round < 3 && !entry.has_value(); ++round) entry = DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
    }
    void TearDown() override {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
    }

    VirtualCameraControl control_{std::getenv("TAVI_CAMERA_0_CONTROL")};
    DiscoveryInfo info_{};
    GigeCamera camera_;
};

// The same camera, its faults cleared and connected before each test.
class ConnectedE2eCamera : public E2eCamera {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(E2eCamera::SetUp());
        ASSERT_TRUE(control_.Set("clear", "1")) << "no virtual camera control socket";
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    }
};

inline int OpenDescriptors() {
    int count = 0;
    DIR* directory = opendir("/proc/self/fd");
    while (readdir(directory) != nullptr) ++count;
    closedir(directory);
    return count;
}

// Commands camera 0 logged (it runs --verbose) other than the heartbeat's: its CCP reads, and its
// first read of the time-out, which a busy machine may delay past the connect.
inline size_t CommandsBesidesHeartbeat() {
    std::ifstream log(std::getenv("TAVI_CAMERA_0_LOG"));
    size_t count = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("virtual camera: command") != std::string::npos &&
            line.find("address 0x00000A00") == std::string::npos &&
            line.find("address 0x00000938") == std::string::npos) {
            ++count;
        }
    }
    return count;
}

}  // namespace tavi::test
