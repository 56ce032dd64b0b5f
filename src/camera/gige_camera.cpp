#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/node_map.h"
#include "discovery/address_text.h"

namespace {
constexpr size_t kAdapterNameSize = 256;
constexpr size_t kIpTextSize = 16;
}  // namespace

GigeCamera::GigeCamera()
    : xml_data(static_cast<unsigned char*>(std::calloc(1, 1))),
      adapter_name(static_cast<char*>(std::calloc(kAdapterNameSize, 1))),
      ip_text(static_cast<char*>(std::calloc(kIpTextSize, 1))),
      node_map(std::make_unique<tavi::NodeMap>()) {}

GigeCamera::~GigeCamera() {
    // No thread may outlive its object: a camera still connected, or lost but not yet released,
    // is disconnected first.
    if (connected.load() != 0 || heartbeat_thread.joinable() || control_socket > 0) CameraDisconnect();
    std::free(xml_data);
    std::free(adapter_name);
    std::free(ip_text);
}

char* GigeCamera::CameraIP(unsigned int ip) {
    // The camera's own dotted text carries no log line, unlike the discovery's.
    return tavi::FormatIpText(nullptr, ip, ip_text, kIpTextSize);
}
