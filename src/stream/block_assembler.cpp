#include "stream/block_assembler.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>

#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"
#include "stream/gvsp_protocol.h"
#include "stream/image_size.h"

namespace tavi::stream {

namespace {

// The image a leader describes fits a frame of `payload_size` bytes.
bool LeaderImageFitsPayload(const gvsp::LeaderImage& image, uint32_t payload_size) {
    return ImageFitsPayload(image.pixel_format, image.size_x, image.size_y, payload_size);
}

// The geometry a frame without a leader carries must fit the frame too: stream set-up refuses a
// channel whose registers disagree, and a stream made directly with such a record gets an empty
// image in place of one that would lead consumers past the frame's end.
AssemblerConfig WithFittingSetUpGeometry(AssemblerConfig config) {
    DataStreamPrivateInfo& info = config.info;
    if (ImageFitsPayload(info.pixel_format, info.size_x, info.size_y, info.payload_size) &&
        ImageFitsPayload(info.pixel_format, info.width, info.height, info.payload_size)) {
        return config;
    }
    TAVI_LOG_ERROR(config.log,
                   "[function:GigeStream] The stream geometry %u x %u of format %x does not fit the payload "
                   "of %u bytes; frames without a leader carry an empty image.",
                   info.size_x, info.size_y, info.pixel_format, info.payload_size);
    info.width = info.height = info.size_x = info.size_y = 0;
    return config;
}

// Where a frame's geometry comes from: the stream's set-up, or an image leader (whose size is both
// the width and height and the size fields).
struct FrameGeometry {
    uint32_t pixel_format, width, height, size_x, size_y, offset_x, offset_y;
};

void SetGeometry(PhotoInfo& frame, const FrameGeometry& geometry) {
    frame.pixel_format = geometry.pixel_format;
    frame.width = geometry.width;
    frame.height = geometry.height;
    frame.size_x = geometry.size_x;
    frame.size_y = geometry.size_y;
    frame.offset_x = geometry.offset_x;
    frame.offset_y = geometry.offset_y;
}

constexpr int64_t kMicrosecondsPerSecond = 1000000;

bool IsNormalStatus(uint16_t status) {
    return status == gvsp::kStatusSuccess || status == gvsp::kStatusResent ||
           status == gvsp::kStatusAcceptedError;
}

int64_t PcClockNanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// Camera ticks to nanoseconds, in double precision; a value past the 64-bit range saturates.
int64_t TicksToNanoseconds(int64_t ticks, int64_t tick_frequency) {
    const double nanoseconds = static_cast<double>(ticks) / static_cast<double>(tick_frequency) * 1e9;
    if (nanoseconds >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (nanoseconds <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(nanoseconds);
}

int32_t ClampToInt32(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace

BlockAssembler::BlockAssembler(StreamShared& shared, const AssemblerConfig& config)
    : shared_(shared), config_(WithFittingSetUpGeometry(config)), payload_size_(config.info.payload_size) {}

BlockAssembler::~BlockAssembler() {
    for (StreamBlock* block : all_blocks_) FreeFrameBuffer(block->buffer);
}

// ---- dispatch -------------------------------------------------------------------------------------
//
// The steps that every datagram takes are forced inline (gnu::always_inline) into process_packet:
// called apart, they cost a third more instructions per datagram.

StreamBlock* BlockAssembler::process_packet(const uint8_t* datagram, int length, int64_t now) {
    shared_.packets.received.Add();
    NetSpeedStatistics(length, now);
    const size_t size = static_cast<size_t>(length);
    // Shorter than a GVSP header: nothing in it can be trusted to name a block.
    if (size < gvsp::kHeaderSize) {
        shared_.packets.unused.Add();
        return nullptr;
    }
    const uint32_t packet_id = gvsp::GetPacketId(datagram, size);
    const uint32_t block_id = gvsp::GetBlockId(datagram, size);
    StreamBlock* block = find_open_block(block_id, now);
    if (block == nullptr) block = open_block_for(datagram, length, block_id, now);
    if (block == nullptr) {
        shared_.packets.unused.Add();
        return nullptr;
    }
    const uint16_t status = gvsp::GetStatus(datagram, size);
    if (!IsNormalStatus(status)) {
        block->error_flag = 1;
        TAVI_LOG_DEBUG(config_.log,
                       "[function:process_packet] Recivevd an error packet, status is: %d, block_id is: %d.",
                       status, block->block_id);
    } else {
        mark_received(block, packet_id);
        switch (gvsp::GetPacketFormat(datagram, size)) {
            case gvsp::kFormatLeader:
                process_packet_leader(block, datagram, length, packet_id);
                break;
            case gvsp::kFormatTrailer:
                process_packet_tailer(block, packet_id);
                break;
            case gvsp::kFormatPayload:
                process_packet_payload(block, datagram, packet_id, static_cast<uint32_t>(length));
                break;
            default:
                // Its packet id is taken as received, yet its place holds no image bytes.
                block->format_error = true;
                shared_.packets.unused.Add();
                break;
        }
    }
    packet_resend_check(block, packet_id, now);
    return block;
}

void BlockAssembler::count_foreign_datagram() {
    shared_.packets.received.Add();
    shared_.packets.unused.Add();
}

[[gnu::always_inline]] inline void BlockAssembler::mark_received(StreamBlock* block, uint32_t packet_id) {
    if (packet_id < block->packet_number) {
        uint8_t& flags = block->packet_flags[packet_id];
        if ((flags & kPacketReceived) != 0) {
            shared_.packets.duplicates.Add();
        } else {
            flags |= kPacketReceived;
            block->next_unreceived[packet_id] = packet_id + 1;
        }
    }
    const auto next = static_cast<uint32_t>(block->last_valid_packet + 1);
    block->last_valid_packet = static_cast<int32_t>(first_unreceived_from(block, next)) - 1;
}

// Follows the skip links, halving each path it walks, so that a link is passed a bounded number of
// times however often the check starts behind it.
[[gnu::always_inline]] inline uint32_t BlockAssembler::first_unreceived_from(StreamBlock* block,
                                                                             uint32_t id) {
    std::vector<uint32_t>& next = block->next_unreceived;
    while (next[id] != id) {
        next[id] = next[next[id]];
        id = next[id];
    }
    return id;
}

// ---- finding or opening a block ------------------------------------------------------------------

// Newest first: nearly every packet belongs to the block opened last. Every packet passes here, so
// the debug lines of the search are looked at only when the debug log is on.
[[gnu::always_inline]] inline StreamBlock* BlockAssembler::find_open_block(uint32_t block_id, int64_t now) {
    const bool debug_lines = LogSwitches::debug.load(std::memory_order_relaxed) != 0;
    for (auto newest_first = all_blocks_.rbegin(); newest_first != all_blocks_.rend(); ++newest_first) {
        StreamBlock* block = *newest_first;
        if (debug_lines) log_open_block_search(block, block_id);
        if (block->block_id == block_id) {
            block->update_time_us = now;
            return block;
        }
    }
    return nullptr;
}

void BlockAssembler::log_open_block_search(const StreamBlock* block, uint32_t block_id) const {
    TAVI_LOG_DEBUG(config_.log,
                   "[function:find_block_data] Error all_blocks addr is %X, all_blocks data is %x",
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(all_blocks_.data())),
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(block)));
    TAVI_LOG_DEBUG(config_.log,
                   "[function:find_block_data] Find block data in block_id is %d, block->block_id is %d",
                   block_id, block->block_id);
}

// A datagram of no open block: opens its block, unless the block was already delivered, the
// datagram reports an error, or there is no buffer for it.
StreamBlock* BlockAssembler::open_block_for(const uint8_t* datagram, int length, uint32_t block_id,
                                            int64_t now) {
    // The 16-bit block id wraps from 65535 to 1, skipping 0: that step counts as one.
    const auto signed_id = static_cast<int16_t>(block_id);
    const auto signed_last = static_cast<int16_t>(last_block_id_);
    int32_t increment = static_cast<int32_t>(signed_id) - static_cast<int32_t>(signed_last);
    TAVI_LOG_DEBUG(config_.log, "[function:find_block_data] block_id_inc is %d", increment);
    if (signed_id > 0 && signed_last < 0) increment -= 1;
    // Before the first block there is nothing that could have been sent already.
    if (any_block_opened_ && increment >= -99 && increment <= 0) {
        TAVI_LOG_INFO(
            config_.log,
            "[function:find_block_data] This block data has been sent. block_id: %d, last_block_id: %d.",
            block_id, last_block_id_);
        return nullptr;
    }
    const uint16_t status = gvsp::GetStatus(datagram, static_cast<size_t>(length));
    if ((status & ~gvsp::kStatusResent & 0xFFFF) != 0) {
        TAVI_LOG_DEBUG(config_.log, "[function:find_block_data] block_id_inc is %d", increment);
        return nullptr;
    }
    if (!shrink_pool()) return nullptr;
    FrameBuffer* buffer = take_buffer();
    if (buffer == nullptr) return nullptr;
    StreamBlock* block = open_block(buffer, block_id, now);
    if (block == nullptr) return nullptr;
    TAVI_LOG_DEBUG(config_.log,
                   "[function:find_block_data] Packet number of the block update: pay_load_size is %d, and "
                   "packet_payload_size_ is %d, packet number is %d, new block id is %d.",
                   payload_size_, config_.packet_payload_size, block->packet_number, block_id);
    if (increment > 1) {
        shared_.blocks.id_jumps.Add();
        TAVI_LOG_DEBUG(
            config_.log,
            "[function:find_block_data] Recorded number of frames with lost data: a huge enlarge of "
            "block id is %d, id inc is %d, channel index is %d.",
            block_id, increment, config_.channel_index);
    }
    all_blocks_.push_back(block);
    last_block_id_ = block_id;
    any_block_opened_ = true;
    return block;
}

// Frees buffers beyond a lowered pool limit; false when none is free to give back yet.
bool BlockAssembler::shrink_pool() {
    while (buffer_count_ > shared_.settings.max_buffer_length.load(std::memory_order_relaxed)) {
        FrameBuffer* surplus = shared_.free_queue.TryTake();
        if (surplus == nullptr) {
            shared_.blocks.not_stored.Add();
            TAVI_LOG_INFO(config_.log, "[function:find_block_data] Sending data, no space to write data");
            return false;
        }
        FreeFrameBuffer(surplus);
        --buffer_count_;
    }
    return true;
}

FrameBuffer* BlockAssembler::take_buffer() {
    if (FrameBuffer* reused = shared_.free_queue.TryTake()) return reused;
    if (buffer_count_ >= shared_.settings.max_buffer_length.load(std::memory_order_relaxed)) {
        shared_.blocks.not_stored.Add();
        return nullptr;
    }
    BufferAllocation outcome;
    FrameBuffer* fresh = AllocateFrameBuffer(payload_size_, &outcome);
    if (fresh == nullptr) {
        shared_.blocks.not_stored.Add();
        if (outcome == BufferAllocation::kRecordFailed) {
            TAVI_LOG_INFO(config_.log, "[function:find_block_data] Buffer malloc error.");
        } else {
            TAVI_LOG_INFO(config_.log, "[function:find_block_data] Buffer->pixel malloc error.");
        }
        return nullptr;
    }
    ++buffer_count_;
    TAVI_LOG_DEBUG(config_.log, "[function:find_block_data] new a buffer and the length is %d.",
                   buffer_count_);
    return fresh;
}

StreamBlock* BlockAssembler::open_block(FrameBuffer* buffer, uint32_t block_id, int64_t now) {
    const uint64_t pps = config_.packet_payload_size;
    const uint64_t packet_number = (static_cast<uint64_t>(payload_size_) + pps - 1) / pps + 2;
    StreamBlock* block = nullptr;
    try {
        if (spare_blocks_.empty()) {
            block_pool_.push_back(std::make_unique<StreamBlock>());
            spare_blocks_.push_back(block_pool_.back().get());
        }
        block = spare_blocks_.back();
        block->packet_flags.assign(packet_number, 0);
        block->resend_time_us.resize(packet_number);
        block->next_unreceived.resize(packet_number + 1);
        std::iota(block->next_unreceived.begin(), block->next_unreceived.end(), 0u);
        all_blocks_.reserve(all_blocks_.size() + 1);
    } catch (const std::bad_alloc&) {
        shared_.free_queue.Put(buffer);
        TAVI_LOG_INFO(config_.log, "[function:find_block_data] Block malloc error.");
        return nullptr;
    }
    spare_blocks_.pop_back();
    prepare_frame(buffer->frame, block_id);
    block->buffer = buffer;
    block->block_id = block_id;
    block->status = kBlockInProgress;
    block->last_valid_packet = -1;
    block->create_time_us = now;
    block->update_time_us = now;
    block->error_flag = 0;
    block->format_error = false;
    block->packet_resend_num = 0;
    block->packet_number = static_cast<uint32_t>(packet_number);
    return block;
}

// A frame starts with the geometry read at stream set-up, its block id and no timestamp, so that a
// frame whose leader never arrives carries nothing of the buffer's previous frame.
void BlockAssembler::prepare_frame(PhotoInfo& frame, uint32_t block_id) const {
    const DataStreamPrivateInfo& info = config_.info;
    frame.payload_size = payload_size_;
    frame.channel_index = config_.channel_index;
    frame.cloud_unit = info.cloud_unit;
    frame.block_id = static_cast<uint16_t>(block_id);
    frame.timestamp_high = 0;
    frame.timestamp_low = 0;
    frame.reserved = kBlockInProgress;
    SetGeometry(frame, {info.pixel_format, info.width, info.height, info.size_x, info.size_y, info.offset_x,
                        info.offset_y});
}

// ---- leader, payload, trailer --------------------------------------------------------------------

void BlockAssembler::process_packet_leader(StreamBlock* block, const uint8_t* datagram, int length,
                                           uint32_t packet_id) {
    if (block == nullptr || datagram == nullptr) {
        TAVI_LOG_ERROR(config_.log,
                       "[function:process_packet_leader] An error occurred in the incoming parameters.");
        return;
    }
    if (packet_id != 0) {
        block->status = kBlockFormatError;
        block->format_error = true;
        TAVI_LOG_ERROR(config_.log, "[function:process_packet_leader] The data is not header packet.");
        shared_.packets.format_errors.Add();
        return;
    }
    const size_t size = static_cast<size_t>(length);
    PhotoInfo& frame = block->buffer->frame;
    const uint16_t payload_type = gvsp::GetPayloadType(datagram, size);
    frame.block_id = gvsp::GetBlockId(datagram, size);
    const bool camera_clock = payload_type != gvsp::kPayloadDeviceSpecific && config_.tick_frequency > 0 &&
                              size >= gvsp::kLeaderTimestampEnd;
    const int64_t timestamp =
        camera_clock ? TicksToNanoseconds(gvsp::GetTimestampTicks(datagram, size), config_.tick_frequency)
                     : PcClockNanoseconds();
    frame.timestamp_high = static_cast<uint32_t>(static_cast<uint64_t>(timestamp) >> 32);
    frame.timestamp_low = static_cast<uint32_t>(static_cast<uint64_t>(timestamp));
    if (payload_type == gvsp::kPayloadImage || payload_type == gvsp::kPayloadExtendedChunk) {
        if (size < gvsp::kLeaderImageEnd) {
            // Too short for the fields it claims: the frame keeps the geometry read at set-up.
            block->format_error = true;
            shared_.packets.format_errors.Add();
        } else if (const gvsp::LeaderImage image = gvsp::GetLeaderImage(datagram, size);
                   !LeaderImageFitsPayload(image, frame.payload_size)) {
            // A leader that claims more pixels than the frame's payload holds would make every
            // consumer that sizes its work by width x height run past the frame: keep the set-up
            // geometry and mark the frame.
            block->format_error = true;
            shared_.packets.format_errors.Add();
            TAVI_LOG_ERROR(config_.log,
                           "[function:process_packet_leader] The leader claims %u x %u pixels of format %x, "
                           "more than the payload of %u bytes holds.",
                           image.size_x, image.size_y, image.pixel_format, frame.payload_size);
        } else {
            SetGeometry(frame, {image.pixel_format, image.size_x, image.size_y, image.size_x, image.size_y,
                                image.offset_x, image.offset_y});
            TAVI_LOG_DEBUG(
                config_.log,
                "[function:process_packet_leader] The data type is image or chunk data, that the width "
                "is %d, height is %d, pixel length is %d.",
                frame.width, frame.height, frame.pixel_format);
        }
    }
    count_resent(
        block, 0,
        "[function:process_packet_leader] Timeouted, the leader packet is not received and requires to "
        "be resent.");
}

[[gnu::always_inline]] inline uint32_t BlockAssembler::region_start(uint32_t packet_id) const {
    return static_cast<uint32_t>(static_cast<uint64_t>(config_.packet_payload_size) * (packet_id - 1));
}

[[gnu::always_inline]] inline uint32_t BlockAssembler::region_end(uint32_t packet_id) const {
    const uint64_t end = static_cast<uint64_t>(config_.packet_payload_size) * packet_id;
    return end < payload_size_ ? static_cast<uint32_t>(end) : payload_size_;
}

[[gnu::always_inline]] inline void BlockAssembler::process_packet_payload(StreamBlock* block,
                                                                          const uint8_t* datagram,
                                                                          uint32_t packet_id,
                                                                          uint32_t length) {
    if (block == nullptr || datagram == nullptr || length == 0) {
        TAVI_LOG_ERROR(config_.log,
                       "[function:process_packet_payload] An error occurred in the incoming parameters.");
        return;
    }
    if (packet_id == 0 || packet_id > block->packet_number - 2) {
        block->status = kBlockFormatError;
        block->format_error = true;
        shared_.packets.format_errors.Add();
        return;
    }
    const uint32_t carried = static_cast<uint32_t>(gvsp::PayloadLength(length));
    TAVI_LOG_DEBUG(config_.log,
                   "[function:process_packet_payload] The data info: recv_num is %d, recv_payload_num is %d, "
                   "packet_id is %d.",
                   length, carried, packet_id);
    // A packet owns exactly its place in the frame: bytes beyond it, past the frame's end or into the
    // next packet's place, are cut.
    const uint32_t start = region_start(packet_id);
    const uint32_t end = region_end(packet_id);
    uint32_t count = carried;
    if (count > end - start) {
        TAVI_LOG_ERROR(
            config_.log,
            "[function:process_packet_payload] The data info: recv_num is %d, recv_payload_num is %d, "
            "packet_id is %d.",
            length, carried, packet_id);
        shared_.blocks.truncated.Add();
        count = end - start;
    }
    unsigned char* place = block->buffer->frame.data + start;
    std::memcpy(place, gvsp::PayloadBytes(datagram), count);
    // A short packet leaves no bytes of an earlier frame behind it.
    if (count < end - start) std::memset(place + count, 0, end - start - count);
    block->packet_flags[packet_id] |= kPacketWritten;
    count_resent(block, packet_id,
                 "[function:process_packet_payload] Timeouted, the packet is not received and requires to be "
                 "resent.");
}

void BlockAssembler::process_packet_tailer(StreamBlock* block, uint32_t packet_id) {
    if (block == nullptr) {
        TAVI_LOG_ERROR(config_.log,
                       "[function:process_packet_tailer] An error occurred in the incoming parameters.");
        return;
    }
    if (packet_id != block->packet_number - 1) {
        block->status = kBlockFormatError;
        block->format_error = true;
        shared_.packets.format_errors.Add();
        return;
    }
    count_resent(
        block, packet_id,
        "[function:process_packet_tailer] Timeouted, the tailer packet is not received and requires to "
        "be resent.");
}

// When the packet was last asked for again; 0 if never.
[[gnu::always_inline]] inline int64_t BlockAssembler::asked_again_at(const StreamBlock* block,
                                                                     uint32_t packet_id) {
    return (block->packet_flags[packet_id] & kPacketAskedAgain) != 0 ? block->resend_time_us[packet_id] : 0;
}

[[gnu::always_inline]] inline void BlockAssembler::count_resent(StreamBlock* block, uint32_t packet_id,
                                                                const char* message) {
    if (asked_again_at(block, packet_id) > 0) {
        shared_.packets.resent_received.Add();
        TAVI_LOG_DEBUG(config_.log, "%s", message);
    }
}

// ---- missing packets -----------------------------------------------------------------------------

void BlockAssembler::request_missing_up_to(StreamBlock* block, uint32_t last, int64_t now) {
    if (shared_.settings.packet_resend_flag.load(std::memory_order_relaxed) == 0) return;
    const double budget =
        block->packet_number * shared_.settings.packet_resend_ratio.load(std::memory_order_relaxed);
    if (block->error_flag != 0 || block->packet_resend_num >= budget || last >= block->packet_number) return;
    // A run is a stretch of consecutive packets that are missing and not waiting for an earlier
    // request; a packet that arrived, or whose request is younger than the packet time-out, ends it.
    // Only the missing packets are visited: arrived ones are passed over by the skip links.
    const int64_t packet_timeout = shared_.settings.packet_timeout_us.load(std::memory_order_relaxed);
    int64_t run_first = -1;
    int64_t run_last = -1;
    for (uint32_t id = first_unreceived_from(block, static_cast<uint32_t>(block->last_valid_packet + 1));
         id <= last; id = first_unreceived_from(block, id + 1)) {
        const int64_t asked_at = asked_again_at(block, id);
        if (asked_at != 0 && now - asked_at <= packet_timeout) continue;  // waiting
        if (run_first >= 0 && id == run_last + 1) {
            run_last = id;
            continue;
        }
        if (run_first >= 0 &&
            !request_run(block, static_cast<uint32_t>(run_first), static_cast<uint32_t>(run_last), now)) {
            return;
        }
        run_first = run_last = id;
    }
    if (run_first >= 0)
        request_run(block, static_cast<uint32_t>(run_first), static_cast<uint32_t>(run_last), now);
}

// One request for a run of missing packets; false once the block's budget is spent.
bool BlockAssembler::request_run(StreamBlock* block, uint32_t first, uint32_t last, int64_t now) {
    const double ratio = shared_.settings.packet_resend_ratio.load(std::memory_order_relaxed);
    if (block->packet_resend_num >= block->packet_number * ratio) {
        TAVI_LOG_INFO(
            config_.log,
            "[function:packet_resend_check] packet resend number over the ratio_: channel: %d, block id: "
            "%d, block->packet_resend_num: %d, ratio: %f.",
            config_.channel_index, block->block_id, block->packet_resend_num, ratio);
        return false;
    }
    send_packet_request(block->block_id, first, last);
    ++block->packet_resend_num;
    TAVI_LOG_DEBUG(config_.log,
                   "[function:packet_resend_check] Check the resend data info: channel: %d, block id: %d, "
                   "resend_first_packet_id: %d, resend_last_packet_id: %d, resend time_us: %d.",
                   config_.channel_index, block->block_id, first, last, static_cast<int>(now));
    for (uint32_t id = first; id <= last; ++id) {
        block->packet_flags[id] |= kPacketAskedAgain;
        block->resend_time_us[id] = now;
    }
    shared_.packets.resend_requested.Add(last - first + 1);
    return true;
}

void BlockAssembler::send_packet_request(uint32_t block_id, uint32_t first, uint32_t last) {
    request_id_ = gvcp::NextRequestId(request_id_);
    uint8_t request[gvcp::kResendCmdSize] = {};
    gvcp::PutPacketResendCommand(request, request_id_, config_.channel_index, static_cast<uint16_t>(block_id),
                                 first, last);
    const int sent = send_udp(peers_.resend_socket, peers_.camera_address, peers_.control_port, request,
                              static_cast<int>(sizeof request));
    if (sent < static_cast<int>(sizeof request)) {
        TAVI_LOG_ERROR(config_.log,
                       "[function:send_packet_request] Failed to send resend data to stream port.");
    }
    TAVI_LOG_DEBUG(config_.log,
                   "[function:send_packet_request] The resend data info: channel: %d, block id: %d, "
                   "resend_first_packet_id: %d, resend_last_packet_id: %d.",
                   config_.channel_index, block_id, first, last);
}

// ---- completion and delivery ---------------------------------------------------------------------

BlockStatus BlockAssembler::finished_status(const StreamBlock* block, int64_t now) const {
    const StreamSettings& settings = shared_.settings;
    if (block->last_valid_packet == static_cast<int64_t>(block->packet_number) - 1) return kBlockComplete;
    if (settings.packet_resend_flag.load(std::memory_order_relaxed) == 0 && all_blocks_.size() > 1) {
        return kBlockNextBlockArrived;
    }
    if (now - block->update_time_us > settings.block_timeout_us.load(std::memory_order_relaxed)) {
        return kBlockTimedOut;
    }
    if (block->error_flag != 0) return kBlockErrorPacket;
    return kBlockInProgress;
}

void BlockAssembler::check_block_complete(StreamBlock* current, int64_t now) {
    // What nearly every datagram finds: its block is the only one open, so nothing else can be
    // delivered or idle, and the block itself is still in progress.
    if (all_blocks_.size() == 1 && all_blocks_.front() == current &&
        finished_status(current, now) == kBlockInProgress)
        return;
    while (!all_blocks_.empty()) {
        StreamBlock* head = all_blocks_.front();
        const BlockStatus status = finished_status(head, now);
        if (status == kBlockInProgress) break;
        deliver(head, status, now);
    }
    const int64_t packet_timeout = shared_.settings.packet_timeout_us.load(std::memory_order_relaxed);
    for (StreamBlock* block : all_blocks_) {
        if (block != current && now - block->update_time_us >= packet_timeout) {
            packet_resend_check(block, block->packet_number - 1, now);
        }
    }
}

void BlockAssembler::deliver(StreamBlock* block, BlockStatus status, int64_t now) {
    switch (status) {
        case kBlockComplete:
            TAVI_LOG_DEBUG(
                config_.log,
                "[function:check_block_complete] Write data that has been completely received, block id: "
                "%d, channel index: %d, last valid packet: %d, the packet number is %d.",
                block->block_id, config_.channel_index, block->last_valid_packet, block->packet_number);
            break;
        case kBlockNextBlockArrived:
            TAVI_LOG_DEBUG(
                config_.log,
                "[function:check_block_complete] No resend request and the next block data is comming, "
                "block id: %d.",
                block->block_id);
            break;
        case kBlockTimedOut:
            TAVI_LOG_DEBUG(config_.log,
                           "[function:check_block_complete] Write data wait time out, block id: %d.",
                           block->block_id);
            break;
        default:
            TAVI_LOG_DEBUG(config_.log,
                           "[function:check_block_complete] Write data received error packet, block id: %d.",
                           block->block_id);
            break;
    }
    block->status = status;
    all_blocks_.erase(all_blocks_.begin());
    write_recive_data(block, now);
}

void BlockAssembler::count_delivery(const StreamBlock* block) {
    BlockCounters& blocks = shared_.blocks;
    switch (block->status) {
        case kBlockComplete:
            blocks.complete.Add();
            return;
        case kBlockFlushed:
            blocks.flushed.Add();
            return;
        default:
            break;
    }
    blocks.incomplete.Add();
    shared_.packets.missing.Add(static_cast<uint32_t>(block->packet_number - block->last_valid_packet - 1));
    if (block->status == kBlockTimedOut) blocks.timed_out.Add();
    if (block->status == kBlockErrorPacket) blocks.error_packet.Add();
}

// Zeroes the places of payload packets whose bytes never arrived (for a point cloud: no measurement),
// so that an incomplete frame never shows bytes of an earlier one.
void BlockAssembler::clear_missing_bytes(const StreamBlock* block) {
    unsigned char* data = block->buffer->frame.data;
    for (uint32_t id = 1; id + 1 < block->packet_number; ++id) {
        if ((block->packet_flags[id] & kPacketWritten) == 0)
            std::memset(data + region_start(id), 0, region_end(id) - region_start(id));
    }
}

void BlockAssembler::write_recive_data(StreamBlock* block, int64_t now) {
    count_delivery(block);
    PhotoInfo& frame = block->buffer->frame;
    if ((block->packet_flags[0] & kPacketReceived) == 0) {
        TAVI_LOG_DEBUG(config_.log, "[function:write_recive_data] there is no head recivecd of block_id: %d.",
                       block->block_id);
    }
    bool whole = !block->format_error;
    for (uint32_t id = 1; id + 1 < block->packet_number && whole; ++id)
        whole = (block->packet_flags[id] & kPacketWritten) != 0;
    if (!whole) clear_missing_bytes(block);
    frame.reserved = (block->status == kBlockComplete && !whole) ? kBlockFormatError : block->status;
    shared_.ready_queue.Put(block->buffer);
    block->buffer = nullptr;
    TAVI_LOG_INFO(config_.log,
                  "[function:write_recive_data] write data statistics data. block : %d, channel_index_: %d.",
                  block->block_id, config_.channel_index);
    RecieveTimeStatistics(ClampToInt32(now - block->create_time_us));
    BlockRateStatistics(now);
    recycle(block);
    TAVI_LOG_INFO(config_.log, "[function:write_recive_data] write data send data.");
    sendto_stream_source_data();
    TAVI_LOG_INFO(config_.log, "[function:write_recive_data] write data sucess.");
}

void BlockAssembler::recycle(StreamBlock* block) { spare_blocks_.push_back(block); }

void BlockAssembler::flush_blocks(int64_t now) {
    TAVI_LOG_INFO(config_.log, "[function:flush_blocks] Start to flush blocks.");
    std::vector<StreamBlock*> open;
    open.swap(all_blocks_);
    for (StreamBlock* block : open) {
        block->status = kBlockFlushed;
        write_recive_data(block, now);
    }
    TAVI_LOG_INFO(config_.log, "[function:flush_blocks] Flush blocks end.");
}

void BlockAssembler::free_queued_buffers() {
    for (FrameQueue* queue : {&shared_.free_queue, &shared_.ready_queue}) {
        while (FrameBuffer* buffer = queue->TryTake()) {
            FreeFrameBuffer(buffer);
            --buffer_count_;
        }
    }
}

void BlockAssembler::sendto_stream_source_data() {
    static constexpr char kFirewallBytes[2] = {'0', '1'};
    // A camera that does not report its source port (it reads 0) leaves no path to keep open.
    if (peers_.source_port == 0) return;
    const int sent = send_udp(peers_.data_socket, peers_.camera_address, peers_.source_port, kFirewallBytes,
                              static_cast<int>(sizeof kFirewallBytes));
    if (sent < 2) {
        TAVI_LOG_ERROR(config_.log,
                       "[function:sendto_stream_source_data] Failed to send data to stream port.");
    }
}

// ---- statistics ----------------------------------------------------------------------------------

void BlockAssembler::RecieveTimeStatistics(int32_t receive_time_us) {
    shared_.receive_times.Record(receive_time_us);
}

[[gnu::always_inline]] inline void BlockAssembler::NetSpeedStatistics(int length, int64_t now) {
    StreamRates& rates = shared_.rates;
    if (rates.net_window_start_us == 0) rates.net_window_start_us = now;
    const int64_t elapsed = now - rates.net_window_start_us;
    rates.net_window_bytes += length + static_cast<int>(gvsp::kIpUdpHeaderSize);
    if (elapsed >= kMicrosecondsPerSecond) {
        rates.net_window_start_us = now;
        const float seconds = static_cast<float>(elapsed) / static_cast<float>(kMicrosecondsPerSecond);
        rates.net_speed.store(static_cast<uint32_t>(static_cast<float>(rates.net_window_bytes) / seconds),
                              std::memory_order_relaxed);
        rates.net_window_bytes = 0;
    }
}

void BlockAssembler::BlockRateStatistics(int64_t now) {
    StreamRates& rates = shared_.rates;
    if (rates.block_window_start_us == 0) rates.block_window_start_us = now;
    ++rates.block_window_count;
    const int64_t elapsed = now - rates.block_window_start_us;
    if (elapsed >= kMicrosecondsPerSecond) {
        const float seconds = static_cast<float>(elapsed) / static_cast<float>(kMicrosecondsPerSecond);
        rates.block_rate.store(static_cast<float>(rates.block_window_count) / seconds,
                               std::memory_order_relaxed);
        rates.block_window_count = 0;
        rates.block_window_start_us = now;
    }
}

}  // namespace tavi::stream
