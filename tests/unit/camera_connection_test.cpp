// Connecting, the heartbeat, the packet-size negotiation and the calibration and clock reads,
// against a scripted camera on loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "support/camera_test_peer.h"
#include "support/fake_camera.h"

using namespace std::chrono_literals;
using tavi::test::Bytes;
using tavi::test::FakeCamera;

namespace {

constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kHeartbeatTimeout = 0x0938;

class ConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(fake.peer.ok()); }
    void TearDown() override { std::remove((serial + ".log").c_str()); }

    int Connect(int mtu = 1500) {
        DiscoveryInfo info = fake.Info(mtu, serial.c_str());
        return camera.CameraConnect(&info);
    }

    // Times at which the camera's CCP was read.
    std::vector<std::chrono::steady_clock::time_point> CcpReads() {
        std::vector<std::chrono::steady_clock::time_point> times;
        for (const auto& read : fake.peer.Commands(0x0080)) {
            if (tavi::test::Be32(read.bytes, 8) == kCcp) times.push_back(read.when);
        }
        return times;
    }

    std::string LogText() {
        std::ifstream in(serial + ".log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    FakeCamera fake;
    std::atomic<uint32_t> probe_port{0};
    std::atomic<bool> unplugged{false};
    std::string serial = "T" + std::to_string(getpid());
    GigeCamera camera;
};

}  // namespace

TEST_F(ConnectionTest, ConnectTakesControlAndReadsEverySensorsCalibration) {
    ASSERT_EQ(Connect(), 0);
    EXPECT_EQ(camera.connected.load(), 1);
    EXPECT_EQ(fake.WritesTo(kCcp), std::vector<uint32_t>{2});
    EXPECT_EQ(camera.cmos_count, 3);
    ASSERT_EQ(camera.calibration.size(), 3u);
    for (int cmos = 0; cmos < 3; ++cmos) {
        const CmosCalibration& record = camera.calibration[cmos];
        const std::vector<float> internal = tavi::test::InternalFloats(cmos);
        const std::vector<float> external = tavi::test::ExternalFloats(cmos);
        EXPECT_EQ(std::vector<float>(record.distortion, record.distortion + 5),
                  std::vector<float>(internal.begin(), internal.begin() + 5));
        EXPECT_EQ(std::vector<float>(record.intrinsic, record.intrinsic + 9),
                  std::vector<float>(internal.begin() + 5, internal.end()));
        EXPECT_EQ(std::vector<float>(record.rotation, record.rotation + 9),
                  std::vector<float>(external.begin(), external.begin() + 9));
        EXPECT_EQ(std::vector<float>(record.translation, record.translation + 3),
                  std::vector<float>(external.begin() + 9, external.end()));
        EXPECT_EQ(record.distortion[5], 0.0f);  // unused slots stay zero
        EXPECT_EQ(record.translation[3], 0.0f);
    }
    EXPECT_EQ(camera.CameraDisconnect(), 0);
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));
    EXPECT_EQ(camera.connected.load(), 0);
    EXPECT_EQ(camera.control_socket, -1);
    EXPECT_EQ(camera.GetRegisterAddr("Width"), -11);
}

TEST_F(ConnectionTest, ACameraControlledElsewhereIsRefusedAndNotWritten) {
    fake.peer.SetRegister(kCcp, 2);
    EXPECT_EQ(Connect(), -11);
    EXPECT_TRUE(fake.WritesTo(kCcp).empty());
    EXPECT_EQ(camera.connected.load(), 0);
    EXPECT_EQ(camera.control_socket, -1);
}

TEST_F(ConnectionTest, BadArgumentsAndAMissingMtuAreRefused) {
    EXPECT_EQ(camera.CameraConnect(nullptr), -2);
    DiscoveryInfo info = fake.Info();
    info.camera_ip = 0;
    EXPECT_EQ(camera.CameraConnect(&info), -2);
    EXPECT_EQ(Connect(0), -13);
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));  // control given back
}

