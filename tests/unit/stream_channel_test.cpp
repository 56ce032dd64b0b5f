// Opening and closing stream channels and starting acquisition, against a scripted camera on
// loopback: the registers written, the refusals and their codes, and frames through the new stream.

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "support/camera_test_peer.h"
#include "support/e2e_camera.h"
#include "support/fake_camera.h"
#include "support/scripted_gvsp_camera.h"

namespace {

using tavi::test::Bytes;
using tavi::test::FakeCamera;

constexpr uint32_t kChannelCount = 0x0904;
constexpr uint32_t kCmosIndex = 0x60000;
constexpr uint32_t kPayloadSize = 0x60004;
constexpr uint32_t kCloudUnit = 0x60008;
constexpr uint32_t kHeight = 0x50000;
constexpr uint32_t kOffsetX = 0x50004;
constexpr uint32_t kOffsetY = 0x50008;
constexpr uint32_t kPixelFormat = 0x10108;
constexpr uint32_t kWidth = 0x10100;
constexpr uint32_t kAcquisitionStart = 0x70000;
constexpr uint32_t kAcquisitionStop = 0x70004;
constexpr uint32_t kTickHigh = 0x093C;
constexpr uint32_t kTickLow = 0x0940;

uint32_t Scda(int channel) { return 0x0D18 + 0x40 * channel; }
uint32_t Scp(int channel) { return 0x0D00 + 0x40 * channel; }
uint32_t Scsp(int channel) { return 0x0D1C + 0x40 * channel; }
uint32_t Scps(int channel) { return 0x0D04 + 0x40 * channel; }

std::string IntReg(const char* name, uint32_t address) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "<IntReg Name=\"%s\"><Address>0x%X</Address><Length>4</Length><pPort>Device</pPort></IntReg>\n", name,
        address);
    return text;
}

// The fake camera's description with the stream and acquisition features added.
std::string StreamDescription() {
    std::string description = tavi::test::kFakeDescription;
    const std::string added = IntReg("GevStreamChannelCount", kChannelCount) +
                              IntReg("CmosIndex", kCmosIndex) + IntReg("PayloadSize", kPayloadSize) +
                              IntReg("DeviceCloudUnit", kCloudUnit) + IntReg("Height", kHeight) +
                              IntReg("OffsetX", kOffsetX) + IntReg("OffsetY", kOffsetY) +
                              IntReg("GevSCSP", 0x0D1C) + IntReg("AcquisitionStart", kAcquisitionStart) +
                              IntReg("AcquisitionStop", kAcquisitionStop);
    const std::string port = "<Port Name=\"Device\"/>";
    description.replace(description.find(port), port.size(), added + port);
    return description;
}

class StreamChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake_.peer.ok());
        fake_.SetDescription("Local:fake.xml", tavi::test::TextBytes(StreamDescription()));
        auto& peer = fake_.peer;
        peer.SetRegister(kChannelCount, 3);
        peer.SetRegister(kCloudUnit, 10);
        for (int channel = 0; channel < 3; ++channel) {
            peer.SetRegister(kCmosIndex + 0x40 * channel, channel);
            peer.SetRegister(kPayloadSize + 0x40 * channel, 3000);
            peer.SetRegister(kPixelFormat + 0x40 * channel, 0x01080001);
            peer.SetRegister(Scsp(channel), 40000 + channel);
        }
        for (int cmos = 0; cmos < 3; ++cmos) {
            peer.SetRegister(kWidth + 0x100 * cmos, 60);
            peer.SetRegister(kHeight + 0x100 * cmos, 50);
            peer.SetRegister(kOffsetX + 0x100 * cmos, 8 * cmos);
            peer.SetRegister(kOffsetY + 0x100 * cmos, 4);
        }
        peer.SetRegister(kTickHigh, 0);
        peer.SetRegister(kTickLow, 1'000'000'000);
        DiscoveryInfo info = fake_.Info(1500, serial_.c_str());
        ASSERT_EQ(camera_.CameraConnect(&info), 0);
    }

    void TearDown() override { camera_.CameraDisconnect(); }

    FakeCamera fake_;
    std::string serial_ = "S" + std::to_string(getpid());
    GigeCamera camera_;
};

