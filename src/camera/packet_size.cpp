// Packet-size negotiation: the largest stream packet that reaches the PC unfragmented, found by
// asking the camera for test packets of falling sizes, then written into every stream channel.

#include <chrono>
#include <cstring>

#include "TaviSDK/GigeCamera.h"
#include "camera/control_channel.h"
#include "camera/node_map.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace {

constexpr int kProbeTimeoutMs = 50;
constexpr int kSmallestPacketSize = static_cast<int>(tavi::gvcp::kDefaultPacketSize);
constexpr int kCandidateStep = 1024;
constexpr size_t kProbeBufferSize = 9216;
// Opens the path through a host firewall for the camera's test packets.
constexpr char kFirewallOpener[20] = "movarenti!";
// GigE Vision numbers stream channels with 9 bits: no camera has more than 512.
constexpr int kMaxStreamChannels = 512;

}  // namespace

int GigeCamera::ReceiveTestPacket(int probe, uint8_t* buffer, size_t capacity) {
    // Only the camera's test packet counts (from any of its ports: the stream source port is optional);
    // a datagram from anyone else is dropped and the wait goes on within the probe's time-out.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kProbeTimeoutMs);
    while (true) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0 || !tavi::net::WaitReadable(probe, static_cast<int>(remaining.count())))
            return -1;
        uint32_t sender = 0;
        const int size =
            tavi::net::ReceiveUdpFrom(probe, buffer, static_cast<int>(capacity), &sender, nullptr);
        if (size >= 0 && sender == camera_ip) return size;
        control_->NoteIgnored(1);
    }
}

int GigeCamera::DeclaredStreamChannels() {
    // The channel selector runs from 0 to its Max: that many channels are described.
    const tavi::DescriptionNode* selector =
        node_map ? node_map->GetNode("GevStreamChannelSelector") : nullptr;
    if (selector == nullptr ||
        (selector->Property("Max") == nullptr && selector->Property("pMax") == nullptr))
        return kMaxStreamChannels;
    const int max = GetNodeProperty("GevStreamChannelSelector", "Max");
    return max >= 0 && max < kMaxStreamChannels ? max + 1 : kMaxStreamChannels;
}

int GigeCamera::GetPacketSize() {
    using namespace tavi::gvcp;
    packet_size = 0;
    const int probe = open_udp_socket();
    if (probe < 0) {
        TAVI_LOG_ERROR(&log,
                       "[function:GetPacketSize] Failed to initailize the stream socket. error code: %d.",
                       TAVI_ERR_SOCKET_CREATE);
        return TAVI_ERR_SOCKET_CREATE;
    }
    uint16_t probe_port = 0;
    if (bind_udp_socket(probe, pc_ip, 0) < 0 || !tavi::net::LocalEndpoint(probe, nullptr, &probe_port)) {
        tavi::net::close_udp_socket(probe);
        return TAVI_ERR_SOCKET_BIND;
    }
    tavi::net::SetReceiveTimeout(probe, kProbeTimeoutMs);

    // Every failure from here on closes the probe socket before it returns.
    const auto fail = [&](int code) {
        tavi::net::close_udp_socket(probe);
        return code;
    };
    int code = WriteRegister(kRegScda, static_cast<int>(pc_ip));
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log, "[function:GetPacketSize] Failed to write the IP to the register. error code: %x.", code);
        return fail(code);
    }
    code = WriteRegister(kRegScp, probe_port);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log, "[function:GetPacketSize] Failed to write the PORT to the register. error code: %x.", code);
        return fail(code);
    }
    int source_port = 0;
    code = ReadRegister(kRegScsp, &source_port);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log, "[function:GetPacketSize] Failed to read the register of the source port. error code: %x.",
            code);
        return fail(code);
    }
    // A camera without the optional source port register reads 0 there: there is no path to open
    // through a firewall, and negotiation goes on without the datagram.
    const auto firewall_port = static_cast<uint16_t>(source_port);
    if (firewall_port != 0 &&
        send_udp(probe, camera_ip, firewall_port, kFirewallOpener, sizeof kFirewallOpener) < 0) {
        tavi::net::close_udp_socket(probe);
        TAVI_LOG_ERROR(
            &log, "[function:GetPacketSize] Failed to send data to the test packet socket. error code: %d.",
            TAVI_ERR_PROBE_SEND);
        return TAVI_ERR_PROBE_SEND;
    }
    int channel_count = 0;
    code = ReadRegister(kRegStreamChannelCount, &channel_count);
    if (code != 0) {
        TAVI_LOG_INFO(&log,
                      "[function:GetPacketSize] Read the camera stream channel count error. error code: %x.",
                      code);
        return fail(code);
    }

    int size = kSmallestPacketSize;
    uint8_t received[kProbeBufferSize];
    for (int candidate = pc_mtu; candidate > kSmallestPacketSize; candidate -= kCandidateStep) {
        // The packet-size field has 16 bits: a larger candidate cannot even be asked for.
        if (candidate > static_cast<int>(kScpsSizeMask)) continue;
        // A test packet that came too late for an earlier candidate must not be taken for this one's.
        tavi::ControlChannel::Drain(probe);
        const uint32_t fire = static_cast<uint32_t>(candidate) | kScpsFireTestPacket | kScpsDoNotFragment;
        code = WriteRegister(kRegScps, static_cast<int>(fire));
        if (code != 0) {
            TAVI_LOG_ERROR(
                &log,
                "[function:GetPacketSize] Failed to write the Stream_Channel_Packet_Size_Reg first to the "
                "register. error code: %x.",
                code);
            continue;
        }
        if (ReceiveTestPacket(probe, received, sizeof received) == candidate) {
            size = candidate;
            break;
        }
    }
    tavi::net::close_udp_socket(probe);

    // The count comes from the camera and drives a register write per channel: it is bounded by what
    // the standard allows and what the description declares.
    const int declared = DeclaredStreamChannels();
    if (channel_count > declared) {
        TAVI_LOG_WARNING(&log,
                         "[function:GetPacketSize] The camera reports %d stream channels; %d are described.",
                         channel_count, declared);
        channel_count = declared;
    }
    for (int channel = 0; channel < channel_count; ++channel) {
        code = WriteRegister(StreamChannelRegister(kRegScps, channel), size);
        if (code != 0) {
            TAVI_LOG_ERROR(
                &log,
                "[function:GetPacketSize] Failed to write the 0 channel second to the register. channel: "
                "%d, error code: %x.",
                channel, code);
            return code;
        }
    }
    code = WriteRegister(kRegScda, 0);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:GetPacketSize] Failed to write the Stream_Channel_0_Destination_Address_Reg second "
            "second to the register. error code: %x.",
            code);
        return code;
    }
    code = WriteRegister(kRegScp, 0);
    if (code != 0) {
        TAVI_LOG_ERROR(&log,
                       "[function:GetPacketSize] Failed to write the Stream_Channel_0_Port_Reg second to the "
                       "register. error code: %x.",
                       code);
        return code;
    }
    packet_size = size;
    TAVI_LOG_INFO(&log, "[function:GetPacketSize] get the packsize. pack_size: %d.", size);
    return size;
}
