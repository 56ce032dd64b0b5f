#pragma once
// The camera's GVCP control channel: one UDP socket towards port 3956 of the camera, a lock that
// lets one exchange (drain, send, receive) at a time use it, the request ids, and the register and
// memory operations built on the exchange. `GigeCamera` owns one and forwards its transport calls
// to it; the heartbeat thread and caller threads share it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "TaviSDK/CameraLog.h"

namespace tavi {

// The state the channel works on. These are public members of `GigeCamera` that callers and the
// flat interface read, so the channel works on them in place rather than keeping copies.
struct ControlEndpoint {
    std::mutex& lock;      // held for each exchange
    uint16_t& request_id;  // the last id handed out
    int& socket;           // -1 while no channel is open
    uint32_t& camera_ip;
};

class ControlChannel {
  public:
    // Sleeps between two attempts of an exchange; tests replace it with one that returns at once.
    using RetryPause = std::function<void(std::chrono::milliseconds)>;

    ControlChannel(ControlEndpoint endpoint, cameralog* log);
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // How long one attempt waits for the camera's answer.
    static constexpr std::chrono::milliseconds kReceiveTimeout{500};

    void SetRetryPause(RetryPause pause) { retry_pause_ = std::move(pause); }
    // Tests of a silent camera shorten the wait of each attempt.
    void SetReceiveTimeout(std::chrono::milliseconds timeout) {
        receive_timeout_ms_ = static_cast<int>(timeout.count());
    }

    // Opens the socket on the adapter address `pc_ip`: 0, -6 (no socket) or -7 (bind failed). A new
    // channel has a camera that is not lost.
    int Open(uint32_t pc_ip);
    void Close();
    bool IsOpen() const { return endpoint_.socket >= 0; }

    // The heartbeat declared the camera lost: from now on every command is sent once, so that the
    // teardown of a gone camera (closing streams, giving control back) does not wait out retries.
    void MarkLost() { lost_ = true; }
    bool Lost() const { return lost_.load(); }
    // Datagrams that reached the camera's sockets but were not its answer (spoofed, stray or late),
    // since the object was made.
    int IgnoredDatagrams() const { return ignored_.load(); }
    void NoteIgnored(int count) { ignored_ += count; }

    // One GVCP command and its acknowledge each, up to three attempts (one for a lost camera). Only
    // the camera's answer counts: from its address and port 3956, with the acknowledge code of the
    // command and the request's id; anything else is dropped and counted, and the wait goes on
    // within the same time-out. A device status comes back as (status << 16), with 0xFFFF below for
    // an error status, from a register read; as the status from the other three. No answer at all
    // gives -53, -52, -55 or -54.
    int ReadRegister(uint32_t address, int* value);
    int WriteRegister(uint32_t address, int value);
    // The whole acknowledge is left in `buffer` (at least 548 bytes), the data from offset 12.
    int ReadMem(uint32_t address, uint16_t count, char* buffer);
    // Writes the low 16 bits of `value`.
    int WriteMem(uint32_t address, uint16_t count, uint32_t value);

    // The next request id. The heartbeat thread draws ids too, so the counter is taken atomically.
    uint16_t NextRequestId();

    // One attempt on any socket, without the lock: drains what is waiting, sends `request` and takes
    // the camera's answer to it (as above) within `timeout_ms`. Its size, or negative when none
    // came; datagrams that were not the answer are added to `*ignored`.
    static int SendAndReceive(int socket, uint32_t camera_ip, const uint8_t* request, size_t request_size,
                              uint8_t* ack, size_t ack_capacity, int* ignored = nullptr,
                              int timeout_ms = static_cast<int>(kReceiveTimeout.count()));
    // Discards every datagram already waiting on the socket.
    static void Drain(int socket);

  private:
    // Sends `request` and receives its acknowledge, up to three attempts under the lock, pausing
    // `retry_pause` after each failed one. An acknowledge shorter than `success_size` with status 0,
    // or shorter than a header, counts as none. The acknowledge's size, or -1.
    int Exchange(const uint8_t* request, size_t request_size, uint8_t* ack, size_t ack_capacity,
                 size_t success_size, std::chrono::milliseconds retry_pause);

    ControlEndpoint endpoint_;
    cameralog* log_;
    RetryPause retry_pause_;
    std::atomic<int> receive_timeout_ms_{static_cast<int>(kReceiveTimeout.count())};
    std::atomic<bool> lost_{false};
    std::atomic<int> ignored_{0};
};

}  // namespace tavi
