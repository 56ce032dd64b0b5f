// Feature controls against a scripted camera on loopback: every refused argument gives its code
// before any register traffic, accepted ones reach the right register with the right value, values
// read back are checked, and the log lines the camera's users know are kept.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "support/fake_camera.h"

namespace {

using tavi::test::FakeCamera;

constexpr uint32_t kSensorStride = 0x100;
constexpr uint32_t kChannelStride = 0x40;

// Per-sensor registers (the fake's Width lies at 0x10100).
constexpr uint32_t kExposureAuto = 0x80000;
constexpr uint32_t kExposureLevel = 0x80004;
constexpr uint32_t kExposureTime = 0x80008;
constexpr uint32_t kMwop = 0x8000C;
constexpr uint32_t kMhop = 0x80010;
constexpr uint32_t kHeight = 0x80014;
constexpr uint32_t kOffsetX = 0x80018;
constexpr uint32_t kOffsetY = 0x8001C;
constexpr uint32_t kWidth = tavi::test::kWidthRegister;
// Per-channel.
constexpr uint32_t kCmosIndex = 0x90000;
// Single registers.
constexpr uint32_t kExposureType = 0x70000;
constexpr uint32_t kAnalogGain = 0x70004;
constexpr uint32_t kAnalogGainRgb = 0x70008;
constexpr uint32_t kDigitalGain = 0x7000C;
constexpr uint32_t kDigitalGainRgb = 0x70010;
constexpr uint32_t kTriggerMode = 0x70014;
constexpr uint32_t kTriggerSource = 0x70018;
constexpr uint32_t kTriggerSoftware = 0x7001C;
constexpr uint32_t kRgbTriggerMode = 0x70020;
constexpr uint32_t kRgbTriggerSoftware = 0x70024;
constexpr uint32_t kStrobeSwitch = 0x70028;
constexpr uint32_t kStrobeBrightness = 0x7002C;
constexpr uint32_t kLaserBrightness = 0x70030;
constexpr uint32_t kIeee1588 = 0x70034;
constexpr uint32_t kIeee1588Status = 0x70038;
constexpr uint32_t kTimestampControl = 0x0944;
constexpr uint32_t kAcquisitionStart = 0x7003C;
constexpr uint32_t kAcquisitionStop = 0x70040;
// The exposure time's limits, read from the camera.
constexpr uint32_t kExposureTimeMin = 0x70044;
constexpr uint32_t kExposureTimeMax = 0x70048;

std::string Register(const char* name, uint32_t address) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "<IntReg Name=\"%s\"><Address>0x%X</Address><Length>4</Length><pPort>Device</pPort></IntReg>\n", name,
        address);
    return text;
}

// A feature with limits, reaching its register through pValue, as cameras describe theirs.
std::string Limited(const char* name, uint32_t address, const char* limits) {
    return "<Integer Name=\"" + std::string(name) + "\"><pValue>" + name + "Reg</pValue>" + limits +
           "</Integer>\n" + Register((std::string(name) + "Reg").c_str(), address);
}

