#pragma once
// Paces the camera's packets to its link's bandwidth. One bucket serves every channel, as one
// cable would; a sender pays for a batch before sending it and sleeps off any debt.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vcam {

class TokenBucket {
  public:
    explicit TokenBucket(uint64_t bits_per_s) { SetRate(bits_per_s); }

    // 0 = unlimited.
    void SetRate(uint64_t bits_per_s) { bytes_per_s_.store(bits_per_s / 8); }
    uint64_t BitsPerSecond() const { return bytes_per_s_.load() * 8; }

    // Takes `bytes` from the bucket, sleeping until they are earned; gives up early (the debt
    // stays) once `stop` is set.
    void Acquire(uint64_t bytes, const std::atomic<bool>& stop) {
        const uint64_t rate = bytes_per_s_.load();
        if (rate == 0) return;
        double debt_s = 0;
        {
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            const double elapsed = std::chrono::duration<double>(now - last_).count();
            last_ = now;
            // A short burst may go out at line speed; a longer idle time earns no more than that.
            const double capacity = std::max(kMinBurstBytes, rate * kBurstSeconds);
            tokens_ = std::min(capacity, tokens_ + elapsed * static_cast<double>(rate));
            tokens_ -= static_cast<double>(bytes);
            if (tokens_ < 0) debt_s = -tokens_ / static_cast<double>(rate);
        }
        SleepFor(debt_s, stop);
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr double kMinBurstBytes = 64 * 1024;
    static constexpr double kBurstSeconds = 0.004;
    static constexpr double kSleepSliceSeconds = 0.01;

    static void SleepFor(double seconds, const std::atomic<bool>& stop) {
        while (seconds > 0 && !stop.load(std::memory_order_relaxed)) {
            const double slice = std::min(seconds, kSleepSliceSeconds);
            std::this_thread::sleep_for(std::chrono::duration<double>(slice));
            seconds -= slice;
        }
    }

    std::atomic<uint64_t> bytes_per_s_{0};
    std::mutex mutex_;
    double tokens_ = 0;
    Clock::time_point last_ = Clock::now();
};

}  // namespace vcam
