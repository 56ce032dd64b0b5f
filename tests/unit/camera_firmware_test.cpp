// The firmware upload against a scripted FTP server on loopback (the port and time-outs moved for
// the test), the remote path rule, and the two version texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "TaviSDK/GigeCamera.h"
#include "camera/firmware_upload.h"
#include "support/fake_camera.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using tavi::test::ScriptedFtpServer;

constexpr uint32_t kLoopback = 0x7F000001;

// A stalled server must end the upload within its shortened limits; this bound only tells an end
// from a hang, with room for a loaded machine.
constexpr auto kHangBound = std::chrono::seconds(20);

using Clock = std::chrono::steady_clock;

class FirmwareUploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = tavi::FirmwareUploadSettings();
        // Short waits keep a stalled server's test short; the limits themselves are what is tested.
        tavi::FirmwareUploadSettings().connect_timeout_ms = 700;
        tavi::FirmwareUploadSettings().response_timeout_s = 1;
        tavi::FirmwareUploadSettings().low_speed_time_s = 1;
        info_.camera_ip = kLoopback;
    }
    void TearDown() override { tavi::FirmwareUploadSettings() = saved_; }

    std::string WriteFile(const std::string& name, const std::string& content) {
        const std::string path = directory_.path().string() + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    void UsePort(uint16_t port) { tavi::FirmwareUploadSettings().port = port; }

    static std::string Content() {
        std::string bytes;
        for (int i = 0; i < 200000; ++i) bytes.push_back(static_cast<char>((i * 131) ^ (i >> 8)));
        return bytes;
    }

    tavi::FtpUploadSettings saved_;
    tavi::test::ScratchDirectory directory_;
    DiscoveryInfo info_{};
    GigeCamera camera_;
};

TEST(FirmwareRemotePath, IsVarAndTheTextAfterTheLastSlashOrBackslash) {
    EXPECT_EQ(tavi::RemoteFirmwarePath("C:\\fw\\cam_fw_1.2.bin"), "/var/cam_fw_1.2.bin");
    EXPECT_EQ(tavi::RemoteFirmwarePath("/home/user/fw/cam_fw_1.2.bin"), "/var/cam_fw_1.2.bin");
    EXPECT_EQ(tavi::RemoteFirmwarePath("mixed/dir\\name.bin"), "/var/name.bin");
    EXPECT_EQ(tavi::RemoteFirmwarePath("plain.bin"), "/var/plain.bin");
    const std::string longest(26, 'a');
    EXPECT_EQ(tavi::RemoteFirmwarePath(("/tmp/" + longest).c_str()), "/var/" + longest);
    EXPECT_EQ(tavi::RemoteFirmwarePath(("/tmp/" + longest + "b").c_str()), "");
}

TEST_F(FirmwareUploadTest, TheFileArrivesBinaryAtItsAbsoluteRemotePath) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    const std::string content = Content();
    const std::string path = WriteFile("cam fw#1.2.bin", content);
    EXPECT_EQ(tavi::UploadFirmware("127.0.0.1", path.c_str(), &camera_.log), 0);
    EXPECT_EQ(server.Received(), content);
    const std::vector<std::string> commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "USER plown"), commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "PASS plown"), commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "TYPE I"), commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "STOR /var/cam fw#1.2.bin"), commands.end());
}

TEST_F(FirmwareUploadTest, AnUnconnectedCameraGetsTheFileButCannotBeToldToInstallIt) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, WriteFile("fw.bin", "firmware").c_str()), -11);
    EXPECT_EQ(server.Received(), "firmware");
}

TEST_F(FirmwareUploadTest, AMissingOrTooLongFileIsRefusedBeforeAnyConnection) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    const std::string missing = directory_.path().string() + "/absent.bin";
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, missing.c_str()), -1);
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, nullptr), -1);
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, directory_.path().string().c_str()),
              -1);  // a directory is no file
    const std::string too_long = WriteFile(std::string(27, 'n'), "x");
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, too_long.c_str()), -2);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(FirmwareUploadTest, ACameraWithoutAnAddressIsMinus45WithoutReachingThisMachine) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    DiscoveryInfo no_address{};  // 0.0.0.0 would connect to this machine itself
    EXPECT_EQ(camera_.FirmwareUpgrade(no_address, WriteFile("fw.bin", "firmware").c_str()), -45);
    no_address.camera_ip = 0xCDCDCDCD;
    EXPECT_EQ(camera_.FirmwareUpgrade(no_address, WriteFile("fw.bin", "firmware").c_str()), -45);
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(FirmwareUploadTest, ARefusedLoginIsMinus45) {
    ScriptedFtpServer::Script script = ScriptedFtpServer::LoginAndStore();
    script["PASS"] = "530 Login incorrect.";
    ScriptedFtpServer server("220 Camera ready.", script);
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, WriteFile("fw.bin", "firmware").c_str()), -45);
}

