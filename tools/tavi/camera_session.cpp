#include "camera_session.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "camera/feature_access.h"
#include "exit_codes.h"
#include "net/adapter_source.h"

namespace tavi::cli {
namespace {

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

// What a failed connection most likely means, and what to do about it.
struct ConnectHint {
    int code;
    const char* hint;
};

constexpr ConnectHint kConnectHints[] = {
    {TAVI_ERR_NOT_CONNECTED,
     "the camera did not grant control: another application may hold it; close that application (or wait "
     "for its heartbeat to lapse), then try again"},
    {TAVI_ERR_DESCRIPTION_READ, "the camera's device description could not be read or parsed"},
    {TAVI_ERR_MTU, "the adapter's MTU could not be read; run `tavi doctor`"},
    {TAVI_ERR_READ_REGISTER, "the camera stopped answering; check the cable, then run `tavi doctor`"},
    {TAVI_ERR_WRITE_REGISTER, "the camera stopped answering; check the cable, then run `tavi doctor`"},
    {TAVI_ERR_READ_MEMORY, "the camera stopped answering; check the cable, then run `tavi doctor`"},
};

// The status a device gives a client that another one holds the control channel of.
constexpr unsigned kStatusAccessDenied = 0x8006;

const char* HintOf(int code) {
    const auto value = static_cast<unsigned>(code);
    if (value == kStatusAccessDenied || value >> 16 == kStatusAccessDenied) return kConnectHints[0].hint;
    for (const ConnectHint& entry : kConnectHints) {
        if (entry.code == code) return entry.hint;
    }
    return "run `tavi doctor` to check the network settings";
}

}  // namespace

std::string FieldText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

std::string DottedAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255u,
                  (address >> 8) & 255u, address & 255u);
    return text;
}

std::string SerialOf(const DiscoveryInfo& info) {
    return FieldText(info.serial_number, sizeof info.serial_number);
}

std::string ResultText(int code) {
    if (code > 0 || code < -0xFFFF) {
        char text[48];
        // Device statuses come back as (status << 16) from a read, as the status from a write.
        const unsigned status = static_cast<unsigned>(code) > 0xFFFF ? static_cast<unsigned>(code) >> 16
                                                                     : static_cast<unsigned>(code);
        std::snprintf(text, sizeof text, "device status 0x%04X", status & 0xFFFF);
        return text;
    }
    return "code " + std::to_string(code);
}

DiscoveryResult DiscoverCameras() {
    DiscoveryResult result;
    std::vector<net::Adapter> adapters;
    if (net::ListAdapters(&adapters)) {
        for (const net::Adapter& adapter : adapters) result.adapters.push_back(adapter.name);
    }
    Discovery discovery;
    result.code = discovery.DiscoverCamera(&result.cameras);
    if (result.code > 0) discovery.CameraSort(&result.cameras, 0);
    return result;
}

std::string NoCameraMessage(const DiscoveryResult& result) {
    if (result.code < 0 || result.adapters.empty()) {
        return "no network adapter is up with an IPv4 address: connect the camera's adapter and give it an "
               "address, then run `tavi doctor`";
    }
    return "no camera answered on " + Joined(result.adapters) +
           ": check the cable and the camera's power, then run `tavi doctor`";
}

std::optional<DiscoveryInfo> FindCamera(const std::string& serial) {
    const DiscoveryResult result = DiscoverCameras();
    std::vector<std::string> serials;
    for (const DiscoveryInfo& info : result.cameras) {
        if (SerialOf(info) == serial) return info;
        serials.push_back(SerialOf(info));
    }
    if (serials.empty()) {
        std::fprintf(stderr, "tavi: %s\n", NoCameraMessage(result).c_str());
    } else {
        std::fprintf(stderr,
                     "tavi: no camera with serial number %s answered (heard: %s); `tavi list` shows them\n",
                     serial.c_str(), Joined(serials).c_str());
    }
    return std::nullopt;
}

CameraSession::CameraSession(DiscoveryInfo info)
    : info_(info), connect_result_(camera_.CameraConnect(&info_)) {}

CameraSession::~CameraSession() {
    if (connect_result_ == 0) camera_.CameraDisconnect();
}

int64_t CameraSession::ReadChannelFeature(const char* name, unsigned channel) {
    int value = 0;
    const int result = tavi::ReadFeature(camera_, {name, tavi::FeatureOffset::kChannel, channel}, &value);
    if (result == TAVI_ERR_NOT_CONNECTED || result == TAVI_ERR_FEATURE_NOT_FOUND) return result;
    return result == 0 ? static_cast<int64_t>(static_cast<uint32_t>(value)) : -1;
}

std::unique_ptr<CameraSession> OpenCamera(const std::string& serial, int* exit_code) {
    const std::optional<DiscoveryInfo> found = FindCamera(serial);
    if (!found) {
        *exit_code = kExitNoCamera;
        return nullptr;
    }
    auto session = std::make_unique<CameraSession>(*found);
    if (session->connect_result() != 0) {
        std::fprintf(stderr, "tavi: connecting to %s failed (%s): %s\n", serial.c_str(),
                     ResultText(session->connect_result()).c_str(), HintOf(session->connect_result()));
        *exit_code = kExitCameraRefused;
        return nullptr;
    }
    *exit_code = kExitOk;
    return session;
}

}  // namespace tavi::cli
