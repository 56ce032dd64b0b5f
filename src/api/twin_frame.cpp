#include "api/twin_frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tavi::api {

PrivateFrame::~PrivateFrame() {
    // An operation that replaced the block freed ours already; the frame owns whichever it holds.
    std::free(frame_.data);
}

bool PrivateFrame::CopyIn(const PhotoInfoCSharp* header, const void* data, int size, size_t capacity) {
    if (header == nullptr || size < 0 || (data == nullptr && size > 0)) return false;
    const size_t bytes =
        std::max({static_cast<size_t>(size), static_cast<size_t>(header->payload_size), capacity});
    if (!Zeroed(bytes)) return false;
    if (size > 0) std::memcpy(frame_.data, data, static_cast<size_t>(size));
    HeaderToFrame(*header, &frame_);
    return true;
}

bool PrivateFrame::Zeroed(size_t capacity) {
    if (capacity == std::numeric_limits<size_t>::max()) return false;
    std::free(frame_.data);
    frame_ = PhotoInfo{};
    allocated_size_ = std::max<size_t>(capacity, 1);
    allocated_ = static_cast<unsigned char*>(std::calloc(allocated_size_, 1));
    frame_.data = allocated_;
    return allocated_ != nullptr;
}

size_t PrivateFrame::capacity() const {
    return frame_.data == allocated_ ? allocated_size_ : frame_.payload_size;
}

void HeaderToFrame(const PhotoInfoCSharp& header, PhotoInfo* frame) {
    frame->reserved = header.reserved;
    frame->pixel_format = header.pixel_format;
    frame->width = header.width;
    frame->height = header.height;
    frame->cloud_unit = header.cloud_unit;
    frame->payload_size = header.payload_size;
    frame->timestamp_high = header.timestamp_high;
    frame->timestamp_low = header.timestamp_low;
    frame->size_x = header.size_x;
    frame->size_y = header.size_y;
    frame->offset_x = header.offset_x;
    frame->offset_y = header.offset_y;
    frame->block_id = header.block_id;
    frame->channel_index = header.channel_index;
}

void FrameToHeader(const PhotoInfo& frame, PhotoInfoCSharp* header) {
    header->reserved = frame.reserved;
    header->pixel_format = frame.pixel_format;
    header->width = frame.width;
    header->height = frame.height;
    header->cloud_unit = frame.cloud_unit;
    header->payload_size = frame.payload_size;
    header->timestamp_high = frame.timestamp_high;
    header->timestamp_low = frame.timestamp_low;
    header->size_x = frame.size_x;
    header->size_y = frame.size_y;
    header->offset_x = frame.offset_x;
    header->offset_y = frame.offset_y;
    header->block_id = frame.block_id;
    header->channel_index = frame.channel_index;
}

size_t ImageBytes(uint32_t width, uint32_t height, uint32_t bytes_per_pixel) {
    size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(width), static_cast<size_t>(height), &bytes) ||
        __builtin_mul_overflow(bytes, static_cast<size_t>(bytes_per_pixel), &bytes)) {
        return std::numeric_limits<size_t>::max();
    }
    return bytes;
}

bool UsableOutput(const void* buffer, int length) {
    return length >= 0 && (buffer != nullptr || length == 0);
}

}  // namespace tavi::api
