#include "streaming/packet_batch.h"

#include <cerrno>

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

}  // namespace

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
    for (size_t begin = 0; begin < plan.size() && !stop.load(std::memory_order_relaxed); begin += kCapacity) {
        const size_t count = std::min(kCapacity, plan.size() - begin);
        uint64_t bytes = 0;
        for (size_t slot = 0; slot < count; ++slot) {
            messages_[slot].msg_hdr = msghdr{};
            messages_[slot].msg_hdr.msg_name = const_cast<sockaddr_in*>(&destination);
            messages_[slot].msg_hdr.msg_namelen = sizeof(destination);
            bytes += Prepare(slot, block, plan[begin + slot]);
        }
        bucket->Acquire(bytes, stop);
        const SendResult batch = Flush(socket, count);
        total.packets += batch.packets;
        total.bytes += batch.bytes;
        total.errors += batch.errors;
        if (batch.errors > 0) total.last_error = batch.last_error;
    }
    return total;
}

}  // namespace vcam