// The fake camera's description with every feature the controls use; Width with increment 8 and
// minimum 0, as the region checks expect of a real sensor; the exposure time with `exposure_limits`.
std::string FeatureDescription(const std::string& exposure_limits) {
    std::string description = tavi::test::kFakeDescription;
    const std::string fake_width_limits = "<Min>16</Min>\n    <pMax>WidthMaxReg</pMax>\n    <Inc>0x10</Inc>";
    description.replace(description.find(fake_width_limits), fake_width_limits.size(),
                        "<Min>0</Min><pMax>WidthMaxReg</pMax><Inc>8</Inc>");
    const std::string added =
        Register("ExposureAuto", kExposureAuto) + Register("ExposureCompensationLevel", kExposureLevel) +
        Limited("ExposureTime", kExposureTime, exposure_limits.c_str()) +
        Register("ExposureTimeMinReg", kExposureTimeMin) + Register("ExposureTimeMaxReg", kExposureTimeMax) +
        Register("MWOP", kMwop) + Register("MHOP", kMhop) +
        Limited("Height", kHeight, "<Min>0</Min><Inc>8</Inc>") +
        Limited("OffsetX", kOffsetX, "<Min>0</Min><Inc>8</Inc>") +
        Limited("OffsetY", kOffsetY, "<Min>0</Min><Inc>8</Inc>") + Register("CmosIndex", kCmosIndex) +
        Register("ExposureType", kExposureType) +
        Limited("analoggain", kAnalogGain, "<Min>1</Min><Max>16</Max>") +
        Limited("analoggain_rgb", kAnalogGainRgb, "<Min>1</Min><Max>16</Max>") +
        Limited("digitalgain", kDigitalGain, "<Min>1</Min><Max>32</Max>") +
        Limited("digitalgain_rgb", kDigitalGainRgb, "<Min>1</Min><Max>32</Max>") +
        Register("TriggerMode", kTriggerMode) + Register("TriggerSource", kTriggerSource) +
        Register("TriggerSoftware", kTriggerSoftware) + Register("RGBTriggerMode", kRgbTriggerMode) +
        Register("RGBTriggerSoftware", kRgbTriggerSoftware) + Register("StrobeLEDswitch", kStrobeSwitch) +
        Register("StrobeLEDbrightress", kStrobeBrightness) + Register("Laserbrightness", kLaserBrightness) +
        Register("GevIEEE1588", kIeee1588) + Register("GevIEEE1588Status", kIeee1588Status) +
        Register("GevTimestampControlLatch", kTimestampControl) +
        Register("AcquisitionStart", kAcquisitionStart) + Register("AcquisitionStop", kAcquisitionStop);
    const std::string port = "<Port Name=\"Device\"/>";
    description.replace(description.find(port), port.size(), added + port);
    return description;
}

class FeatureControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fake_.peer.ok());
        fake_.SetDescription("Local:fake.xml", tavi::test::TextBytes(FeatureDescription(ExposureLimits())));
        for (int index = 0; index < 3; ++index) {
            fake_.peer.SetRegister(kCmosIndex + kChannelStride * index, static_cast<uint32_t>(index));
            fake_.peer.SetRegister(kMwop + kSensorStride * index, 1280);
            fake_.peer.SetRegister(kMhop + kSensorStride * index, 1024);
        }
        fake_.peer.SetRegister(kExposureTimeMin, 10);
        fake_.peer.SetRegister(kExposureTimeMax, 1000000);
        LogSwitches::error = 1;
        LogSwitches::info = 0;
        DiscoveryInfo info = fake_.Info(1500, serial_.c_str());
        ASSERT_EQ(camera_.CameraConnect(&info), 0);
        connection_writes_ = fake_.peer.Writes().size();
    }

    // The exposure time's limits as the description gives them.
    virtual std::string ExposureLimits() const { return "<Min>10</Min><Max>1000000</Max>"; }

    void TearDown() override {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
        LogSwitches::AllOff();
        std::remove((serial_ + ".log").c_str());
    }

    // Commands other than the heartbeat's: what the members themselves sent.
    size_t MemberCommands() {
        size_t count = 0;
        for (const auto& datagram : fake_.peer.Received()) {
            if (!tavi::test::IsHeartbeatRead(datagram.bytes)) ++count;
        }
        return count;
    }

    // Writes the members made, after the connection's own.
    std::vector<std::pair<uint32_t, uint32_t>> MemberWrites() {
        std::vector<std::pair<uint32_t, uint32_t>> writes;
        const auto all = fake_.peer.Writes();
        for (size_t i = connection_writes_; i < all.size(); ++i)
            writes.emplace_back(all[i].address, all[i].value);
        return writes;
    }

    // The log as written so far; the connection is closed first, which flushes it.
    std::string LogText() {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
        std::ifstream in(serial_ + ".log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool Logged(const std::string& line) { return LogText().find(line) != std::string::npos; }

    FakeCamera fake_;
    std::string serial_ = "F" + std::to_string(getpid());
    GigeCamera camera_;
    size_t connection_writes_ = 0;
};

struct Refusal {
    const char* what;
    std::function<int(GigeCamera&)> call;
    int code;
};

TEST_F(FeatureControlTest, EveryRefusedArgumentGivesItsCodeWithoutRegisterTraffic) {
    const Refusal refusals[] = {
        {"auto exposure mode 2", [](GigeCamera& c) { return c.SetAutoExposure(2, 0); }, -2},
        {"auto exposure mode -1", [](GigeCamera& c) { return c.SetAutoExposure(-1, 1); }, -2},
        {"exposure level 0", [](GigeCamera& c) { return c.SetCamExposureGainLevel(0, 0); }, -2},
        {"exposure time of cmos 3", [](GigeCamera& c) { return c.SetExposureTime(100, 3); }, -2},
        {"exposure time of cmos -1", [](GigeCamera& c) { return c.SetExposureTime(100, -1); }, -2},
        {"exposure time read of cmos 3", [](GigeCamera& c) { return c.GetExposureTime(3); }, -2},
        {"exposure time read of cmos -1", [](GigeCamera& c) { return c.GetExposureTime(-1); }, -2},
        {"exposure time at the minimum", [](GigeCamera& c) { return c.SetExposureTime(10, 0); }, -2},
        {"exposure time above the maximum", [](GigeCamera& c) { return c.SetExposureTime(1000001, 2); }, -2},
        {"exposure count 0", [](GigeCamera& c) { return c.SetMutipleExposure(0); }, -1},
        {"gain type 3", [](GigeCamera& c) { return c.SetGain(3, 5, 0); }, -2},
        {"digital gain rgb 2", [](GigeCamera& c) { return c.SetGain(2, 5, 2); }, -2},
        {"analog gain below its minimum", [](GigeCamera& c) { return c.SetGain(1, 0, 0); }, -16},
        {"colour analog gain above its maximum", [](GigeCamera& c) { return c.SetGain(1, 17, 1); }, -16},
        {"gain read of type 0", [](GigeCamera& c) { return c.GetGain(0, 0); }, -2},
        {"gain read of rgb 2", [](GigeCamera& c) { return c.GetGain(1, 2); }, -2},
        {"trigger mode 2", [](GigeCamera& c) { return c.SetTriggerMode(2); }, -2},
        {"trigger source -1", [](GigeCamera& c) { return c.SetTriggerSource(-1); }, -2},
        {"trigger count 0", [](GigeCamera& c) { return c.SetTriggerCount(0); }, -2},
        {"colour trigger mode 2", [](GigeCamera& c) { return c.SetRGBTriggerMode(2); }, -2},
        {"colour trigger count 0", [](GigeCamera& c) { return c.SetRGBTriggerCount(0); }, -2},
        {"strobe switch 2", [](GigeCamera& c) { return c.SetStrobeLEDswitch(2); }, -2},
        {"strobe brightness 0", [](GigeCamera& c) { return c.SetStrobeLEDbrightress(0); }, -2},
        {"strobe brightness 101", [](GigeCamera& c) { return c.SetStrobeLEDbrightress(101); }, -2},
        {"laser brightness 0", [](GigeCamera& c) { return c.SetLaserbrightness(0); }, -2},
        {"laser brightness 101", [](GigeCamera& c) { return c.SetLaserbrightness(101); }, -2},
        {"timestamp 2", [](GigeCamera& c) { return c.SetTimestamp(2); }, -2},
    };
    const size_t before = MemberCommands();
    for (const Refusal& refusal : refusals) {
        EXPECT_EQ(refusal.call(camera_), refusal.code) << refusal.what;
    }
    EXPECT_EQ(MemberCommands(), before);
    EXPECT_TRUE(MemberWrites().empty());
}

TEST_F(FeatureControlTest, AcceptedArgumentsReachTheirRegistersAtTheSensorOffset) {
    EXPECT_EQ(camera_.SetAutoExposure(1, 2), 0);
    EXPECT_EQ(camera_.SetCamExposureGainLevel(1, 7), 0);
    EXPECT_EQ(camera_.SetExposureTime(1000000, 2), 0);  // the maximum is accepted
    EXPECT_EQ(camera_.SetExposureTime(11, 0), 0);
    EXPECT_EQ(camera_.SetMutipleExposure(3), 0);
    EXPECT_EQ(camera_.SetGain(1, 16, 1), 0);  // both limits of a gain are accepted
    EXPECT_EQ(camera_.SetGain(2, 1, 0), 0);
    EXPECT_EQ(camera_.SetLaserbrightness(1), 0);
    EXPECT_EQ(camera_.SetLaserbrightness(100), 0);
    EXPECT_EQ(camera_.SetTimestamp(1), 0);
    EXPECT_EQ(camera_.SetTimestamp(0), 0);
    EXPECT_EQ(camera_.SetTimestampControlLatch(), 0);
    EXPECT_EQ(camera_.AcquisitionStart(), 0);
    EXPECT_EQ(camera_.AcquisitionStop(), 0);

    EXPECT_EQ(fake_.WritesTo(kExposureAuto + 2 * kSensorStride), std::vector<uint32_t>{1});
    EXPECT_EQ(fake_.WritesTo(kExposureLevel + kSensorStride), std::vector<uint32_t>{7});
    EXPECT_EQ(fake_.WritesTo(kExposureTime + 2 * kSensorStride), std::vector<uint32_t>{1000000});
    EXPECT_EQ(fake_.WritesTo(kExposureTime), std::vector<uint32_t>{11});
    EXPECT_EQ(fake_.WritesTo(kExposureType), std::vector<uint32_t>{3});
    EXPECT_EQ(fake_.WritesTo(kAnalogGainRgb), std::vector<uint32_t>{16});
    EXPECT_TRUE(fake_.WritesTo(kAnalogGain).empty());
    EXPECT_EQ(fake_.WritesTo(kDigitalGain), std::vector<uint32_t>{1});
    EXPECT_EQ(fake_.WritesTo(kLaserBrightness), (std::vector<uint32_t>{1, 100}));
    EXPECT_EQ(fake_.WritesTo(kIeee1588), (std::vector<uint32_t>{0x80000, 0}));  // bit 19, the rest cleared
    EXPECT_EQ(fake_.WritesTo(kTimestampControl), std::vector<uint32_t>{2});
    EXPECT_EQ(fake_.WritesTo(kAcquisitionStart), std::vector<uint32_t>{1});
    EXPECT_EQ(fake_.WritesTo(kAcquisitionStop), std::vector<uint32_t>{0});
}

TEST_F(FeatureControlTest, GettersReadTheirRegistersAndRefuseImplausibleValues) {
    fake_.peer.SetRegister(kExposureTime + kSensorStride, 5000);
    fake_.peer.SetRegister(kExposureLevel + 2 * kSensorStride, 4);
    fake_.peer.SetRegister(kExposureAuto, 1);
    fake_.peer.SetRegister(kDigitalGainRgb, 9);
    EXPECT_EQ(camera_.GetExposureTime(1), 5000);
    EXPECT_EQ(camera_.GetCamExposureGainLevel(2), 4);
    EXPECT_EQ(camera_.GetAutoExposure(0), 1);
    EXPECT_EQ(camera_.GetGain(2, 1), 9);

    fake_.peer.SetRegister(kAnalogGain, 0x80000000u);
    EXPECT_EQ(camera_.GetGain(1, 0), -17);

    fake_.peer.SetRegister(kIeee1588, 0x80000);
    EXPECT_EQ(camera_.GetTimestamp(), 1);
    fake_.peer.SetRegister(kIeee1588, 0x7FFFF);
    EXPECT_EQ(camera_.GetTimestamp(), 0);
    fake_.peer.SetRegister(kIeee1588, 0x100000);
    EXPECT_EQ(camera_.GetTimestamp(), -17);

    fake_.peer.SetRegister(kIeee1588Status, 8);
    EXPECT_EQ(camera_.GetTimestampStatus(), 8);
    fake_.peer.SetRegister(kIeee1588Status, 9);
    EXPECT_EQ(camera_.GetTimestampStatus(), -17);
    EXPECT_TRUE(Logged("[function:GetTimestampStatus] Failed to get status of the timestamp."));
    EXPECT_TRUE(Logged("[function:GetTimestamp] Failed to get the timestamp."));
    EXPECT_TRUE(Logged("[function:GetGain] Failed to get the value of gain."));
}

TEST_F(FeatureControlTest, DeviceStatusesComeBackInTheTransportsShapesAndAreLogged) {
    fake_.peer.SetStatus(kStrobeSwitch, 0x8006);
    EXPECT_EQ(camera_.SetStrobeLEDswitch(1), 0x8006);
    EXPECT_EQ(camera_.GetStrobeLEDswitch(), static_cast<int>(0x80060000u));
    fake_.peer.SetStatus(kExposureType, 0x8003);
    EXPECT_EQ(camera_.GetMutipleExposure(), static_cast<int>(0x80030000u));
    fake_.peer.SetStatus(kAcquisitionStart, 0x8006);
    fake_.peer.SetStatus(kAcquisitionStop, 0x8004);
    EXPECT_EQ(camera_.AcquisitionStart(), 0x8006);
    EXPECT_EQ(camera_.AcquisitionStop(), 0x8004);
    EXPECT_TRUE(MemberWrites().empty());
    EXPECT_TRUE(
        Logged("[function:SetStrobeLEDswitch] Failed to set value to control strobe LED onoff switch. error "
               "code: 8006."));
    EXPECT_TRUE(Logged("[function:GetStrobeLEDswitch] Failed to read register. error code: 80060000."));
    // The exposure count's read failure has always been logged under the setter's name.
    EXPECT_TRUE(Logged("[function:SetMutipleExposure] Failed to read register. error code: 80030000."));
    // Both lines are the ones the camera's users know, wording included.
    EXPECT_TRUE(Logged("[function:AcquisitionStart] Failed to set resend request on-off. error code: 8006."));
    EXPECT_TRUE(Logged("[function:AcquisitionStop] Failed to stop recv stream data. error code: 8004."));
}

// How often `line` occurs in `text`.
size_t Occurrences(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
        ++count;
    return count;
}

TEST_F(FeatureControlTest, RefusedReadsNameTheGainOrExposureTheyWereAskedFor) {
    const size_t before = MemberCommands();
    EXPECT_EQ(camera_.GetGain(1, 2), -2);   // analog gain of no sensor
    EXPECT_EQ(camera_.GetGain(2, -1), -2);  // digital gain of no sensor
    EXPECT_EQ(camera_.GetGain(0, 0), -2);   // no such gain
    EXPECT_EQ(camera_.GetGain(3, 1), -2);
    EXPECT_EQ(camera_.GetExposureTime(3), -2);
    EXPECT_EQ(MemberCommands(), before);
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log,
                          "[function:GetGain] Failed to get the value of analog gain due to the incoming "
                          "parameters error."),
              1u);
    EXPECT_EQ(Occurrences(log,
                          "[function:GetGain] Failed to get the value of digital gain due to the incoming "
                          "parameters error."),
              1u);
    EXPECT_EQ(
        Occurrences(
            log, "[function:GetGain] Failed to get the value of gain due to the incoming parameters error."),
        2u);
    EXPECT_EQ(Occurrences(log,
                          "[function:GetExposureTime] Failed to get exposure time due to the incoming "
                          "parameters error."),
              1u);
    EXPECT_EQ(Occurrences(log, "[function:SetGain]"), 0u);  // the getter logs under its own name
}

