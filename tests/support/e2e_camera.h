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
#include "TaviSDK/GigeStream.h"
#include "support/sanitized_build.h"
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

// A stream's counters in one line, for the message of a test that got an incomplete frame: they
// tell packets lost and not resent from a sender that stalled.
inline std::string StreamCounters(GigeStream* stream) {
    unsigned complete = 0, incomplete = 0, timed_out = 0, received = 0, missing = 0, requested = 0,
             resent = 0, duplicates = 0;
    stream->GetBlockStatistics(&complete, &incomplete, &timed_out, nullptr, nullptr, nullptr, nullptr,
                               nullptr);
    stream->GetPacketStatistics(&received, &missing, nullptr, nullptr, &requested, &resent, &duplicates);
    char line[256];
    std::snprintf(line, sizeof line,
                  "blocks: %u complete, %u incomplete, %u timed out; packets: %u received, %u missing, "
                  "%u asked again, %u resent, %u duplicates",
                  complete, incomplete, timed_out, received, missing, requested, resent, duplicates);
    return line;
}

// The frames a test that needs one whole frame (to save or convert it) may take to get it. The
// plain build must get the first one whole. A sanitizer build slows the virtual camera and the
// kernel's delivery of its datagrams so much, on a busy machine, that a frame can stall past the
// block time-out; the streaming suites, not these, judge how often that happens.
#ifdef TAVI_SANITIZED_BUILD
inline constexpr int kFramesForOneWhole = 3;
#else
inline constexpr int kFramesForOneWhole = 1;
#endif

// Captures from `stream` until a frame arrives whole, taking at most kFramesForOneWhole frames.
inline ::testing::AssertionResult CaptureWholeFrame(GigeStream* stream, PhotoInfo* frame, int64_t wait_us) {
    for (int taken = 1;; ++taken) {
        const int result = stream->TimeoutCapture(frame, wait_us);
        if (result != 0) return ::testing::AssertionFailure() << "the capture returned " << result;
        if (frame->reserved == 0) return ::testing::AssertionSuccess();
        if (taken == kFramesForOneWhole) {
            return ::testing::AssertionFailure() << taken << " frame(s) incomplete, the last with status "
                                                 << frame->reserved << "; " << StreamCounters(stream);
        }
    }
}

}  // namespace tavi::test
