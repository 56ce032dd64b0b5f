// Discovery and force IP against virtual cameras in the isolated test namespace.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "support/packet_counter.h"
#include "support/temp_dir.h"
#include "support/virtual_camera_control.h"

namespace {

std::string Serial(const DiscoveryInfo& info) {
    return std::string(info.serial_number, strnlen(info.serial_number, 16));
}
std::string Adapter(const DiscoveryInfo& info) {
    return std::string(info.adapter_name, strnlen(info.adapter_name, 256));
}

uint32_t Ip(const char* text) {
    Discovery discovery;
    std::string copy = text;
    return discovery.ConvertIpStringToInt(copy.data());
}

std::vector<DiscoveryInfo> Discover() {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    const int found = discovery.DiscoverCamera(&cameras);
    EXPECT_EQ(found, static_cast<int>(cameras.size()));
    return cameras;
}

const DiscoveryInfo* FindSerial(const std::vector<DiscoveryInfo>& cameras, const std::string& serial) {
    auto found = std::find_if(cameras.begin(), cameras.end(),
                              [&](const DiscoveryInfo& info) { return Serial(info) == serial; });
    return found == cameras.end() ? nullptr : &*found;
}

VirtualCameraControl CameraControl(int index) {
    const std::string name = "TAVI_CAMERA_" + std::to_string(index) + "_CONTROL";
    const char* path = std::getenv(name.c_str());
    return VirtualCameraControl(path != nullptr ? path : "");
}

}  // namespace

TEST(TwoAdapters, EachAnswerGivesOneRecordWithTheFactsOfTheAdapterThatHeardIt) {
    const std::vector<DiscoveryInfo> cameras = Discover();
    ASSERT_EQ(cameras.size(), 3u);

    // Adapter order first: the camera behind tv0, then the two behind tv1 in arrival order.
    EXPECT_EQ(Serial(cameras[0]), "TVA001");
    EXPECT_EQ(Adapter(cameras[0]), "tv0");
    EXPECT_EQ(cameras[0].camera_ip, Ip("169.254.1.10"));
    EXPECT_EQ(cameras[0].camera_mask, Ip("255.255.0.0"));
    EXPECT_EQ(cameras[0].mac_high, 0x0254u);
    EXPECT_EQ(cameras[0].mac_low, 0x56000001u);
    EXPECT_EQ(cameras[0].pc_ip, Ip("169.254.1.1"));
    EXPECT_EQ(cameras[0].pc_mask, Ip("255.255.0.0"));
    EXPECT_EQ(cameras[0].pc_gateway, Ip("169.254.1.254"));
    EXPECT_EQ(cameras[0].mtu, 1500);

    std::vector<std::string> behind_tv1{Serial(cameras[1]), Serial(cameras[2])};
    std::sort(behind_tv1.begin(), behind_tv1.end());
    EXPECT_EQ(behind_tv1, (std::vector<std::string>{"TVB001", "TVB002"}));
    for (size_t index = 1; index < 3; ++index) {
        EXPECT_EQ(Adapter(cameras[index]), "tv1");
        EXPECT_EQ(cameras[index].pc_ip, Ip("192.168.50.1"));
        EXPECT_EQ(cameras[index].pc_mask, Ip("255.255.255.0"));
        EXPECT_EQ(cameras[index].pc_gateway, 0u) << "tv1 has no default gateway";
        EXPECT_EQ(cameras[index].mtu, 9000);
    }
    EXPECT_EQ(FindSerial(cameras, "TVB002")->camera_ip, Ip("192.168.50.20"));
    EXPECT_EQ(FindSerial(cameras, "TVB001")->camera_ip, Ip("192.168.50.21"));
}

TEST(TwoAdapters, EachBroadcastLeavesOnlyThroughTheAdapterItIsFor) {
    const std::string discovery_filter = "udp and dst port 3956 and udp[10:2] = 0x0002";
    tavi::test::PacketCounter on_tv0("tv0", discovery_filter);
    tavi::test::PacketCounter on_tv1("tv1", discovery_filter);
    ASSERT_TRUE(on_tv0.started() && on_tv1.started()) << on_tv0.text() << on_tv1.text();
    Discover();
    EXPECT_EQ(on_tv0.Stop(), 1) << on_tv0.text();
    EXPECT_EQ(on_tv1.Stop(), 1) << on_tv1.text();
}

