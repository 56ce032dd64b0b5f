// A connected camera among hostile peers: spoofed, stray and late acknowledges, a stranger's test
// packet, and the teardown of a camera that is gone.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "support/camera_test_peer.h"
#include "support/fake_camera.h"

using tavi::test::Be16;
using tavi::test::Be32;
using tavi::test::Bytes;
using tavi::test::FakeCamera;
using tavi::test::MakeAck;
using tavi::test::ScriptedGvcpPeer;

namespace {

constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kWidth = tavi::test::kWidthRegister;

Bytes Value(uint32_t value) {
    return Bytes{static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                 static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

bool IsCommand(const ScriptedGvcpPeer::Datagram& datagram, uint16_t command) {
    return datagram.bytes.size() >= 12 && datagram.bytes[0] == 0x42 && Be16(datagram.bytes, 2) == command;
}

class HostilePeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake.peer.ok());
        ASSERT_TRUE(stranger.ok());
    }

    void Connect() {
        DiscoveryInfo info = fake.Info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
    }

    // Before the camera answers a command for `address`, four datagrams that look like its answer
    // reach the sender: the right code and id from another port of the camera's address and from
    // another address; from the camera's port, the right id with a wrong code and the right code
    // with the previous request's id. Each carries `forged` where a value would be.
    void ForgeAnswersTo(uint16_t command, uint32_t address, uint32_t forged) {
        ForgeAnswers(command, command == 0x0080 ? Value(forged) : Bytes{0, 0, 0, 1},
                     [address](const Bytes& bytes) { return Be32(bytes, 8) == address; });
    }
    // The same four before the answer to every `command` that `matches`, carrying `payload`.
    void ForgeAnswers(uint16_t command, const Bytes& payload, std::function<bool(const Bytes&)> matches) {
        fake.peer.SetPrelude([this, command, payload, matches](const ScriptedGvcpPeer::Datagram& datagram) {
            if (!IsCommand(datagram, command) || !matches(datagram.bytes)) return;
            const uint16_t id = Be16(datagram.bytes, 6);
            const uint16_t ack = static_cast<uint16_t>(command + 1);
            fake.peer.SendFromSidePort(datagram.address, datagram.port, MakeAck(0, ack, id, payload));
            stranger.SendTo(datagram.address, datagram.port, MakeAck(0, ack, id, payload));
            fake.peer.SendTo(datagram.address, datagram.port, MakeAck(0, ack ^ 0x0002, id, payload));
            fake.peer.SendTo(datagram.address, datagram.port,
                             MakeAck(0, ack, static_cast<uint16_t>(id - 1), payload));
            ++forged_rounds;
        });
    }

    size_t CommandsFor(uint16_t command, uint32_t address) {
        size_t count = 0;
        for (const auto& datagram : fake.peer.Commands(command)) count += Be32(datagram.bytes, 8) == address;
        return count;
    }

    // The camera's peer forges through the stranger and counts its rounds until its thread stops,
    // so both outlive it: members are destroyed in reverse order.
    ScriptedGvcpPeer stranger;  // another device on the network
    std::atomic<int> forged_rounds{0};
    FakeCamera fake;
    GigeCamera camera;
};

}  // namespace

TEST_F(HostilePeerTest, SpoofedAndStrayAcknowledgesAreIgnoredWhileTheRealReadIsTaken) {
    fake.peer.SetRegister(kWidth, 640);
    Connect();
    ForgeAnswersTo(0x0080, kWidth, 0x12345678);
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(kWidth, &value), 0);
    EXPECT_EQ(value, 640);
    EXPECT_EQ(forged_rounds.load(), 1);
    EXPECT_EQ(CommandsFor(0x0080, kWidth), 1u);  // the real answer came within the first attempt
}

TEST_F(HostilePeerTest, AForgedSuccessDoesNotHideTheCamerasRefusalOfAWrite) {
    Connect();
    fake.peer.SetStatus(kWidth, 0x8006);
    ForgeAnswersTo(0x0082, kWidth, 0);
    EXPECT_EQ(camera.WriteRegister(kWidth, 320), 32774);
    EXPECT_EQ(CommandsFor(0x0082, kWidth), 1u);
}

TEST_F(HostilePeerTest, TheCcpQueryTakesTheCamerasAnswerAmongForgedOnes) {
    // The query works without a connection, on a socket of its own; the forgers say nobody has control.
    fake.peer.SetRegister(kCcp, 2);
    ForgeAnswersTo(0x0080, kCcp, 0);
    DiscoveryInfo info = fake.Info();
    int ccp = -1;
    EXPECT_EQ(camera.GetCameraCCPStatus(&info, &ccp), 0);
    EXPECT_EQ(ccp, 2);
    EXPECT_EQ(forged_rounds.load(), 1);
    EXPECT_EQ(CommandsFor(0x0080, kCcp), 1u);
}

