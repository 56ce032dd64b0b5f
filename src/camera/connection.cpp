// Connecting a camera (taking the Control Channel Privilege, fetching its description, negotiating
// the packet size, starting the heartbeat), disconnecting it, and the stand-alone CCP query.

#include <cstring>
#include <exception>
#include <system_error>

#include "TaviSDK/GigeCamera.h"
#include "camera/control_channel.h"
#include "camera/feature_access.h"
#include "camera/heartbeat.h"
#include "camera/node_map.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace {

constexpr int kCcpQueryTimeoutMs = 500;
// Calibration is read for at most this many sensors, whatever a confused camera reports.
constexpr int kMaxCalibratedSensors = 256;

struct BootstrapRead {
    uint32_t address;
    const char* failure;
};

// Read once at connection; the values are not used, the reads prove the channel works.
constexpr BootstrapRead kBootstrapReads[] = {
    {tavi::gvcp::kRegGvcpCapability,
     "[function:CameraConnect] Read the camera GVCP capability error. error code: %x."},
    {tavi::gvcp::kRegMessageChannelCount,
     "[function:CameraConnect] Read the camera message channel count error. error code: %x."},
    {tavi::gvcp::kRegStreamChannelCount,
     "[function:CameraConnect] Read the camera stream channel count error. error code: %x."},
};

}  // namespace

int GigeCamera::CameraConnect(DiscoveryInfo* info) {
    // A second connect must not disturb the first one, not even by truncating its log.
    if (connected.load() != 0) {
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] The camera is already connected. error code: %d.",
                       TAVI_ERR_NOT_CONNECTED);
        return TAVI_ERR_NOT_CONNECTED;
    }
    int code;
    try {
        code = Connect(info);
    } catch (const std::exception& error) {
        // Memory ran out (a description too large for this PC) or a library below failed: the caller
        // gets a code, never the exception.
        AbandonConnection();
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to connect the camera: %.120s error code: %d.",
                       error.what(), TAVI_ERR_DESCRIPTION_READ);
        code = TAVI_ERR_DESCRIPTION_READ;
    } catch (...) {
        AbandonConnection();
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to connect the camera. error code: %d.",
                       TAVI_ERR_DESCRIPTION_READ);
        code = TAVI_ERR_DESCRIPTION_READ;
    }
    // A failed connection ends the log's span as a disconnection does.
    if (code != 0) log_close(&log);
    return code;
}

int GigeCamera::Connect(DiscoveryInfo* info) {
    // What a lost connection left behind (its ended heartbeat thread, socket, node map) goes first.
    StopHeartbeat();
    CloseControlSocket();
    if (node_map) node_map->Release();

    if (info != nullptr) {
        char serial[sizeof info->serial_number + 1] = {};
        std::memcpy(serial, info->serial_number, sizeof info->serial_number);
        log_open(&log, serial);
        TAVI_LOG_INFO(&log, "[function:CameraConnect] cameranumber: %s", serial);
    }
    if (info == nullptr || info->camera_ip == 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:CameraConnect] Failed to connect camera due to the incoming parameters error, error "
            "code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    camera_ip = info->camera_ip;
    pc_ip = info->pc_ip;
    std::memcpy(adapter_name, info->adapter_name, kAdapterNameSize);

    int code = control_->Open(pc_ip);
    if (code == TAVI_ERR_SOCKET_CREATE) {
        TAVI_LOG_ERROR(&log,
                       "[function:CameraConnect] Failed to initialize the socket of gvcp, error code: %d",
                       TAVI_ERR_SOCKET_CREATE);
        return code;
    }
    if (code != 0) {
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to bind the socket.");
        return code;
    }

    code = TakeControl();
    if (code != 0) {
        CloseControlSocket();
        return code;
    }
    code = ConnectSteps(info);
    if (code != 0) AbandonConnection();
    return code;
}

