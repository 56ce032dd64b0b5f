// The description URL, its chunked fetch, the node dictionary and the node questions.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "camera/description_url.h"
#include "camera/node_map.h"
#include "support/camera_test_peer.h"
#include "support/fake_camera.h"
#include "support/temp_dir.h"

using tavi::DescriptionChunk;
using tavi::DescriptionLocation;
using tavi::test::Bytes;
using tavi::test::FakeCamera;

TEST(DescriptionUrl, FieldsFollowTheGigEVisionForm) {
    DescriptionLocation location;
    ASSERT_TRUE(tavi::ParseDescriptionUrl("Local:cam.zip;8000000;1f4a3", &location));
    EXPECT_EQ(location.file_name, "cam");
    EXPECT_EQ(location.file_type, "zip");
    EXPECT_EQ(location.address, 0x8000000u);
    EXPECT_EQ(location.length, 0x1F4A3u);

    // A dotted file name keeps its dots; a schema suffix and a directory part are dropped.
    ASSERT_TRUE(tavi::ParseDescriptionUrl("Local:Model_1.0.zip;10000;200?SchemaVersion=1.1.0", &location));
    EXPECT_EQ(location.file_name, "Model_1.0");
    EXPECT_EQ(location.file_type, "zip");
    EXPECT_EQ(location.length, 0x200u);
    ASSERT_TRUE(tavi::ParseDescriptionUrl("local:///../../etc/cam.XML;0x10;20", &location));
    EXPECT_EQ(location.file_name, "cam");
    EXPECT_EQ(location.file_type, "XML");
    EXPECT_EQ(location.address, 0x10u);
}

TEST(DescriptionUrl, BrokenOrOverLongUrlsAreRefused) {
    const char* refused[] = {
        "",
        "Local:cam.zip;8000000",            // no length
        "Local:cam.zip;8000000;1f4a3;7",    // a field too many
        "cam.zip;8000000;1f4a3",            // no scheme
        "Local:cam;8000000;1f4a3",          // no extension
        "Local:.zip;8000000;1f4a3",         // no name
        "Local:../..;8000000;1f4a3",        // nothing but dots
        "Local:cam.zip;;1f4a3",             // empty address
        "Local:cam.zip;80g0;1f4a3",         // not hex
        "Local:cam.zip;8000000;0",          // empty file
        "Local:cam.zip;0;4000001",          // beyond 64 MiB
        "Local:cam.zip;FFFFFF00;200",       // past the end of the address space
        "Local:cam.zipx1;8000000;1f4a3",    // extension over 4 characters
        "Local:cam.zip;12345678901;1f4a3",  // address over 10 characters
        "Local:a123456789b123456789c123456789d123456789e1234567.xml;0;10",  // name over 47
    };
    for (const char* url : refused) {
        DescriptionLocation location;
        EXPECT_FALSE(tavi::ParseDescriptionUrl(url, &location)) << url;
    }
}

TEST(DescriptionUrl, ChunksAre536BytesAndTheLastAsksForWholeWords) {
    DescriptionLocation location{"cam", "zip", 0x8000000, 0x1F4A3};
    ASSERT_EQ(tavi::DescriptionChunkCount(location.length), 240u);
    const DescriptionChunk first = tavi::DescriptionChunkAt(location, 0);
    EXPECT_EQ(first.address, 0x8000000u);
    EXPECT_EQ(first.request_count, 536);
    const DescriptionChunk last = tavi::DescriptionChunkAt(location, 239);
    EXPECT_EQ(last.address, 0x8000000u + 239 * 536);
    EXPECT_EQ(last.request_count, 60);
    EXPECT_EQ(last.keep_count, 59);

    location.length = 536 * 3;
    ASSERT_EQ(tavi::DescriptionChunkCount(location.length), 3u);
    EXPECT_EQ(tavi::DescriptionChunkAt(location, 2).request_count, 536);
    EXPECT_EQ(tavi::DescriptionChunkAt(location, 2).keep_count, 536);
}

namespace {

tavi::NodeMap BuiltFrom(const std::string& xml) {
    tavi::NodeMap map;
    std::string error;
    EXPECT_TRUE(map.Build(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), false, &error))
        << error;
    return map;
}

std::string PropertyOf(const tavi::NodeMap& map, const char* node, const char* property) {
    const tavi::DescriptionNode* found = map.GetNode(node);
    if (found == nullptr) return "<no node>";
    const std::string* value = found->Property(property);
    return value != nullptr ? *value : "<none>";
}

}  // namespace