// The same camera, whose exposure time limits are registers (10 and 1000000 unless a test makes
// them unreadable).
class ExposureLimitsFromRegisters : public FeatureControlTest {
  protected:
    std::string ExposureLimits() const override {
        return "<pMin>ExposureTimeMinReg</pMin><pMax>ExposureTimeMaxReg</pMax>";
    }
};

TEST_F(ExposureLimitsFromRegisters, UnreadableLimitsAreUsedAsTheirCodes) {
    // The maximum cannot be read: its code -28 becomes the upper bound, so no real time fits.
    fake_.peer.SetStatus(kExposureTimeMax, 0x8003);
    EXPECT_EQ(camera_.SetExposureTime(100, 0), -2);
    EXPECT_EQ(camera_.SetExposureTime(1000000, 0), -2);
    fake_.peer.SetStatus(kExposureTimeMax, 0);
    // The minimum cannot be read: its code -29 becomes the lower bound, so a time under the
    // camera's own minimum of 10 passes, and -29 itself does not.
    fake_.peer.SetStatus(kExposureTimeMin, 0x8003);
    EXPECT_EQ(camera_.SetExposureTime(5, 1), 0);
    EXPECT_EQ(camera_.SetExposureTime(-29, 1), -2);
    fake_.peer.SetStatus(kExposureTimeMin, 0);
    EXPECT_EQ(camera_.SetExposureTime(5, 1), -2);  // with its minimum readable the camera refuses 5
    const std::vector<std::pair<uint32_t, uint32_t>> expected{{kExposureTime + kSensorStride, 5}};
    EXPECT_EQ(MemberWrites(), expected);
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "[function:GetNodeMaxValue] Get the max value of the node error."), 2u);
    EXPECT_EQ(Occurrences(log, "[function:GetNodeMinValue] Get the min value of the node error."), 2u);
    EXPECT_EQ(Occurrences(log,
                          "[function:SetExposureTime] Failed to set exposure time due to the incoming "
                          "parameters error.\n"),
              4u);
}

