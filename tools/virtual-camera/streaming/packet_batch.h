#pragma once
// Sends the packets of a plan with as few system calls as the kernel allows (sendmmsg), each
// datagram gathered from its header and the frame's bytes without copying them.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "streaming/gvsp_layout.h"
#include "streaming/packet_plan.h"
#include "streaming/token_bucket.h"

namespace vcam {

// What every packet of one block shares.
struct BlockSource {
    uint16_t block_id = 0;
    gvsp::ImageInfo image;
    const uint8_t* data = nullptr;  // the frame's bytes, BlockLayout::payload_bytes long
    // Where damaged packets leave: a raw UDP socket (the UDP header is ours, checksum included) and
    // the channel's source port it must show; -1 sends them undamaged.
    int damage_socket = -1;
    uint16_t source_port = 0;
};

// Byte every image byte of a damaged packet is changed into.
inline constexpr uint8_t kDamagedByte = 0xC5;

// A raw socket for damaged packets, bound to `bind_ip` (host order, 0 = any), that receives nothing;
// -1 where the process may not open one.
int OpenDamageSocket(uint32_t bind_ip);

struct SendResult {
    uint64_t packets = 0;
    uint64_t bytes = 0;  // IP bytes
    uint64_t errors = 0;
    int last_error = 0;  // errno of the latest failed datagram
};

class PacketBatch {
  public:
    static constexpr size_t kCapacity = 64;

    // Sends `plan` in order to `destination`, paying the bucket before each batch. Stops early once
    // `stop` is set.
    SendResult Send(int socket, const sockaddr_in& destination, const BlockSource& block,
                    const std::vector<PlannedPacket>& plan, TokenBucket* bucket,
                    const std::atomic<bool>& stop);

  private:
    // Sends one damaged packet through the block's raw socket (plainly when there is none).
    SendResult SendDamaged(int socket, const sockaddr_in& destination, const BlockSource& block,
                           const PlannedPacket& packet);
    // Fills message `slot` for `packet`; returns its IP size.
    uint64_t Prepare(size_t slot, const BlockSource& block, const PlannedPacket& packet);
    SendResult Flush(int socket, size_t count);

    uint8_t headers_[kCapacity][gvsp::kMaxHeaderBytes] = {};
    iovec iov_[kCapacity][3] = {};
    mmsghdr messages_[kCapacity] = {};
};

}  // namespace vcam