TEST(TwoAdapters, TheSortOrdersTheRecordsBySerialNumber) {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    ASSERT_EQ(discovery.DiscoverCamera(&cameras), 3);
    ASSERT_EQ(discovery.CameraSort(&cameras, 1), 0);
    EXPECT_EQ(Serial(cameras[0]), "TVA001");
    EXPECT_EQ(Serial(cameras[1]), "TVB001");
    EXPECT_EQ(Serial(cameras[2]), "TVB002");
}

TEST(ForceIp, ACameraOnAForeignSubnetIsFoundAndMovedOntoTheAdaptersSubnet) {
    const std::vector<DiscoveryInfo> before = Discover();
    const DiscoveryInfo* foreign = FindSerial(before, "TVF001");
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->camera_ip, Ip("10.3.0.5"));
    Discovery discovery;
    EXPECT_FALSE(discovery.WhetherIsSameSegment(*foreign));

    const std::string broadcast_filter =
        "udp and dst host 255.255.255.255 and dst port 3956 and udp[9] = 0x11";
    tavi::test::PacketCounter broadcasts("tv0", broadcast_filter);
    char ip[] = "169.254.1.30";
    char mask[] = "255.255.0.0";
    char gateway[] = "169.254.1.254";
    EXPECT_EQ(discovery.ForceIp(*foreign, ip, mask, gateway), 0);
    EXPECT_GE(broadcasts.Stop(), 1) << broadcasts.text();

    const std::vector<DiscoveryInfo> after = Discover();
    const DiscoveryInfo* moved = FindSerial(after, "TVF001");
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->camera_ip, Ip("169.254.1.30"));
    EXPECT_EQ(moved->camera_mask, Ip("255.255.0.0"));
    EXPECT_EQ(moved->camera_gateway, Ip("169.254.1.254"));
    EXPECT_TRUE(discovery.WhetherIsSameSegment(*moved));
}

TEST(ForceIp, ACameraOnTheSameSubnetGetsTheCommandByUnicast) {
    const std::vector<DiscoveryInfo> cameras = Discover();
    const DiscoveryInfo* local = FindSerial(cameras, "TVS001");
    ASSERT_NE(local, nullptr);
    tavi::test::PacketCounter unicasts("tv0",
                                       "udp and dst host 169.254.7.7 and dst port 3956 and udp[9] = 0x88");
    Discovery discovery;
    char ip[] = "169.254.7.8";
    char mask[] = "255.255.0.0";
    char gateway[] = "169.254.1.254";
    EXPECT_EQ(discovery.ForceIp(*local, ip, mask, gateway), 0);
    EXPECT_EQ(unicasts.Stop(), 1) << unicasts.text();
    const std::vector<DiscoveryInfo> after = Discover();
    const DiscoveryInfo* moved = FindSerial(after, "TVS001");
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->camera_ip, Ip("169.254.7.8"));
}

TEST(ForceIp, ARefusingCameraGivesMinus4) {
    const std::vector<DiscoveryInfo> cameras = Discover();
    const DiscoveryInfo* local = FindSerial(cameras, "TVS001");
    ASSERT_NE(local, nullptr);
    ASSERT_TRUE(CameraControl(1).Set("forceip-status", "0x8006"));
    Discovery discovery;
    char ip[] = "169.254.7.9";
    char mask[] = "255.255.0.0";
    char gateway[] = "169.254.1.254";
    EXPECT_EQ(discovery.ForceIp(*local, ip, mask, gateway), -4);
    ASSERT_TRUE(CameraControl(1).Set("forceip-status", "0"));
}

// In both cases the camera sends the faulty answer and then a proper one.
TEST(HostileAnswers, AnAnswerWhoseLengthFieldDisagreesIsSkipped) {
    ASSERT_TRUE(CameraControl(0).Set("discovery-wrong-size", "1"));
    const std::vector<DiscoveryInfo> cameras = Discover();
    ASSERT_TRUE(CameraControl(0).Set("discovery-wrong-size", "0"));
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(Serial(cameras[0]), "TVH001");
}

