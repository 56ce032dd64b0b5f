// Streams of the virtual camera driven through its registers, as a GigE Vision application drives
// them: destination, packet size, test packet, acquisition start and stop, triggers, resend, and
// the end of every stream when control lapses.
#include <cstdio>
#include <thread>

#include "camera_fixture.h"
#include "streaming_reader.h"

namespace {

using namespace vcam_e2e;
using vcam_test::Packet;

constexpr uint32_t kScps0 = 0x0D04, kScsp0 = 0x0D1C;
constexpr uint32_t kWidth0 = 0x11008, kHeight0 = 0x1100C, kPayloadSize0 = 0x12004;
constexpr uint32_t kAcquisitionStart = 0x10008, kAcquisitionStop = 0x1000C, kFrameRate = 0x10010;
constexpr uint32_t kTriggerMode = 0x1002C, kTriggerSoftware = 0x10034;
constexpr uint8_t kTrailer = 2;

// A stream receiver on the adapter's address.
class StreamSocket {
  public:
    explicit StreamSocket(uint32_t local_ip) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(local_ip);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~StreamSocket() { close(fd_); }
    uint16_t port() const { return port_; }

    std::optional<Packet> Receive(int timeout_ms) {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, timeout_ms) <= 0) return std::nullopt;
        std::vector<uint8_t> buffer(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t size =
            recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(size));
        return Packet{buffer, ntohs(from.sin_port)};
    }

    // Packets until `trailers` trailers have come (or nothing came for a second).
    std::vector<Packet> Blocks(size_t trailers) {
        std::vector<Packet> packets;
        for (size_t seen = 0; seen < trailers;) {
            std::optional<Packet> packet = Receive(1000);
            if (!packet) break;
            if (packet->is_gvsp() && packet->format() == kTrailer) ++seen;
            packets.push_back(std::move(*packet));
        }
        return packets;
    }

    void Drain(int quiet_ms) {
        while (Receive(quiet_ms)) {
        }
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class CameraStream : public VirtualCamera {
  protected:
    void SetUp() override {
        VirtualCamera::SetUp();
        ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
        ASSERT_EQ(client.WriteReg(ip[0], kWidth0, 64), kOk);
        ASSERT_EQ(client.WriteReg(ip[0], kHeight0, 48), kOk);
        ASSERT_EQ(client.WriteReg(ip[0], kScps0, 1500), kOk);
        ASSERT_EQ(client.WriteReg(ip[0], kScda0, host), kOk);
        ASSERT_EQ(client.WriteReg(ip[0], kScp0, stream.port()), kOk);
    }

    void TearDown() override {
        client.WriteReg(ip[0], kAcquisitionStop, 0);
        client.WriteReg(ip[0], kTriggerMode, 0);
        client.WriteReg(ip[0], kWidth0, 1280);
        client.WriteReg(ip[0], kHeight0, 1024);
        client.WriteReg(ip[0], kScp0, 0);
        client.WriteReg(ip[0], kScda0, 0);
        VirtualCamera::TearDown();
    }

    uint32_t host = Ip("169.254.1.1");
    Client client{"tv0"};
    StreamSocket stream{Ip("169.254.1.1")};
};

TEST_F(CameraStream, AcquisitionSendsBlocksFromTheReportedSourcePort) {
    uint32_t source_port = 0, payload_size = 0;
    ASSERT_EQ(client.ReadReg(ip[0], kScsp0, &source_port), kOk);
    ASSERT_EQ(client.ReadReg(ip[0], kPayloadSize0, &payload_size), kOk);
    EXPECT_NE(source_port, 0u);
    EXPECT_EQ(payload_size, 64u * 48u * 6u);
    ASSERT_EQ(client.WriteReg(ip[0], kFrameRate, 20), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kAcquisitionStart, 1), kOk);
    std::vector<Packet> packets = stream.Blocks(2);
    std::vector<vcam_test::Block> blocks = vcam_test::Assemble(packets);
    ASSERT_GE(blocks.size(), 2u);
    const vcam_test::Block& block = blocks[0].complete() ? blocks[0] : blocks[1];
    ASSERT_TRUE(block.complete());
    ASSERT_TRUE(block.leader.has_value());
    EXPECT_EQ(block.leader->pixel_format, 0x023000B9u);
    EXPECT_EQ(block.leader->size_x, 64u);
    EXPECT_EQ(block.leader->size_y, 48u);
    EXPECT_EQ(block.image.size(), payload_size);
    for (const Packet& packet : packets) {
        EXPECT_EQ(packet.source_port, source_port);
        EXPECT_LE(packet.bytes.size() + 28, 1500u) << "packets fit the packet size";
    }
    ASSERT_EQ(client.WriteReg(ip[0], kAcquisitionStop, 0), kOk) << "any value written stops";
    stream.Drain(150);
    EXPECT_FALSE(stream.Receive(300).has_value());
}

