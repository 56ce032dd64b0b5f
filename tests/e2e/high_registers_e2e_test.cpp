// A virtual camera started with `--register-base 0x80000000` (run inside scripts/netns-run.sh with
// one camera): its description gives the high addresses, and the library connects, reads every
// sensor's calibration and streams complete frames from it.

#include <gtest/gtest.h>

#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"

namespace {

constexpr uint32_t kRegisterBase = 0x80000000u;
constexpr int64_t kCaptureWaitUs = 5'000'000;  // bounds a hang; frames come every 100 ms

class HighRegistersE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const uint32_t address = tavi::test::CameraAddressFromEnvironment();
        ASSERT_NE(address, 0u) << "run inside scripts/netns-run.sh with one camera";
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    }
    void TearDown() override {
        camera_.AcquisitionStop();
        if (stream_ != nullptr) camera_.StreamOff(0, stream_);
        camera_.CameraDisconnect();
    }

    // A feature's register as an application reaches it through the public interface: the
    // look-up's two codes are failures, every other value is the address's 32-bit pattern.
    bool FeatureAddress(const char* name, uint32_t* address) {
        const int found = camera_.GetRegisterAddr(name);
        if (found == TAVI_ERR_NOT_CONNECTED || found == TAVI_ERR_FEATURE_NOT_FOUND) return false;
        *address = static_cast<uint32_t>(found);
        return true;
    }

    DiscoveryInfo info_{};
    GigeCamera camera_;
    GigeStream* stream_ = nullptr;
};

}  // namespace

TEST_F(HighRegistersE2e, TheDescriptionGivesTheHighAddressesAndCalibrationIsReadFromThem) {
    uint32_t width = 0;
    ASSERT_TRUE(FeatureAddress("Width", &width));
    EXPECT_GE(width, kRegisterBase);
    uint32_t internal = 0;
    ASSERT_TRUE(FeatureAddress("InternelParameter", &internal));
    EXPECT_GE(internal, kRegisterBase);
    uint32_t channel_count = 0;  // a bootstrap register stays where it is
    ASSERT_TRUE(FeatureAddress("GevStreamChannelCount", &channel_count));
    EXPECT_EQ(channel_count, 0x0904u);

    EXPECT_EQ(camera_.cmos_count, 3);
    ASSERT_EQ(camera_.calibration.size(), 3u);
    for (const CmosCalibration& sensor : camera_.calibration) EXPECT_GT(sensor.intrinsic[0], 0.0f);
    EXPECT_GT(camera_.GetNodeMaxValue("Width"), 0);  // a pMax register up there

    // Nothing answers at the registers' usual addresses any more.
    int value = 0;
    EXPECT_NE(camera_.ReadRegister(width - kRegisterBase, &value), 0);
}

TEST_F(HighRegistersE2e, StreamOnDeliversACompleteFrame) {
    // Sensor 0 feeds channel 0: both lie at their features' own addresses.
    uint32_t width = 0, height = 0, payload_size = 0;
    ASSERT_TRUE(FeatureAddress("Width", &width));
    ASSERT_TRUE(FeatureAddress("Height", &height));
    ASSERT_TRUE(FeatureAddress("PayloadSize", &payload_size));
    ASSERT_EQ(camera_.WriteRegister(width, 160), 0);
    ASSERT_EQ(camera_.WriteRegister(height, 128), 0);

    ASSERT_EQ(camera_.StreamOn(0, &stream_), 0);
    ASSERT_NE(stream_, nullptr);
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    int payload = 0;
    ASSERT_EQ(camera_.ReadRegister(payload_size, &payload), 0);
    ASSERT_EQ(payload, 160 * 128 * 6);  // Coord3D_ABC16
    std::vector<unsigned char> bytes(static_cast<size_t>(payload), 0xEE);
    PhotoInfo frame{};
    frame.data = bytes.data();
    ASSERT_EQ(stream_->TimeoutCapture(&frame, kCaptureWaitUs), 0);
    EXPECT_EQ(frame.reserved, 0u);  // complete
    EXPECT_EQ(frame.width, 160u);
    EXPECT_EQ(frame.height, 128u);
    EXPECT_EQ(frame.payload_size, static_cast<uint32_t>(payload));
}
