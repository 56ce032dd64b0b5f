// Streams from a virtual camera across a veth pair (run inside scripts/netns-run.sh with one camera):
// three channels at once, loss repaired by resend, loss left visible with resend off, and the
// channel registers around opening and closing.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"
#include "support/virtual_camera_control.h"

namespace {

constexpr int kChannels = 3;
constexpr int kRoiWidth = 160;
constexpr int kRoiHeight = 128;
constexpr int64_t kCaptureWaitUs = 5'000'000;  // bounds a hang; frames come every ~17 ms
constexpr uint32_t kScda = 0x0D18;
constexpr uint32_t kScp = 0x0D00;
constexpr uint32_t kChannelStride = 0x40;
constexpr uint32_t kCmosStride = 0x100;

class StreamE2E : public tavi::test::ConnectedE2eCamera {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConnectedE2eCamera::SetUp());
        ASSERT_EQ(WriteFeature("AcquisitionFrameRate", 0, 60), 0);
        for (int cmos = 0; cmos < kChannels; ++cmos) {
            ASSERT_EQ(WriteFeature("Width", kCmosStride * cmos, kRoiWidth), 0);
            ASSERT_EQ(WriteFeature("Height", kCmosStride * cmos, kRoiHeight), 0);
        }
    }

    void TearDown() override {
        camera_.AcquisitionStop();
        for (int channel = 0; channel < kChannels; ++channel) {
            if (streams_[channel] != nullptr) camera_.StreamOff(channel, streams_[channel]);
        }
        ConnectedE2eCamera::TearDown();
    }

    int WriteFeature(const char* name, uint32_t offset, int value) {
        const int address = camera_.GetRegisterAddr(name);
        return address < 0 ? address : camera_.WriteRegister(address + offset, value);
    }

    int ReadFeature(const char* name, uint32_t offset) {
        int value = -1;
        const int address = camera_.GetRegisterAddr(name);
        if (address < 0 || camera_.ReadRegister(address + offset, &value) != 0) return -1;
        return value;
    }

    int ReadRegister(uint32_t address) {
        int value = -1;
        return camera_.ReadRegister(address, &value) == 0 ? value : -1;
    }

    struct Captured {
        PhotoInfo frame;
        std::vector<unsigned char> bytes;
    };

    // The next `count` frames of a channel, with their bytes.
    std::vector<Captured> CaptureFrames(int channel, int count) {
        const uint32_t payload = static_cast<uint32_t>(ReadFeature("PayloadSize", kChannelStride * channel));
        std::vector<Captured> frames(count);
        for (Captured& captured : frames) {
            captured.bytes.assign(payload, 0xEE);
            captured.frame.data = captured.bytes.data();
            EXPECT_EQ(streams_[channel]->TimeoutCapture(&captured.frame, kCaptureWaitUs), 0);
        }
        return frames;
    }

    std::array<unsigned, 8> BlockCounters(int channel) {
        std::array<unsigned, 8> c{};
        streams_[channel]->GetBlockStatistics(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
        return c;
    }

    std::array<unsigned, 7> PacketCounters(int channel) {
        std::array<unsigned, 7> c{};
        streams_[channel]->GetPacketStatistics(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]);
        return c;
    }

    GigeStream* streams_[kChannels] = {};
};

TEST_F(StreamE2E, ThreeChannelsDeliverEveryFrameWithItsGeometryFormatAndCameraTime) {
    for (int channel = 0; channel < kChannels; ++channel) {
        ASSERT_EQ(camera_.StreamOn(channel, &streams_[channel]), 0);
        streams_[channel]->SetMaxBufferLength(16);
    }
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    // The channels are captured in turn, one frame each, so that none falls behind.
    std::vector<Captured> frames[kChannels];
    for (int i = 0; i < 100; ++i) {
        for (int channel = 0; channel < kChannels; ++channel) {
            frames[channel].push_back(std::move(CaptureFrames(channel, 1).front()));
        }
    }
    for (int channel = 0; channel < kChannels; ++channel) {
        const uint32_t format = static_cast<uint32_t>(ReadFeature("PixelFormat", kChannelStride * channel));
        uint64_t previous_time = 0;
        for (size_t i = 0; i < frames[channel].size(); ++i) {
            const PhotoInfo& frame = frames[channel][i].frame;
            ASSERT_EQ(frame.reserved, 0u) << "channel " << channel << " frame " << i;
            EXPECT_EQ(frame.channel_index, channel);
            EXPECT_EQ(frame.width, static_cast<uint32_t>(kRoiWidth));
            EXPECT_EQ(frame.height, static_cast<uint32_t>(kRoiHeight));
            EXPECT_EQ(frame.pixel_format, format);
            EXPECT_EQ(frame.payload_size, kRoiWidth * kRoiHeight * PixelBytesOfFormat(format));
            EXPECT_EQ(frame.cloud_unit, 10u);
            // Consecutive, except where a whole block was lost on a loaded machine (counted as a jump).
            if (i > 0) {
                const uint16_t step =
                    static_cast<uint16_t>(frame.block_id - frames[channel][i - 1].frame.block_id);
                EXPECT_GE(step, 1);
                if (step > 1) {
                    EXPECT_GT(BlockCounters(channel)[5], 0u) << "a gap of " << step << " not counted";
                }
            }
            const uint64_t time = (static_cast<uint64_t>(frame.timestamp_high) << 32) | frame.timestamp_low;
            EXPECT_GT(time, previous_time);
            EXPECT_LT(time, 1'000'000'000'000'000'000ull);  // the camera's clock, not the PC's
            previous_time = time;
        }
        const auto blocks = BlockCounters(channel);
        EXPECT_EQ(blocks[1], 0u) << "incomplete blocks on channel " << channel;
    }
    EXPECT_EQ(PixelBytesOfFormat(static_cast<uint32_t>(ReadFeature("PixelFormat", 0))), 6u);  // depth
}

