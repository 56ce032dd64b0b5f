// What the missing-packet check costs the receive thread when one packet of every block is lost for
// good (the camera never resends it), beside the same blocks without loss: CPU time per block for
// blocks of 2, 20 and 60 MB in 1464-byte packets. The receiver's steps run as its loop runs them
// (dispatch, then the completion check), on a clock that advances as a 1 Gbit/s link delivers, so
// each lossy block waits for its block time-out while the next block arrives.
//   resend_check_bench [blocks per row]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "net/big_endian.h"
#include "stream/block_assembler.h"

namespace {

using namespace tavi::stream;

constexpr uint32_t kPacketPayload = 1464;  // a 1500-byte packet less its headers
constexpr int64_t kPacketWireUs = 12;      // 1500 bytes at 1 Gbit/s
constexpr uint32_t kLostPacket = 2;        // early in the block: the worst place
constexpr uint32_t kSizesMb[] = {2, 20, 60};

// Every packet of one block, leader to trailer; the block id is set before each use.
std::vector<std::vector<uint8_t>> BlockPackets(uint32_t packets) {
    std::vector<std::vector<uint8_t>> all(packets);
    for (uint32_t id = 0; id < packets; ++id) {
        const uint8_t format = id == 0 ? 1 : id + 1 == packets ? 2 : 3;
        all[id].assign(8 + (format == 1 ? 36 : format == 3 ? kPacketPayload : 0), 0x5A);
        tavi::net::PutU16(all[id].data(), 0, 0);
        tavi::net::PutU32(all[id].data(), 4, (static_cast<uint32_t>(format) << 24) | id);
    }
    return all;
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU seconds per block for `blocks` blocks of `payload_size` bytes.
double SecondsPerBlock(uint32_t payload_size, int blocks, bool lose_one) {
    StreamShared shared;
    shared.settings.max_buffer_length = 3;
    AssemblerConfig config;
    config.info.payload_size = payload_size;
    config.info.pixel_format = 0x01080001;
    config.packet_payload_size = kPacketPayload;
    BlockAssembler assembler(shared, config);
    assembler.set_peers(StreamPeers{});  // requests go nowhere; their cost is the check's
    const uint32_t packets = (payload_size + kPacketPayload - 1) / kPacketPayload + 2;
    std::vector<std::vector<uint8_t>> block_packets = BlockPackets(packets);
    int64_t now = 1'000'000'000;
    double cpu = 0;
    // The first blocks only fill the buffer pool: the kernel's first touch of fresh pages is not
    // the receiver's work.
    constexpr int kWarmUpBlocks = 4;
    for (int block = 1; block <= kWarmUpBlocks + blocks; ++block) {
        for (std::vector<uint8_t>& packet : block_packets)
            tavi::net::PutU16(packet.data(), 2, static_cast<uint16_t>(block));
        if (block == kWarmUpBlocks + 1) cpu = 0;
        const double start = ThreadCpuSeconds();
        for (uint32_t id = 0; id < packets; ++id) {
            now += kPacketWireUs;
            if (lose_one && id == kLostPacket) continue;
            const std::vector<uint8_t>& bytes = block_packets[id];
            StreamBlock* current =
                assembler.process_packet(bytes.data(), static_cast<int>(bytes.size()), now);
            assembler.check_block_complete(current, now);
        }
        cpu += ThreadCpuSeconds() - start;
        while (FrameBuffer* frame = shared.ready_queue.TryTake()) shared.free_queue.Put(frame);
    }
    const double start = ThreadCpuSeconds();
    assembler.flush_blocks(now);
    cpu += ThreadCpuSeconds() - start;
    while (FrameBuffer* frame = shared.ready_queue.TryTake()) shared.free_queue.Put(frame);
    assembler.free_queued_buffers();
    return cpu / blocks;
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::max(2, std::atoi(argv[1])) : 6;
    std::printf("receive-thread CPU per block, 1464-byte packets, %d blocks per row\n", blocks);
    std::printf("%-10s %14s %22s %18s\n", "block", "no loss (ms)", "one never resent (ms)",
                "block on wire (ms)");
    for (uint32_t mb : kSizesMb) {
        const uint32_t size = mb * 1'000'000;
        const double whole = SecondsPerBlock(size, blocks, false);
        const double lossy = SecondsPerBlock(size, blocks, true);
        const double wire =
            static_cast<double>((size + kPacketPayload - 1) / kPacketPayload + 2) * kPacketWireUs;
        std::printf("%-10s %14.2f %22.2f %18.1f\n", (std::to_string(mb) + " MB").c_str(), whole * 1e3,
                    lossy * 1e3, wire / 1e3);
    }
    return 0;
}