TEST_F(ConnectionTest, AFailureAfterControlWasGrantedGivesControlBack) {
    fake.peer.SetStatus(0x0200, 0x8006);
    fake.peer.SetStatus(0x0400, 0x8006);
    EXPECT_EQ(Connect(), -10);
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));
    EXPECT_EQ(camera.connected.load(), 0);

    // Malformed descriptions end the same way, after the heartbeat thread was started.
    fake.SetDescription("Local:fake.xml", tavi::test::TextBytes("<RegisterDescription><Integer Name=\"A\">"));
    EXPECT_EQ(Connect(), -10);
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0, 2, 0}));
    fake.SetDescription("Local:fake.zip", tavi::test::TextBytes("PK\x03\x04 not really a zip"));
    EXPECT_EQ(Connect(), -10);
    EXPECT_EQ(camera.connected.load(), 0);
    EXPECT_FALSE(camera.heartbeat_thread.joinable());

    // So does a URL that does not say where the file is.
    fake.peer.SetStatus(0x0200, 0);
    std::string url = "Local:fake;100000;800";
    url.resize(512, '\0');
    fake.peer.SetMemory(0x0200, tavi::test::TextBytes(url));
    EXPECT_EQ(Connect(), -10);
    EXPECT_EQ(fake.WritesTo(kCcp).back(), 0u);
}

TEST_F(ConnectionTest, ASecondConnectIsRefusedWithoutDisturbingTheFirst) {
    ASSERT_EQ(Connect(), 0);
    const int socket = camera.control_socket;
    EXPECT_EQ(Connect(), -11);
    EXPECT_EQ(camera.connected.load(), 1);
    EXPECT_EQ(camera.control_socket, socket);
    EXPECT_EQ(fake.WritesTo(kCcp), std::vector<uint32_t>{2});
    EXPECT_EQ(camera.GetRegisterAddr("GevHeartbeatTimeout"), 0x0938);
}

TEST_F(ConnectionTest, CcpStatusWorksWithoutAConnection) {
    DiscoveryInfo info = fake.Info();
    int ccp = 99;
    EXPECT_EQ(camera.GetCameraCCPStatus(&info, &ccp), 0);
    EXPECT_EQ(ccp, 0);
    ASSERT_EQ(Connect(), 0);
    GigeCamera other;
    EXPECT_EQ(other.GetCameraCCPStatus(&info, &ccp), 0);
    EXPECT_EQ(ccp, 2);
    EXPECT_EQ(camera.GetCameraCCPStatus(nullptr, &ccp), -2);
    fake.peer.SetStatus(kCcp, 0x8006);
    EXPECT_EQ(other.GetCameraCCPStatus(&info, &ccp), 0x8006);
    EXPECT_EQ(ccp, -1);
}

TEST_F(ConnectionTest, CcpStatusOfASilentCameraIsMinus56AfterOneAttempt) {
    fake.peer.SetSilent(true);
    DiscoveryInfo info = fake.Info();
    int ccp = 0;
    EXPECT_EQ(camera.GetCameraCCPStatus(&info, &ccp), -56);
    EXPECT_EQ(ccp, -1);
    EXPECT_EQ(fake.peer.Commands(0x0080).size(), 1u);
}