TEST(HostileAnswers, AnOversizedAnswerEndsThatAddressesReceiveLoop) {
    ASSERT_TRUE(CameraControl(0).Set("discovery-oversize", "1"));
    const std::vector<DiscoveryInfo> cameras = Discover();
    ASSERT_TRUE(CameraControl(0).Set("discovery-oversize", "0"));
    EXPECT_TRUE(cameras.empty());
    EXPECT_EQ(Discover().size(), 1u);
}

// ---- a flooding device and a PC without adapters -------------------------------------------------

namespace {

// A discovery with warnings logged into a scratch directory; the log text is left in `log_text`.
std::vector<DiscoveryInfo> DiscoverLogging(std::string* log_text) {
    tavi::test::ScratchDirectory scratch;
    Discovery discovery;
    discovery.SetLogLevelSwitch(1, 0, 1, 0);
    std::vector<DiscoveryInfo> cameras;
    const int found = discovery.DiscoverCamera(&cameras);
    EXPECT_EQ(found, static_cast<int>(cameras.size()));
    *log_text = scratch.Read("discovercamera.log");
    return cameras;
}

size_t CountSerial(const std::vector<DiscoveryInfo>& cameras, const std::string& serial) {
    return static_cast<size_t>(std::count_if(
        cameras.begin(), cameras.end(), [&](const DiscoveryInfo& info) { return Serial(info) == serial; }));
}

}  // namespace

// Camera 0 is honest, camera 1 floods (both behind tv0).
TEST(Flood, AnAdapterGivesAtMost1024RecordsAndTheRealCamerasAreAmongThem) {
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood-gap-ms", "1"));
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "3000"));
    std::string log_text;
    const std::vector<DiscoveryInfo> cameras = DiscoverLogging(&log_text);
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "0"));
    EXPECT_LE(cameras.size(), 1024u);
    EXPECT_EQ(CountSerial(cameras, "TVR001"), 1u);
    EXPECT_GE(CountSerial(cameras, "TVX001"), 1u);
    // The flood (one answer a millisecond for 3 s) meets the record bound first, unless this machine
    // is so loaded that fewer than 1024 answers got through in the adapter's listening time.
    const bool capped =
        cameras.size() == 1024u &&
        log_text.find(
            "[function:DiscoverCameraWin32] The adapter tv0 gave 1024 answers; the rest are ignored.") !=
            std::string::npos;
    const bool timed =
        log_text.find("the adapter tv0 had listened for 3000 ms; listening stopped.") != std::string::npos;
    EXPECT_TRUE(capped || timed) << log_text;
}

TEST(Flood, ListeningEndsWhileASlowFloodGoesOn) {
    // 600 answers 50 ms apart last 30 s; listening ends long before, with a warning.
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood-gap-ms", "50"));
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "600"));
    std::string log_text;
    const std::vector<DiscoveryInfo> cameras = DiscoverLogging(&log_text);
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "0"));
    EXPECT_LT(cameras.size(), 600u);
    EXPECT_EQ(CountSerial(cameras, "TVR001"), 1u);
    EXPECT_NE(log_text.find("the adapter tv0 had listened for 3000 ms; listening stopped."),
              std::string::npos)
        << log_text;
}

TEST(FloodOnManyAddresses, TheAdaptersListeningTimeIsSharedByAllItsAddresses) {
    // tv0 has three addresses. The flood keeps the first one listening until the adapter's time is
    // up; the other two are still searched, each for one normal silence, so the search ends in
    // about four seconds (the bound here only catches a search that never ends).
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood-gap-ms", "50"));
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "600"));
    std::string log_text;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<DiscoveryInfo> cameras = DiscoverLogging(&log_text);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(CameraControl(1).Set("discovery-flood", "0"));
    // Found from each of the three addresses, as without a flood.
    EXPECT_EQ(CountSerial(cameras, "TVR001"), 3u);
    EXPECT_NE(log_text.find("the adapter tv0 had listened for 3000 ms; listening stopped."),
              std::string::npos)
        << log_text;
    EXPECT_EQ(log_text.find("is not searched"), std::string::npos) << log_text;
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST(NoAdapter, APcWithoutAdaptersGivesMinus3) {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    EXPECT_EQ(discovery.DiscoverCamera(&cameras), -3);
    EXPECT_EQ(discovery.camera_count, -3);
    EXPECT_TRUE(cameras.empty());
}
