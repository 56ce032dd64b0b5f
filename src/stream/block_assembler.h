#pragma once
// The receive thread's state and its steps: find or open the block of a datagram, place the
// datagram's bytes, ask again for missing packets, and deliver blocks oldest first. Everything here
// runs on the receive thread; time comes in as `now` (microseconds), so the steps can be driven by a
// test without a clock.

#include <cstdint>
#include <memory>
#include <vector>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/GigeStream.h"
#include "stream/frame_queue.h"
#include "stream/stream_state.h"

namespace tavi::stream {

// Everything a caller's thread may touch while the receive thread runs.
struct StreamShared {
    StreamSettings settings;
    BlockCounters blocks;
    PacketCounters packets;
    ReceiveTimeHistogram receive_times;
    StreamRates rates;
    FrameQueue free_queue;
    FrameQueue ready_queue;
};

// What is known of each packet of a block, a byte per packet: the frame's bytes stream through the
// caches between two packets, and a byte keeps a whole block's flags in a few lines.
enum PacketFlag : uint8_t {
    kPacketReceived = 1,
    kPacketWritten = 2,  // its image bytes reached the frame
    kPacketAskedAgain = 4,
};

// One block (frame) being assembled.
struct StreamBlock {
    FrameBuffer* buffer = nullptr;
    uint32_t block_id = 0;
    BlockStatus status = kBlockInProgress;
    int32_t last_valid_packet = -1;
    int64_t create_time_us = 0;
    int64_t update_time_us = 0;
    uint32_t error_flag = 0;
    bool format_error = false;
    int32_t packet_resend_num = 0;
    uint32_t packet_number = 0;
    std::vector<uint8_t> packet_flags;
    // When each packet was last asked for again; read only where kPacketAskedAgain is set, so it is
    // never cleared.
    std::vector<int64_t> resend_time_us;
    // Skip links over packets that arrived: following them from any id leads to the first id at or
    // after it that has not arrived (packet_number when there is none), so the missing-packet check
    // visits only the packets still missing, never the long runs that arrived.
    std::vector<uint32_t> next_unreceived;
};

// Where the receiver's own datagrams go: resend requests to the camera's control port, and the
// firewall datagram from the data socket to the camera's stream source port.
struct StreamPeers {
    int data_socket = -1;
    int resend_socket = -1;
    uint32_t camera_address = 0;
    uint16_t control_port = 3956;
    uint16_t source_port = 0;
};

struct AssemblerConfig {
    DataStreamPrivateInfo info{};
    uint16_t channel_index = 0;
    uint32_t packet_payload_size = 0;
    int64_t tick_frequency = 0;
    cameralog* log = nullptr;
};

class BlockAssembler {
  public:
    BlockAssembler(StreamShared& shared, const AssemblerConfig& config);
    ~BlockAssembler();
    BlockAssembler(const BlockAssembler&) = delete;
    BlockAssembler& operator=(const BlockAssembler&) = delete;

    void set_peers(const StreamPeers& peers) { peers_ = peers; }

    // One datagram from the camera; returns the block it went to, or null.
    StreamBlock* process_packet(const uint8_t* datagram, int length, int64_t now);
    // A datagram from anyone but the camera: counted, never used.
    void count_foreign_datagram();
    // Delivers the blocks that are finished, oldest first, and asks again for the idle ones' gaps.
    // `current` is the block of the datagram just served, if any.
    void check_block_complete(StreamBlock* current, int64_t now);
    // Delivers every open block as flushed (the thread is ending).
    void flush_blocks(int64_t now);
    void sendto_stream_source_data();

    size_t open_blocks() const { return all_blocks_.size(); }
    uint32_t buffer_count() const { return buffer_count_; }
    uint16_t request_id() const { return request_id_; }
    // Frees the buffers of both queues (the thread has ended).
    void free_queued_buffers();

  private:
    StreamBlock* open_block_for(const uint8_t* datagram, int length, uint32_t block_id, int64_t now);
    StreamBlock* find_open_block(uint32_t block_id, int64_t now);
    void log_open_block_search(const StreamBlock* block, uint32_t block_id) const;
    bool shrink_pool();
    FrameBuffer* take_buffer();
    StreamBlock* open_block(FrameBuffer* buffer, uint32_t block_id, int64_t now);
    void prepare_frame(PhotoInfo& frame, uint32_t block_id) const;
    void mark_received(StreamBlock* block, uint32_t packet_id);
    static uint32_t first_unreceived_from(StreamBlock* block, uint32_t id);
    void process_packet_leader(StreamBlock* block, const uint8_t* datagram, int length, uint32_t packet_id);
    void process_packet_payload(StreamBlock* block, const uint8_t* datagram, uint32_t packet_id,
                                uint32_t length);
    void process_packet_tailer(StreamBlock* block, uint32_t packet_id);
    void count_resent(StreamBlock* block, uint32_t packet_id, const char* message);
    static int64_t asked_again_at(const StreamBlock* block, uint32_t packet_id);

    // Asks again for the block's missing packets up to `last`, in runs, within its budget.
    void packet_resend_check(StreamBlock* block, uint32_t last, int64_t now) {
        // Nothing missing up to `last` (every packet so far arrived in order) is the common case.
        if (block != nullptr &&
            static_cast<int64_t>(block->last_valid_packet) + 1 <= static_cast<int64_t>(last))
            request_missing_up_to(block, last, now);
    }
    void request_missing_up_to(StreamBlock* block, uint32_t last, int64_t now);
    bool request_run(StreamBlock* block, uint32_t first, uint32_t last, int64_t now);
    void send_packet_request(uint32_t block_id, uint32_t first, uint32_t last);
    BlockStatus finished_status(const StreamBlock* block, int64_t now) const;
    void deliver(StreamBlock* block, BlockStatus status, int64_t now);
    void write_recive_data(StreamBlock* block, int64_t now);
    void count_delivery(const StreamBlock* block);
    void clear_missing_bytes(const StreamBlock* block);
    void RecieveTimeStatistics(int32_t receive_time_us);
    void NetSpeedStatistics(int length, int64_t now);
    void BlockRateStatistics(int64_t now);
    void recycle(StreamBlock* block);

    uint32_t region_start(uint32_t packet_id) const;
    uint32_t region_end(uint32_t packet_id) const;

    StreamShared& shared_;
    const AssemblerConfig config_;
    const uint32_t payload_size_;
    StreamPeers peers_;
    std::vector<StreamBlock*> all_blocks_;                  // oldest first
    std::vector<std::unique_ptr<StreamBlock>> block_pool_;  // owns every block record, open or spare
    std::vector<StreamBlock*> spare_blocks_;
    uint32_t buffer_count_ = 0;
    uint32_t last_block_id_ = 0;
    bool any_block_opened_ = false;
    uint16_t request_id_ = 0;
};

}  // namespace tavi::stream
