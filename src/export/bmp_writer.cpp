#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "export/image_files.h"
#include "processing/image_frame.h"

namespace tavi {
namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;
constexpr size_t kPaletteEntries = 256;
constexpr size_t kPaletteBytes = kPaletteEntries * 4;

size_t BytesPerPixel(BmpPixels pixels) { return pixels == BmpPixels::kGrey ? 1 : kRgbBytes; }
size_t InputBytesPerPixel(BmpPixels pixels) {
    return pixels == BmpPixels::kGrey ? 1 : pixels == BmpPixels::kRgb565 ? 2 : kRgbBytes;
}
bool HasPalette(BmpPixels pixels) { return pixels == BmpPixels::kGrey; }

size_t PixelDataOffset(BmpPixels pixels) {
    return kFileHeaderBytes + kInfoHeaderBytes + (HasPalette(pixels) ? kPaletteBytes : 0);
}

// A row's pixel bytes followed by zero bytes up to the next multiple of four.
size_t RowLength(uint32_t width, BmpPixels pixels) {
    return (size_t{width} * BytesPerPixel(pixels) + 3) / 4 * 4;
}

void Put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
void Put32(uint8_t* at, uint32_t value) {
    Put16(at, value & 0xFFFF);
    Put16(at + 2, value >> 16);
}

// File header, info header and, for grey images, the palette (i, i, i, 0).
size_t FormatHeaders(uint32_t width, uint32_t height, BmpPixels pixels, uint8_t* out) {
    const size_t offset = PixelDataOffset(pixels);
    const auto image_size = static_cast<uint32_t>(RowLength(width, pixels) * height);
    std::memset(out, 0, offset);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out + 2, static_cast<uint32_t>(offset) + image_size);
    Put32(out + 10, static_cast<uint32_t>(offset));
    uint8_t* info = out + kFileHeaderBytes;
    Put32(info + 0, kInfoHeaderBytes);
    Put32(info + 4, width);
    Put32(info + 8, height);  // positive: rows bottom-up
    Put16(info + 12, 1);
    Put16(info + 14, static_cast<uint32_t>(8 * BytesPerPixel(pixels)));
    Put32(info + 20, image_size);
    if (HasPalette(pixels)) {
        Put32(info + 32, kPaletteEntries);
        Put32(info + 36, kPaletteEntries);
        uint8_t* palette = info + kInfoHeaderBytes;
        for (size_t i = 0; i < kPaletteEntries; ++i) std::memset(palette + 4 * i, static_cast<int>(i), 3);
    }
    return offset;
}

// One image row as the file stores it, padding included.
void FormatRow(const uint8_t* row, uint32_t width, BmpPixels pixels, uint8_t* out, size_t row_length) {
    switch (pixels) {
        case BmpPixels::kGrey:
            std::memcpy(out, row, width);
            break;
        case BmpPixels::kRgb888:
            for (size_t x = 0; x < width; ++x) {
                out[3 * x] = row[3 * x + 2];
                out[3 * x + 1] = row[3 * x + 1];
                out[3 * x + 2] = row[3 * x];
            }
            break;
        case BmpPixels::kRgb565:
            for (size_t x = 0; x < width; ++x) ExpandRgb565(row + 2 * x, out + 3 * x);
            break;
    }
    const size_t used = size_t{width} * BytesPerPixel(pixels);
    std::memset(out + used, 0, row_length - used);
}

// Rows bottom-up, formatted into one buffer of several rows and written a buffer at a time.
bool WriteRows(FILE* file, const uint8_t* data, uint32_t width, uint32_t height, BmpPixels pixels) {
    const size_t row_length = RowLength(width, pixels);
    const size_t input_row = size_t{width} * InputBytesPerPixel(pixels);
    constexpr size_t kBufferBytes = size_t{256} * 1024;
    const size_t rows_per_write = std::max<size_t>(1, kBufferBytes / std::max<size_t>(row_length, 1));
    auto* buffer = static_cast<uint8_t*>(std::malloc(rows_per_write * row_length + 1));
    if (buffer == nullptr) return false;
    bool written = true;
    for (size_t k = 0; k < height && written;) {
        const size_t rows = std::min<size_t>(rows_per_write, height - k);
        for (size_t n = 0; n < rows; ++n) {
            const size_t image_row = height - 1 - (k + n);
            FormatRow(data + image_row * input_row, width, pixels, buffer + n * row_length, row_length);
        }
        written = std::fwrite(buffer, row_length, rows, file) == rows;
        k += rows;
    }
    std::free(buffer);
    return written;
}

}  // namespace

size_t BmpFileSize(uint32_t width, uint32_t height, BmpPixels pixels) {
    const size_t total = PixelDataOffset(pixels) + RowLength(width, pixels) * height;
    return total <= UINT32_MAX ? total : 0;
}

int WriteBmpFile(const char* path, const uint8_t* data, uint32_t width, uint32_t height, BmpPixels pixels) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return TAVI_ERR_FILE_OPEN;
    uint8_t headers[kFileHeaderBytes + kInfoHeaderBytes + kPaletteBytes];
    const size_t header_bytes = FormatHeaders(width, height, pixels, headers);
    bool written = std::fwrite(headers, 1, header_bytes, file) == header_bytes &&
                   WriteRows(file, data, width, height, pixels);
    written = std::fclose(file) == 0 && written;
    return written ? TAVI_OK : TAVI_ERR_NO_WRITER;
}

}  // namespace tavi
