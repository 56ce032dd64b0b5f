#include "TaviSDK/Discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/adapter_source.h"
#include "support/temp_dir.h"

namespace {

DiscoveryInfo CameraWithSerial(const char* serial, uint32_t ip = 0) {
    DiscoveryInfo info{};
    std::memcpy(info.serial_number, serial, std::min(std::strlen(serial), sizeof info.serial_number));
    info.camera_ip = ip;
    return info;
}

std::vector<std::string> Serials(const std::vector<DiscoveryInfo>& list) {
    std::vector<std::string> serials;
    for (const DiscoveryInfo& info : list)
        serials.emplace_back(info.serial_number, strnlen(info.serial_number, 16));
    return serials;
}

}  // namespace

TEST(AddressText, DottedTextBecomesAHostOrderNumber) {
    Discovery discovery;
    char text[] = "192.168.1.10";
    EXPECT_EQ(discovery.ConvertIpStringToInt(text), 0xC0A8010Au);
    char broadcast[] = "255.255.255.255";
    EXPECT_EQ(discovery.ConvertIpStringToInt(broadcast), 0xFFFFFFFFu);
}

TEST(AddressText, UnusableTextGivesZero) {
    Discovery discovery;
    char none[] = "0.0.0.0";
    char out_of_range[] = "192.168.1.256";
    char words[] = "camera";
    char empty[] = "";
    char short_text[] = "0.0";  // shorter than "0.0.0.0": compared without reading past it
    char prefix[] = "0.0.0.0.1";
    EXPECT_EQ(discovery.ConvertIpStringToInt(nullptr), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(none), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(out_of_range), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(words), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(empty), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(short_text), 0u);
    EXPECT_EQ(discovery.ConvertIpStringToInt(prefix), 0u);
}

TEST(AddressText, RejectionsAreLoggedWithTheirCodes) {
    LogSwitches::AllOff();
    tavi::test::ScratchDirectory scratch;
    Discovery discovery;
    discovery.SetLogLevelSwitch(0, 0, 1, 0);
    log_open(&discovery.log, "addresses");
    char none[] = "0.0.0.0";
    char bad[] = "192.168.1.256";
    discovery.ConvertIpStringToInt(none);
    discovery.ConvertIpStringToInt(bad);
    discovery.ConvertIpIntToString(0);
    log_close(&discovery.log);
    const std::string text = scratch.Read("addresses.log");
    EXPECT_NE(
        text.find("[function:ConvertIpStringToInt] There is a problem with the incoming parameters, error "
                  "code: -2\n"),
        std::string::npos);
    EXPECT_NE(
        text.find(
            "[function:ConvertIpStringToInt] Failed to convert dotted decimal ip address into numerical "
            "format for network transmission, error code: -36\n"),
        std::string::npos);
    EXPECT_NE(
        text.find("[function:ConvertIpIntToString] There is a problem with the incoming parameters, error "
                  "code: -36\n"),
        std::string::npos);
    LogSwitches::AllOff();
}

TEST(AddressText, NumbersBecomeDottedTextInTheObjectsBuffer) {
    Discovery discovery;
    char* first = discovery.ConvertIpIntToString(0x0A000001);
    EXPECT_STREQ(first, "10.0.0.1");
    discovery.ConvertIpIntToString(0xFFFFFFFF);
    EXPECT_STREQ(first, "255.255.255.255");  // the next call overwrites the text
    EXPECT_STREQ(discovery.ConvertIpIntToString(0xC0A8010A), "192.168.1.10");
}

TEST(AddressText, NoAddressAndTheUninitialisedPatternGiveTheConstantText) {
    Discovery discovery;
    EXPECT_STREQ(discovery.ConvertIpIntToString(0), "0.0.0.0");
    EXPECT_STREQ(discovery.ConvertIpIntToString(0xCDCDCDCD), "0.0.0.0");
    EXPECT_NE(discovery.ConvertIpIntToString(0), discovery.ip_text);
}

TEST(AddressText, ACopiedDiscoveryKeepsItsOwnTextBuffer) {
    Discovery original;
    original.ConvertIpIntToString(0x01020304);
    Discovery copy;
    copy = original;
    EXPECT_NE(copy.ip_text, original.ip_text);
    EXPECT_STREQ(copy.ip_text, "1.2.3.4");
}

TEST(SameSegment, ComparesTheMaskedAddressesOfCameraAndPc) {
    Discovery discovery;
    DiscoveryInfo info{};
    info.camera_ip = 0xA9FE010A;
    info.camera_mask = 0xFFFF0000;
    info.pc_ip = 0xA9FE0001;
    info.pc_mask = 0xFFFF0000;
    EXPECT_TRUE(discovery.WhetherIsSameSegment(info));
    info.camera_ip = 0x0A000005;
    info.camera_mask = 0xFFFFFF00;
    EXPECT_FALSE(discovery.WhetherIsSameSegment(info));
}

