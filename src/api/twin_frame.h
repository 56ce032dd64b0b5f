#pragma once
// The private frames of the managed-caller twins: a caller hands a frame over as a flat header, a
// data pointer and a size, and gets frames back as a header and a buffer of a given length.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/FlatInterface.h"

namespace tavi::api {

// A PhotoInfo that owns its C-heap block (the operations may replace the block; the frame then owns
// the replacement). Usable only when ok().
class PrivateFrame {
  public:
    PrivateFrame() = default;
    ~PrivateFrame();
    PrivateFrame(const PrivateFrame&) = delete;
    PrivateFrame& operator=(const PrivateFrame&) = delete;

    // A copy of the caller's `size` bytes, zero-padded up to the header's payload size and to at
    // least `capacity` bytes, with every header field. Fails (ok() false) for a null header, a
    // negative size, null data with a positive size, or memory that cannot be had.
    bool CopyIn(const PhotoInfoCSharp* header, const void* data, int size, size_t capacity = 0);
    // A zeroed block of `capacity` bytes (at least one) and zeroed fields.
    bool Zeroed(size_t capacity);

    bool ok() const { return frame_.data != nullptr; }
    PhotoInfo& frame() { return frame_; }
    // The bytes the block holds: what was allocated, or the payload size of a block an operation put
    // in its place.
    size_t capacity() const;

  private:
    PhotoInfo frame_{};
    unsigned char* allocated_ = nullptr;
    size_t allocated_size_ = 0;
};

// The header fields of a frame, and back.
void HeaderToFrame(const PhotoInfoCSharp& header, PhotoInfo* frame);
void FrameToHeader(const PhotoInfo& frame, PhotoInfoCSharp* header);

// Bytes of a width x height image of `bytes_per_pixel`, or SIZE_MAX when that does not fit.
size_t ImageBytes(uint32_t width, uint32_t height, uint32_t bytes_per_pixel);

// A caller's output buffer of `length` bytes is usable: a non-negative length, and a buffer unless
// the length is 0.
bool UsableOutput(const void* buffer, int length);

}  // namespace tavi::api
