#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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
          heartbeat_timeout, &log)),
      owner_process_id_(static_cast<int>(::getpid())) {
    // Once the heartbeat declares the camera lost, the channel asks it only once per command.
    heartbeat_->SetOnLost([this] { control_->MarkLost(); });
}

GigeCamera::~GigeCamera() {
    if (static_cast<int>(::getpid()) != owner_process_id_) {
        ForgetInForkedChild();
    } else if (connected.load() != 0 || heartbeat_thread.joinable() || control_socket >= 0) {
        // No thread may outlive its object: a camera still connected, or lost but not yet released,
        // is disconnected first.
        CameraDisconnect();
    }
    log_close(&log);  // a failed connection leaves nothing open either
    std::free(xml_data);
    std::free(adapter_name);
    std::free(ip_text);
}

void GigeCamera::ForgetInForkedChild() {
    // The heartbeat thread lives in the parent only: the handle is parked where nobody joins it.
    // Writing CCP would take control away from the parent, and closing the log would write the
    // parent's unflushed lines a second time; the socket descriptor is the child's own copy.
    if (heartbeat_thread.joinable()) new std::thread(std::move(heartbeat_thread));
    // The parent's threads may have been waiting or holding a lock at the fork: in the child those
    // waits never end, and destroying the primitives as they are would wait for them for ever. The
    // heartbeat (whose pause the parent's thread may be waiting in) is left alone, the locks start
    // afresh (their old state belongs to the parent).
    (void)heartbeat_.release();
    new (&command_lock) std::mutex();
    new (&log.lock) std::mutex();
    log.file = nullptr;
    if (control_socket >= 0) ::close(control_socket);
    control_socket = -1;
    connected = 0;
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
