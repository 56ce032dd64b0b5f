#include "stream/stream_core.h"

#include <pthread.h>

#include <chrono>
#include <system_error>

#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"
#include "stream/datagram_batch.h"
#include "stream/packet_ring.h"

namespace tavi::stream {

namespace {
constexpr size_t kBatchSlots = 32;
constexpr uint64_t kFramesInRing = 6;  // as much room as the socket's receive buffer
}  // namespace

int64_t MonotonicMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

StreamCore::StreamCore(const AssemblerConfig& stream_config, const StreamPeers& peers,
                       uint32_t adapter_address)
    : config(stream_config),
      assembler_(shared, stream_config),
      peers_(peers),
      adapter_address_(adapter_address) {
    // Before the thread starts and before the caller can start the camera, so that no datagram
    // is missed.
    through_ring_ = open_packet_ring();
    try {
        thread_ = std::thread(&StreamCore::Stream_Thread, this);
    } catch (const std::system_error&) {
        net::close_udp_socket(peers_.data_socket);
        data_socket_closed_ = true;
        TAVI_LOG_ERROR(config.log,
                       "[function:GigeStream] GigeStream constructor create stream thread error.");
    }
    TAVI_LOG_INFO(config.log, "[function:GigeStream] GigeStream constructor recv data thread create sucess.");
}

StreamCore::~StreamCore() {
    exit_flag_.store(1);
    if (thread_.joinable()) thread_.join();
    if (!data_socket_closed_) net::close_udp_socket(peers_.data_socket);
    assembler_.free_queued_buffers();
}

int StreamCore::Stream_Thread(StreamCore* core) {
    cameralog* log = core->config.log;
    const int channel = core->config.channel_index;
    TAVI_LOG_INFO(log, "[function:Stream_Thread] Thread start. channel_index_: %d", channel);
    // A name that tools (top -H, the benchmark) can find the receive thread by.
    pthread_setname_np(pthread_self(), "tavi-stream");
    const int resend_socket = open_udp_socket();
    if (resend_socket < 0) {
        TAVI_LOG_ERROR(log,
                       "[function:Stream_Thread] Failed to initialize The resend socket.c hannel_index_: %d",
                       channel);
        return -6;
    }
    if (bind_udp_socket(resend_socket, core->adapter_address_, 0) < 0) {
        TAVI_LOG_ERROR(log, "[function:Stream_Thread] Failed to bind The resend socket. channel_index_: %d",
                       channel);
        net::close_udp_socket(resend_socket);
        return -7;
    }
    core->peers_.resend_socket = resend_socket;
    core->assembler_.set_peers(core->peers_);
    core->assembler_.sendto_stream_source_data();
    TAVI_LOG_INFO(log, "[function:Stream_Thread] Start thread loop.channel_index_: %d", channel);
    core->loop();
    core->assembler_.flush_blocks(MonotonicMicroseconds());
    net::close_udp_socket(resend_socket);
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
    if (through_ring_) serve_queued_on_socket(batch, MonotonicMicroseconds());
    const int waited_socket = through_ring_ ? ring_.descriptor() : peers_.data_socket;
    const StreamSettings& settings = shared.settings;
    while (exit_flag_.load(std::memory_order_relaxed) == 0) {
        const int readable = WaitReadableMicroseconds(
            waited_socket, settings.socket_select_timeout_us.load(std::memory_order_relaxed));
        const int64_t now = MonotonicMicroseconds();
        if (readable < 0) {
            TAVI_LOG_ERROR(config.log, "[function:loop] Select error.");
            break;
        }
        if (readable == 0) {
            if (now - last_firewall_us > settings.firewall_timeout_us.load(std::memory_order_relaxed)) {
                assembler_.sendto_stream_source_data();
                last_firewall_us = now;
            }
            TAVI_LOG_DEBUG(config.log, "[function:loop] Select over time.");
            assembler_.check_block_complete(nullptr, now);
            continue;
        }
        int count = 0;
        if (through_ring_) {
            count = ring_.Drain([&](const uint8_t* bytes, int length, uint32_t sender) {
                serve_datagram(bytes, length, sender, now);
            });
        } else {
            count = batch.Receive(peers_.data_socket);
            for (int i = 0; i < count; ++i)
                serve_datagram(batch.data(i), batch.length(i), batch.sender(i), now);
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
// (kept for its port and the firewall datagrams) drops its copies.
bool StreamCore::open_packet_ring() {
    if (!PacketRingAllowed()) return false;
    uint16_t local_port = 0;
    if (!net::LocalEndpoint(peers_.data_socket, nullptr, &local_port)) return false;
    const uint64_t ring_bytes = static_cast<uint64_t>(config.info.payload_size) * kFramesInRing;
    if (!ring_.Open(adapter_address_, local_port, ring_bytes)) return false;
    DropEverythingOn(peers_.data_socket);
    TAVI_LOG_INFO(config.log, "[function:GigeStream] Receiving through the packet ring. channel_index_: %d.",
                  config.channel_index);
    return true;
}

// Datagrams that reached the socket before its copies were dropped come first.
void StreamCore::serve_queued_on_socket(DatagramBatch& batch, int64_t now) {
    int count;
    while ((count = batch.Receive(peers_.data_socket)) > 0) {
        for (int i = 0; i < count; ++i) serve_datagram(batch.data(i), batch.length(i), batch.sender(i), now);
    }
}

// One datagram in arrival order, as if it had been received alone; only the camera's are used.
void StreamCore::serve_datagram(const uint8_t* bytes, int length, uint32_t sender, int64_t now) {
    TAVI_LOG_DEBUG(config.log, "[function:loop] chanel: %d, the data that recvfrom: %d.",
                   config.channel_index, length);
    StreamBlock* current = nullptr;
    if (length > 0) {
        if (sender == peers_.camera_address) {
            current = assembler_.process_packet(bytes, length, now);
        } else {
            assembler_.count_foreign_datagram();
        }
    }
    assembler_.check_block_complete(current, now);
}

}  // namespace tavi::stream
