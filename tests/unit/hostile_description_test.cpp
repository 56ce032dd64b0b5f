// Descriptions and string registers that try to make the library spend more than they are worth:
// entries that would copy their owner's properties, names multiplied by thousands of entries, and
// string lengths beyond any real register.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TaviSDK/GigeCamera.h"
#include "camera/node_map.h"
#include "support/fake_camera.h"
#include "support/peak_memory.h"
#include "support/temp_dir.h"

using tavi::test::Bytes;
using tavi::test::FakeCamera;

namespace {

constexpr size_t kMiB = 1u << 20;

std::string Described(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"Hostile\" VendorName=\"Tavi\">\n"
           "<Category Name=\"Root\"><pFeature>Base</pFeature></Category>\n"
           "<Integer Name=\"Base\"><Value>1</Value></Integer>\n" +
           body + "<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

// A StructReg with 750 KB of properties and 4,000 entries: 13 KB zipped, 3 GB if every entry kept
// its own copy of them.
std::string SharedPropertiesDescription() {
    std::string body =
        "<StructReg Comment=\"Wide\"><Address>0x2000</Address><Length>4</Length>"
        "<pPort>Device</pPort><ToolTip>" +
        std::string(750 * 1024, 'w') + "</ToolTip>\n";
    for (int n = 0; n < 4000; ++n)
        body += "<StructEntry Name=\"Bit" + std::to_string(n) + "\"><Bit>0</Bit></StructEntry>\n";
    return Described(body + "</StructReg>\n");
}

// An enumeration with a 100 KB name and 2,000 entries, each named after it: 200 MB of names.
std::string MultipliedNamesDescription() {
    std::string body = "<Enumeration Name=\"" + std::string(100 * 1024, 'e') + "\">";
    for (int n = 0; n < 2000; ++n)
        body += "<EnumEntry Name=\"V" + std::to_string(n) + "\"><Value>" + std::to_string(n) +
                "</Value></EnumEntry>";
    return Described(body + "<pValue>Base</pValue></Enumeration>\n");
}

Bytes Zipped(const std::string& xml) { return tavi::test::MakeZip({{"hostile.xml", xml}}); }

}  // namespace

TEST(HostileDescription, StructEntriesShareTheirStructRegsPropertiesInsteadOfCopyingThem) {
    const Bytes zip = Zipped(SharedPropertiesDescription());
    ASSERT_LT(zip.size(), 64u * 1024);
    tavi::test::PeakMemory memory;
    if (!memory.Start()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    tavi::NodeMap map;
    std::string error;
    ASSERT_TRUE(map.Build(zip.data(), zip.size(), true, &error)) << error;
    EXPECT_LT(memory.Rise(), 64 * kMiB);
    uint32_t address = 0;
    ASSERT_TRUE(map.RegisterAddress("Bit3999", &address));
    EXPECT_EQ(address, 0x2000u);
    ASSERT_NE(map.GetNode("Bit17")->Property("ToolTip"), nullptr);
    EXPECT_EQ(map.GetNode("Bit17")->Property("ToolTip")->size(), 750u * 1024);
}

TEST(HostileDescription, ADescriptionBeyondTheMapsBudgetIsRefusedWithinAModestPeak) {
    const Bytes zip = Zipped(MultipliedNamesDescription());
    ASSERT_LT(zip.size(), 64u * 1024);
    tavi::test::PeakMemory memory;
    if (!memory.Start()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    tavi::NodeMap map;
    std::string error;
    EXPECT_FALSE(map.Build(zip.data(), zip.size(), true, &error));
    EXPECT_EQ(error, "the description needs more memory than allowed");
    EXPECT_FALSE(map.HasNodeMap());
    EXPECT_LT(memory.Rise(), 128 * kMiB);
}

TEST(HostileDescription, TooManyElementsAreRefusedBeforeTheyAreParsed) {
    std::string body;
    body.reserve(tavi::NodeMap::kMaxMarkupCount * 4 + 64);
    while (body.size() < tavi::NodeMap::kMaxMarkupCount * 4 + 16) body += "<a/>";
    const std::string xml = Described(body);
    tavi::NodeMap map;
    std::string error;
    EXPECT_FALSE(map.Build(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), false, &error));
    EXPECT_EQ(error, "the description holds more elements than allowed");
}

TEST(HostileDescription, AnAmplifyingDescriptionFailsTheConnectionWithMinus10AndALogLine) {
    tavi::test::ScratchDirectory scratch;
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    fake.SetDescription("Local:hostile.zip", Zipped(MultipliedNamesDescription()));
    GigeCamera camera;
    LogSwitches::error = 1;
    DiscoveryInfo info = fake.Info(1500, "AMP1");
    EXPECT_EQ(camera.CameraConnect(&info), -10);
    LogSwitches::AllOff();
    EXPECT_EQ(camera.connected.load(), 0);
    EXPECT_EQ(fake.WritesTo(0x0A00), (std::vector<uint32_t>{2, 0}));  // control given back
    const std::string text = scratch.Read("AMP1.log");
    EXPECT_NE(text.find("[function:CameraConnect] Failed to build the node map from the xml file: the "
                        "description needs more memory than allowed error code: -10."),
              std::string::npos)
        << text;
}

// ---- string registers --------------------------------------------------------------------------

namespace {

class StringRegisterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake.peer.ok());
        std::string xml = tavi::test::kFakeDescription;
        const std::string extra =
            "<StringReg Name=\"HugeText\"><Address>0x50000</Address><Length>4097</Length></StringReg>\n"
            "<StringReg Name=\"LargestText\"><Address>0x50000</Address><Length>4096</Length></StringReg>\n"
            "<StringReg Name=\"NegativeText\"><Address>0x50000</Address><Length>-8</Length></StringReg>\n"
            "<Port Name=\"Device\"/>";
        xml.replace(xml.find("<Port Name=\"Device\"/>"), std::strlen("<Port Name=\"Device\"/>"), extra);
        fake.SetDescription("Local:fake.xml", tavi::test::TextBytes(xml));
        Bytes text(4096);
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>('A' + i % 26);
        fake.peer.SetMemory(0x50000, text);
        fake.peer.SetMemory(tavi::test::kUserIdAddress, tavi::test::TextBytes("camera-left-0001"));
        DiscoveryInfo info = fake.Info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
    }

