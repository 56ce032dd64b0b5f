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

  private:
    FrameBuffer* PopOldest();  // lock held

    std::mutex lock_;
    std::condition_variable ready_;
    FrameBuffer* oldest_ = nullptr;
    FrameBuffer* newest_ = nullptr;
    uint32_t count_ = 0;
    uint32_t waiters_ = 0;
};

}  // namespace tavi::stream
