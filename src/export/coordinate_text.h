#pragma once
// The "%.2f" texts of the decoded coordinates of one cloud. A coordinate is raw / unit with a 16-bit
// raw value, so a cloud has at most 65536 distinct X or Y texts and 65536 Z texts, however many points
// it has: each is formatted on first use and copied from then on.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavi {

class CoordinateTexts {
  public:
    // Writes at most 16 bytes at `out`, of which the returned end marks the text.
    static constexpr size_t kMaxWriteBytes = 16;

    CoordinateTexts(float unit, bool is_signed);
    ~CoordinateTexts();
    CoordinateTexts(const CoordinateTexts&) = delete;
    CoordinateTexts& operator=(const CoordinateTexts&) = delete;

    float Value(uint16_t word) const {
        const int32_t raw = is_signed_ ? static_cast<int16_t>(word) : word;
        return static_cast<float>(raw) / unit_;
    }
    char* Append(char* out, uint16_t word) {
        if (entries_ == nullptr || entries_[word].length == 0) return AppendNew(out, word);
        std::memcpy(out, &entries_[word], sizeof(Entry));
        return out + entries_[word].length;
    }

  private:
    struct Entry {
        char text[15];
        uint8_t length;  // 0 until formatted
    };

    char* AppendNew(char* out, uint16_t word);

    Entry* entries_;  // 65536, or null when memory ran out (then every text is formatted anew)
    float unit_;
    bool is_signed_;
};

}  // namespace tavi
