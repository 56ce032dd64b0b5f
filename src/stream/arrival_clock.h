#pragma once
// When each datagram reached this machine, on the receiver's own clock. The kernel stamps datagrams
// with the wall clock as they arrive; the receiver's time-outs count in monotonic microseconds. A
// receive thread that serves a backlog late (after a long run of blocks, or after the scheduler kept
// it waiting) judges every time-out by these arrival times, so a frame whose last datagrams sit
// in the backlog is not ended as timed out before they are served.

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tavi::stream {

// Microseconds of a clock that never steps, for durations and time-outs.
inline int64_t MonotonicMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

class ArrivalClock {
  public:
    // Starts counting at the moment nothing can have arrived before: the receiver's opening.
    explicit ArrivalClock(int64_t opened_us = MonotonicMicroseconds())
        : run_now_us_(opened_us), last_us_(opened_us) {}

    // Reads both clocks once before a run of datagrams that all arrived before this moment.
    void StartRun() {
        using namespace std::chrono;
        StartRunAt(MonotonicMicroseconds(),
                   duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
    }
    // The same with the two clocks' readings given (tests step the wall clock with it).
    void StartRunAt(int64_t monotonic_us, int64_t wall_us) {
        run_now_us_ = monotonic_us;
        wall_to_monotonic_us_ = monotonic_us - wall_us;
    }

    // A datagram's arrival on the monotonic clock. Kept in arrival order and no later than the run's
    // start, so that a step of the wall clock moves no arrival outside the span between the previous
    // arrival and that start. A datagram without a stamp (both fields 0) counts as arriving then.
    int64_t MonotonicOf(int64_t wall_seconds, int64_t wall_nanoseconds) {
        if (wall_seconds == 0 && wall_nanoseconds == 0) return Unstamped();
        const int64_t arrival = wall_seconds * 1'000'000 + wall_nanoseconds / 1000 + wall_to_monotonic_us_;
        if (arrival > last_us_) last_us_ = std::min(arrival, run_now_us_);
        return last_us_;
    }

    // For a datagram of the run that carries no stamp at all.
    int64_t Unstamped() {
        last_us_ = run_now_us_;
        return last_us_;
    }

  private:
    int64_t run_now_us_;
    int64_t wall_to_monotonic_us_ = 0;
    int64_t last_us_;
};

}  // namespace tavi::stream
