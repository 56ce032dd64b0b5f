// Camera control against virtual cameras in the isolated test namespace: connection with plain and
// zipped descriptions, the control privilege, the description copy, calibration and clock, packet
// size, and the heartbeat.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "TaviSDK/GigeCamera.h"
#include "support/e2e_camera.h"
#include "support/scripted_gvcp_peer.h"
#include "support/temp_dir.h"
#include "support/virtual_camera_control.h"

using namespace std::chrono_literals;
using tavi::test::Bytes;

namespace {

constexpr uint32_t kTimestampControl = 0x0944;
constexpr uint32_t kTimestampLatch = 0x2;

// A GVCP reader of its own, sharing no code with the library, that checks what the library read.
class RawGvcpReader {
  public:
    explicit RawGvcpReader(uint32_t camera_ip) : camera_ip_(camera_ip) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval timeout{1, 0};
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawGvcpReader() { ::close(socket_); }

    // `count` bytes of camera memory, read in pieces of at most 512 bytes.
    Bytes ReadMemory(uint32_t address, uint32_t count) {
        Bytes data;
        while (data.size() < count) {
            const uint32_t piece = std::min<uint32_t>(512, count - static_cast<uint32_t>(data.size()));
            Bytes command{0x42, 0x01, 0x00, 0x84, 0x00, 0x08};
            tavi::test::AppendBe16(&command, ++id_);
            tavi::test::AppendBe32(&command, address + static_cast<uint32_t>(data.size()));
            tavi::test::AppendBe16(&command, 0);
            tavi::test::AppendBe16(&command, static_cast<uint16_t>((piece + 3) / 4 * 4));
            const Bytes ack = Exchange(command);
            if (ack.size() < 12 + piece || tavi::test::Be16(ack, 0) != 0) return {};
            data.insert(data.end(), ack.begin() + 12, ack.begin() + 12 + piece);
        }
        return data;
    }

    uint32_t ReadRegister(uint32_t address) {
        Bytes command{0x42, 0x01, 0x00, 0x80, 0x00, 0x04};
        tavi::test::AppendBe16(&command, ++id_);
        tavi::test::AppendBe32(&command, address);
        const Bytes ack = Exchange(command);
        return tavi::test::Be32(ack, 8);
    }

    uint16_t WriteRegister(uint32_t address, uint32_t value) {
        Bytes command{0x42, 0x01, 0x00, 0x82, 0x00, 0x08};
        tavi::test::AppendBe16(&command, ++id_);
        tavi::test::AppendBe32(&command, address);
        tavi::test::AppendBe32(&command, value);
        const Bytes ack = Exchange(command);
        return ack.size() >= 8 ? tavi::test::Be16(ack, 0) : 0xFFFF;
    }

    // Whether the camera fires a test packet of 1000 bytes at all (over any MTU) to `pc_ip`.
    bool SendsTestPackets(uint32_t pc_ip) {
        const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(pc_ip);
        socklen_t length = sizeof local;
        ::bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::getsockname(receiver, reinterpret_cast<sockaddr*>(&local), &length);
        timeval timeout{0, 300000};
        setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const bool sent = WriteRegister(0x0A00, 2) == 0 && WriteRegister(0x0D18, pc_ip) == 0 &&
                          WriteRegister(0x0D00, ntohs(local.sin_port)) == 0 &&
                          WriteRegister(0x0D04, 0xC0000000u | 1000) == 0;
        uint8_t buffer[2048];
        const bool arrived = sent && ::recv(receiver, buffer, sizeof buffer, 0) == 1000;
        WriteRegister(0x0D18, 0);
        WriteRegister(0x0D00, 0);
        WriteRegister(0x0A00, 0);
        ::close(receiver);
        return arrived;
    }

  private:
    Bytes Exchange(const Bytes& command) {
        sockaddr_in camera{};
        camera.sin_family = AF_INET;
        camera.sin_addr.s_addr = htonl(camera_ip_);
        camera.sin_port = htons(3956);
        ::sendto(socket_, command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&camera),
                 sizeof camera);
        uint8_t buffer[1024];
        const ssize_t size = ::recv(socket_, buffer, sizeof buffer, 0);
        return size > 0 ? Bytes(buffer, buffer + size) : Bytes{};
    }

