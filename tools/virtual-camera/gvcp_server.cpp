#include "gvcp_server.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device_map.h"

namespace vcam {
namespace {

using gvcp::CommandHeader;

constexpr uint16_t kSpecMajor = 2, kSpecMinor = 0;
constexpr size_t kDiscoveryWrongSize = gvcp::kDiscoveryAckSize - 6;  // 250 bytes, length field still says 248
constexpr size_t kDiscoveryOversize = 300;
constexpr size_t kReceiveBuffer = 2048;

Requester RequesterOf(const sockaddr_in& from) {
    return Requester{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
}

uint16_t Payload16(std::span<const uint8_t> datagram, size_t offset) {
    return gvcp::GetU16(datagram, offset);
}
uint32_t Payload32(std::span<const uint8_t> datagram, size_t offset) {
    return gvcp::GetU32(datagram, offset);
}

}  // namespace

GvcpServer::GvcpServer(Settings& settings, Device& device, NetInterface& net)
    : settings_(settings), device_(device), net_(net) {}

GvcpServer::~GvcpServer() {
    if (fd_ >= 0) close(fd_);
}

bool GvcpServer::Open(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        std::perror("virtual camera: control socket");
        return false;
    }
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Bound to the camera's interface, broadcasts leave through it even without a route for them.
    if (net_.found()) {
        setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, net_.name().c_str(),
                   static_cast<socklen_t>(net_.name().size()));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "virtual camera: cannot bind UDP port %u: %s\n", port, std::strerror(errno));
        return false;
    }
    return true;
}

void GvcpServer::ReceiveAll(Clock::time_point now) {
    uint8_t buffer[kReceiveBuffer];
    for (;;) {
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ssize_t size =
            recvfrom(fd_, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &from_size);
        if (size < 0) return;
        if (static_cast<size_t>(size) > sizeof buffer) continue;  // no GVCP command is this long
        Handle(std::span<const uint8_t>(buffer, static_cast<size_t>(size)), from, now);
    }
}

void GvcpServer::SendDue(Clock::time_point now) {
    while (!pending_.empty() && (pending_.front().due <= now || FloodStopped(pending_.front()))) {
        if (!FloodStopped(pending_.front())) Send(pending_.front().to, pending_.front().bytes);
        pending_.pop_front();
    }
}

// A flood ends as soon as it is switched off: its answers still waiting are dropped.
bool GvcpServer::FloodStopped(const Pending& pending) const {
    return pending.flood && settings_.discovery_flood == 0;
}

bool GvcpServer::Silent(Clock::time_point now) const {
    bool timed_silence = settings_.gvcp_silent_ms > 0 &&
                         now < settings_.silent_since + std::chrono::milliseconds(settings_.gvcp_silent_ms);
    return settings_.gvcp_silent || timed_silence || device_.Rebooting(now);
}

GvcpServer::Handler GvcpServer::HandlerFor(uint16_t command) {
    struct Route {
        uint16_t command;
        Handler handler;
    };
    static constexpr Route kRoutes[] = {
        {gvcp::kDiscoveryCmd, &GvcpServer::OnDiscovery},       {gvcp::kForceIpCmd, &GvcpServer::OnForceIp},
        {gvcp::kReadRegCmd, &GvcpServer::OnReadReg},           {gvcp::kWriteRegCmd, &GvcpServer::OnWriteReg},
        {gvcp::kReadMemCmd, &GvcpServer::OnReadMem},           {gvcp::kWriteMemCmd, &GvcpServer::OnWriteMem},
        {gvcp::kPacketResendCmd, &GvcpServer::OnPacketResend},
    };
    for (const Route& route : kRoutes) {
        if (route.command == command) return route.handler;
    }
    return nullptr;
}

