// Firmware upgrade (upload, then install and reboot) and the two version texts.

#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/feature_access.h"
#include "camera/firmware_upload.h"

namespace {

// After the upload, the camera is told to install the file and then to reboot, in this order.
struct InstallStep {
    const char* node;
    int value;
    const char* failure;
};
constexpr InstallStep kInstallSteps[] = {
    {"FirmwareUpdate", 1, "[function:FirmwareUpgrade] The firmware upgrade error. error code: %x."},
    {"DeviceReboot", 0x111F, "[function:FirmwareUpgrade] The camera reboot error. error code: %x."},
};

constexpr size_t kDeviceVersionSize = sizeof(DiscoveryInfo::device_version);
constexpr char kSdkVersion[] = "SDK VERSION 1.4.87";

// Shared by every camera of the process: each call overwrites the text the last one returned. One
// byte more than the field, so that a version filling all 32 bytes still ends in a zero.
char device_version_text[kDeviceVersionSize + 1];
char sdk_version_text[sizeof kSdkVersion];

}  // namespace

int GigeCamera::FirmwareUpgrade(DiscoveryInfo info, const char* path) {
    // Without a connection of its own: on an unconnected camera the upload still runs and the
    // register writes below report -11.
    int uploaded = TAVI_ERR_FTP_HANDLE;
    try {
        uploaded = tavi::UploadFirmware(CameraIP(info.camera_ip), path, &log);
    } catch (...) {  // out of memory for a path or URL text: no exception leaves the library
    }
    if (uploaded != 0) return uploaded;
    for (const InstallStep& step : kInstallSteps) {
        const int code = tavi::WriteFeature(*this, {step.node}, step.value);
        if (code != 0) {
            TAVI_LOG_ERROR(&log, step.failure, code);
            return code;
        }
    }
    return 0;
}

char* GigeCamera::CameraVerion(DiscoveryInfo info) {
    const size_t length = strnlen(info.device_version, kDeviceVersionSize);
    std::memcpy(device_version_text, info.device_version, length);
    device_version_text[length] = '\0';
    return device_version_text;
}

char* GigeCamera::SDKVersion() {
    std::memcpy(sdk_version_text, kSdkVersion, sizeof kSdkVersion);
    return sdk_version_text;
}
