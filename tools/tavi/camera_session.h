#pragma once
// A camera found by serial number and connected for the length of one command.

#include <cstdint>
#include <optional>
#include <string>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/Types.h"

namespace tavi::cli {

// Discovers and returns the record of the camera with this serial number.
std::optional<DiscoveryInfo> FindCamera(const std::string& serial);

std::string FieldText(const char* field, size_t width);
std::string DottedAddress(uint32_t address);

class CameraSession {
  public:
    explicit CameraSession(DiscoveryInfo info);
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    int connect_result() const { return connect_result_; }
    GigeCamera& camera() { return camera_; }
    DiscoveryInfo& info() { return info_; }
    // A per-channel feature's register read for one stream channel; negative on failure.
    int64_t ReadChannelFeature(const char* name, unsigned channel);

  private:
    DiscoveryInfo info_;
    GigeCamera camera_;
    int connect_result_;
};

}  // namespace tavi::cli