TEST_F(ConnectionTest, TheConnectionRunsTheHeartbeatAndADisconnectEndsItsPause) {
    // A heartbeat period of 19.5 s: only the disconnect's wake-up ends the first pause in time.
    fake.peer.SetRegister(kHeartbeatTimeout, 60000);
    ASSERT_EQ(Connect(), 0);
    // The connection reads the CCP once; the heartbeat's first read follows at once.
    while (CcpReads().size() < 2) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(camera.heartbeat_timeout.load(), 60000);
    auto disconnected = std::async(std::launch::async, [this] { return camera.CameraDisconnect(); });
    ASSERT_EQ(disconnected.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(disconnected.get(), 0);
    EXPECT_FALSE(camera.heartbeat_thread.joinable());
    EXPECT_EQ(CcpReads().size(), 2u);
}

TEST_F(ConnectionTest, ACameraLostByTheHeartbeatIsReleasedByTheNextDisconnect) {
    LogSwitches::info = 1;
    // Short pauses on both levels; once the camera is "unplugged" its CCP reads get no answer, and
    // each of the three attempts of the read that finds this out waits 50 ms instead of 500 ms.
    GigeCameraTestPeer::Heartbeat(camera).SetTime(
        {nullptr, [](std::chrono::milliseconds) { std::this_thread::sleep_for(1ms); }});
    GigeCameraTestPeer::Control(camera).SetRetryPause([](std::chrono::milliseconds) {});
    fake.peer.SetScript([this](const Bytes& command) -> std::optional<std::vector<Bytes>> {
        if (unplugged.load() && tavi::test::Be16(command, 2) == 0x0080 &&
            tavi::test::Be32(command, 8) == kCcp)
            return std::vector<Bytes>{};
        return std::nullopt;
    });
    ASSERT_EQ(Connect(), 0);
    GigeCameraTestPeer::Control(camera).SetReceiveTimeout(50ms);
    unplugged = true;
    while (camera.connected.load() != 0) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(camera.GetRegisterAddr("Width"), -11);
    EXPECT_EQ(camera.CameraDisconnect(), 0);
    EXPECT_FALSE(camera.heartbeat_thread.joinable());  // joined although the camera was lost
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));
    EXPECT_NE(LogText().find("[function:HeartBeat] The PC does not receive camera data."), std::string::npos);
}

TEST_F(ConnectionTest, SetHeartBeatTimeoutChecksTheNodeLimits) {
    ASSERT_EQ(Connect(), 0);
    EXPECT_EQ(camera.GetHeartBeatTimeout(), 3000);
    EXPECT_EQ(camera.SetHeartBeatTimeout(499), -2);
    EXPECT_EQ(camera.SetHeartBeatTimeout(60001), -2);
    EXPECT_EQ(camera.SetHeartBeatTimeout(60000), 0);  // both bounds are allowed
    EXPECT_EQ(camera.SetHeartBeatTimeout(500), 0);
    EXPECT_EQ(fake.peer.Register(kHeartbeatTimeout), 500u);
    EXPECT_EQ(camera.heartbeat_timeout.load(), 500);
    EXPECT_EQ(camera.GetHeartBeatTimeout(), 500);
    EXPECT_EQ(camera.CameraDisconnect(), 0);
}

TEST_F(ConnectionTest, HeartbeatAccessorsNeedAConnection) {
    EXPECT_EQ(camera.GetHeartBeatTimeout(), -11);
    EXPECT_EQ(camera.SetHeartBeatTimeout(3000), -11);
    EXPECT_EQ(camera.GetTimestampValue(), 0xFFFFFFFFFFFFFFF5ull);
    EXPECT_EQ(camera.GetTimestampTickFrequency(), 0xFFFFFFFFFFFFFFF5ull);
}

TEST_F(ConnectionTest, DestroyingAConnectedCameraGivesControlBack) {
    {
        GigeCamera scoped;
        DiscoveryInfo info = fake.Info();
        ASSERT_EQ(scoped.CameraConnect(&info), 0);
    }
    EXPECT_EQ(fake.WritesTo(kCcp), (std::vector<uint32_t>{2, 0}));
}

TEST_F(ConnectionTest, ClockValuesJoinTheirTwoRegisters) {
    ASSERT_EQ(Connect(), 0);
    fake.peer.SetRegister(0x093C, 0);
    fake.peer.SetRegister(0x0940, 125000000);
    EXPECT_EQ(camera.GetTimestampTickFrequency(), 125000000ull);
    fake.peer.SetRegister(0x093C, 1);
    fake.peer.SetRegister(0x0940, 0);
    EXPECT_EQ(camera.GetTimestampTickFrequency(), 4294967296ull);
    fake.peer.SetRegister(0x0948, 0x12);
    fake.peer.SetRegister(0x094C, 0xFFFFFFF0);
    EXPECT_EQ(camera.GetTimestampValue(), 0x12FFFFFFF0ull);
    fake.peer.SetStatus(0x094C, 0x8006);
    EXPECT_EQ(camera.GetTimestampValue(),
              static_cast<unsigned long long>(static_cast<long long>(static_cast<int>(0x80060000u))));
}

