// Feature controls against a virtual camera in the isolated test namespace (scripts/netns-run.sh
// with one camera started with --verbose): every setter and getter round-trips through the camera's
// registers at each sensor's and channel's offset, refused arguments send no command at all, the
// camera's statuses come back in the library's code shapes, and the region of interest reshapes the
// frames that follow.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"
#include "support/scripted_gvcp_peer.h"
#include "support/virtual_camera_control.h"

namespace {

using tavi::test::Bytes;

// The virtual camera's register map, written out here so that the library's own look-ups are
// checked against it.
constexpr uint32_t kSensorStride = 0x100;
constexpr uint32_t kChannelStride = 0x40;
constexpr uint32_t kWidth = 0x11008, kHeight = 0x1100C, kOffsetX = 0x11010, kOffsetY = 0x11014;
constexpr uint32_t kExposureAuto = 0x11018, kExposureLevel = 0x1101C, kExposureTime = 0x11020;
constexpr uint32_t kPayloadSize = 0x12004;
constexpr uint32_t kExposureType = 0x10018;
constexpr uint32_t kAnalogGain = 0x1001C, kAnalogGainRgb = 0x10020;
constexpr uint32_t kDigitalGain = 0x10024, kDigitalGainRgb = 0x10028;
constexpr uint32_t kTriggerMode = 0x1002C, kTriggerSource = 0x10030, kTriggerSoftware = 0x10034;
constexpr uint32_t kRgbTriggerMode = 0x10038, kRgbTriggerSoftware = 0x1003C;
constexpr uint32_t kStrobeSwitch = 0x10040, kStrobeBrightness = 0x10044, kLaserBrightness = 0x10048;
constexpr uint32_t kGvcpConfiguration = 0x0954;
constexpr uint32_t kPtpEnable = 0x80000;
constexpr int kPortDisabled = 3;
constexpr int kSensors = 3;
constexpr uint32_t kBytesPerPixel[kSensors] = {6, 1, 1};  // Coord3D_ABC16, BayerRG8, Mono8

// Register reads of its own, sharing no code with the library; reading needs no control.
class RawRegisterReader {
  public:
    explicit RawRegisterReader(uint32_t camera_ip) : camera_ip_(camera_ip) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval timeout{1, 0};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawRegisterReader() { ::close(socket_); }

    // The register's value; 0xDEADBEEF when the camera did not answer with success.
    uint32_t Read(uint32_t address) {
        Bytes command{0x42, 0x01, 0x00, 0x80, 0x00, 0x04};
        tavi::test::AppendBe16(&command, ++id_);
        tavi::test::AppendBe32(&command, address);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(camera_ip_);
        to.sin_port = htons(3956);
        ::sendto(socket_, command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        Bytes ack(64);
        const ssize_t size = ::recv(socket_, ack.data(), ack.size(), 0);
        if (size < 12 || tavi::test::Be16(ack, 0) != 0) return 0xDEADBEEF;
        return tavi::test::Be32(ack, 8);
    }

  private:
    uint32_t camera_ip_;
    int socket_ = -1;
    uint16_t id_ = 0;
};

class FeaturesE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint32_t address = tavi::test::CameraAddressFromEnvironment();
        ASSERT_NE(address, 0u) << "run inside scripts/netns-run.sh with one camera";
        ASSERT_TRUE(control_.Set("register-error", "none")) << "no virtual camera control socket";
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    }

    void TearDown() override {
        control_.Set("register-error", "none");
        for (int channel = 0; channel < kSensors; ++channel) camera_.SetRoi(channel, 1280, 1024, 0, 0);
        camera_.CameraDisconnect();
    }

    uint32_t Raw(uint32_t address) { return reader_.Read(address); }

    // Commands the camera heard other than the heartbeat's CCP reads, from its --verbose log.
    // The camera logs a command once it has answered it, so a count taken right after an answer can
    // miss that line: the count is read until it holds still for 50 ms.
    size_t SettledMemberCommands() {
        size_t count = MemberCommands();
        for (int i = 0; i < 40; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const size_t again = MemberCommands();
            if (again == count) break;
            count = again;
        }
        return count;
    }