TEST_F(CameraStream, TriggeredAcquisitionSendsOneBlockPerSoftwareTrigger) {
    ASSERT_EQ(client.WriteReg(ip[0], kTriggerMode, 1), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kAcquisitionStart, 1), kOk);
    EXPECT_FALSE(stream.Receive(300).has_value()) << "nothing before a trigger";
    ASSERT_EQ(client.WriteReg(ip[0], kTriggerSoftware, 1), kOk);
    std::vector<Packet> packets = stream.Blocks(1);
    std::vector<vcam_test::Block> blocks = vcam_test::Assemble(packets);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].complete());
    EXPECT_FALSE(stream.Receive(300).has_value()) << "one block per trigger";
}

TEST_F(CameraStream, PacketResendCommandsAreAnsweredWithResentPackets) {
    ASSERT_EQ(client.WriteReg(ip[0], kTriggerMode, 1), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kAcquisitionStart, 1), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kTriggerSoftware, 1), kOk);
    std::vector<vcam_test::Block> blocks = vcam_test::Assemble(stream.Blocks(1));
    ASSERT_EQ(blocks.size(), 1u);
    std::vector<uint8_t> payload{0, 0};
    testgvcp::Put16(payload, blocks[0].block_id);
    Put32(payload, 2);
    Put32(payload, 3);
    client.Send(ip[0], 0x01, 0x0040, payload, 999);
    std::vector<Packet> resent;
    while (std::optional<Packet> packet = stream.Receive(300)) resent.push_back(*packet);
    ASSERT_EQ(resent.size(), 2u);
    for (const Packet& packet : resent) {
        EXPECT_EQ(packet.status(), 0x0100);
        EXPECT_EQ(packet.block_id(), blocks[0].block_id);
    }
    EXPECT_EQ(resent[0].packet_id(), 2u);
    EXPECT_EQ(resent[1].packet_id(), 3u);
}

int AdapterMtu() {
    FILE* file = std::fopen("/sys/class/net/tv0/mtu", "r");
    int mtu = 1500;
    if (file != nullptr) {
        if (std::fscanf(file, "%d", &mtu) != 1) mtu = 1500;
        std::fclose(file);
    }
    return mtu;
}

TEST_F(CameraStream, TestPacketFitsTheLinkOrIsLost) {
    // A test packet whose UDP payload and headers fit the link's MTU arrives whole; one byte more
    // and don't-fragment keeps it off the link.
    const uint32_t fits = static_cast<uint32_t>(AdapterMtu()) - 28;
    ASSERT_EQ(client.WriteReg(ip[0], kScps0, 0xC0000000u | fits), kOk);
    std::optional<Packet> test_packet = stream.Receive(500);
    ASSERT_TRUE(test_packet.has_value());
    EXPECT_EQ(test_packet->bytes.size(), fits);
    uint32_t scps = 0;
    EXPECT_EQ(client.ReadReg(ip[0], kScps0, &scps), kOk);
    EXPECT_EQ(scps, 0x40000000u | fits) << "the fire bit is not kept";
    ASSERT_EQ(client.WriteReg(ip[0], kScps0, 0xC0000000u | (fits + 1)), kOk);
    EXPECT_FALSE(stream.Receive(300).has_value());
}

TEST_F(CameraStream, LapsedControlEndsTheStream) {
    ASSERT_EQ(client.WriteReg(ip[0], kFrameRate, 20), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kHeartbeat, 500), kOk);
    ASSERT_EQ(client.WriteReg(ip[0], kAcquisitionStart, 1), kOk);
    ASSERT_TRUE(stream.Receive(500).has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // no command: the heartbeat lapses
    stream.Drain(100);
    EXPECT_FALSE(stream.Receive(300).has_value());
    uint32_t ccp = 7;
    EXPECT_EQ(client.ReadReg(ip[0], kCcp, &ccp), kOk);
    EXPECT_EQ(ccp, 0u);
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    EXPECT_EQ(client.WriteReg(ip[0], kHeartbeat, 3000), kOk);
}

}  // namespace