TEST(CameraSort, ModeZeroOrdersByUnsignedAddress) {
    Discovery discovery;
    discovery.camera_count = 3;
    std::vector<DiscoveryInfo> list{CameraWithSerial("c", 0xC0A80001), CameraWithSerial("a", 0x0A000002),
                                    CameraWithSerial("b", 0x0A000001)};
    EXPECT_EQ(discovery.CameraSort(&list, 0), 0);
    EXPECT_EQ(list[0].camera_ip, 0x0A000001u);
    EXPECT_EQ(list[1].camera_ip, 0x0A000002u);
    EXPECT_EQ(list[2].camera_ip, 0xC0A80001u);
}

TEST(CameraSort, ModeOneOrdersSerialNumbersAsText) {
    Discovery discovery;
    discovery.camera_count = 3;
    std::vector<DiscoveryInfo> list{CameraWithSerial("B2"), CameraWithSerial("A9"), CameraWithSerial("B10")};
    EXPECT_EQ(discovery.CameraSort(&list, 1), 0);
    EXPECT_EQ(Serials(list), (std::vector<std::string>{"A9", "B10", "B2"}));
}

TEST(CameraSort, ModeOneComparesUnterminatedSixteenByteSerialsWithinTheField) {
    Discovery discovery;
    discovery.camera_count = 2;
    std::vector<DiscoveryInfo> list{CameraWithSerial("ZZZZZZZZZZZZZZZZ"),
                                    CameraWithSerial("ZZZZZZZZZZZZZZZA")};
    EXPECT_EQ(discovery.CameraSort(&list, 1), 0);
    EXPECT_EQ(list[0].serial_number[15], 'A');
}

TEST(CameraSort, ModeOneSortsOnlyTheCountedRecordsAndNeverPastTheList) {
    Discovery discovery;
    std::vector<DiscoveryInfo> list{CameraWithSerial("C"), CameraWithSerial("B"), CameraWithSerial("A")};
    discovery.camera_count = 2;
    EXPECT_EQ(discovery.CameraSort(&list, 1), 0);
    EXPECT_EQ(Serials(list), (std::vector<std::string>{"B", "C", "A"}));
    discovery.camera_count = 50;  // a stale count larger than the list
    EXPECT_EQ(discovery.CameraSort(&list, 1), 0);
    EXPECT_EQ(Serials(list), (std::vector<std::string>{"A", "B", "C"}));
    discovery.camera_count = -3;  // the failed-discovery count sorts nothing
    EXPECT_EQ(discovery.CameraSort(&list, 1), 0);
}

TEST(CameraSort, NothingCountedOrNoListGivesMinus5BeforeTheModeIsChecked) {
    Discovery discovery;
    std::vector<DiscoveryInfo> list{CameraWithSerial("A")};
    EXPECT_EQ(discovery.CameraSort(&list, 7), -5);
    discovery.camera_count = 1;
    EXPECT_EQ(discovery.CameraSort(nullptr, 0), -5);
    EXPECT_EQ(discovery.CameraSort(&list, 7), -2);
}

TEST(Discovery, ANullListReturnsThePreviousCountAndOpensNoLog) {
    LogSwitches::AllOff();
    tavi::test::ScratchDirectory scratch;
    Discovery discovery;
    discovery.SetLogLevelSwitch(1, 1, 1, 1);
    discovery.camera_count = 4;
    EXPECT_EQ(discovery.DiscoverCamera(nullptr), 4);
    EXPECT_FALSE(scratch.Exists("discovercamera.log"));
    LogSwitches::AllOff();
}

TEST(ForceIp, NullOrUnconvertibleTextsGiveMinus2) {
    Discovery discovery;
    DiscoveryInfo info{};
    char ip[] = "169.254.1.20";
    char mask[] = "255.255.0.0";
    char none[] = "0.0.0.0";
    char gateway[] = "169.254.1.254";
    EXPECT_EQ(discovery.ForceIp(info, nullptr, mask, gateway), -2);
    EXPECT_EQ(discovery.ForceIp(info, ip, nullptr, gateway), -2);
    EXPECT_EQ(discovery.ForceIp(info, ip, mask, nullptr), -2);
    EXPECT_EQ(discovery.ForceIp(info, none, mask, gateway), -2);
    EXPECT_EQ(discovery.request_id, 0);  // nothing was sent
}

TEST(AdapterSource, FirstDefaultGatewayOfTheInterfaceFromTheRouteTable) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "tv1\t0000FEA9\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
        "tv0\t00000000\tFE01FEA9\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "tv0\t00000000\tFD01FEA9\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(tavi::net::FirstDefaultGateway(table, "tv0"), "169.254.1.254");
    EXPECT_EQ(tavi::net::FirstDefaultGateway(table, "tv1"), "0.0.0.0");
    EXPECT_EQ(tavi::net::FirstDefaultGateway("", "tv0"), "0.0.0.0");
    EXPECT_EQ(tavi::net::FirstDefaultGateway("garbage\nline without fields\n", "tv0"), "0.0.0.0");
}
