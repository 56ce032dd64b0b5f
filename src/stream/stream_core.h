#pragma once
// What a GigeStream is made of: the shared state, the receive thread and the thread's assembler.

#include <atomic>
#include <cstdint>
#include <thread>

#include "stream/block_assembler.h"

namespace tavi::stream {

class StreamCore {
  public:
    StreamCore(const AssemblerConfig& config, const StreamPeers& peers, uint32_t adapter_address);
    ~StreamCore();
    StreamCore(const StreamCore&) = delete;
    StreamCore& operator=(const StreamCore&) = delete;

    StreamShared shared;
    const AssemblerConfig config;

  private:
    static int Stream_Thread(StreamCore* core);
    void loop();
    void serve_datagrams(class DatagramBatch& batch, int count, int64_t now);

    BlockAssembler assembler_;
    StreamPeers peers_;
    const uint32_t adapter_address_;
    std::atomic<int> exit_flag_{0};
    std::thread thread_;
    bool data_socket_closed_ = false;
};

// Microseconds of a clock that never steps, for durations and time-outs.
int64_t MonotonicMicroseconds();

}  // namespace tavi::stream