TEST_F(StreamE2E, DroppedFirstTransmissionsAreRecoveredByResend) {
    ASSERT_EQ(camera_.StreamOn(0, &streams_[0]), 0);
    ASSERT_TRUE(control_.Set("drop_first", "0.05"));
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    const auto frames = CaptureFrames(0, 30);
    for (const Captured& captured : frames) EXPECT_EQ(captured.frame.reserved, 0u);
    const auto blocks = BlockCounters(0);
    const auto packets = PacketCounters(0);
    EXPECT_GE(blocks[0], 30u);  // complete
    EXPECT_EQ(blocks[1], 0u);   // incomplete
    EXPECT_GT(packets[4], 0u);  // requested for resend
    EXPECT_GT(packets[5], 0u);  // resent packets received
}

TEST_F(StreamE2E, WithResendOffALostPacketLeavesAZeroedGapMarkedInReserved) {
    ASSERT_EQ(camera_.StreamOn(2, &streams_[2]), 0);
    streams_[2]->SetPacketResendFlag(0);
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    // Block ids go on from earlier runs of the camera: the loss is placed a few blocks ahead.
    const uint16_t lossy_block = static_cast<uint16_t>(CaptureFrames(2, 1).front().frame.block_id + 4);
    ASSERT_TRUE(control_.Set("drop_once", std::to_string(lossy_block) + ":3"));  // packet 3, once
    const auto frames = CaptureFrames(2, 8);
    const uint32_t packet_payload = static_cast<uint32_t>(camera_.packet_size - 36);
    const auto gap = [&](const Captured& captured) {
        return std::vector<unsigned char>(captured.bytes.begin() + 2 * packet_payload,
                                          captured.bytes.begin() + 3 * packet_payload);
    };
    bool seen = false;
    for (const Captured& captured : frames) {
        const std::vector<unsigned char> region = gap(captured);
        const bool zero = std::all_of(region.begin(), region.end(), [](unsigned char b) { return b == 0; });
        if (captured.frame.block_id == lossy_block) {
            seen = true;
            EXPECT_EQ(captured.frame.reserved, static_cast<uint32_t>(kBlockNextBlockArrived));
            EXPECT_TRUE(zero);
        } else {
            EXPECT_EQ(captured.frame.reserved, 0u);
            EXPECT_FALSE(zero);  // the scene fills the same place of a whole frame
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(PacketCounters(2)[4], 0u);  // nothing requested
}

TEST_F(StreamE2E, OpeningProgramsAndClosingClearsTheChannelRegisters) {
    ASSERT_EQ(camera_.StreamOn(1, &streams_[1]), 0);
    EXPECT_EQ(static_cast<uint32_t>(ReadRegister(kScda + kChannelStride)), info_.pc_ip);
    EXPECT_GT(ReadRegister(kScp + kChannelStride), 0);
    EXPECT_EQ(camera_.StreamOff(1, streams_[1]), 0);
    streams_[1] = nullptr;
    EXPECT_EQ(ReadRegister(kScda + kChannelStride), 0);
    EXPECT_EQ(ReadRegister(kScp + kChannelStride), 0);
}

TEST_F(StreamE2E, AFourthChannelIsRefusedBeforeAnySocketIsMade) {
    const int descriptors = tavi::test::OpenDescriptors();
    GigeStream* stream = nullptr;
    EXPECT_EQ(camera_.StreamOn(3, &stream), TAVI_ERR_CHANNEL_INDEX);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
}

}  // namespace
