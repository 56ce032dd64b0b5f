#pragma once
// A scripted GVSP sender on loopback: builds stream packets byte by byte (independently of the
// library's own layout header, so each side checks the other), sends them from a camera address of
// its own, and listens where the camera would hear resend requests and firewall datagrams.
//
// Every test process gets its own camera address in 127.0.0.0/8, derived from its process id, so that
// tests running side by side never share the control port 3956.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace tavi::test {

using Bytes = std::vector<uint8_t>;

inline void PutBig(Bytes& bytes, size_t offset, uint64_t value, int width) {
    if (bytes.size() < offset + width) bytes.resize(offset + width);
    for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

inline uint32_t GetBig(const Bytes& bytes, size_t offset, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | bytes.at(offset + i);
    return value;
}

// Header: status, block id, packet format in the top byte of the packet-id word.
inline Bytes GvspHeader(uint16_t status, uint16_t block_id, uint8_t format, uint32_t packet_id) {
    Bytes packet(8, 0);
    PutBig(packet, 0, status, 2);
    PutBig(packet, 2, block_id, 2);
    PutBig(packet, 4, (static_cast<uint32_t>(format) << 24) | (packet_id & 0xFFFFFF), 4);
    return packet;
}

struct LeaderFields {
    uint16_t payload_type = 1;
    uint64_t timestamp = 0;
    uint32_t pixel_format = 0x01080001;
    uint32_t size_x = 0;
    uint32_t size_y = 0;
    uint32_t offset_x = 0;
    uint32_t offset_y = 0;
};

inline Bytes GvspLeader(uint16_t block_id, const LeaderFields& fields, uint32_t packet_id = 0,
                        uint16_t status = 0) {
    Bytes packet = GvspHeader(status, block_id, 1, packet_id);
    PutBig(packet, 8, 0, 2);
    PutBig(packet, 10, fields.payload_type, 2);
    PutBig(packet, 12, fields.timestamp >> 32, 4);
    PutBig(packet, 16, fields.timestamp & 0xFFFFFFFF, 4);
    PutBig(packet, 20, fields.pixel_format, 4);
    PutBig(packet, 24, fields.size_x, 4);
    PutBig(packet, 28, fields.size_y, 4);
    PutBig(packet, 32, fields.offset_x, 4);
    PutBig(packet, 36, fields.offset_y, 4);
    PutBig(packet, 40, 0, 4);  // padding x, padding y
    return packet;
}

inline Bytes GvspPayload(uint16_t block_id, uint32_t packet_id, const uint8_t* data, size_t size,
                         uint16_t status = 0) {
    Bytes packet = GvspHeader(status, block_id, 3, packet_id);
    packet.resize(8 + size);
    if (size > 0) std::memcpy(packet.data() + 8, data, size);
    return packet;
}

inline Bytes GvspTrailer(uint16_t block_id, uint32_t packet_id, uint16_t status = 0) {
    Bytes packet = GvspHeader(status, block_id, 2, packet_id);
    PutBig(packet, 8, 0, 2);
    PutBig(packet, 10, 1, 2);  // payload type
    PutBig(packet, 12, 0, 4);  // size y
    return packet;
}

// The camera's image bytes for one frame: a pattern that differs per block, never zero.
inline Bytes FramePattern(uint32_t payload_size, uint16_t block_id) {
    Bytes bytes(payload_size);
    for (uint32_t i = 0; i < payload_size; ++i)
        bytes[i] = static_cast<uint8_t>(1 + (i * 7 + block_id * 13) % 251);
    return bytes;
}

// The packets of one frame in order: leader, payload packets of `packet_payload` bytes, trailer.
inline std::vector<Bytes> FramePackets(uint16_t block_id, const Bytes& image, uint32_t packet_payload,
                                       const LeaderFields& leader) {
    std::vector<Bytes> packets;
    packets.push_back(GvspLeader(block_id, leader));
    uint32_t id = 1;
    for (size_t offset = 0; offset < image.size(); offset += packet_payload, ++id) {
        const size_t size = std::min<size_t>(packet_payload, image.size() - offset);
        packets.push_back(GvspPayload(block_id, id, image.data() + offset, size));
    }
    packets.push_back(GvspTrailer(block_id, id));
    return packets;
}

inline uint32_t Loopback(uint8_t b, uint8_t c, uint8_t d) { return (127u << 24) | (b << 16) | (c << 8) | d; }

// A loopback address of this test process's own, ending in `last`.
inline uint32_t ProcessLoopback(uint8_t last) {
    const unsigned pid = static_cast<unsigned>(getpid());
    return Loopback(static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(pid), last);
}

class UdpEndpoint {
  public:
    UdpEndpoint(uint32_t address, uint16_t port) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        local.sin_port = htons(port);
        bound_ = ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        socklen_t length = sizeof local;
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        address_ = address;
    }
    ~UdpEndpoint() { ::close(socket_); }
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    bool bound() const { return bound_; }
    uint16_t port() const { return port_; }
    uint32_t address() const { return address_; }
    int socket() const { return socket_; }

    void SendTo(uint32_t address, uint16_t port, const Bytes& bytes) const {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(address);
        peer.sin_port = htons(port);
        ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }

    // The next datagram within `timeout_ms`, or nothing.
    std::optional<Bytes> Receive(int timeout_ms) const {
        pollfd descriptor{socket_, POLLIN, 0};
        if (::poll(&descriptor, 1, timeout_ms) <= 0) return std::nullopt;
        Bytes bytes(65536);
        const ssize_t length = ::recv(socket_, bytes.data(), bytes.size(), 0);
        if (length < 0) return std::nullopt;
        bytes.resize(static_cast<size_t>(length));
        return bytes;
    }

    // Every datagram that arrives until `quiet_ms` pass without one.
    std::vector<Bytes> Drain(int quiet_ms) const {
        std::vector<Bytes> all;
        while (auto bytes = Receive(quiet_ms)) all.push_back(std::move(*bytes));
        return all;
    }

  private:
    int socket_ = -1;
    bool bound_ = false;
    uint16_t port_ = 0;
    uint32_t address_ = 0;
};

