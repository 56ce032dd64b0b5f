#pragma once
// The fixture of the virtual camera's network tests. They run inside scripts/netns-run.sh with three
// cameras (see virtual_camera.cmake): 0 and 1 on the adapter's subnet (0 serves its description
// zipped, 1 plain), 2 on a foreign subnet. Every test leaves the cameras' faults cleared.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gvcp_test_client.h"
#include "support/virtual_camera_control.h"

namespace vcam_e2e {

using testgvcp::Client;
using testgvcp::Get16;
using testgvcp::Get32;
using testgvcp::Ip;
using testgvcp::Put32;

constexpr uint16_t kOk = 0x0000, kNotImplemented = 0x8001, kInvalidParameter = 0x8002,
                   kInvalidAddress = 0x8003, kWriteProtect = 0x8004, kBadAlignment = 0x8005,
                   kAccessDenied = 0x8006, kNoAnswer = 0xFFFF;
constexpr uint32_t kCcp = 0x0A00, kHeartbeat = 0x0938, kScp0 = 0x0D00, kScda0 = 0x0D18;

inline std::string Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
}

class VirtualCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Env("TAVI_CAMERA_COUNT"), "3") << "run through scripts/netns-run.sh";
        for (int i = 0; i < 3; ++i) ip[i] = Ip(Env("TAVI_CAMERA_" + std::to_string(i) + "_IP").c_str());
    }

    void TearDown() override {
        for (int i = 0; i < 3; ++i) {
            VirtualCameraControl camera(Env("TAVI_CAMERA_" + std::to_string(i) + "_CONTROL").c_str());
            for (const char* key : {"gvcp-silent", "control-held", "forceip-status", "discovery-wrong-size",
                                    "discovery-oversize", "first-url-unreadable", "ack-delay-ms"}) {
                camera.Set(key, "0");
            }
            camera.Set("register-error", "none");
            camera.Set("description-fault", "none");
        }
    }

    VirtualCameraControl Control(int camera) {
        return VirtualCameraControl(Env("TAVI_CAMERA_" + std::to_string(camera) + "_CONTROL").c_str());
    }

    const testgvcp::Datagram* AnswerFrom(const std::vector<testgvcp::Datagram>& answers, uint32_t camera_ip) {
        for (const auto& answer : answers) {
            if (Get32(answer.bytes, 44) == camera_ip) return &answer;
        }
        return nullptr;
    }

    uint32_t ip[3] = {};
    const char* adapter = "tv0";
};

}  // namespace vcam_e2e
