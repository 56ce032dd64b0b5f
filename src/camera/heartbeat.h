#pragma once
// The heartbeat: reads the camera's CCP register a few times per heartbeat time-out, which keeps
// control of a connected camera, and declares the camera lost (clears `connected`) when it stops
// answering or stops showing control. Time comes from outside, so the loss rules are tested on a
// clock that a test moves.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "TaviSDK/CameraLog.h"

namespace tavi {

class Heartbeat {
  public:
    using Clock = std::chrono::steady_clock;
    // A register read in ReadRegister's shape: 0, a device status, or -53 when nothing answered.
    using ReadRegisterFn = std::function<int(uint32_t address, int* value)>;
    // The clock, and the pause between two reads. Empty ones are the real clock and a wait that a
    // Wake ends early.
    struct Time {
        std::function<Clock::time_point()> now;
        std::function<void(std::chrono::milliseconds)> pause;
    };

    // `connected` and `timeout` are the camera's: a disconnect clears the first, the time-out
    // setter changes the second while the heartbeat runs.
    Heartbeat(ReadRegisterFn read_register, std::atomic<int>& connected, std::atomic<int>& timeout,
              cameralog* log);
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // Not while `Run` runs.
    void SetTime(Time time) { time_ = std::move(time); }
    // Called when the heartbeat declares the camera lost, before `connected` is cleared. Not while
    // `Run` runs.
    void SetOnLost(std::function<void()> on_lost) { on_lost_ = std::move(on_lost); }

    // The thread's body: reads the time-out, then the CCP once per period until the camera is lost
    // or disconnected. 0, or the code of a failed time-out read.
    unsigned int Run();
    // Ends the current pause at once; called after `connected` was cleared.
    void Wake();

    // The pause between two CCP reads: a third of the time-out less 500 ms, 100 ms at the least.
    static int PeriodMs(int timeout_ms);

  private:
    enum class Verdict { kAlive, kLost };
    // One CCP read and what it means for the connection.
    Verdict Beat(Clock::time_point* last_ok);
    void Lose(const char* message);
    Clock::time_point Now() const;
    void Pause(std::chrono::milliseconds period);

    ReadRegisterFn read_register_;
    std::atomic<int>& connected_;
    std::atomic<int>& timeout_;
    cameralog* log_;
    Time time_;
    std::function<void()> on_lost_;
    std::mutex pause_lock_;
    std::condition_variable wake_;
};

}  // namespace tavi
