// The virtual camera's description file and settings, without a network.
#include "description.h"

#include <gtest/gtest.h>

#include <set>

#include "description_walk.h"
#include "settings.h"

namespace {

class Description : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(walk.Load(vcam::DescriptionXml(settings))); }
    vcam::Settings settings;
    DescriptionWalk walk;
};

TEST_F(Description, IsASchema11RegisterDescription) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(vcam::DescriptionXml(settings).c_str()));
    pugi::xml_node root = document.document_element();
    EXPECT_STREQ(root.name(), "RegisterDescription");
    EXPECT_STREQ(root.attribute("SchemaMajorVersion").value(), "1");
    EXPECT_STREQ(root.attribute("SchemaMinorVersion").value(), "1");
    EXPECT_STREQ(root.attribute("xmlns").value(), "http://www.genicam.org/GenApi/Version_1_1");
    EXPECT_STREQ(root.attribute("ModelName").value(), settings.model.c_str());
    EXPECT_TRUE(walk.Node("Device")) << "the port the registers are reached through";
}

TEST_F(Description, EveryRequiredNameReachesARegister) {
    for (const std::string& name : RequiredNames()) {
        EXPECT_TRUE(walk.Node(name)) << name << " is missing";
        EXPECT_TRUE(walk.Address(name).has_value()) << name << " reaches no register";
    }
}

TEST_F(Description, FeaturesAreReachableFromRootAndRegistersAreNot) {
    std::vector<std::string> features = walk.Features();
    std::set<std::string> reachable(features.begin(), features.end());
    for (const std::string& name : RequiredNames()) {
        bool register_only = name.find("Reg") != std::string::npos || name.rfind("GEV_BOOTSTRAP", 0) == 0;
        EXPECT_EQ(reachable.count(name), register_only ? 0u : 1u) << name;
    }
    EXPECT_EQ(reachable.count("WidthReg"), 0u);
}

TEST_F(Description, StandardFeaturesSitOnTheBootstrapRegisters) {
    const std::pair<const char*, uint32_t> bootstrap[] = {
        {"GevStreamChannelCount", 0x0904},
        {"GevHeartbeatTimeout", 0x0938},
        {"TimestampTickFrequencyHiReg", 0x093C},
        {"TimestampTickFrequencyLoReg", 0x0940},
        {"GevTimestampControlLatch", 0x0944},
        {"GEV_BOOTSTRAP_TimestampValueLatchedHigh", 0x0948},
        {"GEV_BOOTSTRAP_TimestampValueLatchedLow", 0x094C},
        {"GevIEEE1588", 0x0954},
        {"GevSCPHostPort", 0x0D00},
        {"GevSCPSPacketSize", 0x0D04},
        {"GevSCDA", 0x0D18},
        {"GevSCSP", 0x0D1C},
        {"DeviceVendorName", 0x0048},
        {"DeviceSerialNumber", 0x00D8},
        {"DeviceUserID", 0x00E8},
    };
    for (auto [name, address] : bootstrap) EXPECT_EQ(walk.Address(name), address) << name;
}

TEST_F(Description, PerSensorAndPerChannelRegistersRepeatAtTheirStride) {
    auto index_of = [&](const std::string& name) {
        pugi::xml_node node = walk.Node(name);
        while (node && !node.child("Address")) node = walk.Node(node.child("pValue").text().as_string());
        return node.child("pIndex");
    };
    for (const char* name :
         {"Width", "Height", "OffsetX", "OffsetY", "MWOP", "MHOP", "ExposureAuto",
          "ExposureCompensationLevel", "ExposureTime", "InternelParameter", "ExternelParameter"}) {
        pugi::xml_node index = index_of(name);
        EXPECT_EQ(DescriptionWalk::Number(index.attribute("Offset").value()), 0x100u) << name;
        EXPECT_STREQ(index.text().as_string(), "CmosSelector") << name;
    }
    for (const char* name : {"CmosIndex", "PayloadSize", "PixelFormat", "GevSCSP", "GevSCPSPacketSize"}) {
        pugi::xml_node index = index_of(name);
        EXPECT_EQ(DescriptionWalk::Number(index.attribute("Offset").value()), 0x40u) << name;
        EXPECT_STREQ(index.text().as_string(), "GevStreamChannelSelector") << name;
    }
}

