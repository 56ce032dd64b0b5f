#pragma once
// What a GigeStream is made of: the shared state, the receive thread and the thread's assembler.

#include <atomic>
#include <cstdint>
#include <thread>

#include "stream/arrival_clock.h"
#include "stream/block_assembler.h"
#include "stream/datagram_batch.h"
#include "stream/packet_ring.h"
#include "stream/socket_beside_ring.h"

namespace tavi::stream {

class StreamCore {
  public:
    StreamCore(const AssemblerConfig& config, const StreamPeers& peers, uint32_t adapter_address);
    ~StreamCore();
    StreamCore(const StreamCore&) = delete;
    StreamCore& operator=(const StreamCore&) = delete;

    StreamShared shared;
    const AssemblerConfig config;
    CallerGate callers;

    // 0, or the code of the failure that kept the receive thread from starting: its resend socket
    // could not be made (-6) or bound (-7).
    int start_code() const { return start_code_; }
    // Wakes every caller waiting for a frame (they return without one) and waits until every
    // caller has left; the stream can then be destroyed.
    void Close();

  private:
    static int Stream_Thread(StreamCore* core);
    int open_resend_socket();
    void loop();
    bool open_packet_ring();
    void serve_queued_on_socket(DatagramBatch& batch);
    void serve_datagram(const uint8_t* bytes, int length, uint32_t sender, int64_t arrival_us);

    BlockAssembler assembler_;
    StreamPeers peers_;
    const uint32_t adapter_address_;
    std::atomic<int> exit_flag_{0};
    PacketRing ring_;
    SocketBesideRing socket_beside_ring_;
    bool through_ring_ = false;
    std::thread thread_;
    int start_code_ = 0;
    bool data_socket_closed_ = false;
};

}  // namespace tavi::stream
