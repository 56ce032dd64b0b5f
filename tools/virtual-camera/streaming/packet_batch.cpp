#include "streaming/packet_batch.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcam {
namespace {

// Where oversized payload packets take their surplus bytes from.
const uint8_t kZeros[kMaxOversizeBytes] = {};

size_t WriteHeader(uint8_t* header, const BlockSource& block, const PlannedPacket& packet) {
    constexpr size_t size = gvsp::kMaxHeaderBytes;
    gvsp::PutHeader(header, size, packet.status, block.block_id, packet.format, packet.packet_id);
    switch (packet.format) {
        case gvsp::kFormatLeader:
            gvsp::PutLeaderFields(header, size, block.image);
            return gvsp::kLeaderSize;
        case gvsp::kFormatTrailer:
            gvsp::PutTrailerFields(header, size, block.image.size_y);
            return gvsp::kTrailerSize;
        default:
            return gvsp::kHeaderSize;
    }
}

// One's-complement sum of big-endian 16-bit words, folded to 16 bits.
uint32_t OnesComplementSum(const uint8_t* bytes, size_t size, uint32_t sum) {
    for (size_t i = 0; i < size; i += 2) {
        sum += static_cast<uint32_t>(bytes[i]) << 8 | (i + 1 < size ? bytes[i + 1] : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

// The address the kernel sends from toward `destination`.
uint32_t SourceAddressToward(const sockaddr_in& destination) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool known =
        probe >= 0 &&
        connect(probe, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    if (probe >= 0) close(probe);
    return known ? ntohl(local.sin_addr.s_addr) : 0;
}

}  // namespace

int OpenDamageSocket(uint32_t bind_ip) {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return -1;
    // A raw UDP socket would get a copy of every UDP datagram the camera receives: drop them.
    sock_filter drop[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog filter{1, drop};
    setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(bind_ip);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

SendResult PacketBatch::SendDamaged(int socket, const sockaddr_in& destination, const BlockSource& block,
                                    const PlannedPacket& packet) {
    SendResult result;
    uint8_t header[gvsp::kMaxHeaderBytes];
    const size_t header_size = WriteHeader(header, block, packet);
    const uint32_t source = SourceAddressToward(destination);
    if (block.damage_socket < 0 || source == 0) {
        messages_[0].msg_hdr = msghdr{};
        messages_[0].msg_hdr.msg_name = const_cast<sockaddr_in*>(&destination);
        messages_[0].msg_hdr.msg_namelen = sizeof(destination);
        Prepare(0, block, packet);
        return Flush(socket, 1);
    }
    // UDP header, GVSP header, then the image bytes changed into kDamagedByte; the checksum is that
    // of the same datagram with its own image bytes, so it no longer matches.
    const size_t udp_length = gvsp::kUdpHeaderSize + header_size + packet.data_length;
    std::vector<uint8_t> datagram(udp_length, kDamagedByte);
    const uint16_t destination_port = ntohs(destination.sin_port);
    const uint8_t udp_header[8] = {static_cast<uint8_t>(block.source_port >> 8),
                                   static_cast<uint8_t>(block.source_port),
                                   static_cast<uint8_t>(destination_port >> 8),
                                   static_cast<uint8_t>(destination_port),
                                   static_cast<uint8_t>(udp_length >> 8),
                                   static_cast<uint8_t>(udp_length),
                                   0,
                                   0};
    std::memcpy(datagram.data(), udp_header, sizeof udp_header);
    std::memcpy(datagram.data() + gvsp::kUdpHeaderSize, header, header_size);
    const uint32_t target = ntohl(destination.sin_addr.s_addr);
    const uint8_t pseudo[12] = {static_cast<uint8_t>(source >> 24),
                                static_cast<uint8_t>(source >> 16),
                                static_cast<uint8_t>(source >> 8),
                                static_cast<uint8_t>(source),
                                static_cast<uint8_t>(target >> 24),
                                static_cast<uint8_t>(target >> 16),
                                static_cast<uint8_t>(target >> 8),
                                static_cast<uint8_t>(target),
                                0,
                                IPPROTO_UDP,
                                static_cast<uint8_t>(udp_length >> 8),
                                static_cast<uint8_t>(udp_length)};
    uint32_t sum = OnesComplementSum(pseudo, sizeof pseudo, 0);
    sum = OnesComplementSum(datagram.data(), gvsp::kUdpHeaderSize + header_size, sum);
    sum = OnesComplementSum(block.data + packet.data_offset, packet.data_length, sum);
    uint16_t checksum = static_cast<uint16_t>(~sum);
    if (checksum == 0) checksum = 0xFFFF;
    // Should the damaged bytes happen to sum the same, the checksum is made wrong outright.
    const uint32_t damaged = OnesComplementSum(datagram.data() + gvsp::kUdpHeaderSize + header_size,
                                               packet.data_length, OnesComplementSum(pseudo, 12, 0));
    const uint32_t original = OnesComplementSum(block.data + packet.data_offset, packet.data_length,
                                                OnesComplementSum(pseudo, 12, 0));
    if (damaged == original) checksum = static_cast<uint16_t>(checksum ^ 0x0101);
    datagram[6] = static_cast<uint8_t>(checksum >> 8);
    datagram[7] = static_cast<uint8_t>(checksum);
    const ssize_t sent = sendto(block.damage_socket, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
        result.errors = 1;
        result.last_error = errno;
    } else {
        result.packets = 1;
        result.bytes = udp_length + gvsp::kIpHeaderSize;
    }
    return result;
}

uint64_t PacketBatch::Prepare(size_t slot, const BlockSource& block, const PlannedPacket& packet) {
    iovec* iov = iov_[slot];
    size_t parts = 0;
    iov[parts++] = {headers_[slot], WriteHeader(headers_[slot], block, packet)};
    if (packet.data_length > 0) {
        iov[parts++] = {const_cast<uint8_t*>(block.data + packet.data_offset), packet.data_length};
    }
    if (packet.extra_bytes > 0) {
        iov[parts++] = {const_cast<uint8_t*>(kZeros), std::min<size_t>(packet.extra_bytes, sizeof(kZeros))};
    }
    msghdr& header = messages_[slot].msg_hdr;
    header.msg_iov = iov;
    header.msg_iovlen = parts;
    uint64_t bytes = gvsp::kIpHeaderSize + gvsp::kUdpHeaderSize;
    for (size_t i = 0; i < parts; ++i) bytes += iov[i].iov_len;
    return bytes;
}

SendResult PacketBatch::Flush(int socket, size_t count) {
    SendResult result;
    size_t done = 0;
    while (done < count) {
        const int sent = sendmmsg(socket, messages_ + done, static_cast<unsigned>(count - done), 0);
        if (sent < 0) {
            if (errno == EINTR) continue;
            ++result.errors;  // the first message of the rest failed (too large, no route, ...): skip it
            result.last_error = errno;
            ++done;
            continue;
        }
        for (int i = 0; i < sent; ++i) {
            result.bytes += messages_[done + i].msg_len + gvsp::kIpHeaderSize + gvsp::kUdpHeaderSize;
        }
        result.packets += static_cast<uint64_t>(sent);
        done += static_cast<size_t>(sent);
    }
    return result;
}

SendResult PacketBatch::Send(int socket, const sockaddr_in& destination, const BlockSource& block,
                             const std::vector<PlannedPacket>& plan, TokenBucket* bucket,
                             const std::atomic<bool>& stop) {
    SendResult total;
    size_t count = 0;
    for (size_t begin = 0; begin < plan.size() && !stop.load(std::memory_order_relaxed); begin += count) {
        SendResult batch;
        if (plan[begin].bad_checksum) {
            count = 1;
            bucket->Acquire(gvsp::kPacketOverhead + plan[begin].data_length, stop);
            batch = SendDamaged(socket, destination, block, plan[begin]);
        } else {
            // A batch of undamaged packets, up to the next damaged one.
            count = 0;
            uint64_t bytes = 0;
            for (; count < kCapacity && begin + count < plan.size() && !plan[begin + count].bad_checksum;
                 ++count) {
                messages_[count].msg_hdr = msghdr{};
                messages_[count].msg_hdr.msg_name = const_cast<sockaddr_in*>(&destination);
                messages_[count].msg_hdr.msg_namelen = sizeof(destination);
                bytes += Prepare(count, block, plan[begin + count]);
            }
            bucket->Acquire(bytes, stop);
            batch = Flush(socket, count);
        }
        total.packets += batch.packets;
        total.bytes += batch.bytes;
        total.errors += batch.errors;
        if (batch.errors > 0) total.last_error = batch.last_error;
    }
    return total;
}

}  // namespace vcam
