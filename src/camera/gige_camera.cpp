#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/control_channel.h"
#include "camera/heartbeat.h"
#include "camera/node_map.h"
#include "discovery/address_text.h"

namespace {
constexpr size_t kIpTextSize = 16;
}  // namespace

GigeCamera::GigeCamera()
    : xml_data(static_cast<unsigned char*>(std::calloc(1, 1))),
      adapter_name(static_cast<char*>(std::calloc(kAdapterNameSize, 1))),
      ip_text(static_cast<char*>(std::calloc(kIpTextSize, 1))),
      node_map(std::make_unique<tavi::NodeMap>()),
      control_(std::make_unique<tavi::ControlChannel>(
          tavi::ControlEndpoint{command_lock, request_id, control_socket, camera_ip}, &log)),
      heartbeat_(std::make_unique<tavi::Heartbeat>(
          [this](uint32_t address, int* value) { return ReadRegister(address, value); }, connected,
          heartbeat_timeout, &log)) {}

GigeCamera::~GigeCamera() {
    // No thread may outlive its object: a camera still connected, or lost but not yet released,
    // is disconnected first.
    if (connected.load() != 0 || heartbeat_thread.joinable() || control_socket > 0) CameraDisconnect();
    std::free(xml_data);
    std::free(adapter_name);
    std::free(ip_text);
}

int GigeCamera::ReadRegister(unsigned int address, int* value) {
    return control_->ReadRegister(address, value);
}

int GigeCamera::WriteRegister(unsigned int address, int value) {
    return control_->WriteRegister(address, value);
}

int GigeCamera::ReadMem(unsigned int address, unsigned short count, char* buffer) {
    return control_->ReadMem(address, count, buffer);
}

int GigeCamera::WriteMem(unsigned int address, unsigned short count, unsigned int value) {
    return control_->WriteMem(address, count, value);
}

char* GigeCamera::CameraIP(unsigned int ip) {
    // The camera's own dotted text carries no log line, unlike the discovery's.
    return tavi::FormatIpText(nullptr, ip, ip_text, kIpTextSize);
}
