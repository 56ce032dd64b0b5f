#pragma once
// Big-endian field access for the wire protocols. Writers assume the caller sized the buffer;
// readers are bounded by the datagram's size and give 0 for a field past its end.

#include <cstddef>
#include <cstdint>

namespace tavi::net {

inline void PutU16(uint8_t* bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<uint8_t>(value);
}

inline void PutU32(uint8_t* bytes, size_t offset, uint32_t value) {
    bytes[offset] = static_cast<uint8_t>(value >> 24);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 16);
    bytes[offset + 2] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 3] = static_cast<uint8_t>(value);
}

inline uint8_t GetU8(const uint8_t* bytes, size_t size, size_t offset) {
    return offset < size ? bytes[offset] : 0;
}

inline uint16_t GetU16(const uint8_t* bytes, size_t size, size_t offset) {
    if (offset + 2 > size) return 0;
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

inline uint32_t GetU32(const uint8_t* bytes, size_t size, size_t offset) {
    if (offset + 4 > size) return 0;
    return (static_cast<uint32_t>(bytes[offset]) << 24) | (static_cast<uint32_t>(bytes[offset + 1]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
}

}  // namespace tavi::net
