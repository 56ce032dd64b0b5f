#pragma once
// Reads a fuzz input as a little stream of settings and chunks. Past its end every read gives 0 or
// an empty chunk, so a target never has to check how much is left before it asks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "TaviSDK/CameraLog.h"

namespace tavi::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t remaining() const { return size_ - position_; }

    uint8_t U8() { return empty() ? 0 : data_[position_++]; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

    // Up to `count` bytes, fewer at the end of the input.
    std::basic_string_view<uint8_t> Take(size_t count) {
        if (count > remaining()) count = remaining();
        const std::basic_string_view<uint8_t> chunk(data_ + position_, count);
        position_ += count;
        return chunk;
    }
    std::basic_string_view<uint8_t> Rest() { return Take(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// A violated expectation of a target: stop at once, so the fuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz expectation failed: %s\n", what);
    __builtin_trap();
}

inline void Expect(bool holds, const char* what) {
    if (!holds) Fail(what);
}

// Every log level on, written to /dev/null: the format strings see the hostile values too. The log
// owns the file and closes it when it is destroyed.
inline void LogEverythingTo(cameralog* log) {
    for (auto* level : {&LogSwitches::error, &LogSwitches::warning, &LogSwitches::info, &LogSwitches::debug})
        level->store(1);
    log_close(log);
    log->file.store(std::fopen("/dev/null", "w"));
}

}  // namespace tavi::fuzz
