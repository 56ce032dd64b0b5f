#pragma once
// An output buffer for text files that are written in one go: lines are formatted straight into it,
// and it either goes to its file whenever it fills up or, without a file, keeps everything in memory
// to be written later (the part of a file that a second core formats). Write failures are remembered,
// so a disk that fills up turns the whole file into a failure.

#include <cstddef>
#include <cstdio>

namespace tavi {

class TextBuffer {
  public:
    explicit TextBuffer(FILE* file);  // null: keep the text in memory
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // Where up to `bytes` may be written next; finish with Commit(end of what was written).
    char* Room(size_t bytes);
    void Commit(char* end) {
        if (!in_overflow_) used_ = static_cast<size_t>(end - data_);
    }
    void Append(const char* text, size_t length);

    // Writes what is pending to the file, then `tail`'s text; false once any write has failed.
    bool Flush();
    bool FlushWith(const TextBuffer& tail);
    bool failed() const { return failed_; }

  private:
    bool Grow(size_t at_least);

    FILE* file_;
    char* data_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
    bool in_overflow_ = false;
    static constexpr size_t kOverflowBytes = 512;
    char overflow_[kOverflowBytes];  // takes a line when memory runs out; the failure is remembered
};

}  // namespace tavi