    int socket_;
    uint32_t camera_ip_;
    uint16_t id_ = 0;
};

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The description as the camera holds it, read by the raw reader from the First or Second URL.
Bytes DescriptionInCamera(RawGvcpReader& reader) {
    for (uint32_t url_register : {0x0200u, 0x0400u}) {
        const Bytes url = reader.ReadMemory(url_register, 512);
        if (url.empty()) continue;
        const std::string text(url.begin(), std::find(url.begin(), url.end(), 0));
        unsigned address = 0, length = 0;
        const size_t semicolon = text.find(';');
        if (semicolon == std::string::npos ||
            std::sscanf(text.c_str() + semicolon, ";%x;%x", &address, &length) != 2) {
            continue;
        }
        return reader.ReadMemory(address, length);
    }
    return {};
}

// The suites below are the camera set-ups of tests/e2e/camera.cmake, each run against its own camera.
class CameraE2e : public tavi::test::E2eCamera {
  protected:
    std::string LogText() {
        return scratch.Read(std::string(info_.serial_number, strnlen(info_.serial_number, 16)) + ".log");
    }

    // Kept for the whole test: destroying a camera object turns every log switch off.
    int CcpSeenByAnotherApplication(DiscoveryInfo& of) {
        int ccp = -1;
        EXPECT_EQ(other.GetCameraCCPStatus(&of, &ccp), 0);
        return ccp;
    }

    bool LostWithin(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (camera_.connected.load() != 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
        return camera_.connected.load() == 0;
    }

    void ExpectEveryChannelUsesThePacketSize() {
        RawGvcpReader reader(info_.camera_ip);
        for (uint32_t channel = 0; channel < reader.ReadRegister(0x0904); ++channel) {
            EXPECT_EQ(static_cast<int>(reader.ReadRegister(0x0D04 + 0x40 * channel) & 0xFFFF),
                      camera_.packet_size)
                << "channel " << channel;
        }
    }

    tavi::test::ScratchDirectory scratch;  // the camera's log goes here
    GigeCamera other;
};

// A camera with a plain XML description.
class PlainDescription : public CameraE2e {};
// A camera whose first description URL cannot be read; the second leads to a zipped description.
class ZippedSecondUrl : public CameraE2e {};
class Heartbeat : public CameraE2e {};
// A camera behind a segment of 9000-byte frames.
class JumboSegment : public CameraE2e {};

}  // namespace

TEST_F(PlainDescription, ConnectsTakesControlAndGivesItBack) {
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 0);
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 2);
    EXPECT_EQ(camera_.packet_size, 1500);
    ExpectEveryChannelUsesThePacketSize();
    EXPECT_EQ(camera_.CameraDisconnect(), 0);
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 0);
}

TEST_F(PlainDescription, TheDescriptionIsParsedAndSavedWithItsZeroByte) {
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    EXPECT_EQ(camera_.GetRegisterAddr("TotalNumberOfCmos"), 0x10000);
    EXPECT_EQ(camera_.GetRegisterAddr("GevHeartbeatTimeout"), 0x0938);
    EXPECT_EQ(camera_.GetNodeMinValue("GevHeartbeatTimeout"), 500);
    std::vector<std::string> names;
    camera_.GetCameraXMLNodeNames(&names);
    for (const char* feature :
         {"TotalNumberOfCmos", "InternelParameter", "GevHeartbeatTimeout", "PayloadSize"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), feature), names.end()) << feature;
    }

    ASSERT_EQ(camera_.SaveXmlToLocal(scratch.path().string()), 0);
    const std::string path = scratch.PathOf(camera_.xml_file_name + "." + camera_.xml_file_type);
    RawGvcpReader reader(info_.camera_ip);
    Bytes expected = DescriptionInCamera(reader);
    ASSERT_FALSE(expected.empty());
    expected.push_back(0);
    EXPECT_EQ(FileBytes(path), expected);
}

TEST_F(PlainDescription, CalibrationOfEverySensorIsWhatTheCameraHolds) {
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    ASSERT_EQ(camera_.cmos_count, 3);
    ASSERT_EQ(camera_.calibration.size(), 3u);
    RawGvcpReader reader(info_.camera_ip);
    const auto internal_base = static_cast<uint32_t>(camera_.GetRegisterAddr("InternelParameter"));
    const auto external_base = static_cast<uint32_t>(camera_.GetRegisterAddr("ExternelParameter"));
    for (uint32_t cmos = 0; cmos < 3; ++cmos) {
        const Bytes internal = reader.ReadMemory(internal_base + 0x100 * cmos, 56);
        const Bytes external = reader.ReadMemory(external_base + 0x100 * cmos, 48);
        ASSERT_EQ(internal.size(), 56u);
        ASSERT_EQ(external.size(), 48u);
        const CmosCalibration& record = camera_.calibration[cmos];
        EXPECT_EQ(std::memcmp(record.distortion, internal.data(), 20), 0) << cmos;
        EXPECT_EQ(std::memcmp(record.intrinsic, internal.data() + 20, 36), 0) << cmos;
        EXPECT_EQ(std::memcmp(record.rotation, external.data(), 36), 0) << cmos;
        EXPECT_EQ(std::memcmp(record.translation, external.data() + 36, 12), 0) << cmos;
        EXPECT_EQ(record.intrinsic[8], 1.0f);  // a camera matrix ends in 1
    }
}

