#pragma once
// Frame buffers and the first-in first-out queue that passes them between the receive thread and
// the capture calls. The link lives in the buffer itself, so a put never allocates and never fails.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "TaviSDK/Types.h"

namespace tavi::stream {

// One frame: its description and a C-heap pixel area of the stream's payload size.
struct FrameBuffer {
    PhotoInfo frame{};
    FrameBuffer* newer = nullptr;  // link while the buffer sits in a queue
};

// Allocates a buffer with a zeroed pixel area of `payload_size` bytes; null if memory is short.
// `failed_part` tells which allocation failed.
enum class BufferAllocation { kOk, kRecordFailed, kPixelsFailed };
FrameBuffer* AllocateFrameBuffer(uint32_t payload_size, BufferAllocation* outcome);
void FreeFrameBuffer(FrameBuffer* buffer);

class FrameQueue {
  public:
    FrameQueue() = default;
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Adds the buffer as the newest entry and wakes one waiting taker. A null buffer is ignored.
    void Put(FrameBuffer* buffer);
    // Waits without limit for the oldest entry.
    FrameBuffer* Take();
    // Waits `timeout_us` / 1000 milliseconds (-1: without limit). A wake-up that finds the queue
    // empty waits again for the full time; the first wait that expires ends it. Null when empty.
    FrameBuffer* TakeWithTimeout(int64_t timeout_us);
    FrameBuffer* TryTake();
    uint32_t Count();
    // Wakes every waiting taker; from now on no take waits (an empty queue gives null at once).
    void Close();
    uint32_t Waiters();

  private:
    FrameBuffer* PopOldest();  // lock held

    std::mutex lock_;
    std::condition_variable ready_;
    FrameBuffer* oldest_ = nullptr;
    FrameBuffer* newest_ = nullptr;
    uint32_t count_ = 0;
    uint32_t waiters_ = 0;
    bool closed_ = false;
};

// Counts the caller threads inside a stream's capture calls, so that destroying the stream can wake
// them and wait until the last has left before anything they use is freed.
class CallerGate {
  public:
    // False once the stream is closing: the call must not touch the stream.
    bool Enter();
    void Leave();
    // Refuses new callers, runs `wake` (which makes waiting callers return) and waits until every
    // caller inside has left.
    template <class Wake>
    void CloseAndWait(Wake&& wake);

  private:
    std::mutex lock_;
    std::condition_variable left_;
    uint32_t inside_ = 0;
    bool closed_ = false;
};

template <class Wake>
void CallerGate::CloseAndWait(Wake&& wake) {
    {
        std::lock_guard guard(lock_);
        closed_ = true;
    }
    wake();
    std::unique_lock guard(lock_);
    left_.wait(guard, [this] { return inside_ == 0; });
}

}  // namespace tavi::stream
