// FORCEIP: a new address, mask and gateway for a camera, by unicast on its subnet, else by broadcast.

#include <chrono>
#include <cstring>
#include <thread>

#include "TaviSDK/Discovery.h"
#include "common/no_throw.h"
#include "discovery/address_text.h"
#include "net/adapter_source.h"
#include "net/gvcp_ack.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace {

constexpr int kForceIpTimeoutMs = 500;
constexpr int kForceIpAttempts = 3;
constexpr auto kForceIpRetryPause = std::chrono::milliseconds(1000);
constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;

struct NewConfiguration {
    uint32_t ip;
    uint32_t mask;
    uint32_t gateway;
};

void BuildForceIpCommand(uint8_t (&command)[tavi::gvcp::kForceIpCmdSize], uint8_t flags, uint16_t request_id,
                         const DiscoveryInfo& info, const NewConfiguration& configuration) {
    using namespace tavi::gvcp;
    std::memset(command, 0, sizeof command);
    PutCommandHeader(command, flags, kForceIpCmd, kForceIpPayloadLength, request_id);
    PutU16(command, kForceIpMacHigh, info.mac_high);
    PutU32(command, kForceIpMacLow, info.mac_low);
    PutU32(command, kForceIpStaticIp, configuration.ip);
    PutU32(command, kForceIpStaticMask, configuration.mask);
    PutU32(command, kForceIpStaticGateway, configuration.gateway);
}

// A socket that hears the camera's answer whether it comes by unicast or by broadcast: bound to
// any address on the record's adapter (or to the PC address when the adapter is not known).
int OpenForceIpSocket(const DiscoveryInfo& info) {
    const int socket = open_udp_socket();
    if (socket < 0) return -1;
    tavi::net::SetReceiveTimeout(socket, kForceIpTimeoutMs);
    tavi::net::SetSendTimeout(socket, kForceIpTimeoutMs);
    tavi::net::EnableBroadcast(socket);
    char adapter[sizeof info.adapter_name + 1] = {};
    std::memcpy(adapter, info.adapter_name, sizeof info.adapter_name);
    const bool on_adapter = adapter[0] != '\0' && tavi::net::BindSocketToInterface(socket, adapter);
    if (bind_udp_socket(socket, on_adapter ? 0 : info.pc_ip, 0) < 0) {
        tavi::net::close_udp_socket(socket);
        return -1;
    }
    return socket;
}

int InterfaceIndexOf(const DiscoveryInfo& info) {
    std::vector<tavi::net::Adapter> adapters;
    if (!tavi::net::ListAdapters(&adapters)) return 0;
    for (const tavi::net::Adapter& adapter : adapters) {
        if (std::strncmp(adapter.name.c_str(), info.adapter_name, sizeof info.adapter_name) == 0)
            return adapter.index;
    }
    return 0;
}

}  // namespace

int Discovery::ForceIp(DiscoveryInfo info, char* ip, char* mask, char* gateway) {
    if (ip == nullptr || mask == nullptr || gateway == nullptr) {
        TAVI_LOG_WARNING(&log, "[function:ForceIp] The incoming parameters is invalid, error code: %d",
                         TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const NewConfiguration configuration{ConvertIpStringToInt(ip), ConvertIpStringToInt(mask),
                                         ConvertIpStringToInt(gateway)};
    if (configuration.ip == 0 || configuration.mask == 0 || configuration.gateway == 0) {
        TAVI_LOG_WARNING(
            &log,
            "[function:ForceIp] There is a problem with the incoming parameters Converted, error "
            "code: %d",
            TAVI_ERR_INVALID_ARGUMENT);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    // Listing the adapters takes memory: without it the command is not sent at all.
    constexpr int kNoInterfaceList = -1;
    const int interface_index =
        tavi::NoThrow(&log, "ForceIp", kNoInterfaceList, [&] { return InterfaceIndexOf(info); });
    if (interface_index == kNoInterfaceList) return TAVI_ERR_FORCE_IP;
    const int socket = OpenForceIpSocket(info);
    if (socket < 0) {
        TAVI_LOG_ERROR(&log, "[function:ForceIp] Socket binding failed, error code: %d",
                       TAVI_ERR_SOCKET_BIND);
        return TAVI_ERR_SOCKET_BIND;
    }
    request_id = tavi::gvcp::NextRequestId(request_id);

    const bool same_subnet = WhetherIsSameSegment(info);
    const uint32_t destination = same_subnet ? info.camera_ip : kLimitedBroadcast;
    const uint8_t flags = same_subnet ? tavi::gvcp::kFlagsForceIpUnicast : tavi::gvcp::kFlagsForceIpBroadcast;
    uint8_t command[tavi::gvcp::kForceIpCmdSize];
    BuildForceIpCommand(command, flags, request_id, info, configuration);

    uint8_t reply[tavi::gvcp::kForceIpAckMaxSize] = {};
    int received = -1;
    // The camera answers from its old address or, having taken it already, from its new one.
    tavi::gvcp::ExpectedAck expected;
    expected.sources[0] = info.camera_ip;
    expected.sources[1] = configuration.ip;
    expected.ack_code = tavi::gvcp::kForceIpAck;
    expected.ack_id = request_id;
    int ignored = 0;
    for (int attempt = 1; attempt <= kForceIpAttempts; ++attempt) {
        if (interface_index > 0) {
            tavi::net::SendUdpThroughInterface(socket, interface_index, info.pc_ip, destination,
                                               tavi::gvcp::kPort, command, sizeof command);
        } else {
            send_udp(socket, destination, tavi::gvcp::kPort, command, sizeof command);
        }
        received = tavi::gvcp::ReceiveExpectedAck(socket, reply, sizeof reply, expected, kForceIpTimeoutMs,
                                                  &ignored);
        if (received > 0) break;
        if (attempt == kForceIpAttempts) {
            tavi::net::close_udp_socket(socket);
            TAVI_LOG_ERROR(&log, "[function:ForceIp] Failed to force ip due to timeout, error code: %d",
                           TAVI_ERR_FORCE_IP);
            return TAVI_ERR_FORCE_IP;
        }
        std::this_thread::sleep_for(kForceIpRetryPause);
    }
    if (ignored > 0) {
        TAVI_LOG_WARNING(&log, "[function:ForceIp] Ignored %d datagrams that were not the camera's answer.",
                         ignored);
    }
    const uint16_t status = tavi::gvcp::GetU16(reply, static_cast<size_t>(received), tavi::gvcp::kAckStatus);
    TAVI_LOG_INFO(&log, "[function:ForceIp] the status of force ip, the status: %d", status);
    tavi::net::close_udp_socket(socket);
    return status == 0 ? TAVI_OK : TAVI_ERR_FORCE_IP;
}
