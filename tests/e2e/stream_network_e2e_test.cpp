// A stream on a faulty link (run inside scripts/netns-run.sh with one camera; TAVI_EXPECT_PATH says
// whether this run may use the packet ring or must take the UDP socket): the link goes down for a
// second and comes back mid-stream, payload packets arrive damaged under their UDP checksum, and
// leaders lie about the image. Frames resume after the link comes back, damaged bytes never reach a
// frame, and a lying leader never yields a complete frame or a huge file.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"
#include "support/virtual_camera_control.h"

namespace {

constexpr int kRoiWidth = 160;
constexpr int kRoiHeight = 128;
constexpr int64_t kCaptureWaitUs = 5'000'000;  // bounds a hang; frames come every ~17 ms
constexpr uint8_t kDamagedByte = 0xC5;         // what the camera's bad_checksum fault writes

bool ProcessMayOpenPacketSockets() {
    const int probe = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    if (probe < 0) return false;
    close(probe);
    return true;
}

class StreamNetworkE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* expected = std::getenv("TAVI_EXPECT_PATH");
        ASSERT_NE(expected, nullptr) << "run through ctest (stream_network_e2e.ring / .udp)";
        ASSERT_EQ(ProcessMayOpenPacketSockets(), std::string(expected) == "ring")
            << "this run should take the " << expected << " path";
        ASSERT_TRUE(faults_.Set("clear", "1")) << "no virtual camera control socket";
        const uint32_t address = tavi::test::CameraAddressFromEnvironment();
        ASSERT_NE(address, 0u);
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
        ASSERT_EQ(WriteFeature("AcquisitionFrameRate", 60), 0);
        ASSERT_EQ(WriteFeature("Width", kRoiWidth), 0);
        ASSERT_EQ(WriteFeature("Height", kRoiHeight), 0);
        ASSERT_EQ(camera_.StreamOn(0, &stream_), 0);
        stream_->SetMaxBufferLength(16);
        int payload = 0;
        ASSERT_EQ(camera_.ReadRegister(camera_.GetRegisterAddr("PayloadSize"), &payload), 0);
        bytes_.resize(static_cast<size_t>(payload));
    }

    void TearDown() override {
        faults_.Set("clear", "1");
        camera_.AcquisitionStop();
        if (stream_ != nullptr) camera_.StreamOff(0, stream_);
        camera_.CameraDisconnect();
    }

    int WriteFeature(const char* name, int value) {
        const int address = camera_.GetRegisterAddr(name);
        return address < 0 ? address : camera_.WriteRegister(address, value);
    }

    // The next frame; its bytes in bytes_.
    PhotoInfo Capture() {
        PhotoInfo frame{};
        frame.data = bytes_.data();
        EXPECT_EQ(stream_->TimeoutCapture(&frame, kCaptureWaitUs), 0);
        return frame;
    }

    // Whether any packet's place in the frame holds only damaged bytes.
    bool HoldsDamagedPacket() const {
        const size_t packet_payload = static_cast<size_t>(camera_.packet_size - 36);
        for (size_t start = 0; start + packet_payload <= bytes_.size(); start += packet_payload) {
            if (std::all_of(bytes_.begin() + start, bytes_.begin() + start + packet_payload,
                            [](unsigned char b) { return b == kDamagedByte; }))
                return true;
        }
        return false;
    }

    unsigned ResendRequested() {
        unsigned requested = 0;
        stream_->GetPacketStatistics(nullptr, nullptr, nullptr, nullptr, &requested, nullptr, nullptr);
        return requested;
    }

    static int SetLink(const char* state) {
        const char* adapter = std::getenv("TAVI_CAMERA_0_ADAPTER");
        if (adapter == nullptr) return -1;
        return std::system((std::string("ip link set dev ") + adapter + " " + state).c_str());
    }

    // The namespace's count of UDP datagrams that reached no reader (Udp InErrors).
    static uint64_t UdpInErrors() {
        std::ifstream snmp("/proc/self/net/snmp");
        std::string line, names, values;
        while (std::getline(snmp, line)) {
            if (line.rfind("Udp: ", 0) != 0) continue;
            if (names.empty()) {
                names = line;
            } else {
                values = line;
                break;
            }
        }
        std::istringstream name_fields(names), value_fields(values);
        std::string name, value;
        while (name_fields >> name && value_fields >> value) {
            if (name == "InErrors") return std::stoull(value);
        }
        return 0;
    }

    VirtualCameraControl faults_{std::getenv("TAVI_CAMERA_0_CONTROL")};
    DiscoveryInfo info_{};
    GigeCamera camera_;
    GigeStream* stream_ = nullptr;
    std::vector<unsigned char> bytes_;
};

