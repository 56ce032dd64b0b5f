#pragma once
// What a stream shares between its receive thread and the caller's threads: the settings (written
// by callers, read by the thread on each use), the counters, the receive-time histogram and the
// rates (written by the thread, read by callers). Each value is atomic on its own; the histogram,
// too large for that, sits behind a lock taken once per delivered frame.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "TaviSDK/Types.h"

namespace tavi::stream {

struct StreamSettings {
    std::atomic<uint32_t> max_buffer_length{4};
    std::atomic<int> packet_resend_flag{1};
    std::atomic<double> packet_resend_ratio{1.0};
    std::atomic<uint32_t> socket_select_timeout_us{10000};
    std::atomic<uint32_t> packet_timeout_us{40000};
    std::atomic<uint32_t> block_timeout_us{100000};
    std::atomic<uint32_t> firewall_timeout_us{3000000};
};

// One counter written by the receive thread alone: a plain load and store suffice, no locked add.
class Counter {
  public:
    void Add(uint32_t n = 1) {
        value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    uint32_t Get() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint32_t> value_{0};
};

struct BlockCounters {
    Counter complete;
    Counter incomplete;
    Counter timed_out;
    Counter not_stored;
    Counter flushed;
    Counter id_jumps;
    Counter error_packet;
    Counter truncated;
};

struct PacketCounters {
    Counter received;
    Counter missing;
    Counter format_errors;
    Counter unused;
    Counter resend_requested;
    Counter resent_received;
    Counter duplicates;
};

class ReceiveTimeHistogram {
  public:
    void Record(int32_t receive_time_us) {
        std::lock_guard guard(lock_);
        RecordStatisticsSample(&data_, receive_time_us);
    }
    StatisticsData Snapshot() {
        std::lock_guard guard(lock_);
        return data_;
    }

  private:
    std::mutex lock_;
    StatisticsData data_;
};

// Net speed in bytes per second and block rate in blocks per second, each over windows of at least
// one second; the windows belong to the receive thread, the results are read by callers.
struct StreamRates {
    std::atomic<uint32_t> net_speed{0};
    std::atomic<float> block_rate{0.0f};
    int64_t net_window_start_us = 0;
    int64_t net_window_bytes = 0;
    int64_t block_window_start_us = 0;
    uint32_t block_window_count = 0;
};

}  // namespace tavi::stream
