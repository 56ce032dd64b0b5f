#pragma once
// Where the camera keeps its description file: the GigE Vision URL of the First or Second URL
// register ("Local:" name "." extension ";" address ";" length, hex without prefix), and how the
// file is read from camera memory in chunks.

#include <cstdint>
#include <string>
#include <string_view>

namespace tavi {

struct DescriptionLocation {
    std::string file_name;  // without extension or directory
    std::string file_type;  // the extension, "zip" for a zipped description
    uint32_t address = 0;
    uint32_t length = 0;
};

inline constexpr size_t kMaxFileNameLength = 47;
inline constexpr size_t kMaxFileTypeLength = 4;
inline constexpr size_t kMaxHexFieldLength = 10;
inline constexpr uint32_t kMaxDescriptionLength = 64u << 20;

// Parses a URL register's text (up to its first zero byte). False for a URL with a missing, empty
// or over-long field, a length of 0 or above kMaxDescriptionLength, or a file past the end of the
// 32-bit address space. A file name that itself holds dots keeps them (Model_1.0.zip is "Model_1.0"
// and "zip"); a directory part is dropped, so the name can never lead out of a save directory.
bool ParseDescriptionUrl(std::string_view url, DescriptionLocation* location);

// Chunks of one memory read each: at most 536 bytes, the last asking for the remainder rounded up
// to a multiple of 4 (memory reads move whole 32-bit words) and keeping only the remainder.
inline constexpr uint32_t kDescriptionChunkSize = 536;

struct DescriptionChunk {
    uint32_t address;
    uint16_t request_count;  // bytes asked of the camera
    uint16_t keep_count;     // bytes of the file in the answer
    uint32_t file_offset;
};

uint32_t DescriptionChunkCount(uint32_t length);
DescriptionChunk DescriptionChunkAt(const DescriptionLocation& location, uint32_t index);

}  // namespace tavi
