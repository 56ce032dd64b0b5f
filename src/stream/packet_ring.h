#pragma once
// Receives a stream channel's datagrams through the kernel's packet ring (PF_PACKET, TPACKET_V3):
// the kernel places the datagrams of the camera into blocks of a memory area shared with the
// process, so that many datagrams cost one wake-up and no system call each. Only a process that
// may open packet sockets (CAP_NET_RAW) can use it; the receiver falls back to its UDP socket
// otherwise.

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>

#include "stream/arrival_clock.h"

namespace tavi::stream {

class PacketRing {
  public:
    PacketRing() = default;
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Opens the ring on the interface that holds `local_address`, seeing only unfragmented UDP
    // datagrams to `local_address`:`local_port` (host order), with room for about `ring_bytes`.
    // False, with nothing left open, when the process may not or the kernel refuses.
    bool Open(uint32_t local_address, uint16_t local_port, uint64_t ring_bytes);
    int descriptor() const { return socket_; }
    size_t memory_bytes() const { return ring_size_; }
    // Datagrams dropped because their UDP checksum was wrong (the kernel had not checked it).
    uint64_t checksum_failures() const { return checksum_failures_; }

    // Hands the UDP payload of every datagram the kernel has passed over, in arrival order, to
    // `serve(bytes, length, sender, arrival_us)` (sender in host order, arrival on the monotonic
    // clock in microseconds), and gives the blocks back, running `after_block()` after each. The
    // number of datagrams served.
    template <class Serve, class AfterBlock>
    int Drain(Serve&& serve, AfterBlock&& after_block);
    template <class Serve>
    int Drain(Serve&& serve) {
        return Drain(serve, [] {});
    }

  private:
    struct Datagram {
        const uint8_t* bytes;
        int length;
        uint32_t sender;
    };
    // The block the kernel has handed over at the reading position, or null.
    uint8_t* ReadyBlock();
    void ReleaseBlock(uint8_t* block);
    // Every datagram passes these two, so they are inline.
    bool PayloadOf(const uint8_t* packet_header, Datagram* datagram);
    static uint32_t PacketCount(const uint8_t* block);
    static const uint8_t* FirstPacket(const uint8_t* block);
    static const uint8_t* NextPacket(const uint8_t* packet_header) {
        return packet_header + reinterpret_cast<const tpacket3_hdr*>(packet_header)->tp_next_offset;
    }

    static constexpr size_t kIpHeaderMin = 20;
    static constexpr size_t kUdpHeader = 8;

    ArrivalClock arrival_clock_;

    int socket_ = -1;
    uint8_t* ring_ = nullptr;
    size_t ring_size_ = 0;
    size_t block_size_ = 0;
    uint32_t block_count_ = 0;
    uint32_t next_block_ = 0;
    uint64_t checksum_failures_ = 0;
};

// Whether an IPv4 UDP datagram's checksum holds: `ip` points at its IP header of `ip_header`
// bytes, followed by `udp_length` bytes of UDP header and payload. A checksum of 0 means the sender
// computed none, which IPv4 allows.
bool UdpChecksumHolds(const uint8_t* ip, size_t ip_header, size_t udp_length);

// The UDP payload of one ring entry; false for anything the filter should not have let through, a
// datagram the ring cut short, or a copy of one of our own packets.
inline bool PacketRing::PayloadOf(const uint8_t* packet_header, Datagram* datagram) {
    const auto* header = reinterpret_cast<const tpacket3_hdr*>(packet_header);
    const auto* link =
        reinterpret_cast<const sockaddr_ll*>(packet_header + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
    if (link->sll_pkttype == PACKET_OUTGOING) return false;
    const uint8_t* ip = packet_header + header->tp_net;
    const size_t captured = header->tp_snaplen;
    if (captured < kIpHeaderMin || header->tp_snaplen < header->tp_len) return false;
    const size_t ip_header = static_cast<size_t>(ip[0] & 0x0F) * 4;
    if (ip_header < kIpHeaderMin || captured < ip_header + kUdpHeader) return false;
    const size_t udp_length = (static_cast<size_t>(ip[ip_header + 4]) << 8) | ip[ip_header + 5];
    if (udp_length < kUdpHeader || ip_header + udp_length > captured) return false;
    // The ring sees datagrams before the kernel's UDP layer checks them. Where the kernel (or the
    // adapter) has not vouched for the checksum, it is checked here, so that a damaged datagram is
    // dropped (and asked for again) exactly as the UDP socket would drop it.
    constexpr uint32_t kChecksumVouched = TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY;
    if ((header->tp_status & kChecksumVouched) == 0 && !UdpChecksumHolds(ip, ip_header, udp_length)) {
        ++checksum_failures_;
        return false;
    }
    datagram->sender = (static_cast<uint32_t>(ip[12]) << 24) | (static_cast<uint32_t>(ip[13]) << 16) |
                       (static_cast<uint32_t>(ip[14]) << 8) | ip[15];
    datagram->bytes = ip + ip_header + kUdpHeader;
    datagram->length = static_cast<int>(udp_length - kUdpHeader);
    return true;
}

template <class Serve, class AfterBlock>
int PacketRing::Drain(Serve&& serve, AfterBlock&& after_block) {
    int served = 0;
    // At most one turn of the ring, so that time-outs are served even when data never stops.
    for (uint32_t turn = 0; turn < block_count_; ++turn) {
        uint8_t* block = ReadyBlock();
        if (block == nullptr) break;
        arrival_clock_.StartRun();
        const uint8_t* packet = FirstPacket(block);
        for (uint32_t i = PacketCount(block); i > 0; --i, packet = NextPacket(packet)) {
            Datagram datagram;
            if (!PayloadOf(packet, &datagram)) continue;
            const auto* header = reinterpret_cast<const tpacket3_hdr*>(packet);
            serve(datagram.bytes, datagram.length, datagram.sender,
                  arrival_clock_.MonotonicOf(header->tp_sec, header->tp_nsec));
            ++served;
        }
        ReleaseBlock(block);
        after_block();
    }
    return served;
}

// The MTU of the interface that holds `local_address` (host order); 0 when there is none.
int InterfaceMtuOf(uint32_t local_address);

// Whether streams may use the packet ring; on by default. Tests turn it off to reach the UDP path.
void SetPacketRingAllowed(bool allowed);
bool PacketRingAllowed();

}  // namespace tavi::stream