TEST_F(FeatureControlTest, QuirksOfTheLogAreKept) {
    EXPECT_EQ(camera_.SetMutipleExposure(0), -1);
    EXPECT_EQ(camera_.SetCamExposureGainLevel(1, 0), -2);
    EXPECT_EQ(camera_.SetGain(2, 5, 2), -2);
    EXPECT_EQ(camera_.SetExposureTime(10, 0), -2);
    EXPECT_EQ(camera_.SetStrobeLEDbrightress(0), -2);
    EXPECT_TRUE(
        Logged("[function:SetMutipleExposure] Failed to set mutiple exposure. error code: ffffffff."));
    EXPECT_TRUE(
        Logged("[function:SetRGBCamExposureGainLevel] Failed to set exposure level due to the incoming "
               "parameters error, error code: -2"));
    EXPECT_TRUE(
        Logged("[function:SetGain] Failed to set the value of digital gain due to the incoming parameters "
               "error."));
    EXPECT_TRUE(
        Logged("[function:SetExposureTime] Failed to set exposure time due to the incoming parameters "
               "error.\n"));
    EXPECT_TRUE(
        Logged("[function:SetStrobeLEDbrightress] Failed to set value due to the incoming parameters error, "
               "error code: -2"));
}

TEST_F(FeatureControlTest, RoiOfAFullWidthSensorIsWrittenInOrderAtTheChannelsSensor) {
    EXPECT_EQ(camera_.SetRoi(1, 1280, 480, 0, 16), 0);
    const std::vector<std::pair<uint32_t, uint32_t>> expected{{kWidth + kSensorStride, 1280},
                                                              {kHeight + kSensorStride, 480},
                                                              {kOffsetX + kSensorStride, 0},
                                                              {kOffsetY + kSensorStride, 16}};
    EXPECT_EQ(MemberWrites(), expected);
}

