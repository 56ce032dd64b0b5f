// A camera whose feature registers lie at 0x80000000 and above: every feature user reaches them
// through the feature-access path (connection, calibration, limits, strings, stream set-up), and a
// failed look-up is a code, never an address.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "camera/feature_access.h"
#include "support/fake_camera.h"

namespace {

using tavi::test::FakeCamera;

constexpr uint32_t kHigh = 0x80000000u;
constexpr uint32_t kCmosCount = kHigh + 0x10000;
constexpr uint32_t kCloudUnit = kHigh + 0x10004;
constexpr uint32_t kAcquisitionStart = kHigh + 0x10008;
constexpr uint32_t kWidth = kHigh + 0x11008;  // + 0x100 per sensor
constexpr uint32_t kWidthMax = kHigh + 0x1100C;
constexpr uint32_t kHeight = kHigh + 0x11010;
constexpr uint32_t kOffsetX = kHigh + 0x11014;
constexpr uint32_t kOffsetY = kHigh + 0x11018;
constexpr uint32_t kCmosIndex = kHigh + 0x12000;  // + 0x40 per channel
constexpr uint32_t kPayloadSize = kHigh + 0x12004;
constexpr uint32_t kPixelFormat = kHigh + 0x12008;
constexpr uint32_t kInternal = kHigh + 0x20000;  // + 0x100 per sensor
constexpr uint32_t kExternal = kHigh + 0x20800;
constexpr uint32_t kSerialText = kHigh + 0x30000;
// The top of the address space: the last sensor's register of a feature there is the last word.
constexpr uint32_t kTop = 0xFFFFFDFCu;

std::string IntReg(const char* name, uint32_t address) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "<IntReg Name=\"%s\"><Address>0x%X</Address><Length>4</Length><pPort>Device</pPort></IntReg>\n", name,
        address);
    return text;
}

std::string Block(const char* kind, const char* name, uint32_t address, int length) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "<%s Name=\"%s\"><Address>0x%X</Address><Length>%d</Length><pPort>Device</pPort></%s>\n",
                  kind, name, address, length, kind);
    return text;
}

// Features reached through pValue as real descriptions write them, bounds through pMax.
std::string HighDescription() {
    return std::string(R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="High" VendorName="Tavi" StandardNameSpace="GEV" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ToolTip="" ProductGuid="0" VersionGuid="0" xmlns="http://www.genicam.org/GenApi/Version_1_1">
<Category Name="Root"><pFeature>Width</pFeature></Category>
<Integer Name="Width"><pValue>WidthReg</pValue><Min>8</Min><pMax>WidthMaxReg</pMax></Integer>
<Integer Name="Unused"><Value>0</Value></Integer>
)") + IntReg("WidthReg", kWidth) +
           IntReg("WidthMaxReg", kWidthMax) + IntReg("TotalNumberOfCmos", kCmosCount) +
           IntReg("DeviceCloudUnit", kCloudUnit) + IntReg("AcquisitionStart", kAcquisitionStart) +
           IntReg("Height", kHeight) + IntReg("OffsetX", kOffsetX) + IntReg("OffsetY", kOffsetY) +
           IntReg("CmosIndex", kCmosIndex) + IntReg("PayloadSize", kPayloadSize) +
           IntReg("PixelFormat", kPixelFormat) + IntReg("GevStreamChannelCount", 0x0904) +
           IntReg("GevSCSP", 0x0D1C) + IntReg("AtTheTop", kTop) +
           IntReg("TimestampTickFrequencyHiReg", 0x093C) + IntReg("TimestampTickFrequencyLoReg", 0x0940) +
           Block("Register", "InternelParameter", kInternal, 56) +
           Block("Register", "ExternelParameter", kExternal, 48) +
           Block("StringReg", "DeviceSerialNumber", kSerialText, 16) +
           "<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

class HighAddressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake.peer.ok());
        fake.SetDescription("Local:high.xml", tavi::test::TextBytes(HighDescription()));
        auto& peer = fake.peer;
        peer.SetRegister(kCmosCount, 3);
        peer.SetRegister(kCloudUnit, 10);
        for (uint32_t cmos = 0; cmos < 3; ++cmos) {
            peer.SetRegister(kWidth + 0x100 * cmos, 64);
            peer.SetRegister(kWidthMax + 0x100 * cmos, 1280);
            peer.SetRegister(kHeight + 0x100 * cmos, 48);
            peer.SetMemory(kInternal + 0x100 * cmos,
                           tavi::test::FloatBytes(tavi::test::InternalFloats(cmos)));
            peer.SetMemory(kExternal + 0x100 * cmos,
                           tavi::test::FloatBytes(tavi::test::ExternalFloats(cmos)));
        }
        for (uint32_t channel = 0; channel < 3; ++channel) {
            peer.SetRegister(kCmosIndex + 0x40 * channel, channel);
            peer.SetRegister(kPayloadSize + 0x40 * channel, 64 * 48);
            peer.SetRegister(kPixelFormat + 0x40 * channel, 0x01080001);  // Mono8
        }
        peer.SetMemory(kSerialText, tavi::test::TextBytes("HIGH-0001\0\0\0\0\0\0\0"));
        DiscoveryInfo info = fake.Info(1500, "HIGH0001");
        ASSERT_EQ(camera.CameraConnect(&info), 0);
    }
    void TearDown() override {
        if (camera.connected.load() != 0) camera.CameraDisconnect();
        std::remove("HIGH0001.log");
    }

    // Commands heard, the heartbeat's reads aside.
    size_t Commands() {
        size_t count = 0;
        for (const auto& datagram : fake.peer.Received()) {
            if (!tavi::test::IsHeartbeatRead(datagram.bytes)) ++count;
        }
        return count;
    }

    FakeCamera fake;
    GigeCamera camera;
};

}  // namespace