TEST(NodeMap, PropertiesComeOutAsDecimalTextAtAnyDepth) {
    const tavi::NodeMap map = BuiltFrom(tavi::test::kFakeDescription);
    EXPECT_EQ(PropertyOf(map, "TotalNumberOfCmosReg", "Address"), "65536");  // inside a group
    EXPECT_EQ(PropertyOf(map, "InternelParameter", "Length"), "56");         // two groups deep
    EXPECT_EQ(PropertyOf(map, "Width", "Inc"), "16");
    EXPECT_EQ(PropertyOf(map, "Width", "pMax"), "WidthMaxReg");
    EXPECT_EQ(PropertyOf(map, "Banked", "pAddress"), "BankBase BankOffset");
    EXPECT_EQ(PropertyOf(map, "Width", "Max"), "<none>");
    // Struct entries take the register's address and length; enumeration entries are nodes too.
    EXPECT_EQ(PropertyOf(map, "LaserBright", "Address"), "65804");
    EXPECT_EQ(PropertyOf(map, "LaserBright", "Length"), "4");
    EXPECT_EQ(PropertyOf(map, "LaserBright", "MSB"), "15");
    EXPECT_EQ(PropertyOf(map, "EnumEntry_PixelFormat_Mono8", "Value"), "17301505");
    EXPECT_EQ(map.GetNode("Nonexistent"), nullptr);
}

TEST(NodeMap, AConstantIndexAddsItsStepAndASelectorInARegisterCountsAsItsFirstEntry) {
    const tavi::NodeMap map = BuiltFrom(R"(<RegisterDescription>
  <Integer Name="Two"><Value>2</Value></Integer>
  <Integer Name="ViaTwo"><pValue>Two</pValue></Integer>
  <Integer Name="Step"><Value>0x10</Value></Integer>
  <IntReg Name="SelectorReg"><Address>0x3000</Address><Length>4</Length></IntReg>
  <Integer Name="Selector"><pValue>SelectorReg</pValue></Integer>
  <IntReg Name="Fixed"><Address>0x2000</Address><pIndex Offset="0x8">Two</pIndex></IntReg>
  <IntReg Name="Stepped"><Address>0x2000</Address><pIndex pOffset="Step">ViaTwo</pIndex></IntReg>
  <Integer Name="Feature"><pValue>Stepped</pValue></Integer>
  <IntReg Name="Selected"><Address>0x2000</Address><pIndex Offset="8">Selector</pIndex></IntReg>
  <IntReg Name="UnknownStep"><Address>0x2000</Address><pIndex pOffset="SelectorReg">Two</pIndex></IntReg>
</RegisterDescription>)");
    uint32_t address = 0;
    ASSERT_TRUE(map.RegisterAddress("Fixed", &address));
    EXPECT_EQ(address, 0x2010u);  // 2 x 8
    ASSERT_TRUE(map.RegisterAddress("Feature", &address));
    EXPECT_EQ(address, 0x2020u);  // 2 (through a pValue) x 0x10 (pOffset)
    ASSERT_TRUE(map.RegisterAddress("Selected", &address));
    EXPECT_EQ(address, 0x2000u);  // the selector's value is in the camera: its first entry
    EXPECT_FALSE(map.RegisterAddress("UnknownStep", &address));
}

TEST(NodeMap, FeaturesAreWhatRootReachesThroughCategories) {
    const tavi::NodeMap map = BuiltFrom(tavi::test::kFakeDescription);
    EXPECT_TRUE(map.GetNode("TotalNumberOfCmos")->is_feature);
    EXPECT_TRUE(map.GetNode("GevHeartbeatTimeout")->is_feature);
    EXPECT_FALSE(map.GetNode("WidthReg")->is_feature);
    EXPECT_EQ(map.GetNode("DeviceControl")->interface_type, tavi::NodeInterface::kCategory);
    EXPECT_EQ(map.GetNode("PixelFormat")->interface_type, tavi::NodeInterface::kEnumeration);
    EXPECT_EQ(map.GetNode("LaserOn")->interface_type, tavi::NodeInterface::kInteger);
}

TEST(NodeMap, MalformedOrForeignDescriptionsAreRefused) {
    const std::string broken[] = {
        "<RegisterDescription><Integer Name=\"A\"></RegisterDescription>",
        "<Something><Integer Name=\"A\"/></Something>",
        "<RegisterDescription/>",
        "not xml at all",
    };
    std::string deep = "<RegisterDescription>";
    for (int i = 0; i < 10000; ++i) deep += "<Group Comment=\"g\">";
    deep += "<Integer Name=\"A\"/>";
    for (int i = 0; i < 10000; ++i) deep += "</Group>";
    deep += "</RegisterDescription>";
    for (const std::string& xml : {broken[0], broken[1], broken[2], broken[3], deep}) {
        tavi::NodeMap map;
        std::string error;
        EXPECT_FALSE(map.Build(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), false, &error))
            << xml;
        EXPECT_FALSE(map.HasNodeMap());
        EXPECT_FALSE(error.empty());
    }
}

