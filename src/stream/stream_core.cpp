#include "stream/stream_core.h"

#include <pthread.h>

#include <system_error>

#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"
#include "stream/datagram_batch.h"
#include "stream/gvsp_protocol.h"
#include "stream/packet_ring.h"

namespace tavi::stream {

namespace {
constexpr size_t kBatchSlots = 32;
constexpr uint32_t kPacketOverhead = static_cast<uint32_t>(gvsp::kPacketOverhead);
// What the ring spends on each datagram beyond its UDP payload: the ring's own packet header and
// link address, and the IP and UDP headers.
constexpr uint64_t kRingBytesPerDatagram = 128;

// Room in the ring for as many frames as the stream may hold buffers for, and two more arriving
// while the receive thread is held up, in the datagrams that carry them.
constexpr uint32_t kFramesInFlight = 2;
uint64_t RingBytesFor(const AssemblerConfig& config, uint32_t frames) {
    const uint64_t payload = config.info.payload_size;
    const uint64_t per_packet = config.packet_payload_size;
    const uint64_t datagrams = (payload + per_packet - 1) / per_packet + 2;
    return (payload + datagrams * kRingBytesPerDatagram) * frames;
}
}  // namespace

StreamCore::StreamCore(const AssemblerConfig& stream_config, const StreamPeers& peers,
                       uint32_t adapter_address)
    : config(stream_config),
      assembler_(shared, stream_config),
      peers_(peers),
      adapter_address_(adapter_address) {
    // The resend socket is made before the thread, so that stream set-up can report a failure
    // instead of a stream that never receives anything.
    start_code_ = open_resend_socket();
    if (start_code_ != 0) return;
    // Before the thread starts and before the caller can start the camera, so that no datagram
    // is missed.
    through_ring_ = open_packet_ring();
    try {
        thread_ = std::thread(&StreamCore::Stream_Thread, this);
    } catch (const std::exception&) {  // no thread (std::system_error) or no memory for its state
        net::close_udp_socket(peers_.data_socket);
        data_socket_closed_ = true;
        start_code_ = TAVI_ERR_NO_STREAM;
        TAVI_LOG_ERROR(config.log,
                       "[function:GigeStream] GigeStream constructor create stream thread error.");
        return;
    }
    TAVI_LOG_INFO(config.log, "[function:GigeStream] GigeStream constructor recv data thread create sucess.");
}

StreamCore::~StreamCore() {
    Close();
    exit_flag_.store(1);
    if (thread_.joinable()) thread_.join();
    if (!data_socket_closed_) net::close_udp_socket(peers_.data_socket);
    if (peers_.resend_socket >= 0) net::close_udp_socket(peers_.resend_socket);
    assembler_.free_queued_buffers();
}

void StreamCore::Close() {
    callers.CloseAndWait([this] { shared.ready_queue.Close(); });
}

int StreamCore::open_resend_socket() {
    const int channel = config.channel_index;
    const int resend_socket = open_udp_socket();
    if (resend_socket < 0) {
        TAVI_LOG_ERROR(config.log,
                       "[function:Stream_Thread] Failed to initialize The resend socket.c hannel_index_: %d",
                       channel);
        return TAVI_ERR_SOCKET_CREATE;
    }
    if (bind_udp_socket(resend_socket, adapter_address_, 0) < 0) {
        TAVI_LOG_ERROR(config.log,
                       "[function:Stream_Thread] Failed to bind The resend socket. channel_index_: %d",
                       channel);
        net::close_udp_socket(resend_socket);
        return TAVI_ERR_SOCKET_BIND;
    }
    peers_.resend_socket = resend_socket;
    return 0;
}

int StreamCore::Stream_Thread(StreamCore* core) {
    cameralog* log = core->config.log;
    const int channel = core->config.channel_index;
    TAVI_LOG_INFO(log, "[function:Stream_Thread] Thread start. channel_index_: %d", channel);
    // A name that tools (top -H, the benchmark) can find the receive thread by.
    pthread_setname_np(pthread_self(), "tavi-stream");
    core->assembler_.set_peers(core->peers_);
    core->assembler_.sendto_stream_source_data();
    TAVI_LOG_INFO(log, "[function:Stream_Thread] Start thread loop.channel_index_: %d", channel);
    core->loop();
    core->assembler_.flush_blocks(MonotonicMicroseconds());
    return 0;
}

void StreamCore::loop() {
    int64_t last_firewall_us = MonotonicMicroseconds();
    DatagramBatch batch(kBatchSlots);
    if (!batch.ready()) {
        TAVI_LOG_ERROR(config.log, "[function:loop] The parameter which malloc has error.");
        return;
    }
    TAVI_LOG_DEBUG(config.log, "[function:loop] Packet payload size is: %d, thread exit is %d.",
                   config.packet_payload_size, exit_flag_.load());
    if (through_ring_) serve_queued_on_socket(batch);
    const int waited_socket = through_ring_ ? ring_.descriptor() : peers_.data_socket;
    const StreamSettings& settings = shared.settings;
    bool link_error_reported = false;
    while (exit_flag_.load(std::memory_order_relaxed) == 0) {
        int socket_error = 0;
        const WaitResult waited = WaitReadableMicroseconds(
            waited_socket, settings.socket_select_timeout_us.load(std::memory_order_relaxed), &socket_error);
        const int64_t now = MonotonicMicroseconds();
        if (waited == WaitResult::kFailed) {
            TAVI_LOG_ERROR(config.log, "[function:loop] Select error.");
            break;
        }
        if (waited == WaitResult::kSocketError) {
            // A link that goes down and comes back: reception resumes by itself, and the frames in
            // between end as incomplete or timed out. Reported once until data flows again.
            if (!link_error_reported) {
                TAVI_LOG_WARNING(config.log,
                                 "[function:loop] The data socket reported error %d (a link down?); the "
                                 "stream goes on. channel_index_: %d.",
                                 socket_error, config.channel_index);
                link_error_reported = true;
            }
            assembler_.check_block_complete(nullptr, now);
            continue;
        }
        if (waited == WaitResult::kTimeout) {
            if (now - last_firewall_us > settings.firewall_timeout_us.load(std::memory_order_relaxed)) {
                assembler_.sendto_stream_source_data();
                last_firewall_us = now;
            }
            TAVI_LOG_DEBUG(config.log, "[function:loop] Select over time.");
            assembler_.check_block_complete(nullptr, now);
            continue;
        }
        link_error_reported = false;
        int count = 0;
        if (through_ring_) {
            // The socket beside the ring is tended after every block, so that it never overflows
            // (and counts errors) while a long run of blocks is served.
            count =
                ring_.Drain([&](const uint8_t* bytes, int length, uint32_t sender,
                                int64_t arrival_us) { serve_datagram(bytes, length, sender, arrival_us); },
                            [&] { socket_beside_ring_.Tend(); });
        } else {
            count = batch.Receive(peers_.data_socket);
            for (int i = 0; i < count; ++i)
                serve_datagram(batch.data(i), batch.length(i), batch.sender(i), batch.arrival_us(i));
        }
        if (count <= 0) {
            TAVI_LOG_DEBUG(config.log, "[function:loop] chanel: %d, the data that recvfrom: %d.",
                           config.channel_index, -1);
            assembler_.check_block_complete(nullptr, now);
        }
    }
    TAVI_LOG_INFO(config.log, "[function:loop] End of the loop. channel_index_: %d.", config.channel_index);
}

// Where the process may, the kernel's packet ring takes the channel's datagrams and the UDP socket
// (kept for its port and the firewall datagrams) keeps only their headers. The ring sees only
// unfragmented datagrams, so it is used only when the channel's packets fit the adapter's MTU; the
// path taken is logged either way.
bool StreamCore::open_packet_ring() {
    const int channel = config.channel_index;
    const uint32_t packet_size = config.packet_payload_size + kPacketOverhead;
    const int mtu = InterfaceMtuOf(adapter_address_);
    const char* refusal = nullptr;
    uint16_t local_port = 0;
    if (!PacketRingAllowed()) {
        refusal = "the packet ring is switched off";
    } else if (mtu <= 0 || packet_size > static_cast<uint32_t>(mtu)) {
        refusal = "the packets do not fit the adapter's MTU";
    } else if (!net::LocalEndpoint(peers_.data_socket, nullptr, &local_port) ||
               !ring_.Open(
                   adapter_address_, local_port,
                   RingBytesFor(config, shared.settings.max_buffer_length.load() + kFramesInFlight))) {
        refusal = "the process may not open a packet ring";
    }
    if (refusal != nullptr) {
        TAVI_LOG_INFO(config.log,
                      "[function:GigeStream] Receiving through the UDP socket (%s; packet size %u, MTU %d). "
                      "channel_index_: %d.",
                      refusal, packet_size, mtu, channel);
        if (!DatagramBatch::ArrivalStamps(peers_.data_socket)) {
            TAVI_LOG_WARNING(config.log,
                             "[function:GigeStream] The data socket does not stamp arrivals; time-outs count "
                             "from when datagrams are served. channel_index_: %d.",
                             channel);
        }
        return false;
    }
    socket_beside_ring_.Adopt(peers_.data_socket);
    TAVI_LOG_INFO(config.log,
                  "[function:GigeStream] Receiving through the packet ring of %zu bytes. channel_index_: %d.",
                  ring_.memory_bytes(), channel);
    return true;
}

// The UDP socket beside the ring, once before the first wait: datagrams that reached it before it kept
// only headers are served (the ring may hold them too: they then count as duplicates). From then on
// it holds headers alone, which the socket beside the ring disposes of.
void StreamCore::serve_queued_on_socket(DatagramBatch& batch) {
    int count;
    while ((count = batch.Receive(peers_.data_socket)) > 0) {
        for (int i = 0; i < count; ++i) {
            if (batch.length(i) > 0)
                serve_datagram(batch.data(i), batch.length(i), batch.sender(i), batch.arrival_us(i));
        }
    }
}

// One datagram in arrival order, as if it had been received alone at `arrival_us`; only the camera's
// are used.
void StreamCore::serve_datagram(const uint8_t* bytes, int length, uint32_t sender, int64_t arrival_us) {
    TAVI_LOG_DEBUG(config.log, "[function:loop] chanel: %d, the data that recvfrom: %d.",
                   config.channel_index, length);
    StreamBlock* current = nullptr;
    if (length > 0) {
        if (sender == peers_.camera_address) {
            current = assembler_.process_packet(bytes, length, arrival_us);
        } else {
            assembler_.count_foreign_datagram();
        }
    }
    assembler_.check_block_complete(current, arrival_us);
}

}  // namespace tavi::stream