void GvcpServer::Handle(std::span<const uint8_t> datagram, const sockaddr_in& from, Clock::time_point now) {
    CommandHeader header = gvcp::ParseHeader(datagram);
    if (!header.valid || Silent(now)) return;
    if (settings_.verbose) {
        // Register and memory commands name their (first) address, so that a test can tell its own
        // commands from a heartbeat's. One write per line: other threads write to standard error too.
        const bool addressed = header.command == gvcp::kReadRegCmd || header.command == gvcp::kWriteRegCmd ||
                               header.command == gvcp::kReadMemCmd || header.command == gvcp::kWriteMemCmd;
        char address[32] = "";
        if (addressed) {
            std::snprintf(address, sizeof address, " address 0x%08X",
                          gvcp::GetU32(datagram, gvcp::kHeaderSize));
        }
        std::fprintf(stderr, "virtual camera: command 0x%04X id %u from %s:%u%s\n", header.command,
                     header.request_id, inet_ntoa(from.sin_addr), ntohs(from.sin_port), address);
    }
    device_.NoteCommand(RequesterOf(from), now);
    if (header.length > datagram.size() - gvcp::kHeaderSize) {
        Answer(header, from,
               gvcp::MakeAck(gvcp::kInvalidHeader, gvcp::AckCodeOf(header.command), header.request_id, 0),
               now);
        return;
    }
    Handler handler = HandlerFor(header.command);
    if (handler == nullptr) {
        Answer(header, from,
               gvcp::MakeAck(gvcp::kNotImplemented, gvcp::AckCodeOf(header.command), header.request_id, 0),
               now);
        return;
    }
    (this->*handler)(header, datagram.first(gvcp::kHeaderSize + header.length), from, now);
}

sockaddr_in GvcpServer::AnswerAddress(const sockaddr_in& from, bool broadcast_requested) const {
    InterfaceState state = net_.Read();
    uint32_t peer = ntohl(from.sin_addr.s_addr);
    bool same_subnet = state.mask != 0 && (peer & state.mask) == (state.ip & state.mask);
    sockaddr_in to = from;
    if (!same_subnet || broadcast_requested) to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return to;
}

void GvcpServer::Answer(const CommandHeader& header, const sockaddr_in& from, std::vector<uint8_t> ack,
                        Clock::time_point now) {
    if ((header.flags & gvcp::kFlagAckRequired) == 0) return;
    pending_.push_back(Pending{now + std::chrono::milliseconds(settings_.ack_delay_ms),
                               AnswerAddress(from, false), std::move(ack)});
}

