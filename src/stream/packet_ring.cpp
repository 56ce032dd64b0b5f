#include "stream/packet_ring.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

namespace tavi::stream {

namespace {

// Each handed-over block costs the receive thread a wake-up; at 1500-byte packets a block of 1 MiB
// holds some 650 datagrams, so a fast stream wakes the thread a few hundred times a second. Blocks of
// 256 KiB handed over after a millisecond woke it four times as often, for a fifth more CPU per GB.
constexpr size_t kBlockSize = 1 << 20;
// A block that is not full is handed over after this, so the last datagrams of a frame wait at most
// about twice as long when nothing follows them.
constexpr uint32_t kBlockRetireMs = 2;
// 16 MiB: at low rates each block holds only a block time-out's datagrams, so this many ride out a
// stall of the receive thread of some 30 ms however little arrives.
constexpr uint32_t kMinBlocks = 16;
constexpr uint32_t kMaxBlocks = 256;   // 256 MiB: a bound whatever a camera claims
constexpr uint32_t kFrameSize = 2048;  // what the kernel counts frames in; datagrams may be larger

std::atomic<bool> g_ring_allowed{true};

// The name of the interface that holds `address`; empty when none does.
std::string InterfaceNameOf(uint32_t address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::string name;
    for (ifaddrs* entry = list; entry != nullptr && name.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (ntohl(inet->sin_addr.s_addr) == address) name = entry->ifa_name;
    }
    freeifaddrs(list);
    return name;
}

int InterfaceIndexOf(uint32_t address) {
    const std::string name = InterfaceNameOf(address);
    return name.empty() ? 0 : static_cast<int>(if_nametoindex(name.c_str()));
}

// One's-complement sum of `size` bytes taken as big-endian 16-bit words (an odd last byte is
// padded with zero), not yet folded. Summed as native 32-bit words and swapped at the end, which
// gives the same result (the sum does not depend on byte order up to a final swap).
uint64_t WordSum(const uint8_t* bytes, size_t size) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        sum += (word & 0xFFFFFFFFu) + (word >> 32);
    }
    for (; i + 2 <= size; i += 2) {
        uint16_t half;
        std::memcpy(&half, bytes + i, 2);
        sum += half;
    }
    if (i < size) {
        const uint8_t last[2] = {bytes[i], 0};
        uint16_t half;
        std::memcpy(&half, last, 2);
        sum += half;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return ntohs(static_cast<uint16_t>(sum));
}

// Seen from the IP header (a packet socket of type SOCK_DGRAM): UDP to our address and port, not a
// fragment. The sender is checked by the receiver, which counts strangers.
bool AttachStreamFilter(int socket, uint32_t local, uint16_t port) {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),                   // 0: protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 8),  // 1
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16),                  // 2: destination address
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, local, 0, 6),        // 3
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),                   // 4: flags and fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 4, 0),      // 5: more fragments, or an offset
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                  // 6: X = header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),                   // 7: destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 1),         // 8
        BPF_STMT(BPF_RET | BPF_K, 0x40000),                      // 9: keep (whole datagram)
        BPF_STMT(BPF_RET | BPF_K, 0),                            // 10: drop
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

uint32_t BlocksFor(uint64_t ring_bytes) {
    const uint64_t blocks = (ring_bytes + kBlockSize - 1) / kBlockSize;
    if (blocks < kMinBlocks) return kMinBlocks;
    if (blocks > kMaxBlocks) return kMaxBlocks;
    return static_cast<uint32_t>(blocks);
}

}  // namespace

void SetPacketRingAllowed(bool allowed) { g_ring_allowed = allowed; }
bool PacketRingAllowed() { return g_ring_allowed; }

int InterfaceMtuOf(uint32_t local_address) {
    const std::string name = InterfaceNameOf(local_address);
    if (name.empty() || name.size() >= IFNAMSIZ) return 0;
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return 0;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    const int mtu = ioctl(probe, SIOCGIFMTU, &request) == 0 ? request.ifr_mtu : 0;
    close(probe);
    return mtu;
}

bool UdpChecksumHolds(const uint8_t* ip, size_t ip_header, size_t udp_length) {
    const uint8_t* udp = ip + ip_header;
    if (udp[6] == 0 && udp[7] == 0) return true;
    // The pseudo-header: source and destination address, protocol and UDP length.
    uint64_t sum = WordSum(ip + 12, 8) + IPPROTO_UDP + udp_length + WordSum(udp, udp_length);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

PacketRing::~PacketRing() {
    if (ring_ != nullptr) munmap(ring_, ring_size_);
    if (socket_ >= 0) close(socket_);
}

bool PacketRing::Open(uint32_t local_address, uint16_t local_port, uint64_t ring_bytes) {
    const int interface_index = InterfaceIndexOf(local_address);
    if (interface_index == 0) return false;
    socket_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (socket_ < 0) return false;
    const int on = 1;
    setsockopt(socket_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);  // a loopback sees both ways
    const int version = TPACKET_V3;
    tpacket_req3 request{};
    block_size_ = kBlockSize;
    block_count_ = BlocksFor(ring_bytes);
    request.tp_block_size = static_cast<unsigned>(block_size_);
    request.tp_block_nr = block_count_;
    request.tp_frame_size = kFrameSize;
    request.tp_frame_nr = static_cast<unsigned>(block_size_ / kFrameSize * block_count_);
    request.tp_retire_blk_tov = kBlockRetireMs;
    arrival_clock_ = ArrivalClock();
    bool ready = AttachStreamFilter(socket_, local_address, local_port) &&
                 setsockopt(socket_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) == 0 &&
                 setsockopt(socket_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) == 0;
    if (ready) {
        ring_size_ = block_size_ * block_count_;
        void* map = mmap(nullptr, ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED, socket_, 0);
        ring_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
        ready = ring_ != nullptr;
    }
    if (ready) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = interface_index;
        ready = bind(socket_, reinterpret_cast<sockaddr*>(&link), sizeof link) == 0;
    }
    if (!ready) {
        if (ring_ != nullptr) munmap(ring_, ring_size_);
        ring_ = nullptr;
        close(socket_);
        socket_ = -1;
    }
    return ready;
}

uint8_t* PacketRing::ReadyBlock() {
    uint8_t* block = ring_ + static_cast<size_t>(next_block_) * block_size_;
    auto* descriptor = reinterpret_cast<tpacket_block_desc*>(block);
    const uint32_t status = __atomic_load_n(&descriptor->hdr.bh1.block_status, __ATOMIC_ACQUIRE);
    return (status & TP_STATUS_USER) != 0 ? block : nullptr;
}

void PacketRing::ReleaseBlock(uint8_t* block) {
    auto* descriptor = reinterpret_cast<tpacket_block_desc*>(block);
    __atomic_store_n(&descriptor->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    next_block_ = (next_block_ + 1) % block_count_;
}

uint32_t PacketRing::PacketCount(const uint8_t* block) {
    return reinterpret_cast<const tpacket_block_desc*>(block)->hdr.bh1.num_pkts;
}

const uint8_t* PacketRing::FirstPacket(const uint8_t* block) {
    return block + reinterpret_cast<const tpacket_block_desc*>(block)->hdr.bh1.offset_to_first_pkt;
}

}  // namespace tavi::stream