TEST_F(HighAddressTest, TheConnectionReadsTheSensorCountAndEveryCalibrationUpThere) {
    EXPECT_EQ(camera.cmos_count, 3);
    ASSERT_EQ(camera.calibration.size(), 3u);
    EXPECT_EQ(camera.calibration[2].distortion[0], tavi::test::InternalFloats(2)[0]);
    EXPECT_EQ(camera.calibration[2].translation[2], tavi::test::ExternalFloats(2)[11]);
}

TEST_F(HighAddressTest, AFeatureIsResolvedReadAndWrittenWithItsSensorOffset) {
    const tavi::FeatureRef width{"Width", tavi::FeatureOffset::kSensor, 2};
    const tavi::FeatureAddress where = tavi::ResolveFeature(camera, width);
    EXPECT_EQ(where.code, 0);
    EXPECT_EQ(where.address, kWidth + 0x200);
    int value = 0;
    EXPECT_EQ(tavi::ReadFeature(camera, width, &value), 0);
    EXPECT_EQ(value, 64);
    EXPECT_EQ(tavi::WriteFeature(camera, width, 640), 0);
    EXPECT_EQ(fake.WritesTo(kWidth + 0x200), std::vector<uint32_t>{640});
    EXPECT_EQ(fake.peer.Register(kWidth), 64u);  // sensor 0 untouched
    // The public look-up gives the address's 32-bit pattern, which is negative as an int.
    EXPECT_EQ(static_cast<uint32_t>(camera.GetRegisterAddr("Width")), kWidth);
}

TEST_F(HighAddressTest, ChannelFeaturesAndTheTopOfTheAddressSpaceAreReached) {
    int value = 0;
    EXPECT_EQ(tavi::ReadFeature(camera, {"PayloadSize", tavi::FeatureOffset::kChannel, 2}, &value), 0);
    EXPECT_EQ(value, 64 * 48);
    fake.peer.SetRegister(0xFFFFFFFCu, 77);
    EXPECT_EQ(tavi::ReadFeature(camera, {"AtTheTop", tavi::FeatureOffset::kSensor, 2}, &value), 0);
    EXPECT_EQ(value, 77);
}

TEST_F(HighAddressTest, LimitsThroughAHighPMaxRegisterAndHighStringsAreRead) {
    EXPECT_EQ(camera.GetNodeMaxValue("Width"), 1280);
    EXPECT_EQ(camera.GetNodeMinValue("Width"), 8);
    char serial[17] = {};
    camera.ReadStringRegister("DeviceSerialNumber", serial);
    EXPECT_STREQ(serial, "HIGH-0001");
}

TEST_F(HighAddressTest, AFailedLookUpIsACodeAndSendsNothing) {
    const size_t before = Commands();
    int value = 5;
    EXPECT_EQ(tavi::ReadFeature(camera, {"NoSuchFeature"}, &value), -21);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(tavi::WriteFeature(camera, {"NoSuchFeature"}, 1), -21);
    EXPECT_EQ(camera.GetNodeMaxValue("Unused"), 0);  // no bound at all reads as 0
    float first[5] = {7, 7, 7, 7, 7};
    EXPECT_EQ(camera.GetCamInternelParameter(-1, first, nullptr), -2);
    EXPECT_EQ(first[0], 7.0f);
    EXPECT_EQ(Commands(), before);

    camera.CameraDisconnect();
    const size_t after_disconnect = Commands();
    EXPECT_EQ(tavi::ReadFeature(camera, {"Width"}, &value), -11);
    EXPECT_EQ(camera.GetCamInternelParameter(0, first, nullptr), -11);
    EXPECT_EQ(Commands(), after_disconnect);
}

TEST_F(HighAddressTest, StreamSetUpReadsItsGeometryUpThere) {
    GigeStream* stream = nullptr;
    ASSERT_EQ(camera.StreamOn(1, &stream), 0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fake.WritesTo(0x0D18 + 0x40), std::vector<uint32_t>{tavi::test::kPcAddress});
    EXPECT_EQ(camera.AcquisitionStart(), 0);
    EXPECT_EQ(fake.WritesTo(kAcquisitionStart), std::vector<uint32_t>{1});
    EXPECT_EQ(camera.StreamOff(1, stream), 0);
}
