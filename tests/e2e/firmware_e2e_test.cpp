// The firmware upgrade against a virtual camera with an FTP server beside it (scripts/netns-run.sh
// --ftp): the file arrives byte for byte, the camera installs it, reboots and is declared lost, and
// refused or impossible uploads leave the camera untouched.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "TaviSDK/TaviSDK.h"
#include "support/e2e_camera.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Polls `done` every 50 ms up to `limit`; a bound against a hang, not a speed check.
template <typename Done>
bool Eventually(Done done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

class FirmwareE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* root = std::getenv("TAVI_FTP_ROOT");
        ASSERT_NE(root, nullptr) << "run inside scripts/netns-run.sh with --ftp beside the camera";
        ftp_root_ = root;
        address_ = tavi::test::CameraAddressFromEnvironment();
        ASSERT_NE(address_, 0u);
        const std::optional<DiscoveryInfo> entry = tavi::test::DiscoverCameraAt(address_);
        ASSERT_TRUE(entry.has_value()) << "the camera did not answer discovery";
        info_ = *entry;
        LogSwitches::info = 1;
        LogSwitches::error = 1;
        ASSERT_EQ(camera_.CameraConnect(&info_), 0);
    }

    void TearDown() override {
        if (camera_.connected.load() != 0) camera_.CameraDisconnect();
        LogSwitches::AllOff();
    }

    std::string WriteFirmware(const std::string& name, size_t size) {
        std::string bytes;
        uint32_t state = 12345;
        for (size_t i = 0; i < size; ++i) {
            state = state * 1103515245u + 12345u;
            bytes.push_back(static_cast<char>(state >> 16));
        }
        const std::string path = (scratch_.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string CameraLog() { return ReadAll(std::getenv("TAVI_CAMERA_0_LOG")); }

    static size_t MemberCommands() { return tavi::test::CommandsBesidesHeartbeat(); }

    size_t FilesOnCamera() {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(ftp_root_ + "/var"))
            ++count;
        return count;
    }

    tavi::test::ScratchDirectory scratch_;  // the firmware files and the library's log
    std::string ftp_root_;
    uint32_t address_ = 0;
    DiscoveryInfo info_{};
    GigeCamera camera_;
};

// The upgrade reboots its camera, so it runs as a suite of its own, in a namespace of its own.
class FirmwareUpgradeE2E : public FirmwareE2E {};

TEST_F(FirmwareUpgradeE2E, TheFileArrivesByteForByteThenTheCameraInstallsRebootsAndIsLost) {
    const std::string path = WriteFirmware("cam_fw_1.2.bin", 300000);
    ASSERT_EQ(camera_.FirmwareUpgrade(info_, path.c_str()), 0);
    EXPECT_EQ(ReadAll(ftp_root_ + "/var/cam_fw_1.2.bin"), ReadAll(path));

    // The camera reboots only for the reboot key, and installs only after FirmwareUpdate = 1.
    EXPECT_TRUE(
        Eventually([&] { return CameraLog().find("rebooting with new firmware") != std::string::npos; }, 5s));
    EXPECT_TRUE(Eventually([&] { return camera_.connected.load() == 0; }, 20s)) << "the heartbeat missed it";
    camera_.CameraDisconnect();
    const std::string log = ReadAll((scratch_.path() / "TVW001.log").string());
    EXPECT_NE(log.find("[function:FirmwareUpgrade] Uploaded 300000 of 300000 bytes of the firmware."),
              std::string::npos);
    EXPECT_NE(log.find("[function:HeartBeat] The PC does not receive camera data."), std::string::npos);

    // Back from its reboot, the camera reports the new firmware's version.
    std::optional<DiscoveryInfo> back;
    EXPECT_TRUE(Eventually(
        [&] {
            back = tavi::test::DiscoverCameraAt(address_);
            return back.has_value();
        },
        20s));
    ASSERT_TRUE(back.has_value());
    EXPECT_STREQ(GigeCamera::CameraVerion(*back), "2.0.0");
}

TEST_F(FirmwareE2E, ARefusedUploadGivesMinus46AndTheCameraIsNotTold) {
    // A directory where the file would go: the server refuses to store it.
    ASSERT_EQ(mkdir((ftp_root_ + "/var/blocked.bin").c_str(), 0755), 0);
    const std::string path = WriteFirmware("blocked.bin", 1000);
    const size_t before = MemberCommands();
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, path.c_str()), -46);
    EXPECT_EQ(MemberCommands(), before);  // neither FirmwareUpdate nor DeviceReboot
    EXPECT_EQ(camera_.connected.load(), 1);
    EXPECT_EQ(CameraLog().find("rebooting"), std::string::npos);
}

TEST_F(FirmwareE2E, AMissingOrTooLongFileGivesItsCodeWithoutAnyTraffic) {
    const size_t before = MemberCommands();
    const size_t files = FilesOnCamera();
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, (scratch_.path() / "absent.bin").c_str()), -1);
    const std::string too_long = WriteFirmware("a_firmware_name_of_27_chars", 10);
    EXPECT_EQ(camera_.FirmwareUpgrade(info_, too_long.c_str()), -2);
    EXPECT_EQ(MemberCommands(), before);
    EXPECT_EQ(FilesOnCamera(), files);
}

}  // namespace
