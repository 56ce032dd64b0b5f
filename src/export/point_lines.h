#pragma once
// The point lines of the text files: which records get a line, how a line reads, and the loop that
// writes the selected lines of a cloud in order, half of them formatted on the second core.

#include <cstddef>
#include <cstdint>

#include "export/coordinate_text.h"
#include "export/fixed2_format.h"
#include "export/text_buffer.h"
#include "processing/cloud_frame.h"
#include "processing/core_split.h"

namespace tavi {

// Line ends of the PLY and point text files are CR LF (text-mode files of the original platform);
// the point-with-colour file has LF alone.
struct LineEnd {
    const char* text;
    size_t length;
};
inline constexpr LineEnd kCrLf{"\r\n", 2};
inline constexpr LineEnd kLf{"\n", 1};

inline char* AppendLineEnd(char* out, LineEnd line_end) {
    for (size_t i = 0; i < line_end.length; ++i) *out++ = line_end.text[i];
    return out;
}

// Decoded points of a raw cloud: "%.2f " for X, Y and Z of each point whose depth is above the
// no-measurement threshold.
struct DecodedPointLines {
    static constexpr size_t kMaxLineBytes = 3 * (kMaxFixed2Chars + 1) + 2;
    const uint8_t* raw;
    float unit;
    LineEnd line_end;

    float Coordinate(size_t n, int axis) const {
        return static_cast<float>(RawCoordinate(raw, n, axis)) / unit;
    }
    bool Selected(size_t n) const { return HasPositiveDepth(Coordinate(n, 2)); }

    // One per thread: it keeps the texts of the coordinates met so far.
    class Formatter {
      public:
        explicit Formatter(const DecodedPointLines& lines)
            : lines_(lines), xy_(lines.unit, true), z_(lines.unit, false) {}
        char* Format(char* out, size_t n) {
            out = xy_.Append(out, RawWord(lines_.raw, n, 0));
            *out++ = ' ';
            out = xy_.Append(out, RawWord(lines_.raw, n, 1));
            *out++ = ' ';
            out = z_.Append(out, RawWord(lines_.raw, n, 2));
            *out++ = ' ';
            return AppendLineEnd(out, lines_.line_end);
        }

      private:
        const DecodedPointLines& lines_;
        CoordinateTexts xy_;
        CoordinateTexts z_;
    };
};

// Fused records of six floats: "%.2f " for X, Y and Z, then the three colour values as "%d %d %d".
struct FusedRecordLines {
    static constexpr size_t kMaxLineBytes = 3 * (kMaxFixed2Chars + 1) + 3 * (kMaxColourChars + 1) + 2;
    const float* records;
    LineEnd line_end;

    bool Selected(size_t n) const { return HasPositiveDepth(records[6 * n + 2]); }

    class Formatter {
      public:
        explicit Formatter(const FusedRecordLines& lines) : lines_(lines) {}
        char* Format(char* out, size_t n) const {
            const float* record = lines_.records + 6 * n;
            for (int i = 0; i < 3; ++i) {
                out = AppendFixed2(out, record[i]);
                *out++ = ' ';
            }
            for (int i = 3; i < 6; ++i) {
                out = AppendTruncatedInt(out, record[i]);
                if (i < 5) *out++ = ' ';
            }
            return AppendLineEnd(out, lines_.line_end);
        }

      private:
        const FusedRecordLines& lines_;
    };
};

template <class Lines>
size_t CountSelected(const Lines& lines, size_t count) {
    size_t selected = 0;
    for (size_t n = 0; n < count; ++n) selected += lines.Selected(n);
    return selected;
}

template <class Lines>
void AppendLines(const Lines& lines, size_t begin, size_t end, TextBuffer& buffer) {
    static_assert(Lines::kMaxLineBytes <= 512);
    typename Lines::Formatter formatter(lines);
    for (size_t n = begin; n < end; ++n) {
        if (!lines.Selected(n)) continue;
        char* out = buffer.Room(Lines::kMaxLineBytes);
        buffer.Commit(formatter.Format(out, n));
    }
}

// Writes the lines of records 0 .. count-1 after what `file_buffer` already holds; false when any
// write failed.
template <class Lines>
bool WriteLines(const Lines& lines, size_t count, TextBuffer& file_buffer) {
    TextBuffer second_half(nullptr);
    SplitAcrossCores(count, [&](size_t begin, size_t end) {
        AppendLines(lines, begin, end, begin == 0 ? file_buffer : second_half);
    });
    return file_buffer.FlushWith(second_half);
}

}  // namespace tavi
