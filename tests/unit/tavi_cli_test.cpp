// The tavi tool's parts that need no camera: the doctor's checks on the values they are handed, the
// system settings read from a tree standing for /, the preview renderer and its PNG file, and the
// JSON writer.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <vector>

#include "doctor_checks.h"
#include "json_writer.h"
#include "png_file.h"
#include "preview.h"
#include "support/temp_dir.h"
#include "system_settings.h"

namespace {

using tavi::cli::CameraLink;
using tavi::cli::Finding;
using tavi::cli::Verdict;

constexpr uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a << 24 | b << 16 | c << 8 | d;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

CameraLink Link(uint32_t camera_ip, uint32_t camera_mask, uint32_t pc_ip, uint32_t pc_mask) {
    return {"TV001", camera_ip, camera_mask, pc_ip, pc_mask, "eth1"};
}

// ---- doctor checks -----------------------------------------------------------------------------

TEST(DoctorChecks, AnMtuBelowTheCamerasPacketsIsAProblemWithItsFix) {
    const Finding small = tavi::cli::CheckMtu("eth1", 1000, 1500, 9000);
    EXPECT_EQ(small.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(small.detail, "MTU of 1000 bytes, less than the camera's 1500-byte")) << small.detail;
    EXPECT_TRUE(Has(small.fix, "sudo ip link set dev eth1 mtu 9000")) << small.fix;
    // Packets larger than a standard MTU that the adapter does not carry.
    EXPECT_EQ(tavi::cli::CheckMtu("eth1", 1500, 8000, 9000).verdict, Verdict::kProblem);
    // Unknown packet size (the camera could not be connected): the standard 1500 bytes are assumed.
    EXPECT_EQ(tavi::cli::CheckMtu("eth1", 1400, std::nullopt, std::nullopt).verdict, Verdict::kProblem);
}

TEST(DoctorChecks, AnMtuThatCarriesThePacketsPassesAndJumboFramesAreAHint) {
    const Finding standard = tavi::cli::CheckMtu("eth1", 1500, 1500, 9000);
    EXPECT_EQ(standard.verdict, Verdict::kHint);
    EXPECT_TRUE(Has(standard.detail, "up to 9000 bytes")) << standard.detail;
    EXPECT_EQ(tavi::cli::CheckMtu("eth1", 9000, 9000, 9000).verdict, Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckMtu("eth1", 1500, 1500, std::nullopt).verdict, Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckMtu("eth1", std::nullopt, 1500, 9000).verdict, Verdict::kHint);
}

TEST(DoctorChecks, AReceiveBufferLimitBelowSixFramesIsAProblemWithoutPacketSockets) {
    const uint64_t frame = 1280u * 1024u * 6u;
    const Finding small = tavi::cli::CheckReceiveBuffer(212992, frame, false);
    EXPECT_EQ(small.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(small.detail, "net.core.rmem_max is 212992 bytes")) << small.detail;
    EXPECT_TRUE(Has(small.fix, "sudo sysctl -w net.core.rmem_max=" + std::to_string(6 * frame))) << small.fix;
    EXPECT_TRUE(Has(small.fix, "/etc/sysctl.d/")) << small.fix;
    // With the packet ring at hand the limit matters less: a hint with the same fix.
    const Finding ring = tavi::cli::CheckReceiveBuffer(212992, frame, true);
    EXPECT_EQ(ring.verdict, Verdict::kHint);
    EXPECT_EQ(ring.fix, small.fix);
    EXPECT_EQ(tavi::cli::CheckReceiveBuffer(static_cast<int64_t>(6 * frame), frame, false).verdict,
              Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckReceiveBuffer(static_cast<int64_t>(6 * frame - 1), frame, false).verdict,
              Verdict::kProblem);
    EXPECT_EQ(tavi::cli::CheckReceiveBuffer(212992, std::nullopt, false).verdict, Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckReceiveBuffer(std::nullopt, frame, false).verdict, Verdict::kHint);
    EXPECT_EQ(tavi::cli::CheckReceiveBuffer(-1, frame, false).verdict, Verdict::kProblem);
}

TEST(DoctorChecks, ACameraOnAForeignSubnetIsAProblemWithAnAddressToMoveItTo) {
    const CameraLink foreign = Link(Address(10, 9, 0, 5), Address(255, 255, 255, 0), Address(192, 168, 50, 1),
                                    Address(255, 255, 255, 0));
    const Finding subnet = tavi::cli::CheckSubnet(foreign);
    EXPECT_EQ(subnet.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(subnet.detail, "10.9.0.5/24 is not on eth1's subnet 192.168.50.0/24")) << subnet.detail;
    EXPECT_TRUE(Has(subnet.fix, "tavi force-ip TV001 192.168.50.2 255.255.255.0 192.168.50.1")) << subnet.fix;
    EXPECT_TRUE(Has(subnet.fix, "sudo ip addr add 10.9.0.1/24 dev eth1")) << subnet.fix;
    // An adapter at the top of its range: the suggestion stays inside it and off the broadcast address.
    const CameraLink top = Link(Address(10, 9, 0, 5), Address(255, 255, 255, 0), Address(192, 168, 50, 254),
                                Address(255, 255, 255, 0));
    EXPECT_TRUE(Has(tavi::cli::CheckSubnet(top).fix, "force-ip TV001 192.168.50.253 "))
        << tavi::cli::CheckSubnet(top).fix;
    const CameraLink same = Link(Address(192, 168, 50, 20), Address(255, 255, 255, 0),
                                 Address(192, 168, 50, 1), Address(255, 255, 255, 0));
    EXPECT_EQ(tavi::cli::CheckSubnet(same).verdict, Verdict::kOk);
}

TEST(DoctorChecks, StrictReversePathFilteringMattersOnlyForForeignSubnetCameras) {
    const CameraLink foreign = Link(Address(10, 9, 0, 5), Address(255, 255, 255, 0), Address(192, 168, 50, 1),
                                    Address(255, 255, 255, 0));
    const Finding strict = tavi::cli::CheckReversePathFilter(foreign, 1);
    EXPECT_EQ(strict.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(strict.fix, "net.ipv4.conf.eth1.rp_filter=2")) << strict.fix;
    EXPECT_EQ(tavi::cli::CheckReversePathFilter(foreign, 2).verdict, Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckReversePathFilter(foreign, 0).verdict, Verdict::kOk);
    const CameraLink same = Link(Address(192, 168, 50, 20), Address(255, 255, 255, 0),
                                 Address(192, 168, 50, 1), Address(255, 255, 255, 0));
    EXPECT_EQ(tavi::cli::CheckReversePathFilter(same, 1).verdict, Verdict::kOk);
    EXPECT_EQ(tavi::cli::CheckReversePathFilter(foreign, std::nullopt).verdict, Verdict::kHint);
}

// A routing table as the kernel prints it: addresses in network byte order as the machine reads them.
std::string RouteLine(const char* name, uint32_t destination, uint32_t mask, unsigned flags, int metric) {
    char line[160];
    std::snprintf(line, sizeof line, "%s\t%08X\t00000000\t%04X\t0\t0\t%d\t%08X\t0\t0\t0\n", name,
                  htonl(destination), flags, metric, htonl(mask));
    return line;
}

const std::string kRouteHeader =
    "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n";

TEST(DoctorChecks, TheRouteTakesTheLongestPrefixThenTheLowestMetric) {
    const std::string table =
        kRouteHeader + RouteLine("eth0", 0, 0, 0x3, 100) +
        RouteLine("eth1", Address(192, 168, 50, 0), Address(255, 255, 255, 0), 0x1, 0) +
        RouteLine("eth2", Address(192, 168, 0, 0), Address(255, 255, 0, 0), 0x1, 0) +
        RouteLine("eth3", Address(192, 168, 50, 0), Address(255, 255, 255, 0), 0x1, 10) +
        RouteLine("down", Address(10, 0, 0, 0), Address(255, 0, 0, 0), 0x0, 0) + "garbage line\nshort\t1\n";
    EXPECT_EQ(tavi::cli::RouteAdapter(table, Address(192, 168, 50, 20)), "eth1");
    EXPECT_EQ(tavi::cli::RouteAdapter(table, Address(192, 168, 7, 1)), "eth2");
    EXPECT_EQ(tavi::cli::RouteAdapter(table, Address(10, 1, 2, 3)), "eth0");  // the down route is ignored
    EXPECT_EQ(tavi::cli::RouteAdapter(kRouteHeader, Address(10, 1, 2, 3)), "");
    EXPECT_EQ(tavi::cli::RouteAdapter("", Address(10, 1, 2, 3)), "");
}

TEST(DoctorChecks, ARouteThroughAnotherAdapterOrNoneIsAProblem) {
    const CameraLink foreign = Link(Address(10, 9, 0, 5), Address(255, 255, 255, 0), Address(192, 168, 50, 1),
                                    Address(255, 255, 255, 0));
    const std::string by_default =
        kRouteHeader + RouteLine("eth0", 0, 0, 0x3, 0) +
        RouteLine("eth1", Address(192, 168, 50, 0), Address(255, 255, 255, 0), 0x1, 0);
    const Finding wrong = tavi::cli::CheckRoute(foreign, by_default);
    EXPECT_EQ(wrong.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(wrong.detail, "leaves through eth0, not through eth1")) << wrong.detail;
    EXPECT_TRUE(Has(wrong.fix, "sudo ip route add 10.9.0.5/32 dev eth1")) << wrong.fix;
    const Finding none = tavi::cli::CheckRoute(foreign, kRouteHeader);
    EXPECT_EQ(none.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(none.detail, "no route leads to camera 10.9.0.5")) << none.detail;
    const CameraLink same = Link(Address(192, 168, 50, 20), Address(255, 255, 255, 0),
                                 Address(192, 168, 50, 1), Address(255, 255, 255, 0));
    EXPECT_EQ(tavi::cli::CheckRoute(same, by_default).verdict, Verdict::kOk);
}

TEST(DoctorChecks, PacketSocketsAndControlPrivilege) {
    const Finding denied = tavi::cli::CheckPacketSockets(false, "/usr/local/bin/tavi");
    EXPECT_EQ(denied.verdict, Verdict::kHint);
    EXPECT_TRUE(Has(denied.fix, "sudo setcap cap_net_raw+ep /usr/local/bin/tavi")) << denied.fix;
    EXPECT_EQ(tavi::cli::CheckPacketSockets(true, "tavi").verdict, Verdict::kOk);

    const CameraLink link = Link(Address(192, 168, 50, 20), Address(255, 255, 255, 0),
                                 Address(192, 168, 50, 1), Address(255, 255, 255, 0));
    EXPECT_EQ(tavi::cli::CheckControl(link, 0).verdict, Verdict::kOk);
    const Finding held = tavi::cli::CheckControl(link, 2);
    EXPECT_EQ(held.verdict, Verdict::kProblem);
    EXPECT_TRUE(Has(held.detail, "held by another application (control privilege 2)")) << held.detail;
    EXPECT_EQ(tavi::cli::CheckControl(link, std::nullopt).verdict, Verdict::kProblem);
}

// ---- system settings from a tree standing for / -------------------------------------------------

TEST(SystemSettings, ReadsTheValuesUnderItsRoot) {
    tavi::test::TempDirectory root;
    namespace fs = std::filesystem;
    fs::create_directories(root.path() / "proc/sys/net/core");
    fs::create_directories(root.path() / "proc/sys/net/ipv4/conf/all");
    fs::create_directories(root.path() / "proc/sys/net/ipv4/conf/eth1");
    fs::create_directories(root.path() / "sys/class/net/eth1");
    fs::create_directories(root.path() / "proc/net");
    std::ofstream(root.path() / "proc/sys/net/core/rmem_max") << "212992\n";
    std::ofstream(root.path() / "proc/sys/net/ipv4/conf/all/rp_filter") << "2\n";
    std::ofstream(root.path() / "proc/sys/net/ipv4/conf/eth1/rp_filter") << "1\n";
    std::ofstream(root.path() / "sys/class/net/eth1/mtu") << "9000\n";
    std::ofstream(root.path() / "proc/net/route") << kRouteHeader;

    const tavi::cli::SystemSettings settings(root.path().string());
    EXPECT_EQ(settings.ReceiveBufferLimit(), 212992);
    // The kernel applies the larger of the adapter's filter and the one for all adapters.
    EXPECT_EQ(settings.ReversePathFilter("eth1"), 2);
    EXPECT_EQ(settings.Mtu("eth1"), 9000);
    EXPECT_EQ(settings.RouteTable(), kRouteHeader);
    EXPECT_EQ(settings.Mtu("eth9"), std::nullopt);
    EXPECT_EQ(settings.ReversePathFilter("eth9"), 2);  // only the value for all adapters
}

TEST(SystemSettings, MissingGarbledAndEscapingValuesReadAsUnknown) {
    tavi::test::TempDirectory root;
    namespace fs = std::filesystem;
    fs::create_directories(root.path() / "proc/sys/net/core");
    fs::create_directories(root.path() / "sys/class/net/eth1");
    std::ofstream(root.path() / "proc/sys/net/core/rmem_max") << "lots\n";
    std::ofstream(root.path() / "sys/class/net/eth1/mtu") << "99999999\n";
    const tavi::cli::SystemSettings settings(root.path().string());
    EXPECT_EQ(settings.ReceiveBufferLimit(), std::nullopt);
    EXPECT_EQ(settings.Mtu("eth1"), std::nullopt);
    EXPECT_EQ(settings.ReversePathFilter("eth1"), std::nullopt);
    EXPECT_EQ(settings.Mtu("../../../etc"), std::nullopt);
    EXPECT_EQ(settings.Mtu(""), std::nullopt);
    EXPECT_EQ(settings.RouteTable(), "");
}

// ---- preview -------------------------------------------------------------------------------------

// A wall at 1500 mm with a ball in front of it, as a width x height cloud; every seventh point missing.
std::vector<float> SceneCloud(uint32_t width, uint32_t height) {
    std::vector<float> xyz(static_cast<size_t>(width) * height * 3, 0.0f);
    for (uint32_t v = 0; v < height; ++v) {
        for (uint32_t u = 0; u < width; ++u) {
            float* p = &xyz[(static_cast<size_t>(v) * width + u) * 3];
            if ((v * width + u) % 7 == 0) continue;
            const float du = static_cast<float>(u) - width / 2.0f, dv = static_cast<float>(v) - height / 2.0f;
            const bool ball = du * du + dv * dv < (height / 4.0f) * (height / 4.0f);
            p[2] = ball ? 900.0f : 1500.0f;
            p[0] = du * p[2] / 500.0f;
            p[1] = dv * p[2] / 500.0f;
        }
    }
    return xyz;
}

TEST(Preview, TheColourMapRunsFromRedNearToBlueFar) {
    uint8_t near[3], far[3], nan[3], below[3];
    tavi::cli::DepthColour(0.0f, near);
    tavi::cli::DepthColour(1.0f, far);
    tavi::cli::DepthColour(std::nanf(""), nan);
    tavi::cli::DepthColour(-5.0f, below);
    EXPECT_GT(near[0], 2 * near[2]);
    EXPECT_GT(far[2], 2 * far[0]);
    EXPECT_EQ(std::vector<uint8_t>(nan, nan + 3), std::vector<uint8_t>(near, near + 3));
    EXPECT_EQ(std::vector<uint8_t>(below, below + 3), std::vector<uint8_t>(near, near + 3));
}

TEST(Preview, TheDepthRangeLeavesStrayPointsOut) {
    std::vector<float> xyz = SceneCloud(64, 48);
    xyz[3 * 5 + 2] = 60000.0f;  // one stray point far away
    xyz[3 * 6 + 2] = std::numeric_limits<float>::infinity();
    float near_mm = 0, far_mm = 0;
    ASSERT_TRUE(tavi::cli::DepthRange({xyz.data(), 64, 48, nullptr}, &near_mm, &far_mm));
    EXPECT_FLOAT_EQ(near_mm, 900.0f);
    EXPECT_FLOAT_EQ(far_mm, 1500.0f);
    std::vector<float> empty(64 * 48 * 3, 0.0f);
    EXPECT_FALSE(tavi::cli::DepthRange({empty.data(), 64, 48, nullptr}, &near_mm, &far_mm));
}

TEST(Preview, BothPanelsShowTheSceneAndTheBallIsNearer) {
    const std::vector<float> xyz = SceneCloud(160, 120);
    const tavi::cli::RgbImage image = tavi::cli::RenderPreview({xyz.data(), 160, 120, nullptr}, 200, 150);
    ASSERT_EQ(image.width, 400u);
    ASSERT_EQ(image.height, 150u);
    ASSERT_EQ(image.pixels.size(), 400u * 150u * 3u);
    const auto pixel = [&](uint32_t x, uint32_t y) {
        return &image.pixels[(static_cast<size_t>(y) * 400 + x) * 3];
    };
    // The depth panel's centre is the ball (near: red), its corner the wall (far: blue).
    EXPECT_GT(pixel(100, 75)[0], 2 * pixel(100, 75)[2]);
    EXPECT_GT(pixel(10, 8)[2], 2 * pixel(10, 8)[0]);
    // The cloud panel shows both, the ball over the wall.
    size_t red = 0, blue = 0;
    for (uint32_t y = 0; y < 150; ++y) {
        for (uint32_t x = 200; x < 400; ++x) {
            red += pixel(x, y)[0] > 2 * pixel(x, y)[2];
            blue += pixel(x, y)[2] > 2 * pixel(x, y)[0];
        }
    }
    EXPECT_GT(red, 500u);
    EXPECT_GT(blue, 2000u);
}

TEST(Preview, PointsTakeTheirOwnColoursWhenGiven) {
    const std::vector<float> xyz = SceneCloud(80, 60);
    const std::vector<uint8_t> green(80 * 60 * 3, 0);
    std::vector<uint8_t> colours = green;
    for (size_t n = 0; n < 80 * 60; ++n) colours[3 * n + 1] = 200;
    const tavi::cli::RgbImage image = tavi::cli::RenderPreview({xyz.data(), 80, 60, colours.data()}, 100, 80);
    size_t green_pixels = 0;
    for (uint32_t y = 0; y < 80; ++y) {
        for (uint32_t x = 100; x < 200; ++x) {
            const uint8_t* p = &image.pixels[(static_cast<size_t>(y) * 200 + x) * 3];
            green_pixels += p[0] == 0 && p[1] == 200 && p[2] == 0;
        }
    }
    EXPECT_GT(green_pixels, 1000u);
}

TEST(Preview, AnEmptyOrAbsentCloudGivesAPictureAndNoCrash) {
    std::vector<float> empty(32 * 24 * 3, 0.0f);
    const tavi::cli::RgbImage none = tavi::cli::RenderPreview({empty.data(), 32, 24, nullptr}, 40, 30);
    EXPECT_EQ(none.pixels.size(), 80u * 30u * 3u);
    const tavi::cli::RgbImage absent = tavi::cli::RenderPreview({}, 40, 30);
    EXPECT_EQ(absent.pixels.size(), 80u * 30u * 3u);
    // A cloud of one point.
    std::vector<float> one(3 * 4, 0.0f);
    one[2] = 1000.0f;
    const tavi::cli::RgbImage single = tavi::cli::RenderPreview({one.data(), 2, 2, nullptr}, 40, 30);
    EXPECT_EQ(single.pixels.size(), 80u * 30u * 3u);
}

TEST(Preview, ThePngFileCarriesTheSignatureAndABadPathFails) {
    tavi::test::TempDirectory dir;
    const std::vector<float> xyz = SceneCloud(40, 30);
    const tavi::cli::RgbImage image = tavi::cli::RenderPreview({xyz.data(), 40, 30, nullptr}, 40, 30);
    ASSERT_TRUE(tavi::cli::WriteRgbPng(image, dir.PathOf("p.png")));
    EXPECT_EQ(dir.Read("p.png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_FALSE(tavi::cli::WriteRgbPng(image, dir.PathOf("no/such/dir/p.png")));
    tavi::cli::RgbImage wrong = image;
    wrong.pixels.pop_back();
    EXPECT_FALSE(tavi::cli::WriteRgbPng(wrong, dir.PathOf("q.png")));
    EXPECT_FALSE(dir.Exists("q.png"));
}

// ---- JSON writer ---------------------------------------------------------------------------------

TEST(JsonWriter, NestsAndSeparatesMembersAndElements) {
    tavi::cli::JsonWriter json;
    json.BeginObject()
        .String("a", "x")
        .BeginArray("list")
        .Integer({}, -1)
        .Unsigned({}, 18446744073709551615u)
        .Bool({}, true)
        .Null({})
        .EndArray()
        .BeginObject("inner")
        .Number("n", 0.5)
        .EndObject()
        .EndObject();
    EXPECT_EQ(json.Text(), R"({"a":"x","list":[-1,18446744073709551615,true,null],"inner":{"n":0.5}})");
}

TEST(JsonWriter, EscapesCameraTextsSoThatTheOutputAlwaysParses) {
    tavi::cli::JsonWriter json;
    json.BeginObject()
        .String("q\"", "a\\b\"c\n\x01\x7f")
        .String("raw", "\xff\xfe")
        .Number("inf", std::numeric_limits<double>::infinity())
        .EndObject();
    EXPECT_EQ(json.Text(), R"({"q\"":"a\\b\"c\u000a\u0001\u007f","raw":"\ufffd\ufffd","inf":null})");
}

}  // namespace
