#include "stream/frame_queue.h"

#include <chrono>
#include <cstdlib>
#include <new>

namespace tavi::stream {

FrameBuffer* AllocateFrameBuffer(uint32_t payload_size, BufferAllocation* outcome) {
    auto* buffer = new (std::nothrow) FrameBuffer;
    if (buffer == nullptr) {
        *outcome = BufferAllocation::kRecordFailed;
        return nullptr;
    }
    // Zeroed, so that a frame never shows bytes of memory the stream did not write; at least one
    // byte, so that an empty payload still has a pixel area of its own.
    buffer->frame.data = static_cast<unsigned char*>(std::calloc(payload_size > 0 ? payload_size : 1, 1));
    if (buffer->frame.data == nullptr) {
        delete buffer;
        *outcome = BufferAllocation::kPixelsFailed;
        return nullptr;
    }
    *outcome = BufferAllocation::kOk;
    return buffer;
}

void FreeFrameBuffer(FrameBuffer* buffer) {
    if (buffer == nullptr) return;
    std::free(buffer->frame.data);
    delete buffer;
}

void FrameQueue::Put(FrameBuffer* buffer) {
    if (buffer == nullptr) return;
    std::lock_guard guard(lock_);
    buffer->newer = nullptr;
    if (newest_ != nullptr) {
        newest_->newer = buffer;
    } else {
        oldest_ = buffer;
    }
    newest_ = buffer;
    ++count_;
    if (waiters_ > 0) ready_.notify_one();
}

FrameBuffer* FrameQueue::PopOldest() {
    FrameBuffer* buffer = oldest_;
    if (buffer == nullptr) return nullptr;
    oldest_ = buffer->newer;
    if (oldest_ == nullptr) newest_ = nullptr;
    buffer->newer = nullptr;
    --count_;
    return buffer;
}

FrameBuffer* FrameQueue::Take() { return TakeWithTimeout(-1); }

FrameBuffer* FrameQueue::TakeWithTimeout(int64_t timeout_us) {
    std::unique_lock guard(lock_);
    if (oldest_ != nullptr) return PopOldest();
    const auto wait = std::chrono::milliseconds(timeout_us / 1000);
    ++waiters_;
    while (oldest_ == nullptr && !closed_) {
        if (timeout_us == -1) {
            ready_.wait(guard);
        } else if (ready_.wait_for(guard, wait) == std::cv_status::timeout) {
            break;
        }
    }
    --waiters_;
    return PopOldest();
}

FrameBuffer* FrameQueue::TryTake() {
    std::lock_guard guard(lock_);
    return PopOldest();
}

uint32_t FrameQueue::Count() {
    std::lock_guard guard(lock_);
    return count_;
}

uint32_t FrameQueue::Waiters() {
    std::lock_guard guard(lock_);
    return waiters_;
}

void FrameQueue::Close() {
    std::lock_guard guard(lock_);
    closed_ = true;
    ready_.notify_all();
}

bool CallerGate::Enter() {
    std::lock_guard guard(lock_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void CallerGate::Leave() {
    std::lock_guard guard(lock_);
    if (--inside_ == 0 && closed_) left_.notify_all();
}

}  // namespace tavi::stream