TEST(NodeMap, AZipMustHoldExactlyOneXmlFile) {
    const std::string xml = tavi::test::kFakeDescription;
    const Bytes good = tavi::test::MakeZip({{"readme.txt", "hello"}, {"Fake.XML", xml}});
    tavi::NodeMap map;
    std::string error;
    ASSERT_TRUE(map.Build(good.data(), good.size(), true, &error)) << error;
    EXPECT_NE(map.GetNode("Width"), nullptr);

    const Bytes none = tavi::test::MakeZip({{"readme.txt", "hello"}});
    const Bytes two = tavi::test::MakeZip({{"a.xml", xml}, {"b.xml", xml}});
    Bytes cut = good;
    cut.resize(cut.size() / 2);
    for (const Bytes* zip : std::vector<const Bytes*>{&none, &two, &cut}) {
        EXPECT_FALSE(map.Build(zip->data(), zip->size(), true, &error));
    }
    const Bytes text = tavi::test::TextBytes(xml);
    EXPECT_FALSE(map.Build(text.data(), text.size(), true, &error));
}

// ---- node questions through a connected camera --------------------------------------------------

namespace {

class DescriptionTest : public ::testing::Test {
  protected:
    void Connect() {
        ASSERT_TRUE(fake.peer.ok());
        DiscoveryInfo info = fake.Info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
    }

    FakeCamera fake;
    GigeCamera camera;
};

// READMEM commands of the description's fetch: (address, count).
std::vector<std::pair<uint32_t, uint16_t>> DescriptionReads(tavi::test::ScriptedGvcpPeer& peer) {
    std::vector<std::pair<uint32_t, uint16_t>> reads;
    for (const auto& read : peer.Commands(0x0084)) {
        const uint32_t address = tavi::test::Be32(read.bytes, 8);
        if (address >= tavi::test::kDescriptionAddress &&
            address < tavi::test::kDescriptionAddress + 0x1000000) {
            reads.emplace_back(address, tavi::test::Be16(read.bytes, 14));
        }
    }
    return reads;
}

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(DescriptionTest, NamesResolveThroughPropertyChains) {
    Connect();
    EXPECT_EQ(camera.GetRegisterAddr("GevHeartbeatTimeout"), 0x0938);  // pValue -> Address
    EXPECT_EQ(camera.GetRegisterAddr("TotalNumberOfCmos"), 0x10000);
    EXPECT_EQ(camera.GetRegisterAddr("Banked"), 0x5000);  // first pAddress -> Value
    EXPECT_EQ(camera.GetRegisterAddr("LaserOn"), 0x1010C);
    EXPECT_EQ(camera.GetRegisterAddr("Root"), 0);
    EXPECT_EQ(camera.GetRegisterAddr("NoSuchFeature"), -21);
    EXPECT_EQ(camera.GetRegisterAddr("SelfLoop"), -21);  // a loop ends instead of recursing for ever
}

TEST_F(DescriptionTest, LimitsComeFromValuesOrFromRegisters) {
    Connect();
    EXPECT_EQ(camera.GetNodeMinValue("Width"), 16);
    EXPECT_EQ(camera.GetNodeMaxValue("Width"), 1280);  // pMax: read from the camera
    EXPECT_EQ(camera.GetNodeIncValue("Width"), 16);
    EXPECT_EQ(camera.GetNodeMaxValue("GevHeartbeatTimeout"), 60000);
    EXPECT_EQ(camera.GetNodeIncValue("NoLimits"), 1);
    EXPECT_EQ(camera.GetNodeMaxValue("NoLimits"), 0);
    EXPECT_EQ(camera.GetNodeMinValue("NoSuchFeature"), 0);
    fake.peer.SetStatus(0x10110, 0x8006);
    EXPECT_EQ(camera.GetNodeMaxValue("BrokenMax"), -28);
}

TEST_F(DescriptionTest, FeatureNamesAreAppendedWithoutCategories) {
    Connect();
    std::vector<std::string> names{"kept"};
    camera.GetCameraXMLNodeNames(&names);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "TotalNumberOfCmos", "Width", "GevHeartbeatTimeout",
                                               "DeviceUserID", "PixelFormat"}));
}

