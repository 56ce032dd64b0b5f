#include <cstring>

#include "TaviSDK/GigeStream.h"
#include "net/gvcp_protocol.h"
#include "stream/gvsp_protocol.h"
#include "stream/stream_core.h"

using tavi::stream::FrameBuffer;
using tavi::stream::StreamCore;

namespace {

constexpr int kNoStream = TAVI_ERR_NO_STREAM;
constexpr uint32_t kFallbackPacketPayloadSize =
    tavi::gvcp::kDefaultPacketSize - static_cast<uint32_t>(tavi::gvsp::kPacketOverhead);
constexpr double kRatioSlack = 1e-10;

// Whether a member was called on a null object. The pointer passes through an empty asm statement,
// so the compiler cannot assume that `this` is never null and drop the test.
bool IsNullStream(const GigeStream* stream) {
    asm("" : "+r"(stream));
    return stream == nullptr;
}

tavi::stream::AssemblerConfig MakeConfig(const DataStreamPrivateInfo* info, unsigned short channel_index,
                                         int packet_payload_size, int64_t tick_frequency, cameralog* log) {
    tavi::stream::AssemblerConfig config;
    if (info != nullptr) config.info = *info;
    config.channel_index = channel_index;
    config.packet_payload_size =
        packet_payload_size > 0 ? static_cast<uint32_t>(packet_payload_size) : kFallbackPacketPayloadSize;
    config.tick_frequency = tick_frequency > 0 ? tick_frequency : 0;
    config.log = log;
    return config;
}

// A caller inside a capture call; a stream that is closing lets nobody in (and takes nothing).
class InsideStream {
  public:
    explicit InsideStream(StreamCore& core) : core_(core), entered_(core.callers.Enter()) {}
    ~InsideStream() {
        if (entered_) core_.callers.Leave();
    }
    InsideStream(const InsideStream&) = delete;
    InsideStream& operator=(const InsideStream&) = delete;
    bool entered() const { return entered_; }

  private:
    StreamCore& core_;
    const bool entered_;
};

// Copies the frame into the caller's record, which keeps its own data pointer.
void capture_data_process(const StreamCore& core, PhotoInfo* destination, const PhotoInfo& frame) {
    TAVI_LOG_INFO(core.config.log, "[function:capture_data_process] Start to copy the captured data.");
    std::memcpy(destination->data, frame.data, frame.payload_size);
    unsigned char* data = destination->data;
    *destination = frame;
    destination->data = data;
    TAVI_LOG_INFO(core.config.log,
                  "[function:capture_data_process] End to copy the captured data. block_id: %d, "
                  "stream_channel_index_: %d",
                  frame.block_id, core.config.channel_index);
}

}  // namespace

GigeStream::GigeStream(DataStreamPrivateInfo* info, unsigned short channel_index, int data_socket,
                       int adapter_address, int camera_address, int source_port, int local_port,
                       int packet_payload_size, int64_t tick_frequency, cameralog* log) {
    (void)local_port;
    if (info == nullptr) TAVI_LOG_ERROR(log, "[function:GigeStream] The stream information is empty.");
    if (packet_payload_size <= 0) {
        TAVI_LOG_ERROR(log,
                       "[function:GigeStream] The packet payload size %d is not usable, %u is used instead.",
                       packet_payload_size, kFallbackPacketPayloadSize);
    }
    tavi::stream::StreamPeers peers;
    peers.data_socket = data_socket;
    peers.camera_address = static_cast<uint32_t>(camera_address);
    peers.control_port = tavi::gvcp::kPort;
    peers.source_port = static_cast<uint16_t>(source_port);
    core_ = std::make_unique<StreamCore>(
        MakeConfig(info, channel_index, packet_payload_size, tick_frequency, log), peers,
        static_cast<uint32_t>(adapter_address));
}

// Callers still waiting for a frame wake without one before anything they use is freed.
GigeStream::~GigeStream() {
    if (core_ != nullptr) core_->Close();
}

int GigeStream::StartCode() const { return core_->start_code(); }

// ---- capture -------------------------------------------------------------------------------------