    static size_t MemberCommands() { return tavi::test::CommandsBesidesHeartbeat(); }

    VirtualCameraControl control_{std::getenv("TAVI_CAMERA_0_CONTROL")};
    DiscoveryInfo info_{};
    GigeCamera camera_;
    RawRegisterReader reader_{tavi::test::CameraAddressFromEnvironment()};
};

TEST_F(FeaturesE2E, SensorFeaturesRoundTripAtEachSensorsOffset) {
    for (int cmos = 0; cmos < kSensors; ++cmos) {
        ASSERT_EQ(camera_.SetAutoExposure(cmos % 2, cmos), 0);
        ASSERT_EQ(camera_.SetCamExposureGainLevel(cmos, 3 + cmos), 0);
        ASSERT_EQ(camera_.SetExposureTime(2000 + cmos, cmos), 0);
    }
    for (int cmos = 0; cmos < kSensors; ++cmos) {
        const uint32_t offset = kSensorStride * cmos;
        EXPECT_EQ(camera_.GetAutoExposure(cmos), cmos % 2);
        EXPECT_EQ(camera_.GetCamExposureGainLevel(cmos), 3 + cmos);
        EXPECT_EQ(camera_.GetExposureTime(cmos), 2000 + cmos);
        EXPECT_EQ(Raw(kExposureAuto + offset), static_cast<uint32_t>(cmos % 2));
        EXPECT_EQ(Raw(kExposureLevel + offset), static_cast<uint32_t>(3 + cmos));
        EXPECT_EQ(Raw(kExposureTime + offset), static_cast<uint32_t>(2000 + cmos));
    }
}

TEST_F(FeaturesE2E, CameraWideFeaturesRoundTripThroughTheirRegisters) {
    ASSERT_EQ(camera_.SetMutipleExposure(5), 0);
    EXPECT_EQ(camera_.GetMutipleExposure(), 5);
    EXPECT_EQ(Raw(kExposureType), 5u);

    struct Gain {
        int type, rgb, value;
        uint32_t address;
    };
    const Gain gains[] = {{1, 0, 3, kAnalogGain},
                          {1, 1, 16, kAnalogGainRgb},
                          {2, 0, 1, kDigitalGain},
                          {2, 1, 32, kDigitalGainRgb}};
    for (const Gain& gain : gains) ASSERT_EQ(camera_.SetGain(gain.type, gain.value, gain.rgb), 0);
    for (const Gain& gain : gains) {
        EXPECT_EQ(camera_.GetGain(gain.type, gain.rgb), gain.value);
        EXPECT_EQ(Raw(gain.address), static_cast<uint32_t>(gain.value));
    }
    EXPECT_EQ(camera_.SetGain(1, 17, 0), -16);  // the node's maximum is 16

    ASSERT_EQ(camera_.SetTriggerSource(1), 0);
    ASSERT_EQ(camera_.SetTriggerMode(1), 0);
    ASSERT_EQ(camera_.SetTriggerCount(2), 0);
    ASSERT_EQ(camera_.SetRGBTriggerMode(1), 0);
    ASSERT_EQ(camera_.SetRGBTriggerCount(3), 0);
    EXPECT_EQ(Raw(kTriggerSource), 1u);
    EXPECT_EQ(Raw(kTriggerMode), 1u);
    EXPECT_EQ(Raw(kTriggerSoftware), 2u);
    EXPECT_EQ(Raw(kRgbTriggerMode), 1u);
    EXPECT_EQ(Raw(kRgbTriggerSoftware), 3u);
    EXPECT_EQ(camera_.SetTriggerMode(0), 0);
    EXPECT_EQ(camera_.SetRGBTriggerMode(0), 0);
    EXPECT_EQ(Raw(kTriggerMode), 0u);

    ASSERT_EQ(camera_.SetStrobeLEDswitch(1), 0);
    ASSERT_EQ(camera_.SetStrobeLEDbrightress(100), 0);
    ASSERT_EQ(camera_.SetLaserbrightness(1), 0);
    EXPECT_EQ(camera_.GetStrobeLEDswitch(), 1);
    EXPECT_EQ(camera_.GetStrobeLEDbrightress(), 100);
    EXPECT_EQ(camera_.GetLaserbrightness(), 1);
    EXPECT_EQ(Raw(kStrobeSwitch), 1u);
    EXPECT_EQ(Raw(kStrobeBrightness), 100u);
    EXPECT_EQ(Raw(kLaserBrightness), 1u);
}