TEST_F(FirmwareUploadTest, NoServerIsMinus45) {
    uint16_t closed_port = 0;
    {
        ScriptedFtpServer gone("220 Camera ready.", {});
        closed_port = gone.port();
    }
    UsePort(closed_port);
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, WriteFile("fw.bin", "firmware").c_str()), -45);
}

TEST_F(FirmwareUploadTest, ARefusedStoreIsMinus46AndTheCameraIsNotTold) {
    ScriptedFtpServer::Script script = ScriptedFtpServer::LoginAndStore();
    script["STOR"] = "553 Not allowed.";
    ScriptedFtpServer server("220 Camera ready.", script);
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    // Connected to a scripted camera, so that any register write would be heard.
    tavi::test::FakeCamera fake;
    ASSERT_TRUE(fake.peer.ok());
    DiscoveryInfo info = fake.Info(1500, "FWREFUSED");
    ASSERT_EQ(camera_.CameraConnect(&info), 0);
    const size_t connection_writes = fake.peer.Writes().size();
    info.camera_ip = kLoopback;  // the FTP server of this test
    EXPECT_EQ(camera_.FirmwareUpgrade(info, WriteFile("fw.bin", "firmware").c_str()), -46);
    EXPECT_EQ(fake.peer.Writes().size(), connection_writes);  // neither FirmwareUpdate nor DeviceReboot
    camera_.CameraDisconnect();
}

TEST_F(FirmwareUploadTest, AServerThatAcceptsAndNeverGreetsEndsAsMinus45) {
    ScriptedFtpServer server("", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    const std::string path = WriteFile("fw.bin", "firmware");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, path.c_str()), -45);
    EXPECT_LT(Clock::now() - start, kHangBound);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(FirmwareUploadTest, AServerThatStallsAfterTheDataEndsAsMinus46) {
    ScriptedFtpServer::Script script = ScriptedFtpServer::LoginAndStore();
    script[ScriptedFtpServer::kDataClosed] = "";  // the transfer's completion is never confirmed
    ScriptedFtpServer server("220 Camera ready.", script);
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    const std::string path = WriteFile("fw.bin", Content());
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, path.c_str()), -46);
    EXPECT_LT(Clock::now() - start, kHangBound);
}

TEST_F(FirmwareUploadTest, AServerThatStopsTakingTheFileMidTransferEndsAsMinus46) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    // Longer than the hang bound: an upload that waits the pause out succeeds, and fails the test.
    server.PauseDataAfter(1 << 20, std::chrono::seconds(40));
    UsePort(server.port());
    // Far more than the socket buffers between the two hold, so the client is left waiting.
    std::string content;
    while (content.size() < (32u << 20)) content += Content();
    const std::string path = WriteFile("fw.bin", content);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, path.c_str()), -46);
    EXPECT_LT(Clock::now() - start, kHangBound);
    EXPECT_LT(server.Received().size(), content.size());
}

TEST_F(FirmwareUploadTest, ProgressAndFailuresAreLoggedAtTheirLevels) {
    ScriptedFtpServer server("220 Camera ready.", ScriptedFtpServer::LoginAndStore());
    ASSERT_TRUE(server.ok());
    UsePort(server.port());
    LogSwitches::info = 1;
    LogSwitches::error = 1;
    const std::string name = "W" + std::to_string(getpid());
    ASSERT_EQ(log_open(&camera_.log, name.c_str()), 0);
    EXPECT_EQ(tavi::UploadFirmware("127.0.0.1", WriteFile("fw.bin", Content()).c_str(), &camera_.log), 0);
    UsePort(0);  // nothing listens on port 0
    EXPECT_EQ(tavi::UploadFirmware("127.0.0.1", WriteFile("fw.bin", "x").c_str(), &camera_.log), -45);
    log_close(&camera_.log);
    LogSwitches::AllOff();
    std::ifstream in(name + ".log");
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove((name + ".log").c_str());
    EXPECT_NE(log.find("[function:FirmwareUpgrade] Uploaded 200000 of 200000 bytes of the firmware."),
              std::string::npos);
    EXPECT_NE(log.find("[function:FirmwareUpgrade] The firmware is uploaded."), std::string::npos);
    EXPECT_NE(log.find("[function:FirmwareUpgrade] The firmware upload failed: "), std::string::npos);
    EXPECT_NE(log.find("error code: -45"), std::string::npos);
}

TEST(VersionTexts, TheDeviceVersionBufferIsSharedAndAlwaysTerminated) {
    DiscoveryInfo first{};
    DiscoveryInfo second{};
    std::memcpy(first.device_version, "1.2.3", 5);
    std::memset(second.device_version, 'v', sizeof second.device_version);  // no terminating zero
    char* first_text = GigeCamera::CameraVerion(first);
    EXPECT_STREQ(first_text, "1.2.3");
    char* second_text = GigeCamera::CameraVerion(second);
    EXPECT_EQ(first_text, second_text);  // the second call overwrote the first text
    EXPECT_EQ(std::string(second_text), std::string(32, 'v'));
    EXPECT_STREQ(GigeCamera::SDKVersion(), "SDK VERSION 1.4.87");
}

}  // namespace