// A PACKETRESEND request as the camera reads it.
struct ResendRequest {
    uint8_t key, flags;
    uint16_t command, length, request_id, channel, block_id;
    uint32_t first, last;
};

inline std::optional<ResendRequest> ParseResend(const Bytes& bytes) {
    if (bytes.size() != 20) return std::nullopt;
    return ResendRequest{bytes[0],
                         bytes[1],
                         static_cast<uint16_t>(GetBig(bytes, 2, 2)),
                         static_cast<uint16_t>(GetBig(bytes, 4, 2)),
                         static_cast<uint16_t>(GetBig(bytes, 6, 2)),
                         static_cast<uint16_t>(GetBig(bytes, 8, 2)),
                         static_cast<uint16_t>(GetBig(bytes, 10, 2)),
                         GetBig(bytes, 12, 4),
                         GetBig(bytes, 16, 4)};
}

// The camera side: a stream source socket and the control port where resend requests arrive.
class ScriptedGvspCamera {
  public:
    ScriptedGvspCamera() : source_(ProcessLoopback(2), 0), control_(ProcessLoopback(2), 3956) {}

    uint32_t address() const { return source_.address(); }
    uint16_t source_port() const { return source_.port(); }
    bool ready() const { return source_.bound() && control_.bound(); }
    const UdpEndpoint& source() const { return source_; }
    const UdpEndpoint& control() const { return control_; }

    void SendTo(uint32_t address, uint16_t port, const Bytes& packet) const {
        source_.SendTo(address, port, packet);
    }
    void SendAll(uint32_t address, uint16_t port, const std::vector<Bytes>& packets) const {
        for (const Bytes& packet : packets) source_.SendTo(address, port, packet);
    }

    std::optional<ResendRequest> NextResend(int timeout_ms) const {
        auto bytes = control_.Receive(timeout_ms);
        if (!bytes) return std::nullopt;
        return ParseResend(*bytes);
    }

  private:
    UdpEndpoint source_;
    UdpEndpoint control_;
};

}  // namespace tavi::test