TEST_F(FeaturesE2E, TimestampSynchronisationAndLatch) {
    ASSERT_EQ(camera_.SetTimestamp(1), 0);
    EXPECT_EQ(Raw(kGvcpConfiguration), kPtpEnable);
    EXPECT_EQ(camera_.GetTimestamp(), 1);
    const int state = camera_.GetTimestampStatus();
    EXPECT_TRUE(state == 4 || state == 6) << state;  // listening, then master
    ASSERT_EQ(camera_.SetTimestamp(0), 0);
    EXPECT_EQ(camera_.GetTimestamp(), 0);
    EXPECT_EQ(camera_.GetTimestampStatus(), kPortDisabled);

    ASSERT_EQ(camera_.SetTimestampControlLatch(), 0);
    const unsigned long long first = camera_.GetTimestampValue();
    ASSERT_EQ(camera_.SetTimestampControlLatch(), 0);
    const unsigned long long second = camera_.GetTimestampValue();
    EXPECT_GT(first, 0u);
    EXPECT_GT(second, first);
}

TEST_F(FeaturesE2E, RefusedArgumentsSendNoCommand) {
    const size_t before = SettledMemberCommands();
    EXPECT_EQ(camera_.SetAutoExposure(2, 0), -2);
    EXPECT_EQ(camera_.SetCamExposureGainLevel(1, 0), -2);
    EXPECT_EQ(camera_.SetExposureTime(100, 3), -2);
    EXPECT_EQ(camera_.GetExposureTime(-1), -2);
    EXPECT_EQ(camera_.SetExposureTime(10, 0), -2);  // the node's minimum
    EXPECT_EQ(camera_.SetMutipleExposure(0), -1);
    EXPECT_EQ(camera_.SetGain(3, 1, 0), -2);
    EXPECT_EQ(camera_.GetGain(2, 2), -2);
    EXPECT_EQ(camera_.SetGain(2, 33, 1), -16);
    EXPECT_EQ(camera_.SetTriggerMode(2), -2);
    EXPECT_EQ(camera_.SetTriggerSource(2), -2);
    EXPECT_EQ(camera_.SetTriggerCount(0), -2);
    EXPECT_EQ(camera_.SetRGBTriggerMode(-1), -2);
    EXPECT_EQ(camera_.SetRGBTriggerCount(0), -2);
    EXPECT_EQ(camera_.SetStrobeLEDswitch(2), -2);
    EXPECT_EQ(camera_.SetStrobeLEDbrightress(101), -2);
    EXPECT_EQ(camera_.SetLaserbrightness(0), -2);
    EXPECT_EQ(camera_.SetTimestamp(-1), -2);
    EXPECT_EQ(SettledMemberCommands(), before);
    // The count does see the members' own commands.
    EXPECT_EQ(camera_.SetLaserbrightness(50), 0);
    EXPECT_EQ(SettledMemberCommands(), before + 1);
}

TEST_F(FeaturesE2E, DeviceStatusesComeBackInTheLibrarysCodeShapes) {
    ASSERT_TRUE(control_.Set("register-error", "0x10048:0x8006,0x11120:0x8003"));
    EXPECT_EQ(camera_.SetLaserbrightness(50), 0x8006);                       // a write: the status
    EXPECT_EQ(camera_.GetLaserbrightness(), static_cast<int>(0x80060000u));  // a read: status << 16
    EXPECT_EQ(camera_.SetExposureTime(500, 1), 0x8003);                      // ExposureTime of sensor 1
    EXPECT_EQ(camera_.GetExposureTime(1), static_cast<int>(0x80030000u));
    EXPECT_EQ(camera_.SetExposureTime(500, 2), 0);  // the next sensor is not affected
    // A value the library lets through and the camera refuses (its level goes up to 16).
    EXPECT_EQ(camera_.SetCamExposureGainLevel(0, 17), 0x8002);
    ASSERT_TRUE(control_.Set("register-error", "0x1100C:0x8006"));  // Height of sensor 0
    EXPECT_EQ(camera_.SetRoi(0, 640, 480, 0, 0), 0x8006);
    EXPECT_EQ(Raw(kWidth), 640u);  // the width written before stays
}