TEST_F(FeatureControlTest, RoiReportsOnlyTheFirstRefusedValueAndWritesNothing) {
    // Offset x 8 does not fit beside a full width: 8 > 1280 - 1280.
    EXPECT_EQ(camera_.SetRoi(1, 1280, 480, 8, 0), -25);
    // A width off the increment grid is refused even within the limits; the bad height after it
    // is not reported.
    EXPECT_EQ(camera_.SetRoi(2, 100, 1030, 0, 0), -25);
    EXPECT_EQ(camera_.SetRoi(0, 640, 1030, 0, 0), -25);
    EXPECT_EQ(camera_.SetRoi(0, 640, 480, 0, 545), -25);
    EXPECT_TRUE(MemberWrites().empty());
    const std::string log = LogText();
    EXPECT_NE(log.find("[function:SetRoi] The value offset-x is illegal. channel_index: 1."),
              std::string::npos);
    EXPECT_NE(log.find("[function:SetRoi] The value x is illegal. channel_index: 2."), std::string::npos);
    EXPECT_EQ(log.find("[function:SetRoi] The value y is illegal. channel_index: 2."), std::string::npos);
    EXPECT_NE(log.find("[function:SetRoi] The value y is illegal. channel_index: 0."), std::string::npos);
    EXPECT_NE(log.find("[function:SetRoi] The value offset-y is illegal. channel_index: 0."),
              std::string::npos);
}