TEST_F(StreamChannelTest, OpeningPointsTheChannelAtANewSocketAndFramesFlowUntilItIsClosed) {
    GigeStream* stream = nullptr;
    ASSERT_EQ(camera_.StreamOn(1, &stream), 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fake_.WritesTo(Scda(1)), std::vector<uint32_t>{tavi::test::kPcAddress});
    const auto ports = fake_.WritesTo(Scp(1));
    ASSERT_EQ(ports.size(), 1u);
    ASSERT_NE(ports[0], 0u);

    // The camera sends from its own address; the packets carry 1464 image bytes each (1500 - 36).
    tavi::test::UdpEndpoint source(fake_.peer.address(), 0);
    tavi::test::LeaderFields leader;
    leader.timestamp = 3'000'000'000;
    leader.pixel_format = 0x01080001;
    leader.size_x = 60;
    leader.size_y = 50;
    leader.offset_x = 8;
    const Bytes image = tavi::test::FramePattern(3000, 1);
    for (const Bytes& packet : tavi::test::FramePackets(1, image, 1464, leader)) {
        source.SendTo(tavi::test::kPcAddress, static_cast<uint16_t>(ports[0]), packet);
    }
    Bytes bytes(3000);
    PhotoInfo frame{};
    frame.data = bytes.data();
    ASSERT_EQ(stream->TimeoutCapture(&frame, 5'000'000), 0);
    EXPECT_EQ(bytes, image);
    EXPECT_EQ(frame.reserved, 0u);
    EXPECT_EQ(frame.cloud_unit, 10u);
    EXPECT_EQ(frame.channel_index, 1);
    EXPECT_EQ(frame.offset_x, 8u);
    EXPECT_EQ(frame.timestamp_low, 3'000'000'000u);  // the camera's 1 GHz clock read at opening

    EXPECT_EQ(camera_.StreamOff(1, stream), 0);
    EXPECT_EQ(fake_.WritesTo(Scda(1)).back(), 0u);
    EXPECT_EQ(fake_.WritesTo(Scp(1)).back(), 0u);
}

TEST_F(StreamChannelTest, RefusalsComeBeforeAnySocketIsMade) {
    const int descriptors = tavi::test::OpenDescriptors();
    GigeStream* stream = reinterpret_cast<GigeStream*>(0x1);
    EXPECT_EQ(camera_.StreamOn(3, &stream), TAVI_ERR_CHANNEL_INDEX);
    EXPECT_EQ(stream, nullptr);
    fake_.peer.SetRegister(kPixelFormat + 0x40 * 2, 0x12345678);
    EXPECT_EQ(camera_.StreamOn(2, &stream), TAVI_ERR_PIXEL_FORMAT);
    EXPECT_EQ(camera_.StreamOn(0, nullptr), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
    EXPECT_TRUE(fake_.WritesTo(Scda(2)).empty());
    EXPECT_TRUE(fake_.WritesTo(Scda(0)).size() <= 2u);  // only the packet-size probe's own writes
}

TEST_F(StreamChannelTest, AnImageLargerThanThePayloadIsRefusedBeforeAnySocketIsMade) {
    const int descriptors = tavi::test::OpenDescriptors();
    GigeStream* stream = nullptr;
    fake_.peer.SetRegister(kPayloadSize + 0x40, 2999);  // 60 x 50 Mono8 need 3000
    EXPECT_EQ(camera_.StreamOn(1, &stream), TAVI_ERR_PIXEL_FORMAT);
    // Width x height wraps 32 bits to 0: still far more than the payload.
    fake_.peer.SetRegister(kWidth + 0x100 * 2, 0x10000);
    fake_.peer.SetRegister(kHeight + 0x100 * 2, 0x10000);
    EXPECT_EQ(camera_.StreamOn(2, &stream), TAVI_ERR_PIXEL_FORMAT);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
    EXPECT_TRUE(fake_.WritesTo(Scda(1)).empty());
    EXPECT_TRUE(fake_.WritesTo(Scda(2)).empty());
}

TEST_F(StreamChannelTest, AFailedPortWriteLeavesTheAddressProgrammedAndClosesTheSocket) {
    fake_.peer.SetStatus(Scp(0), 0x8006);
    const int descriptors = tavi::test::OpenDescriptors();
    GigeStream* stream = nullptr;
    EXPECT_EQ(camera_.StreamOn(0, &stream), 0x8006);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(fake_.WritesTo(Scda(0)).back(), tavi::test::kPcAddress);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
}

TEST_F(StreamChannelTest, ClosingWithoutAStreamOnlyClearsTheRegisters) {
    EXPECT_EQ(camera_.StreamOff(2, nullptr), 0);
    EXPECT_EQ(fake_.WritesTo(Scda(2)), std::vector<uint32_t>{0});
    EXPECT_EQ(fake_.WritesTo(Scp(2)), std::vector<uint32_t>{0});
    fake_.peer.SetStatus(Scda(2), 0x8005);
    EXPECT_EQ(camera_.StreamOff(2, nullptr), 0x8005);  // the port is still cleared
    EXPECT_EQ(fake_.WritesTo(Scp(2)).size(), 2u);
}

TEST_F(StreamChannelTest, AnUnusablePacketSizeFallsBackTo1500) {
    camera_.packet_size = TAVI_ERR_WRITE_REGISTER;  // what a failed negotiation leaves behind
    fake_.peer.SetRegister(kPayloadSize, 1'000'000);
    GigeStream* stream = nullptr;
    ASSERT_EQ(camera_.StreamOn(0, &stream), 0);
    // A leader alone: once idle, the stream asks for everything after it, trailer included. A
    // million bytes in packets of 1464 are 684 payload packets, so the trailer is packet 685.
    tavi::test::UdpEndpoint source(fake_.peer.address(), 0);
    source.SendTo(tavi::test::kPcAddress, static_cast<uint16_t>(fake_.WritesTo(Scp(0)).back()),
                  tavi::test::GvspLeader(1, tavi::test::LeaderFields{}));
    std::optional<tavi::test::ResendRequest> request;
    for (int i = 0; i < 500 && !request; ++i) {
        for (const auto& command : fake_.peer.Commands(0x0040))
            request = tavi::test::ParseResend(command.bytes);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->first, 1u);
    EXPECT_EQ(request->last, 685u);
    EXPECT_EQ(camera_.StreamOff(0, stream), 0);
    // The camera is told the size the receiver places packets by, before it streams.
    EXPECT_EQ(fake_.WritesTo(Scps(0)).back(), 1500u);
}

TEST_F(StreamChannelTest, AFallbackPacketSizeThatCannotBeWrittenFailsBeforeAnySocketIsMade) {
    camera_.packet_size = TAVI_ERR_PROBE_SEND;
    fake_.peer.SetStatus(Scps(2), 0x8004);
    const int descriptors = tavi::test::OpenDescriptors();
    GigeStream* stream = nullptr;
    EXPECT_EQ(camera_.StreamOn(2, &stream), 0x8004);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);
    EXPECT_TRUE(fake_.WritesTo(Scda(2)).empty());
}

TEST_F(StreamChannelTest, ANegotiatedPacketSizeIsNotWrittenAgain) {
    const size_t writes = fake_.WritesTo(Scps(1)).size();  // negotiation's own
    GigeStream* stream = nullptr;
    ASSERT_EQ(camera_.StreamOn(1, &stream), 0);
    EXPECT_EQ(fake_.WritesTo(Scps(1)).size(), writes);
    EXPECT_EQ(camera_.StreamOff(1, stream), 0);
}

TEST_F(StreamChannelTest, ACameraWithoutASourcePortRegisterNegotiatesWithoutTheFirewallDatagram) {
    fake_.peer.SetRegister(Scsp(0), 0);  // the optional register reads 0
    fake_.peer.SetLargestTestPacket(7000);
    camera_.pc_mtu = 9000;
    EXPECT_EQ(GigeCameraTestPeer::GetPacketSize(camera_), 6952);
    EXPECT_EQ(fake_.WritesTo(Scps(2)).back(), 6952u);
    for (const auto& datagram : fake_.peer.Received()) {
        EXPECT_NE(datagram.bytes.size(), 20u) << "a firewall datagram was sent to port 0";
    }
}

TEST_F(StreamChannelTest, AcquisitionStartAndStopWriteTheirRegisters) {
    EXPECT_EQ(camera_.AcquisitionStart(), 0);
    EXPECT_EQ(camera_.AcquisitionStop(), 0);
    EXPECT_EQ(fake_.WritesTo(kAcquisitionStart), std::vector<uint32_t>{1});
    EXPECT_EQ(fake_.WritesTo(kAcquisitionStop), std::vector<uint32_t>{0});
    fake_.peer.SetStatus(kAcquisitionStart, 0x8006);
    EXPECT_EQ(camera_.AcquisitionStart(), 0x8006);
}

TEST(StreamChannelUnconnected, OpeningAndAcquisitionNeedAConnection) {
    GigeCamera camera;
    GigeStream* stream = nullptr;
    EXPECT_EQ(camera.StreamOn(0, &stream), TAVI_ERR_NOT_CONNECTED);
    EXPECT_EQ(camera.AcquisitionStart(), TAVI_ERR_NOT_CONNECTED);
    EXPECT_EQ(camera.AcquisitionStop(), TAVI_ERR_NOT_CONNECTED);
}

}  // namespace