int GigeStream::Capture(PhotoInfo* frame) {
    if (IsNullStream(this)) return kNoStream;
    cameralog* log = core_->config.log;
    if (frame == nullptr) {
        TAVI_LOG_ERROR(log, "[function:Capture] The parameter passed in is empty.");
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const InsideStream inside(*core_);
    FrameBuffer* buffer = inside.entered() ? core_->shared.ready_queue.Take() : nullptr;
    if (buffer == nullptr) {
        TAVI_LOG_ERROR(log, "[function:Capture] Capture error.");
        return TAVI_ERR_CAPTURE;
    }
    const PhotoInfo& ready = buffer->frame;
    TAVI_LOG_DEBUG(log,
                   "[function:Capture] Capture temp_buffer width is %d, height is %d, pixel_format is %d, "
                   "payload_size is %d.",
                   ready.width, ready.height, ready.pixel_format, ready.payload_size);
    capture_data_process(*core_, frame, ready);
    core_->shared.free_queue.Put(buffer);
    TAVI_LOG_DEBUG(
        log,
        "[function:Capture] Capture buffer width is %d, height is %d, pixel_format is %d, payload_size "
        "is %d.",
        frame->width, frame->height, frame->pixel_format, frame->payload_size);
    return TAVI_OK;
}

int GigeStream::TryCapture(PhotoInfo* frame) {
    if (IsNullStream(this)) return kNoStream;
    cameralog* log = core_->config.log;
    if (frame == nullptr) {
        TAVI_LOG_ERROR(log, "[function:TryCapture] The parameter passed in is empty.");
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const InsideStream inside(*core_);
    FrameBuffer* buffer = inside.entered() ? core_->shared.ready_queue.TryTake() : nullptr;
    if (buffer == nullptr) {
        TAVI_LOG_ERROR(log, "[function:TryCapture] Capture timeout.");
        return TAVI_ERR_NO_FRAME;
    }
    capture_data_process(*core_, frame, buffer->frame);
    core_->shared.free_queue.Put(buffer);
    return TAVI_OK;
}

int GigeStream::TimeoutCapture(PhotoInfo* frame, int64_t timeout_us) {
    if (IsNullStream(this)) return kNoStream;
    cameralog* log = core_->config.log;
    if (frame == nullptr) {
        TAVI_LOG_ERROR(log, "[function:TimeoutCapture] The parameter passed in is empty.");
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const InsideStream inside(*core_);
    FrameBuffer* buffer = inside.entered() ? core_->shared.ready_queue.TakeWithTimeout(timeout_us) : nullptr;
    if (buffer == nullptr) {
        TAVI_LOG_ERROR(log, "[function:TimeoutCapture] Capture timeout.");
        return TAVI_ERR_NO_FRAME;
    }
    capture_data_process(*core_, frame, buffer->frame);
    core_->shared.free_queue.Put(buffer);
    return TAVI_OK;
}

void GigeStream::FlushBuffer() {
    if (IsNullStream(this)) return;
    const InsideStream inside(*core_);
    if (!inside.entered()) return;
    FrameBuffer* buffer;
    do {
        buffer = core_->shared.ready_queue.TryTake();
        core_->shared.free_queue.Put(buffer);
        TAVI_LOG_INFO(core_->config.log, "[function:FlushBuffer] Flush buffer success.");
    } while (buffer != nullptr);
}

// ---- statistics ----------------------------------------------------------------------------------

void GigeStream::GetBlockStatistics(unsigned* complete, unsigned* incomplete, unsigned* timed_out,
                                    unsigned* not_stored, unsigned* flushed, unsigned* id_jumps,
                                    unsigned* error_packet, unsigned* truncated) {
    if (IsNullStream(this)) return;
    const tavi::stream::BlockCounters& blocks = core_->shared.blocks;
    const std::pair<unsigned*, const tavi::stream::Counter*> outputs[] = {
        {complete, &blocks.complete},         {incomplete, &blocks.incomplete},
        {timed_out, &blocks.timed_out},       {not_stored, &blocks.not_stored},
        {flushed, &blocks.flushed},           {id_jumps, &blocks.id_jumps},
        {error_packet, &blocks.error_packet}, {truncated, &blocks.truncated}};
    for (const auto& [out, counter] : outputs) {
        if (out != nullptr) *out = counter->Get();
    }
}

void GigeStream::GetPacketStatistics(unsigned* received, unsigned* missing, unsigned* format_errors,
                                     unsigned* unused, unsigned* resend_requested, unsigned* resent_received,
                                     unsigned* duplicates) {
    if (IsNullStream(this)) return;
    const tavi::stream::PacketCounters& packets = core_->shared.packets;
    const std::pair<unsigned*, const tavi::stream::Counter*> outputs[] = {
        {received, &packets.received},
        {missing, &packets.missing},
        {format_errors, &packets.format_errors},
        {unused, &packets.unused},
        {resend_requested, &packets.resend_requested},
        {resent_received, &packets.resent_received},
        {duplicates, &packets.duplicates}};
    for (const auto& [out, counter] : outputs) {
        if (out != nullptr) *out = counter->Get();
    }
}

void GigeStream::GetRecieveTimeStatistics(StatisticsData* statistics) {
    if (IsNullStream(this) || statistics == nullptr) return;
    *statistics = core_->shared.receive_times.Snapshot();
}

int GigeStream::GetNetSpeed() {
    if (IsNullStream(this)) return kNoStream;
    return static_cast<int>(core_->shared.rates.net_speed.load(std::memory_order_relaxed));
}

float GigeStream::GetBlockRate() {
    if (IsNullStream(this)) return static_cast<float>(kNoStream);
    return core_->shared.rates.block_rate.load(std::memory_order_relaxed);
}

// ---- settings ------------------------------------------------------------------------------------

namespace {

// Stores a time-out or length that must not be zero.
int StoreNonZero(std::atomic<uint32_t>& setting, unsigned value, cameralog* log, const char* rejection) {
    if (value == 0) {
        TAVI_LOG_ERROR(log, "%s", rejection);
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    setting.store(value, std::memory_order_relaxed);
    return TAVI_OK;
}

int Read(const std::atomic<uint32_t>& setting) {
    return static_cast<int>(setting.load(std::memory_order_relaxed));
}

}  // namespace

int GigeStream::SetMaxBufferLength(unsigned length) {
    if (IsNullStream(this)) return kNoStream;
    return StoreNonZero(core_->shared.settings.max_buffer_length, length, core_->config.log,
                        "[function:SetMaxBufferLength] The parameter passed in is empty.");
}

int GigeStream::GetMaxBufferLength() {
    return IsNullStream(this) ? kNoStream : Read(core_->shared.settings.max_buffer_length);
}

void GigeStream::SetPacketResendFlag(unsigned on) {
    if (IsNullStream(this)) return;
    core_->shared.settings.packet_resend_flag.store(on != 0 ? 1 : 0, std::memory_order_relaxed);
}

int GigeStream::GetPacketResendFlag() {
    return IsNullStream(this) ? kNoStream
                              : core_->shared.settings.packet_resend_flag.load(std::memory_order_relaxed);
}

int GigeStream::SetPacketResendRatio(double ratio) {
    if (IsNullStream(this)) return kNoStream;
    if (!(ratio >= -kRatioSlack && ratio <= 1.0 + kRatioSlack)) {
        TAVI_LOG_ERROR(core_->config.log,
                       "[function:SetPacketResendRatio] The parameter passed in is empty.");
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    core_->shared.settings.packet_resend_ratio.store(ratio, std::memory_order_relaxed);
    return TAVI_OK;
}

double GigeStream::GetPacketResendRatio() {
    if (IsNullStream(this)) return static_cast<double>(kNoStream);
    return core_->shared.settings.packet_resend_ratio.load(std::memory_order_relaxed);
}

int GigeStream::SetSocketSelectTimeout(unsigned timeout_us) {
    if (IsNullStream(this)) return kNoStream;
    return StoreNonZero(core_->shared.settings.socket_select_timeout_us, timeout_us, core_->config.log,
                        "[function:SetSocketSelectTimeout] The parameter passed in is empty.");
}

int GigeStream::GetSocketSelectTimeout() {
    return IsNullStream(this) ? kNoStream : Read(core_->shared.settings.socket_select_timeout_us);
}

int GigeStream::SetPacketTimeout(unsigned timeout_us) {
    if (IsNullStream(this)) return kNoStream;
    return StoreNonZero(core_->shared.settings.packet_timeout_us, timeout_us, core_->config.log,
                        "[function:SetPacketTimeout] The parameter passed in is empty.");
}

int GigeStream::GetPacketTimeout() {
    return IsNullStream(this) ? kNoStream : Read(core_->shared.settings.packet_timeout_us);
}

int GigeStream::SetBlockTimeout(unsigned timeout_us) {
    if (IsNullStream(this)) return kNoStream;
    return StoreNonZero(core_->shared.settings.block_timeout_us, timeout_us, core_->config.log,
                        "[function:SetBlockTimeout] The parameter passed in is empty.");
}

int GigeStream::GetBlockTimeout() {
    return IsNullStream(this) ? kNoStream : Read(core_->shared.settings.block_timeout_us);
}

int GigeStream::SetSendtoStreamPortBreakFirewallTimeout(unsigned timeout_us) {
    if (IsNullStream(this)) return kNoStream;
    return StoreNonZero(
        core_->shared.settings.firewall_timeout_us, timeout_us, core_->config.log,
        "[function:SetSendtoStreamPortBreakFirewallTimeout] The parameter passed in is zero.");
}

int GigeStream::GetSendtoStreamPortBreakFirewallTimeout() {
    return IsNullStream(this) ? kNoStream : Read(core_->shared.settings.firewall_timeout_us);
}
