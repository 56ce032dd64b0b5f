#pragma once
// Receives a stream channel's datagrams through the kernel's packet ring (PF_PACKET, TPACKET_V3):
// the kernel places the datagrams of the camera into blocks of a memory area shared with the
// process, so that many datagrams cost one wake-up and no system call each. Only a process that
// may open packet sockets (CAP_NET_RAW) can use it; the receiver falls back to its UDP socket
// otherwise.

#include <cstddef>
#include <cstdint>

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
    // `serve(bytes, length, sender)` (sender in host order), and gives the blocks back, running
    // `after_block()` after each. The number of datagrams served.
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
    bool PayloadOf(const uint8_t* packet_header, Datagram* datagram);
    static uint32_t PacketCount(const uint8_t* block);
    static const uint8_t* FirstPacket(const uint8_t* block);
    static const uint8_t* NextPacket(const uint8_t* packet_header);

    int socket_ = -1;
    uint8_t* ring_ = nullptr;
    size_t ring_size_ = 0;
    size_t block_size_ = 0;
    uint32_t block_count_ = 0;
    uint32_t next_block_ = 0;
    uint64_t checksum_failures_ = 0;
};

template <class Serve, class AfterBlock>
int PacketRing::Drain(Serve&& serve, AfterBlock&& after_block) {
    int served = 0;
    // At most one turn of the ring, so that time-outs are served even when data never stops.
    for (uint32_t turn = 0; turn < block_count_; ++turn) {
        uint8_t* block = ReadyBlock();
        if (block == nullptr) break;
        const uint8_t* packet = FirstPacket(block);
        for (uint32_t i = PacketCount(block); i > 0; --i, packet = NextPacket(packet)) {
            Datagram datagram;
            if (!PayloadOf(packet, &datagram)) continue;
            serve(datagram.bytes, datagram.length, datagram.sender);
            ++served;
        }
        ReleaseBlock(block);
        after_block();
    }
    return served;
}

// The MTU of the interface that holds `local_address` (host order); 0 when there is none.
int InterfaceMtuOf(uint32_t local_address);

// Whether an IPv4 UDP datagram's checksum holds: `ip` points at its IP header of `ip_header`
// bytes, followed by `udp_length` bytes of UDP header and payload. A checksum of 0 means the sender
// computed none, which IPv4 allows.
bool UdpChecksumHolds(const uint8_t* ip, size_t ip_header, size_t udp_length);

// Whether streams may use the packet ring; on by default. Tests turn it off to reach the UDP path.
void SetPacketRingAllowed(bool allowed);
bool PacketRingAllowed();

}  // namespace tavi::stream