TEST_F(PlainDescription, ClockReadsGiveTheTickFrequencyAndTheLatchedTimestamp) {
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    EXPECT_EQ(camera_.GetTimestampTickFrequency(), std::stoull(control_.Get("tick-frequency")));
    ASSERT_EQ(camera_.WriteRegister(kTimestampControl, kTimestampLatch), 0);
    const unsigned long long first = camera_.GetTimestampValue();
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(camera_.WriteRegister(kTimestampControl, kTimestampLatch), 0);
    const unsigned long long second = camera_.GetTimestampValue();
    EXPECT_LT(first, 1ull << 62);  // a value, not a widened code
    EXPECT_GT(second, first);
}

TEST_F(PlainDescription, ACameraHeldByAnotherApplicationIsRefusedAndLeftAlone) {
    ASSERT_TRUE(control_.Set("control-held", "1"));
    EXPECT_EQ(camera_.CameraConnect(&info_), -11);
    ASSERT_TRUE(control_.Set("control-held", "0"));
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 0);  // nothing was written meanwhile
}

TEST_F(Heartbeat, KeepsControlThenNoticesAPulledCable) {
    LogSwitches::info = 1;
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    // A short time-out stands in for the usual one: control is kept for many times its length.
    ASSERT_EQ(camera_.SetHeartBeatTimeout(1000), 0);
    EXPECT_EQ(camera_.GetHeartBeatTimeout(), 1000);
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(camera_.connected.load(), 1);
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 2);

    // A longer time-out lengthens the period; control still holds.
    ASSERT_EQ(camera_.SetHeartBeatTimeout(4000), 0);
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(camera_.connected.load(), 1);
    EXPECT_EQ(CcpSeenByAnotherApplication(info_), 2);

    ASSERT_TRUE(control_.Set("gvcp-silent", "1"));
    EXPECT_TRUE(LostWithin(10s));
    EXPECT_EQ(camera_.GetHeartBeatTimeout(), -11);
    ASSERT_TRUE(control_.Set("gvcp-silent", "0"));
    camera_.CameraDisconnect();
    EXPECT_FALSE(camera_.heartbeat_thread.joinable());
    EXPECT_NE(LogText().find("[function:HeartBeat] The PC does not receive camera data."), std::string::npos);
}

TEST_F(ZippedSecondUrl, TheZippedDescriptionIsReadAndSaved) {
    ASSERT_EQ(control_.Get("description"), "zip");
    ASSERT_EQ(control_.Get("first-url-unreadable"), "1");
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    EXPECT_EQ(camera_.xml_file_type, "zip");
    EXPECT_EQ(camera_.GetRegisterAddr("TotalNumberOfCmos"), 0x10000);
    ASSERT_EQ(camera_.SaveXmlToLocal(scratch.path().string()), 0);
    RawGvcpReader reader(info_.camera_ip);
    Bytes expected = DescriptionInCamera(reader);
    ASSERT_FALSE(expected.empty());
    expected.push_back(0);
    EXPECT_EQ(FileBytes(scratch.PathOf(camera_.xml_file_name + ".zip")), expected);
}

TEST_F(PlainDescription, ADamagedDescriptionFailsTheConnectionAndGivesControlBack) {
    for (const char* fault : {"malformed", "truncated", "corrupt-zip"}) {
        ASSERT_TRUE(control_.Set("description-fault", fault));
        EXPECT_EQ(camera_.CameraConnect(&info_), -10) << fault;
        EXPECT_EQ(CcpSeenByAnotherApplication(info_), 0) << fault;
    }
    ASSERT_TRUE(control_.Set("description-fault", "none"));
    EXPECT_EQ(camera_.CameraConnect(&info_), 0);
}

TEST_F(JumboSegment, PacketSizeIsTheLargestCandidateThatCrossesA9000Mtu) {
    ASSERT_EQ(info_.mtu, 9000);
    {
        RawGvcpReader reader(info_.camera_ip);
        if (!reader.SendsTestPackets(info_.pc_ip))
            GTEST_SKIP() << "this virtual camera build sends no test packets";
    }
    ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    // 9000 bytes of UDP payload do not fit a 9000-byte IP packet; the next candidate does.
    EXPECT_EQ(camera_.packet_size, 7976);
    ExpectEveryChannelUsesThePacketSize();
}