TEST_F(FeatureControlTest, RoiStopsAtTheFirstFailedReadOrWrite) {
    fake_.peer.SetStatus(kCmosIndex + 2 * kChannelStride, 0x8003);
    EXPECT_EQ(camera_.SetRoi(2, 640, 480, 0, 0), static_cast<int>(0x80030000u));
    fake_.peer.SetStatus(kHeight, 0x8006);
    EXPECT_EQ(camera_.SetRoi(0, 640, 480, 0, 0), 0x8006);
    EXPECT_EQ(fake_.WritesTo(kWidth), std::vector<uint32_t>{640});  // the width stays written
    EXPECT_TRUE(fake_.WritesTo(kOffsetX).empty());
    EXPECT_TRUE(Logged("[function:SetRoi] Failed to read the_cmos_number register. error code: 80030000."));
    EXPECT_TRUE(
        Logged("[function:SetRoi] Failed to set the value of y of roi. channel_index: 0, error code: 8006."));
}

TEST_F(FeatureControlTest, RoiReportsEachUnreadableLimitAndEachFailedWrite) {
    fake_.peer.SetStatus(kMwop + kSensorStride, 0x8003);
    EXPECT_EQ(camera_.SetRoi(1, 640, 480, 0, 0), static_cast<int>(0x80030000u));
    fake_.peer.SetStatus(kMwop + kSensorStride, 0);
    fake_.peer.SetStatus(kMhop + 2 * kSensorStride, 0x8005);
    EXPECT_EQ(camera_.SetRoi(2, 640, 480, 0, 0), static_cast<int>(0x80050000u));
    fake_.peer.SetStatus(kMhop + 2 * kSensorStride, 0);
    EXPECT_TRUE(MemberWrites().empty());  // a limit that cannot be read stops the call before any write

    // Each failed write names its value; the values written before it stay.
    fake_.peer.SetStatus(kWidth + kSensorStride, 0x8006);
    EXPECT_EQ(camera_.SetRoi(1, 640, 480, 8, 16), 0x8006);
    fake_.peer.SetStatus(kWidth + kSensorStride, 0);
    fake_.peer.SetStatus(kOffsetX + kSensorStride, 0x8004);
    EXPECT_EQ(camera_.SetRoi(1, 640, 480, 8, 16), 0x8004);
    fake_.peer.SetStatus(kOffsetX + kSensorStride, 0);
    fake_.peer.SetStatus(kOffsetY + 2 * kSensorStride, 0x8006);
    EXPECT_EQ(camera_.SetRoi(2, 320, 240, 8, 16), 0x8006);
    const std::vector<std::pair<uint32_t, uint32_t>> expected{{kWidth + kSensorStride, 640},
                                                              {kHeight + kSensorStride, 480},
                                                              {kWidth + 2 * kSensorStride, 320},
                                                              {kHeight + 2 * kSensorStride, 240},
                                                              {kOffsetX + 2 * kSensorStride, 8}};
    EXPECT_EQ(MemberWrites(), expected);
    const std::string log = LogText();
    EXPECT_EQ(
        Occurrences(log, "[function:SetRoi] Failed to read maxvalue_width register. error code: 80030000."),
        1u);
    EXPECT_EQ(
        Occurrences(log, "[function:SetRoi] Failed to read maxvalue_height register. error code: 80050000."),
        1u);
    EXPECT_EQ(
        Occurrences(
            log,
            "[function:SetRoi] Failed to set the value of x of roi. channel_index: 1, error code: 8006."),
        1u);
    EXPECT_EQ(
        Occurrences(log,
                    "[function:SetRoi] Failed to set the offset value of x of roi. channel_index: 1, error "
                    "code: 8004."),
        1u);
    EXPECT_EQ(
        Occurrences(log,
                    "[function:SetRoi] Failed to set the offset value of y of roi. channel_index: 2, error "
                    "code: 8006."),
        1u);
    EXPECT_EQ(Occurrences(log, "[function:SetRoi] Failed to set the value of y of roi."), 0u);
}