TEST_F(Description, RegistersDoNotOverlap) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(vcam::DescriptionXml(settings).c_str()));
    std::map<uint32_t, std::string> owners;
    for (pugi::xpath_node found : document.select_nodes("//IntReg")) {
        uint32_t address = DescriptionWalk::Number(found.node().child("Address").text().as_string());
        std::string name = found.node().attribute("Name").value();
        EXPECT_TRUE(owners.emplace(address, name).second)
            << name << " shares its register with " << owners[address];
    }
}

TEST_F(Description, BoundsAreGivenTheWaysClientsRead) {
    EXPECT_EQ(walk.Child("Width", "pMax"), "MWOP");
    EXPECT_EQ(walk.Child("Height", "pMax"), "MHOP");
    EXPECT_EQ(walk.Child("Width", "Inc"), "8");
    EXPECT_LT(std::stoi(walk.Child("GevHeartbeatTimeout", "Min")),
              std::stoi(walk.Child("GevHeartbeatTimeout", "Max")));
    EXPECT_LT(std::stoi(walk.Child("ExposureTime", "Min")), std::stoi(walk.Child("ExposureTime", "Max")));
    EXPECT_EQ(walk.Child("InternelParameter", "Length"), "56");
    EXPECT_EQ(walk.Child("ExternelParameter", "Length"), "48");
    EXPECT_EQ(walk.Child("DeviceReboot", "CommandValue"), "4383");
    EXPECT_EQ(walk.Child("GevTimestampControlLatch", "CommandValue"), "2");
    EXPECT_STREQ(walk.Node("PixelFormat").name(), "Enumeration");
    EXPECT_STREQ(walk.Node("AcquisitionStart").name(), "Command");
    EXPECT_STREQ(walk.Node("StrobeLEDbrightress").parent().name(), "RegisterDescription");
    EXPECT_STREQ(walk.Node("WidthReg").parent().name(), "Group");
}

TEST(ServedDescription, ZipHoldsExactlyThePlainFile) {
    vcam::Settings plain_settings;
    plain_settings.description_format = "xml";
    vcam::Settings zip_settings;
    vcam::DescriptionFile plain = vcam::ServedDescription(plain_settings, 0x100000);
    vcam::DescriptionFile zipped = vcam::ServedDescription(zip_settings, 0x100000);
    std::optional<std::string> unzipped = UnzipOnlyFile(zipped.bytes);
    ASSERT_TRUE(unzipped.has_value());
    EXPECT_EQ(*unzipped, std::string(plain.bytes.begin(), plain.bytes.end()));
    char expected[64];
    std::snprintf(expected, sizeof expected, "Local:TaviVirtual3D.zip;100000;%zx", zipped.bytes.size());
    EXPECT_EQ(zipped.url, expected);
    std::snprintf(expected, sizeof expected, "Local:TaviVirtual3D.xml;100000;%zx", plain.bytes.size());
    EXPECT_EQ(plain.url, expected);
}

TEST(ServedDescription, FaultsDamageTheFileAsAsked) {
    vcam::Settings settings;
    settings.description_format = "xml";
    size_t whole = vcam::ServedDescription(settings, 0).bytes.size();

    settings.description_fault = "malformed";
    vcam::DescriptionFile malformed = vcam::ServedDescription(settings, 0);
    pugi::xml_document document;
    EXPECT_FALSE(document.load_buffer(malformed.bytes.data(), malformed.bytes.size()));

    settings.description_fault = "truncated";
    vcam::DescriptionFile truncated = vcam::ServedDescription(settings, 0);
    EXPECT_EQ(truncated.bytes.size(), whole / 2);
    char length[32];
    std::snprintf(length, sizeof length, ";%zx", whole / 2);
    EXPECT_TRUE(truncated.url.ends_with(length)) << truncated.url;

    settings.description_format = "zip";
    settings.description_fault = "corrupt-zip";
    EXPECT_FALSE(UnzipOnlyFile(vcam::ServedDescription(settings, 0).bytes).has_value());
}