TEST_F(HostilePeerTest, AForgedSuccessDoesNotHideTheCamerasRefusalOfForceIp) {
    fake.peer.SetScript([](const Bytes& command) -> std::optional<std::vector<Bytes>> {
        if (Be16(command, 2) != 0x0004) return std::nullopt;
        return std::vector<Bytes>{MakeAck(0x8006, 0x0005, Be16(command, 6), {})};
    });
    ForgeAnswers(0x0004, {}, [](const Bytes&) { return true; });
    DiscoveryInfo info = fake.Info();
    info.camera_mask = 0xFF000000u;  // the same subnet as the PC: the command goes by unicast
    info.pc_mask = 0xFF000000u;
    std::memset(info.adapter_name, 0, sizeof info.adapter_name);  // the socket is bound to pc_ip
    char ip[] = "127.77.0.9";
    char mask[] = "255.0.0.0";
    char gateway[] = "127.0.0.1";
    Discovery discovery;
    EXPECT_EQ(discovery.ForceIp(info, ip, mask, gateway), -4);
    EXPECT_EQ(forged_rounds.load(), 1);
    EXPECT_EQ(fake.peer.Commands(0x0004).size(), 1u);  // the refusal came within the first attempt
}

TEST_F(HostilePeerTest, OnlyForgedAnswersAreNoAnswer) {
    // A bare control channel without heartbeat: the camera is silent, the forgers are not.
    GigeCameraTestPeer::AttachControlSocket(camera, fake.peer.address());
    GigeCameraTestPeer::Control(camera).SetRetryPause([](std::chrono::milliseconds) {});
    fake.peer.SetSilent(true);
    ForgeAnswersTo(0x0080, kCcp, 2);
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(kCcp, &value), -53);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(CommandsFor(0x0080, kCcp), 3u);
    EXPECT_EQ(forged_rounds.load(), 3);
    GigeCameraTestPeer::DetachControlSocket(camera);
}

TEST_F(HostilePeerTest, ATestPacketFromAnotherAddressSelectsNoPacketSize) {
    // The camera sends no test packets; a stranger sends one of every size asked for to the probe.
    fake.peer.SetLargestTestPacket(0);
    std::atomic<uint32_t> probe_port{0};
    fake.peer.SetPrelude([&](const ScriptedGvcpPeer::Datagram& datagram) {
        if (!IsCommand(datagram, 0x0082) || datagram.bytes.size() < 16) return;
        const uint32_t address = Be32(datagram.bytes, 8);
        const uint32_t value = Be32(datagram.bytes, 12);
        if (address == 0x0D00 && value != 0) probe_port = value;
        if (address == 0x0D04 && (value & 0x80000000u) != 0)
            stranger.SendTo(tavi::test::kPcAddress, static_cast<uint16_t>(probe_port.load()),
                            Bytes(value & 0xFFFF, 0x5A));
    });
    DiscoveryInfo info = fake.Info(4000);
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    EXPECT_EQ(camera.packet_size, 1500);
    EXPECT_EQ(fake.WritesTo(0x0D04),
              (std::vector<uint32_t>{4000 | 0xC0000000u, 2976 | 0xC0000000u, 1952 | 0xC0000000u, 1500}));
}

// ---- a camera that is gone -----------------------------------------------------------------------

namespace {

// Waits (in the heartbeat's own time: a CCP read without answer) until the camera is declared lost.
bool DeclaredLost(GigeCamera& camera) {
    for (int i = 0; i < 3000 && camera.connected.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return camera.connected.load() == 0;
}

}  // namespace

TEST_F(HostilePeerTest, TheTeardownOfALostCameraTriesEachWriteOnce) {
    // Attempts are counted, not timed: the pauses between them are skipped.
    GigeCameraTestPeer::Control(camera).SetRetryPause([](std::chrono::milliseconds) {});
    Connect();
    fake.peer.SetSilent(true);
    ASSERT_TRUE(DeclaredLost(camera));
    const size_t writes_before = fake.peer.Commands(0x0082).size();
    EXPECT_EQ(camera.StreamOff(0, nullptr), -52);
    EXPECT_EQ(fake.peer.Commands(0x0082).size(), writes_before + 2);  // SCDA and SCP, once each
    EXPECT_EQ(camera.CameraDisconnect(), -52);
    EXPECT_EQ(fake.peer.Commands(0x0082).size(), writes_before + 3);  // CCP once
    EXPECT_EQ(camera.control_socket, -1);
}

TEST_F(HostilePeerTest, AControlSocketOnDescriptorZeroIsASocket) {
    // With standard input closed, the control socket is the lowest free descriptor: 0.
    const int saved_input = dup(0);
    ASSERT_GE(saved_input, 0);
    close(0);
    DiscoveryInfo info = fake.Info();
    const int connected = camera.CameraConnect(&info);
    const int socket = camera.control_socket;
    int ccp = 0;
    const int read = camera.ReadRegister(kCcp, &ccp);
    const int disconnected = camera.CameraDisconnect();
    const bool zero_closed = fcntl(0, F_GETFD) == -1;
    dup2(saved_input, 0);
    close(saved_input);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(socket, 0);
    EXPECT_EQ(read, 0);
    EXPECT_EQ(ccp, 2);
    EXPECT_EQ(disconnected, 0);
    EXPECT_TRUE(zero_closed);
    EXPECT_EQ(camera.control_socket, -1);
}
