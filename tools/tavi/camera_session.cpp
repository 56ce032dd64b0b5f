#include "camera_session.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "camera/feature_access.h"

namespace tavi::cli {

std::string FieldText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

std::string DottedAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255u,
                  (address >> 8) & 255u, address & 255u);
    return text;
}

std::optional<DiscoveryInfo> FindCamera(const std::string& serial) {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    discovery.DiscoverCamera(&cameras);
    for (const DiscoveryInfo& info : cameras) {
        if (FieldText(info.serial_number, sizeof info.serial_number) == serial) return info;
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

}  // namespace tavi::cli
