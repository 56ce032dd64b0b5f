#pragma once
// A camera found by serial number and connected for the length of one command, and the messages that
// tell a user what to do next when that fails.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/Types.h"

namespace tavi::cli {

std::string FieldText(const char* field, size_t width);
std::string DottedAddress(uint32_t address);
std::string SerialOf(const DiscoveryInfo& info);

// Every camera a discovery hears, and the adapters it asked through (for the messages).
struct DiscoveryResult {
    int code = 0;  // the discovery's result: a count, or -3 when the adapters could not be listed
    std::vector<DiscoveryInfo> cameras;
    std::vector<std::string> adapters;
};
DiscoveryResult DiscoverCameras();

// The message for a discovery that heard no camera at all ("no camera answered on eth0: ...").
std::string NoCameraMessage(const DiscoveryResult& result);

// The record of the camera with this serial number; nullopt after printing what to do next.
std::optional<DiscoveryInfo> FindCamera(const std::string& serial);

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

// Finds and connects the camera with this serial number. On failure it prints why and what to do
// next and leaves the exit code in `*exit_code`; the session is null then.
std::unique_ptr<CameraSession> OpenCamera(const std::string& serial, int* exit_code);

// The library's result code as a short text ("device status 0x8002", "no answer", ...).
std::string ResultText(int code);

}  // namespace tavi::cli