int GigeCamera::TakeControl() {
    int ccp = 0;
    int code = ReadRegister(tavi::gvcp::kRegCcp, &ccp);
    if (code != 0) {
        TAVI_LOG_INFO(&log, "[function:CameraConnect] Read the camera heart beat error. error code: %x.",
                      code);
        return code;
    }
    if (ccp != 0) {
        TAVI_LOG_INFO(&log, "[function:CameraConnect] Failed to connect the camera.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    code = WriteRegister(tavi::gvcp::kRegCcp, tavi::gvcp::kCcpControlAccess);
    if (code != 0) {
        TAVI_LOG_INFO(&log, "[function:CameraConnect] Failed to connect the camera. error code: %d.", code);
        return code;
    }
    connected = 1;
    return 0;
}

// The connection steps after control was granted; any failure is undone by the caller.
int GigeCamera::ConnectSteps(DiscoveryInfo* info) {
    for (const BootstrapRead& read : kBootstrapReads) {
        int ignored = 0;
        const int code = ReadRegister(read.address, &ignored);
        if (code != 0) {
            TAVI_LOG_INFO(&log, read.failure, code);
            return code;
        }
    }
    if (GetXMLfromCamera() < 0) {
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to get xml from the camera.");
        return TAVI_ERR_DESCRIPTION_READ;
    }
    pc_mtu = info->mtu;
    if (pc_mtu <= 0) {
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to get the MTU of the PC. error code: %d.",
                       TAVI_ERR_MTU);
        return TAVI_ERR_MTU;
    }
    // The node map comes before the packet size, which asks it how many stream channels there are;
    // a description that cannot be built also fails the connection before any stream register is
    // written.
    int code = BuildNodeMap();
    if (code != 0) return code;
    packet_size = GetPacketSize();
    code = StartHeartbeat();
    if (code != 0) return code;
    return ReadSensorsCalibration();
}

int GigeCamera::StartHeartbeat() {
    try {
        heartbeat_thread = std::thread([this] { HeartBeat(this); });
    } catch (const std::exception&) {  // no thread (std::system_error) or no memory for its state
        TAVI_LOG_ERROR(&log, "[function:CameraConnect] Failed to create the thread of HeartBeat.");
        return TAVI_ERR_HEARTBEAT_THREAD;
    }
    TAVI_LOG_INFO(&log, "[function:CameraConnect] Create the thread of HeartBeat sucess.");
    return 0;
}

int GigeCamera::ReadSensorsCalibration() {
    const int code = tavi::ReadFeature(*this, {"TotalNumberOfCmos"}, &cmos_count);
    if (code != 0) {
        TAVI_LOG_INFO(&log, "[function:CameraConnect] Read the camera cmos count error. error code: %x.",
                      code);
        return code;
    }
    calibration.clear();
    const int sensors = std::min(cmos_count, kMaxCalibratedSensors);
    for (int cmos = 0; cmos < sensors; ++cmos) {
        CmosCalibration record{};
        // A failed read is logged by the read itself and leaves its part of the record zero.
        GetCamInternelParameter(cmos, record.distortion, record.intrinsic);
        GetCamExternelParameter(cmos, record.rotation, record.translation);
        calibration.push_back(record);
    }
    return 0;
}

void GigeCamera::AbandonConnection() {
    // Control goes back at once, so the camera is not left locked for a heartbeat time-out; a camera
    // never controlled, or already lost, is not written.
    if (connected.load() != 0) WriteRegister(tavi::gvcp::kRegCcp, 0);
    connected = 0;
    StopHeartbeat();
    CloseControlSocket();
    if (node_map) node_map->Release();
}

void GigeCamera::StopHeartbeat() {
    heartbeat_->Wake();
    if (heartbeat_thread.joinable()) heartbeat_thread.join();
}

void GigeCamera::CloseControlSocket() { control_->Close(); }

int GigeCamera::CameraDisconnect() {
    int result = WriteRegister(tavi::gvcp::kRegCcp, 0);
    if (result != 0) {
        TAVI_LOG_ERROR(&log, "[function:CameraDisconnect] The camera disconnection failed. error code: %x.",
                       result);
    }
    if (connected.load() == 1) {
        TAVI_LOG_INFO(&log, "[function:CameraDisconnect] Camera disconnected.");
        connected = 0;
    }
    // Also after the heartbeat declared the camera lost: its ended thread is joined all the same.
    StopHeartbeat();
    CloseControlSocket();
    if (node_map) node_map->Release();
    log_close(&log);
    return result;
}

int GigeCamera::GetCameraCCPStatus(DiscoveryInfo* info, int* ccp) {
    using namespace tavi::gvcp;
    if (info == nullptr || info->camera_ip == 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:GetCameraCCPStatus] Failed to connect camera due to the incoming parameters error, "
            "error code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    // A live connection keeps its own addresses: the query must not redirect it to another camera.
    if (connected.load() == 0 && !heartbeat_thread.joinable()) {
        camera_ip = info->camera_ip;
        pc_ip = info->pc_ip;
        std::memcpy(adapter_name, info->adapter_name, kAdapterNameSize);
    }
    const int socket = open_udp_socket();
    if (socket < 0) return TAVI_ERR_SOCKET_CREATE;
    tavi::net::SetReceiveTimeout(socket, kCcpQueryTimeoutMs);
    tavi::net::SetSendTimeout(socket, kCcpQueryTimeoutMs);
    if (bind_udp_socket(socket, info->pc_ip, 0) < 0) {
        TAVI_LOG_ERROR(&log, "[function:GetCameraCCPStatus] Failed to bind the socket of ccp.");
        tavi::net::close_udp_socket(socket);
        return TAVI_ERR_SOCKET_BIND;
    }
    int ignored = 0;
    if (ccp == nullptr) ccp = &ignored;
    *ccp = -1;
    uint8_t request[kReadRegCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kReadRegCmd, kReadRegPayloadLength,
                     control_->NextRequestId());
    PutU32(request, kRegAddress, kRegCcp);
    uint8_t ack[kRegAckSize] = {};
    // One attempt, on a socket of its own: the query must not wait behind a connection's exchanges.
    int strays = 0;
    const int received = tavi::ControlChannel::SendAndReceive(socket, info->camera_ip, request,
                                                              sizeof request, ack, sizeof ack, &strays);
    tavi::net::close_udp_socket(socket);
    const uint16_t status = GetU16(ack, received > 0 ? static_cast<size_t>(received) : 0, kAckStatus);
    // A success without the value would hand out a CCP the camera never sent.
    if (received < static_cast<int>(kAckHeaderSize) ||
        (status == 0 && received < static_cast<int>(kRegAckSize))) {
        TAVI_LOG_ERROR(
            &log, "[function:GetCameraCCPStatus] Failed to read the data of CCP register. error code: %d.",
            TAVI_ERR_CCP_READ);
        return TAVI_ERR_CCP_READ;
    }
    TAVI_LOG_INFO(&log, "[function:GetCameraCCPStatus] status code: %x.", status);
    if (status != 0) return status;
    *ccp = static_cast<int>(GetU32(ack, kRegAckSize, kRegAckValue));
    return 0;
}