void GvcpServer::Send(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// ---- discovery and force IP ------------------------------------------------------------------------

std::vector<uint8_t> GvcpServer::DiscoveryAck(uint16_t request_id, bool with_size_faults) const {
    std::vector<uint8_t> ack = gvcp::MakeAck(gvcp::kSuccess, gvcp::AckCodeOf(gvcp::kDiscoveryCmd), request_id,
                                             gvcp::kDiscoveryAckSize - gvcp::kHeaderSize);
    InterfaceState state = device_.Network();
    std::array<uint8_t, 6> mac = device_.Mac();
    gvcp::PutU16(ack, gvcp::kDiscSpecMajor, kSpecMajor);
    gvcp::PutU16(ack, gvcp::kDiscSpecMinor, kSpecMinor);
    gvcp::PutU32(ack, gvcp::kDiscDeviceMode, map::kDeviceModeValue);
    gvcp::PutU16(ack, gvcp::kDiscMacHigh, static_cast<uint16_t>(mac[0] << 8 | mac[1]));
    gvcp::PutU32(ack, gvcp::kDiscMacLow,
                 static_cast<uint32_t>(mac[2]) << 24 | mac[3] << 16 | mac[4] << 8 | mac[5]);
    gvcp::PutU32(ack, gvcp::kDiscIpConfigOptions,
                 map::kIpConfigPersistent | map::kIpConfigDhcp | map::kIpConfigLla);
    gvcp::PutU32(ack, gvcp::kDiscIpConfigCurrent, device_.IpConfigCurrent());
    gvcp::PutU32(ack, gvcp::kDiscCurrentIp, state.ip);
    gvcp::PutU32(ack, gvcp::kDiscCurrentMask, state.mask);
    gvcp::PutU32(ack, gvcp::kDiscGateway, state.gateway);
    std::span<const uint8_t> text = device_.IdentityText();
    std::copy_n(text.begin(), std::min(text.size(), gvcp::kDiscTextBlockSize),
                ack.begin() + gvcp::kDiscTextBlock);
    if (with_size_faults && settings_.discovery_oversize) {
        ack.resize(kDiscoveryOversize, 0);
        gvcp::PutU16(ack, gvcp::kAckLength, static_cast<uint16_t>(kDiscoveryOversize - gvcp::kHeaderSize));
    } else if (with_size_faults && settings_.discovery_wrong_size) {
        ack.resize(kDiscoveryWrongSize, 0);
    }
    return ack;
}

void GvcpServer::OnDiscovery(const CommandHeader& header, std::span<const uint8_t>, const sockaddr_in& from,
                             Clock::time_point now) {
    Answer(header, from, DiscoveryAck(header.request_id, true), now);
    // A faulty acknowledge is followed by a proper one, so that a host can be seen either to skip
    // the faulty answer and keep listening, or to stop listening at it.
    if (settings_.discovery_oversize || settings_.discovery_wrong_size) {
        Answer(header, from, DiscoveryAck(header.request_id, false), now);
    }
    // A flooding device keeps answering, each copy well formed, one every gap.
    const std::vector<uint8_t> copy = DiscoveryAck(header.request_id, false);
    for (uint32_t n = 1; n <= settings_.discovery_flood; ++n) {
        const auto due =
            now + std::chrono::milliseconds(settings_.ack_delay_ms) +
            std::chrono::milliseconds(static_cast<uint64_t>(settings_.discovery_flood_gap_ms) * n);
        pending_.push_back(Pending{due, AnswerAddress(from, false), copy, true});
    }
}

void GvcpServer::OnForceIp(const CommandHeader& header, std::span<const uint8_t> datagram,
                           const sockaddr_in& from, Clock::time_point now) {
    if (datagram.size() < gvcp::kForceIpCmdSize) return;
    std::array<uint8_t, 6> mac = device_.Mac();
    uint16_t mac_high = static_cast<uint16_t>(mac[0] << 8 | mac[1]);
    uint32_t mac_low = static_cast<uint32_t>(mac[2]) << 24 | mac[3] << 16 | mac[4] << 8 | mac[5];
    if (Payload16(datagram, gvcp::kForceIpMacHigh) != mac_high ||
        Payload32(datagram, gvcp::kForceIpMacLow) != mac_low) {
        return;  // meant for another camera
    }
    uint16_t status = static_cast<uint16_t>(settings_.forceip_status);
    uint32_t ip = Payload32(datagram, gvcp::kForceIpStaticIp);
    uint32_t mask = Payload32(datagram, gvcp::kForceIpStaticMask);
    uint32_t gateway = Payload32(datagram, gvcp::kForceIpStaticGateway);
    if (status == gvcp::kSuccess && ip != 0) {
        if (mask == 0 || !net_.Assign(ip, mask, gateway)) {
            status = gvcp::kInvalidParameter;
        } else {
            std::fprintf(stderr, "virtual camera: FORCEIP to %u.%u.%u.%u\n", ip >> 24, (ip >> 16) & 255,
                         (ip >> 8) & 255, ip & 255);
        }
    }
    // The application waits for this answer whatever its flags say; from the new address, by broadcast
    // when the application is not on the new subnet.
    std::vector<uint8_t> ack =
        gvcp::MakeAck(status, gvcp::AckCodeOf(gvcp::kForceIpCmd), header.request_id, 0);
    bool broadcast = (header.flags & gvcp::kFlagBroadcastAck) != 0;
    pending_.push_back(Pending{now + std::chrono::milliseconds(settings_.ack_delay_ms),
                               AnswerAddress(from, broadcast), std::move(ack)});
}

// ---- registers and memory ---------------------------------------------------------------------------

void GvcpServer::OnReadReg(const CommandHeader& header, std::span<const uint8_t> datagram,
                           const sockaddr_in& from, Clock::time_point now) {
    uint16_t ack_code = gvcp::AckCodeOf(header.command);
    size_t count = header.length / 4;
    if (count == 0 || header.length % 4 != 0 || header.length > gvcp::kRegListMaxBytes) {
        Answer(header, from, gvcp::MakeAck(gvcp::kInvalidParameter, ack_code, header.request_id, 0), now);
        return;
    }
    // Registers are read in order up to the first failure; the answer holds the ones that were read.
    std::vector<uint32_t> values;
    uint16_t status = gvcp::kSuccess;
    for (size_t i = 0; i < count && status == gvcp::kSuccess; ++i) {
        uint32_t value = 0;
        status = device_.Read(RequesterOf(from), Payload32(datagram, gvcp::kHeaderSize + 4 * i), &value);
        if (status == gvcp::kSuccess) values.push_back(value);
    }
    std::vector<uint8_t> ack = gvcp::MakeAck(status, ack_code, header.request_id, 4 * values.size());
    for (size_t i = 0; i < values.size(); ++i) gvcp::PutU32(ack, gvcp::kHeaderSize + 4 * i, values[i]);
    Answer(header, from, std::move(ack), now);
}

void GvcpServer::OnWriteReg(const CommandHeader& header, std::span<const uint8_t> datagram,
                            const sockaddr_in& from, Clock::time_point now) {
    uint16_t ack_code = gvcp::AckCodeOf(header.command);
    size_t count = header.length / 8;
    uint16_t status = gvcp::kSuccess;
    size_t written = 0;
    if (count == 0 || header.length % 8 != 0 || header.length > gvcp::kRegListMaxBytes) {
        status = gvcp::kInvalidParameter;
    }
    for (size_t i = 0; i < count && status == gvcp::kSuccess; ++i) {
        size_t pair = gvcp::kHeaderSize + 8 * i;
        status =
            device_.Write(RequesterOf(from), Payload32(datagram, pair), Payload32(datagram, pair + 4), now);
        if (status == gvcp::kSuccess) ++written;
    }
    std::vector<uint8_t> ack = gvcp::MakeAck(status, ack_code, header.request_id, gvcp::kWriteAckPayload);
    gvcp::PutU16(ack, gvcp::kWriteAckIndex, static_cast<uint16_t>(written));
    Answer(header, from, std::move(ack), now);
}

void GvcpServer::OnReadMem(const CommandHeader& header, std::span<const uint8_t> datagram,
                           const sockaddr_in& from, Clock::time_point now) {
    uint16_t ack_code = gvcp::AckCodeOf(header.command);
    uint32_t address = Payload32(datagram, gvcp::kReadMemAddress);
    uint16_t count = Payload16(datagram, gvcp::kReadMemCount);
    std::vector<uint8_t> data;
    uint16_t status = gvcp::kSuccess;
    if (datagram.size() < gvcp::kReadMemCmdSize || count == 0 || count > gvcp::kMemMaxBytes) {
        status = gvcp::kInvalidParameter;
    } else {
        status = device_.ReadMemory(RequesterOf(from), address, count, &data);
    }
    if (status != gvcp::kSuccess) data.clear();
    std::vector<uint8_t> ack = gvcp::MakeAck(status, ack_code, header.request_id, 4 + data.size());
    gvcp::PutU32(ack, gvcp::kReadMemAckAddress, address);
    std::copy(data.begin(), data.end(), ack.begin() + gvcp::kReadMemAckData);
    Answer(header, from, std::move(ack), now);
}

void GvcpServer::OnWriteMem(const CommandHeader& header, std::span<const uint8_t> datagram,
                            const sockaddr_in& from, Clock::time_point now) {
    uint16_t ack_code = gvcp::AckCodeOf(header.command);
    uint16_t status = gvcp::kSuccess;
    size_t written = 0;
    if (header.length <= 4 || header.length - 4u > gvcp::kMemMaxBytes) {
        status = gvcp::kInvalidParameter;
    } else {
        status = device_.WriteMemory(RequesterOf(from), Payload32(datagram, gvcp::kWriteMemAddress),
                                     datagram.subspan(gvcp::kWriteMemData), now, &written);
    }
    std::vector<uint8_t> ack = gvcp::MakeAck(status, ack_code, header.request_id, gvcp::kWriteAckPayload);
    gvcp::PutU16(ack, gvcp::kWriteAckIndex, static_cast<uint16_t>(written));
    Answer(header, from, std::move(ack), now);
}

// A resend request has no acknowledge: the resent packets are the answer.
void GvcpServer::OnPacketResend(const CommandHeader&, std::span<const uint8_t> datagram, const sockaddr_in&,
                                Clock::time_point) {
    if (datagram.size() < gvcp::kResendCmdSize) return;
    uint16_t channel = Payload16(datagram, gvcp::kResendChannel);
    if (channel >= map::kChannelCount) return;
    device_.Resend(channel, Payload16(datagram, gvcp::kResendBlockId),
                   Payload32(datagram, gvcp::kResendFirstPacket) & gvcp::kPacketIdMask,
                   Payload32(datagram, gvcp::kResendLastPacket) & gvcp::kPacketIdMask);
}

}  // namespace vcam