    FakeCamera fake;
    GigeCamera camera;
};

}  // namespace

TEST_F(StringRegisterTest, LengthsBeyond4KiBAreRefusedAndLeaveTheDestinationAlone) {
    std::vector<char> destination(8192, '#');
    camera.ReadStringRegister("HugeText", destination.data());
    EXPECT_EQ(destination[0], '#');
    camera.ReadStringRegister("NegativeText", destination.data());
    EXPECT_EQ(destination[0], '#');
    camera.ReadStringRegister("LargestText", destination.data());
    EXPECT_EQ(destination[4095], 'A' + 4095 % 26);
    EXPECT_EQ(destination[4096], '#');
    EXPECT_EQ(camera.ReadStringRegister("HugeText", destination.data(), destination.size()), -2);
    EXPECT_EQ(destination[0], '\0');
}

TEST_F(StringRegisterTest, TheBoundedReadNeverWritesPastItsCapacityAndAlwaysTerminates) {
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", small, 6), 0);
    EXPECT_STREQ(small, "camer");
    EXPECT_EQ(small[6], '#');

    char room[64];
    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", room, sizeof room), 0);
    EXPECT_STREQ(room, "camera-left-0001");

    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", room, 0), -2);
    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", nullptr, 8), -2);
    EXPECT_EQ(camera.ReadStringRegister("NoSuchFeature", room, sizeof room), -21);
    EXPECT_EQ(room[0], '\0');
    fake.peer.SetStatus(tavi::test::kUserIdAddress, 0x8006);
    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", room, sizeof room), static_cast<int16_t>(0x8006));
    EXPECT_EQ(room[0], '\0');
    camera.CameraDisconnect();
    EXPECT_EQ(camera.ReadStringRegister("DeviceUserID", room, sizeof room), -11);
}

// ---- the stream-channel count --------------------------------------------------------------------

namespace {

size_t ChannelsWritten(FakeCamera& fake) {
    size_t channels = 0;
    for (const auto& write : fake.peer.Writes()) {
        const bool scps = write.address >= 0x0D04 && (write.address - 0x0D04) % 0x40 == 0;
        channels += scps && (write.value & 0x80000000u) == 0;
    }
    return channels;
}

}  // namespace

TEST(StreamChannelCount, AnAbsurdCountIsBoundedBy512) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    fake.peer.SetRegister(0x0904, 0x7FFFFFFF);
    GigeCamera camera;
    DiscoveryInfo info = fake.Info();
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    EXPECT_EQ(ChannelsWritten(fake), 512u);
}

TEST(StreamChannelCount, TheDescriptionsChannelSelectorBoundsItFurther) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    std::string xml = tavi::test::kFakeDescription;
    const std::string port = "<Port Name=\"Device\"/>";
    xml.replace(
        xml.find(port), port.size(),
        "<Integer Name=\"GevStreamChannelSelector\"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>" +
            port);
    fake.SetDescription("Local:fake.xml", tavi::test::TextBytes(xml));
    fake.peer.SetRegister(0x0904, 3000);
    GigeCamera camera;
    DiscoveryInfo info = fake.Info();
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    EXPECT_EQ(ChannelsWritten(fake), 2u);
    EXPECT_EQ(fake.WritesTo(0x0D44), std::vector<uint32_t>{1500});
    EXPECT_TRUE(fake.WritesTo(0x0D84).empty());
}