TEST_F(DescriptionTest, StringRegistersAreCopiedOrZeroedOrLeftAlone) {
    const std::string user = "camera-left-0001";
    fake.peer.SetMemory(tavi::test::kUserIdAddress, tavi::test::TextBytes(user));
    Bytes long_text(600);
    for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<uint8_t>('a' + i % 26);
    fake.peer.SetMemory(tavi::test::kLongTextAddress, long_text);
    Connect();

    char destination[700];
    std::memset(destination, '#', sizeof destination);
    camera.ReadStringRegister("DeviceUserID", destination);
    EXPECT_EQ(std::string(destination, 16), user);
    EXPECT_EQ(destination[16], '#');

    camera.ReadStringRegister("LongText", destination);  // more than one memory read holds
    EXPECT_EQ(Bytes(destination, destination + 600), long_text);
    EXPECT_EQ(destination[600], '#');

    std::memset(destination, '#', sizeof destination);
    camera.ReadStringRegister("NoSuchFeature", destination);
    EXPECT_EQ(destination[0], '#');

    fake.peer.SetStatus(tavi::test::kUserIdAddress, 0x8006);
    camera.ReadStringRegister("DeviceUserID", destination);
    EXPECT_EQ(Bytes(destination, destination + 16), Bytes(16, 0));
    EXPECT_EQ(destination[16], '#');
}

TEST_F(DescriptionTest, ADescriptionOf0x1F4A3BytesIsFetchedIn240ChunksAndSavedWithItsZeroByte) {
    std::string xml = tavi::test::kFakeDescription;
    xml += "<!--";
    xml += std::string(0x1F4A3 - xml.size() - 3, 'p');
    xml += "-->";
    ASSERT_EQ(xml.size(), 0x1F4A3u);
    fake.SetDescription("Local:big.xml", tavi::test::TextBytes(xml));
    Connect();

    const auto reads = DescriptionReads(fake.peer);
    ASSERT_EQ(reads.size(), 240u);
    for (size_t j = 0; j < 239; ++j) {
        EXPECT_EQ(reads[j], std::make_pair(tavi::test::kDescriptionAddress + static_cast<uint32_t>(536 * j),
                                           uint16_t{536}));
    }
    EXPECT_EQ(reads.back().second, 60);
    EXPECT_EQ(camera.xml_length, 0x1F4A3);

    const tavi::test::TempDirectory directory;
    ASSERT_EQ(camera.SaveXmlToLocal(directory.path().string()), 0);
    Bytes expected = tavi::test::TextBytes(xml);
    expected.push_back(0);
    EXPECT_EQ(FileBytes(directory.PathOf("big.xml")), expected);
}

TEST_F(DescriptionTest, ALengthThatIsAMultipleOf536EndsWithAFullChunk) {
    std::string xml = tavi::test::kFakeDescription;
    const size_t length = (xml.size() / 536 + 2) * 536;
    xml += "<!--" + std::string(length - xml.size() - 7, 'p') + "-->";
    ASSERT_EQ(xml.size(), length);
    fake.SetDescription("Local:fake.xml", tavi::test::TextBytes(xml));
    Connect();
    const auto reads = DescriptionReads(fake.peer);
    ASSERT_EQ(reads.size(), length / 536);
    EXPECT_EQ(reads.back().second, 536);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(camera.xml_data), camera.xml_length), xml);
}

TEST_F(DescriptionTest, AZippedDescriptionBehindTheSecondUrl) {
    fake.peer.SetStatus(0x0200, 0x8006);  // First URL unreadable
    fake.SetDescription("Local:Model_1.0.zip",
                        tavi::test::MakeZip({{"Model_1.0.xml", tavi::test::kFakeDescription}}), 0x0400);
    Connect();
    EXPECT_EQ(camera.xml_file_name, "Model_1.0");
    EXPECT_EQ(camera.xml_file_type, "zip");
    EXPECT_EQ(camera.GetRegisterAddr("GevHeartbeatTimeout"), 0x0938);

    const tavi::test::TempDirectory directory;
    ASSERT_EQ(camera.SaveXmlToLocal(directory.path().string()), 0);
    Bytes expected = fake.description;
    expected.push_back(0);
    EXPECT_EQ(FileBytes(directory.PathOf("Model_1.0.zip")), expected);
    EXPECT_EQ(camera.SaveXmlToLocal(""), -2);
    EXPECT_EQ(camera.SaveXmlToLocal(directory.PathOf("missing/dir")), -43);
}

TEST_F(DescriptionTest, NodeQuestionsNeedAConnection) {
    EXPECT_EQ(camera.GetRegisterAddr("Width"), -11);
    EXPECT_EQ(camera.GetNodeMaxValue("Width"), -11);
    EXPECT_EQ(camera.GetNodeMinValue("Width"), -11);
    EXPECT_EQ(camera.GetNodeIncValue("Width"), -11);
    EXPECT_EQ(camera.SaveXmlToLocal("/tmp"), -11);
    std::vector<std::string> names;
    camera.GetCameraXMLNodeNames(&names);
    EXPECT_TRUE(names.empty());
}