TEST_F(StreamNetworkE2E, FramesResumeAfterTheLinkGoesDownForASecondAndComesBack) {
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Capture().reserved, 0u);
    ASSERT_EQ(SetLink("down"), 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_EQ(SetLink("up"), 0);
    // Frames cut by the flap end incomplete or timed out; whole frames follow.
    int complete = 0;
    for (int i = 0; i < 300 && complete < 10; ++i) {
        if (Capture().reserved == 0) ++complete;
    }
    EXPECT_EQ(complete, 10);
    EXPECT_EQ(camera_.connected.load(), 1);
}

TEST_F(StreamNetworkE2E, DamagedPayloadPacketsNeverReachAFrameAndAreAskedForAgain) {
    ASSERT_TRUE(faults_.Set("bad_checksum", "0.02"));
    // Time enough for every dropped packet to come back, even from a slowed-down receiver.
    stream_->SetBlockTimeout(2'000'000);
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    for (int i = 0; i < 40; ++i) {
        const PhotoInfo frame = Capture();
        EXPECT_EQ(frame.reserved, 0u) << "frame " << i;
        EXPECT_FALSE(HoldsDamagedPacket()) << "frame " << i << " holds a damaged packet's bytes";
    }
    EXPECT_GT(ResendRequested(), 0u);  // the damaged packets were dropped and asked for again
}

TEST_F(StreamNetworkE2E, LyingLeadersNeverYieldACompleteFrameACrashOrAHugeFile) {
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    // A name of this process's own: the runs of both receive paths may share a directory.
    std::string name = "lying_leader_" + std::to_string(getpid()) + ".pcd";
    char* path = name.data();
    for (const char* lie : {"1", "2"}) {
        ASSERT_TRUE(faults_.Set("lying_leader", lie));
        // Frames already on their way may still tell the truth; the later ones all lie.
        for (int i = 0; i < 10; ++i) Capture();
        for (int i = 0; i < 5; ++i) {
            PhotoInfo frame = Capture();
            EXPECT_EQ(frame.reserved, static_cast<uint32_t>(kBlockFormatError)) << "lie " << lie;
            // The geometry read when the stream opened, which fits the payload.
            EXPECT_EQ(frame.width, static_cast<uint32_t>(kRoiWidth));
            EXPECT_EQ(frame.height, static_cast<uint32_t>(kRoiHeight));
            EXPECT_EQ(frame.size_x, static_cast<uint32_t>(kRoiWidth));
            EXPECT_EQ(PixelBytesOfFormat(frame.pixel_format), 6u);
            ASSERT_EQ(camera_.SavePointCloudToPcd(frame, path), 0);
            EXPECT_LT(std::filesystem::file_size(path), 8u * bytes_.size()) << "lie " << lie;
        }
    }
    std::filesystem::remove(path);
}

TEST_F(StreamNetworkE2E, StreamingCountsNoUdpReceiveErrors) {
    const uint64_t errors_before = UdpInErrors();
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Capture().reserved, 0u);
    unsigned received = 0;
    stream_->GetPacketStatistics(&received, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GT(received, 1000u);
    // Neither the UDP socket nor the one kept beside the packet ring turns every datagram into an
    // error (a receive thread held up long enough may still overflow a socket now and then).
    EXPECT_LT(UdpInErrors() - errors_before, received / 4);
}

TEST_F(StreamNetworkE2E, PacketsLargerThanTheMtuArriveInFragmentsAndMakeWholeFrames) {
    // 4000-byte packets on a 1500-byte segment: the IP layer fragments them, which only the UDP
    // socket reassembles, so the stream must take it whatever the process may.
    camera_.StreamOff(0, stream_);
    stream_ = nullptr;
    ASSERT_EQ(camera_.WriteRegister(0x0D04, 4000), 0);
    camera_.packet_size = 4000;
    ASSERT_EQ(camera_.StreamOn(0, &stream_), 0);
    stream_->SetMaxBufferLength(16);
    ASSERT_EQ(camera_.AcquisitionStart(), 0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Capture().reserved, 0u) << "frame " << i;
}

}  // namespace