// A camera whose description lacks the features: the look-up's code comes back, and nothing is
// written to an address made of it.
TEST(FeatureControlWithoutFeatures, AMissingFeatureGivesMinus21AndNoWrite) {
    FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    GigeCamera camera;
    DiscoveryInfo info = fake.Info(1500, "NOFEATURES");
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    const size_t connection_writes = fake.peer.Writes().size();
    EXPECT_EQ(camera.SetExposureTime(100, 0), -21);
    EXPECT_EQ(camera.SetGain(1, 5, 0), -21);
    EXPECT_EQ(camera.SetTriggerMode(1), -21);
    EXPECT_EQ(camera.GetLaserbrightness(), -21);
    EXPECT_EQ(camera.SetRoi(0, 640, 480, 0, 0), -21);
    EXPECT_EQ(fake.peer.Writes().size(), connection_writes);
    camera.CameraDisconnect();
}

TEST(FeatureControlWithoutFeatures, AnUnconnectedCameraRefusesEveryMemberWithMinus11) {
    GigeCamera camera;
    LogSwitches::debug = 1;
    LogSwitches::error = 1;
    const std::string name = "U" + std::to_string(getpid());
    ASSERT_EQ(log_open(&camera.log, name.c_str()), 0);
    EXPECT_EQ(camera.SetCamExposureGainLevel(0, 1), -11);
    EXPECT_EQ(camera.GetMutipleExposure(), -11);
    EXPECT_EQ(camera.SetGain(1, 1, 0), -11);
    EXPECT_EQ(camera.GetTimestamp(), -11);
    EXPECT_EQ(camera.SetRoi(0, 8, 8, 0, 0), -11);
    EXPECT_EQ(camera.AcquisitionStart(), -11);
    log_close(&camera.log);
    LogSwitches::AllOff();
    std::ifstream in(name + ".log");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("[function:SetRGBCamExposureGainLevel] The camera disconnected."),
              std::string::npos);
    EXPECT_NE(text.str().find("[function:GetMutipleExposure] The camera disconnected."), std::string::npos);
    EXPECT_NE(text.str().find("[function:SetRoi] The camera disconnected."), std::string::npos);
    std::remove((name + ".log").c_str());
}

}  // namespace