TEST_F(FeaturesE2E, RoiOfEachChannelReshapesItsSensorAndPayload) {
    for (int channel = 0; channel < kSensors; ++channel) {
        const int width = 640 - 64 * channel, height = 480 - 32 * channel;
        ASSERT_EQ(camera_.SetRoi(channel, width, height, 8 * channel, 16 * channel), 0);
        const uint32_t offset = kSensorStride * channel;  // channel n is fed by sensor n
        EXPECT_EQ(Raw(kWidth + offset), static_cast<uint32_t>(width));
        EXPECT_EQ(Raw(kHeight + offset), static_cast<uint32_t>(height));
        EXPECT_EQ(Raw(kOffsetX + offset), 8u * channel);
        EXPECT_EQ(Raw(kOffsetY + offset), 16u * channel);
        EXPECT_EQ(Raw(kPayloadSize + kChannelStride * channel),
                  static_cast<uint32_t>(width * height) * kBytesPerPixel[channel]);
    }
    EXPECT_EQ(camera_.SetRoi(1, 1280, 1024, 8, 0), -25);  // no room beside a full width
    EXPECT_EQ(camera_.SetRoi(1, 1284, 1024, 0, 0), -25);  // wider than the sensor
    EXPECT_EQ(Raw(kWidth + kSensorStride), 576u);
}

TEST_F(FeaturesE2E, RoiReshapesTheFramesThatFollow) {
    constexpr int kChannel = 2;  // Mono8
    // Small frames, so that even a sanitizer build receives them whole.
    ASSERT_EQ(camera_.SetRoi(kChannel, 320, 256, 0, 0), 0);
    GigeStream* stream = nullptr;
    ASSERT_EQ(camera_.StreamOn(kChannel, &stream), 0);
    std::vector<unsigned char> buffer(320 * 256);
    PhotoInfo frame{};
    frame.data = buffer.data();
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    ASSERT_EQ(stream->TimeoutCapture(&frame, 5'000'000), 0);
    EXPECT_EQ(frame.size_x, 320u);
    EXPECT_EQ(frame.payload_size, 320u * 256u);

    ASSERT_EQ(camera_.SetRoi(kChannel, 160, 128, 16, 8), 0);
    // Frames already on their way keep the old shape, and the region is four register writes, so a
    // frame may be sent between them (new width, old offsets); the whole new shape arrives within a
    // few frames and then stays.
    const auto has_new_shape = [&frame] {
        return frame.size_x == 160 && frame.size_y == 128 && frame.offset_x == 16 && frame.offset_y == 8;
    };
    bool reshaped = false;
    for (int i = 0; i < 30 && !reshaped; ++i) {
        ASSERT_EQ(stream->TimeoutCapture(&frame, 5'000'000), 0);
        reshaped = has_new_shape();
    }
    ASSERT_TRUE(reshaped);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(frame.size_x, 160u);
        EXPECT_EQ(frame.size_y, 128u);
        EXPECT_EQ(frame.offset_x, 16u);
        EXPECT_EQ(frame.offset_y, 8u);
        ASSERT_EQ(stream->TimeoutCapture(&frame, 5'000'000), 0);
    }
    // A stream keeps the payload size it was opened with; the next one takes the new, smaller one.
    EXPECT_EQ(camera_.AcquisitionStop(), 0);
    EXPECT_EQ(camera_.StreamOff(kChannel, stream), 0);
    ASSERT_EQ(camera_.StreamOn(kChannel, &stream), 0);
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    ASSERT_EQ(stream->TimeoutCapture(&frame, 5'000'000), 0);
    EXPECT_EQ(frame.payload_size, 160u * 128u);
    EXPECT_EQ(frame.size_x, 160u);
    EXPECT_EQ(frame.size_y, 128u);
    EXPECT_EQ(camera_.AcquisitionStop(), 0);
    EXPECT_EQ(camera_.StreamOff(kChannel, stream), 0);
}

}  // namespace
