// `tavi firmware SERIAL FILE`: uploads a firmware file to the camera, which installs it and reboots.

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"

namespace tavi::cli {
namespace {

struct FirmwareOptions {
    std::string serial;
    std::string path;
};

struct UpgradeFailure {
    int code;
    int exit_code;
    const char* message;
};

constexpr UpgradeFailure kUpgradeFailures[] = {
    {TAVI_ERR_FILE_OR_COUNT, kExitFile, "the firmware file could not be read"},
    {TAVI_ERR_INVALID_ARGUMENT, kExitUsage,
     "the firmware file's name is longer than 26 characters; rename it"},
    {TAVI_ERR_FTP_HANDLE, kExitCameraRefused, "the FTP client could not start"},
    {TAVI_ERR_FTP_CONNECT, kExitCameraRefused, "the camera's FTP server refused the login or did not answer"},
    {TAVI_ERR_FTP_TRANSFER, kExitCameraRefused, "the upload to the camera failed"},
};

int RunFirmware(const FirmwareOptions& options) {
    struct stat status {};
    if (stat(options.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        std::fprintf(stderr, "tavi: %s is not a readable file\n", options.path.c_str());
        return kExitFile;
    }
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    std::printf("uploading %s to %s ...\n", options.path.c_str(), options.serial.c_str());
    std::fflush(stdout);
    const int result = session->camera().FirmwareUpgrade(session->info(), options.path.c_str());
    if (result != 0) {
        for (const UpgradeFailure& failure : kUpgradeFailures) {
            if (failure.code == result) {
                std::fprintf(stderr, "tavi: %s (%s)\n", failure.message, ResultText(result).c_str());
                return failure.exit_code;
            }
        }
        std::fprintf(stderr, "tavi: the camera refused the upgrade (%s)\n", ResultText(result).c_str());
        return kExitCameraRefused;
    }
    std::printf("uploaded; the camera installs it and reboots: run `tavi list` in a minute to see it back\n");
    return kExitOk;
}

}  // namespace

Command AddFirmwareCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("firmware", "Upload a firmware file; the camera installs it and reboots");
    auto options = std::make_shared<FirmwareOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_option("file", options->path, "The firmware file")->required();
    return {command, [options] { return RunFirmware(*options); }};
}

}  // namespace tavi::cli
