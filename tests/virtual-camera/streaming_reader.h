#pragma once
// A small GVSP reader for the tests of the virtual camera's engine, written from the published
// packet layout and independent of the library's receiver and of the camera's own layout header:
// it listens on loopback, keeps every datagram as it came, and puts blocks together.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace vcam_test {

inline constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// One datagram as received, with its header fields decoded.
struct Packet {
    std::vector<uint8_t> bytes;
    uint16_t source_port = 0;
    uint16_t status() const { return Be16(&bytes[0]); }
    uint16_t block_id() const { return Be16(&bytes[2]); }
    uint8_t format() const { return bytes[4]; }
    uint32_t packet_id() const { return Be32(&bytes[4]) & 0xFFFFFF; }
    bool is_gvsp() const { return bytes.size() >= 8; }
};

struct Leader {
    uint16_t payload_type = 0;
    uint64_t timestamp = 0;
    uint32_t pixel_format = 0, size_x = 0, size_y = 0, offset_x = 0, offset_y = 0;
};

// A block put together from its packets.
struct Block {
    uint16_t block_id = 0;
    std::optional<Leader> leader;
    bool trailer = false;
    uint32_t trailer_size_y = 0;
    uint16_t trailer_payload_type = 0;
    std::map<uint32_t, std::vector<uint8_t>> payload;  // packet id -> image bytes
    std::vector<uint8_t> image;                        // payload packets in id order
    bool complete() const {
        if (!leader || !trailer || payload.empty()) return false;
        return payload.rbegin()->first == payload.size();  // ids 1 … n without a gap
    }
};

class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 32 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }

    // The next datagram, or nothing within `timeout`.
    std::optional<Packet> Receive(std::chrono::milliseconds timeout) {
        pollfd waiter{fd_, POLLIN, 0};
        if (poll(&waiter, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t size =
            recvfrom(fd_, scratch_.data(), scratch_.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) return std::nullopt;
        Packet packet;
        packet.bytes.assign(scratch_.begin(), scratch_.begin() + size);
        packet.source_port = ntohs(from.sin_port);
        return packet;
    }

    // Every datagram until none has come for `quiet`, the first awaited for up to `first` (a
    // block after a change of view waits for the scene to be rendered, slow in sanitizer builds).
    std::vector<Packet> ReceiveUntilQuiet(
        std::chrono::milliseconds quiet = std::chrono::milliseconds(250),
        std::chrono::milliseconds first = std::chrono::milliseconds(30000)) {
        std::vector<Packet> packets;
        for (auto wait = first; auto packet = Receive(wait); wait = quiet)
            packets.push_back(std::move(*packet));
        return packets;
    }

    // What arrives within `wait` (and after it, without a gap of `wait`): for checks that expect
    // nothing, or only stragglers.
    std::vector<Packet> ReceiveAnyWithin(std::chrono::milliseconds wait) {
        return ReceiveUntilQuiet(wait, wait);
    }

    // The packets of the next `count` blocks, judged by trailers (or a time-out of 30 s).
    std::vector<Packet> ReceiveBlocks(size_t count) {
        std::vector<Packet> packets;
        size_t trailers = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (trailers < count && std::chrono::steady_clock::now() < deadline) {
            auto packet = Receive(std::chrono::milliseconds(500));
            if (!packet) continue;
            if (packet->is_gvsp() && packet->format() == 2) ++trailers;
            packets.push_back(std::move(*packet));
        }
        return packets;
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<uint8_t> scratch_ = std::vector<uint8_t>(65536);
};

inline Leader ParseLeader(const std::vector<uint8_t>& b) {
    Leader leader;
    if (b.size() < 44) return leader;
    leader.payload_type = Be16(&b[10]);
    leader.timestamp = uint64_t{Be32(&b[12])} << 32 | Be32(&b[16]);
    leader.pixel_format = Be32(&b[20]);
    leader.size_x = Be32(&b[24]);
    leader.size_y = Be32(&b[28]);
    leader.offset_x = Be32(&b[32]);
    leader.offset_y = Be32(&b[36]);
    return leader;
}

// Groups packets into blocks by block id, in order of first appearance.
inline std::vector<Block> Assemble(const std::vector<Packet>& packets) {
    std::vector<Block> blocks;
    std::map<uint16_t, size_t> index;
    for (const Packet& packet : packets) {
        if (!packet.is_gvsp()) continue;
        auto [it, fresh] = index.emplace(packet.block_id(), blocks.size());
        if (fresh) {
            blocks.emplace_back();
            blocks.back().block_id = packet.block_id();
        }
        Block& block = blocks[it->second];
        switch (packet.format()) {
            case 1:
                block.leader = ParseLeader(packet.bytes);
                break;
            case 2:
                block.trailer = true;
                if (packet.bytes.size() >= 16) {
                    block.trailer_payload_type = Be16(&packet.bytes[10]);
                    block.trailer_size_y = Be32(&packet.bytes[12]);
                }
                break;
            case 3:
                block.payload[packet.packet_id()].assign(packet.bytes.begin() + 8, packet.bytes.end());
                break;
        }
    }
    for (Block& block : blocks) {
        for (const auto& [id, bytes] : block.payload)
            block.image.insert(block.image.end(), bytes.begin(), bytes.end());
    }
    return blocks;
}

}  // namespace vcam_test