TEST(Settings, CommandLineAndControlKeysShareOneTable) {
    vcam::Settings settings;
    std::vector<std::pair<std::string, std::string>> unknown;
    std::string error;
    const char* argv[] = {"camera",
                          "--serial",
                          "TV9",
                          "--control-held",
                          "--ack-delay-ms=250",
                          "--register-error",
                          "0x938:0x8FFF,0x10010:0x8006",
                          "--drop",
                          "0.1"};
    ASSERT_TRUE(vcam::ParseCommandLine(9, const_cast<char**>(argv), settings, unknown, &error)) << error;
    EXPECT_EQ(settings.serial, "TV9");
    EXPECT_TRUE(settings.control_held);
    EXPECT_EQ(settings.ack_delay_ms, 250u);
    EXPECT_EQ(settings.register_errors.at(0x938), 0x8FFF);
    EXPECT_EQ(settings.register_errors.at(0x10010), 0x8006);
    ASSERT_EQ(unknown.size(), 1u) << "options for the streaming engine are passed on";
    EXPECT_EQ(unknown[0], std::make_pair(std::string("drop"), std::string("0.1")));

    EXPECT_EQ(vcam::ApplySetting(settings, "register-error", "none"), vcam::SetResult::kApplied);
    EXPECT_TRUE(settings.register_errors.empty());
    EXPECT_EQ(vcam::ApplySetting(settings, "register-error", "0x938"), vcam::SetResult::kBadValue);
    EXPECT_EQ(vcam::ApplySetting(settings, "mac", "02:00:00:00:00"), vcam::SetResult::kBadValue);
    EXPECT_EQ(vcam::ApplySetting(settings, "description", "rar"), vcam::SetResult::kBadValue);
    EXPECT_EQ(vcam::ApplySetting(settings, "heartbeat-ms", "-5"), vcam::SetResult::kBadValue);
    EXPECT_EQ(vcam::ApplySetting(settings, "no-such-key", "1"), vcam::SetResult::kUnknownKey);
    std::string value;
    ASSERT_TRUE(vcam::FormatSetting(settings, "ack-delay-ms", &value));
    EXPECT_EQ(value, "250");
}

TEST(Settings, MalformedCommandLinesAreRefused) {
    vcam::Settings settings;
    std::vector<std::pair<std::string, std::string>> unknown;
    std::string error;
    const char* missing_value[] = {"camera", "--serial"};
    EXPECT_FALSE(vcam::ParseCommandLine(2, const_cast<char**>(missing_value), settings, unknown, &error));
    const char* stray[] = {"camera", "serial"};
    EXPECT_FALSE(vcam::ParseCommandLine(2, const_cast<char**>(stray), settings, unknown, &error));
    const char* bad_number[] = {"camera", "--frame-rate", "ten"};
    EXPECT_FALSE(vcam::ParseCommandLine(3, const_cast<char**>(bad_number), settings, unknown, &error));
}

}  // namespace

TEST(RegisterBase, MovesTheCamerasOwnRegistersAndLeavesTheBootstrapAndTheUrlAlone) {
    vcam::Settings settings;
    ASSERT_EQ(vcam::ApplySetting(settings, "register-base", "0x80000000"), vcam::SetResult::kApplied);
    DescriptionWalk walk;
    ASSERT_TRUE(walk.Load(vcam::DescriptionXml(settings)));
    EXPECT_EQ(walk.Address("TotalNumberOfCmos"), 0x80010000u);
    EXPECT_EQ(walk.Address("Width"), 0x80011008u);
    EXPECT_EQ(walk.Address("PayloadSize"), 0x80012004u);
    EXPECT_EQ(walk.Address("InternelParameter"), 0x80020000u);
    EXPECT_EQ(walk.Address("GevStreamChannelCount"), 0x0904u);
    EXPECT_EQ(walk.Address("DeviceUserID"), 0x00E8u);
    EXPECT_NE(vcam::ServedDescription(settings, 0x100000).url.find(";100000;"), std::string::npos);
}

TEST(RegisterBase, OnlyBasesThatKeepTheSpanClearAndAlignedAreTaken) {
    vcam::Settings settings;
    for (const char* refused : {"0x1000", "0x1EFF00", "0x80000004", "0xFFF00100", "0x100000000", "-1"}) {
        EXPECT_EQ(vcam::ApplySetting(settings, "register-base", refused), vcam::SetResult::kBadValue)
            << refused;
    }
    for (const char* taken : {"0", "0x1F0000", "0x80000000", "0xFFF00000"}) {
        EXPECT_EQ(vcam::ApplySetting(settings, "register-base", taken), vcam::SetResult::kApplied) << taken;
    }
    std::string value;
    ASSERT_TRUE(vcam::FormatSetting(settings, "register-base", &value));
    EXPECT_EQ(value, "0xFFF00000");
}
