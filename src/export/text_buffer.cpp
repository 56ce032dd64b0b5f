#include "export/text_buffer.h"

#include <cstdlib>
#include <cstring>

namespace tavi {
namespace {
constexpr size_t kFileChunkBytes = 1 << 20;
}

TextBuffer::TextBuffer(FILE* file) : file_(file) { Grow(kFileChunkBytes); }

TextBuffer::~TextBuffer() { std::free(data_); }

bool TextBuffer::Grow(size_t at_least) {
    size_t capacity = capacity_ ? capacity_ : kFileChunkBytes;
    while (capacity < at_least) capacity *= 2;
    if (capacity == capacity_) return true;
    auto* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (grown == nullptr) return false;
    data_ = grown;
    capacity_ = capacity;
    return true;
}

char* TextBuffer::Room(size_t bytes) {
    in_overflow_ = false;
    if (capacity_ - used_ >= bytes) return data_ + used_;
    if (file_ != nullptr) Flush();
    if (capacity_ - used_ >= bytes || Grow(used_ + bytes)) return data_ + used_;
    failed_ = true;
    in_overflow_ = bytes <= kOverflowBytes;
    return in_overflow_ ? overflow_ : nullptr;
}

void TextBuffer::Append(const char* text, size_t length) {
    char* out = Room(length);
    if (out == nullptr) return;
    std::memcpy(out, text, length);
    Commit(out + length);
}

bool TextBuffer::Flush() {
    if (file_ != nullptr && used_ > 0) {
        if (std::fwrite(data_, 1, used_, file_) != used_) failed_ = true;
        used_ = 0;
    }
    return !failed_;
}

bool TextBuffer::FlushWith(const TextBuffer& tail) {
    Flush();
    if (file_ != nullptr && tail.used_ > 0 && std::fwrite(tail.data_, 1, tail.used_, file_) != tail.used_) {
        failed_ = true;
    }
    return !failed_ && !tail.failed_;
}

}  // namespace tavi
