// Streams from standard cameras without optional parts (run inside scripts/netns-run.sh with two
// cameras on a 9000-byte segment): camera 0 has no source port register (SCSP reads 0), camera 1
// ignores the test-packet bit; both start with a packet size of 1400. Camera and receiver must
// agree on the packet size whatever negotiation found, so every frame arrives complete.

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"

namespace {

constexpr int kRoiWidth = 160;
constexpr int kRoiHeight = 128;
constexpr int kFrames = 10;
constexpr int64_t kCaptureWaitUs = 5'000'000;  // bounds a hang; frames come every ~17 ms
constexpr uint32_t kScps = 0x0D04;
constexpr uint32_t kScsp = 0x0D1C;
constexpr uint32_t kChannelStride = 0x40;

class StandardCameraE2E : public ::testing::Test {
  protected:
    void Connect(int camera_index) {
        const uint32_t address = tavi::test::CameraAddressFromEnvironment(camera_index);
        ASSERT_NE(address, 0u) << "run inside scripts/netns-run.sh with two cameras";
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "camera " << camera_index << " did not answer discovery";
        info_ = *entry;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
        ASSERT_EQ(WriteFeature("AcquisitionFrameRate", 0, 60), 0);
        ASSERT_EQ(WriteFeature("Width", 0, kRoiWidth), 0);
        ASSERT_EQ(WriteFeature("Height", 0, kRoiHeight), 0);
    }

    void TearDown() override {
        camera_.AcquisitionStop();
        if (stream_ != nullptr) camera_.StreamOff(0, stream_);
        camera_.CameraDisconnect();
    }

    int WriteFeature(const char* name, uint32_t offset, int value) {
        const int address = camera_.GetRegisterAddr(name);
        return address < 0 ? address : camera_.WriteRegister(address + offset, value);
    }

    int ReadRegister(uint32_t address) {
        int value = -1;
        return camera_.ReadRegister(address, &value) == 0 ? value : -1;
    }

    // Opens channel 0, streams, and expects `count` complete frames and no incomplete block.
    void ExpectCompleteFrames(int count) {
        ASSERT_EQ(camera_.StreamOn(0, &stream_), 0);
        stream_->SetMaxBufferLength(16);
        ASSERT_EQ(camera_.AcquisitionStart(), 0);
        const int payload_address = camera_.GetRegisterAddr("PayloadSize");
        int payload = 0;
        ASSERT_EQ(camera_.ReadRegister(payload_address, &payload), 0);
        std::vector<unsigned char> bytes(static_cast<size_t>(payload));
        for (int i = 0; i < count; ++i) {
            PhotoInfo frame{};
            frame.data = bytes.data();
            ASSERT_EQ(stream_->TimeoutCapture(&frame, kCaptureWaitUs), 0) << "frame " << i;
            EXPECT_EQ(frame.reserved, 0u) << "frame " << i;
            EXPECT_EQ(frame.width, static_cast<uint32_t>(kRoiWidth));
        }
        unsigned complete = 0, incomplete = 0;
        stream_->GetBlockStatistics(&complete, &incomplete, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr);
        EXPECT_EQ(incomplete, 0u);
        EXPECT_GE(complete, static_cast<unsigned>(count));
    }

    DiscoveryInfo info_{};
    GigeCamera camera_;
    GigeStream* stream_ = nullptr;
};

TEST_F(StandardCameraE2E, ACameraWithoutASourcePortNegotiatesAndStreamsCompleteFrames) {
    Connect(0);
    ASSERT_EQ(ReadRegister(kScsp), 0);
    EXPECT_GT(camera_.packet_size, 1500);  // test packets were answered on the 9000-byte segment
    EXPECT_EQ(ReadRegister(kScps), camera_.packet_size);
    ExpectCompleteFrames(kFrames);
}

TEST_F(StandardCameraE2E, ACameraThatSendsNoTestPacketsStreamsAt1500) {
    Connect(1);
    EXPECT_EQ(camera_.packet_size, 1500);
    for (uint32_t channel = 0; channel < 3; ++channel)
        EXPECT_EQ(ReadRegister(kScps + kChannelStride * channel), 1500) << channel;
    ExpectCompleteFrames(kFrames);
}

TEST_F(StandardCameraE2E, AFallbackPacketSizeIsWrittenIntoTheChannelBeforeStreaming) {
    Connect(0);
    // What a failed negotiation leaves: a failure code in place of a size, the camera at its own.
    camera_.packet_size = TAVI_ERR_PROBE_SEND;
    ASSERT_EQ(camera_.WriteRegister(kScps, 1400), 0);
    ExpectCompleteFrames(kFrames);
    EXPECT_EQ(ReadRegister(kScps), 1500);
}

}  // namespace