TEST_F(ConnectionTest, AFailedCalibrationReadLeavesItsOutputsAlone) {
    ASSERT_EQ(Connect(), 0);
    float first[5] = {7, 7, 7, 7, 7};
    float second[9] = {};
    fake.peer.SetStatus(tavi::test::kInternalAddress + 0x200, 0x8006);
    EXPECT_EQ(camera.GetCamInternelParameter(2, first, second), -32762);  // 0x8006 sign-extended
    EXPECT_EQ(first[0], 7.0f);
    EXPECT_EQ(camera.GetCamInternelParameter(1, first, second), 0);
    EXPECT_EQ(first[0], tavi::test::InternalFloats(1)[0]);
}

// ---- packet-size negotiation ---------------------------------------------------------------------

TEST_F(ConnectionTest, PacketSizeSettlesOn1500WithoutProbingOnA1500Mtu) {
    ASSERT_EQ(Connect(1500), 0);
    EXPECT_EQ(camera.packet_size, 1500);
    for (int channel = 0; channel < 3; ++channel) {
        EXPECT_EQ(fake.WritesTo(0x0D04 + 0x40 * channel), std::vector<uint32_t>{1500}) << channel;
    }
    // The firewall opener went to the source port, and channel 0 was closed again.
    bool opener_seen = false;
    for (const auto& datagram : fake.peer.Received()) {
        Bytes expected(20, 0);
        std::memcpy(expected.data(), "movarenti!", 10);
        opener_seen |= datagram.bytes == expected;
    }
    EXPECT_TRUE(opener_seen);
    EXPECT_EQ(fake.WritesTo(0x0D18), (std::vector<uint32_t>{tavi::test::kPcAddress, 0}));
    EXPECT_EQ(fake.WritesTo(0x0D00).back(), 0u);
}

TEST_F(ConnectionTest, PacketSizeIsTheLargestCandidateThatArrives) {
    fake.peer.SetLargestTestPacket(7000);
    ASSERT_EQ(Connect(9000), 0);
    EXPECT_EQ(camera.packet_size, 6952);
    const std::vector<uint32_t> expected{9000 | 0xC0000000u, 7976 | 0xC0000000u, 6952 | 0xC0000000u, 6952};
    EXPECT_EQ(fake.WritesTo(0x0D04), expected);
    EXPECT_EQ(fake.WritesTo(0x0D44), std::vector<uint32_t>{6952});
    EXPECT_EQ(fake.WritesTo(0x0D84), std::vector<uint32_t>{6952});
}

TEST_F(ConnectionTest, ATestPacketOneByteShortSelectsNothing) {
    // The camera answers every probe with a packet one byte short of the size asked for.
    fake.peer.SetLargestTestPacket(0);
    fake.peer.SetScript([this](const Bytes& command) -> std::optional<std::vector<Bytes>> {
        if (tavi::test::Be16(command, 2) == 0x0082 && tavi::test::Be32(command, 8) == 0x0D04 &&
            (tavi::test::Be32(command, 12) & 0x80000000u) != 0) {
            const uint32_t size = tavi::test::Be32(command, 12) & 0xFFFF;
            fake.peer.SendTo(tavi::test::kPcAddress, static_cast<uint16_t>(probe_port.load()),
                             Bytes(size - 1, 1));
        }
        if (tavi::test::Be16(command, 2) == 0x0082 && tavi::test::Be32(command, 8) == 0x0D00 &&
            tavi::test::Be32(command, 12) != 0) {
            probe_port = tavi::test::Be32(command, 12);
        }
        return std::nullopt;
    });
    ASSERT_EQ(Connect(4000), 0);
    EXPECT_EQ(camera.packet_size, 1500);
    EXPECT_EQ(fake.WritesTo(0x0D04),
              (std::vector<uint32_t>{4000 | 0xC0000000u, 2976 | 0xC0000000u, 1952 | 0xC0000000u, 1500}));
}

TEST_F(ConnectionTest, PacketSizeFailuresAreTheRegisterCodes) {
    fake.peer.SetStatus(0x0D1C, 0x8006);
    ASSERT_EQ(Connect(1500), 0);  // the connection stores the failure and goes on
    EXPECT_EQ(camera.packet_size, static_cast<int>(0x80060000u));
}
