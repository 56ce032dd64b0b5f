#pragma once
// The GVSP (GigE Vision stream protocol) packets as the virtual camera writes them. Every byte
// offset of a stream datagram is named here and nowhere else in the camera; fields are big-endian
// on the wire. Writers take the buffer and its size and never write past it.

#include <cstddef>
#include <cstdint>

namespace vcam::gvsp {

// Header of every packet: status, block id, packet format, packet id (24 bits).
inline constexpr size_t kStatus = 0;
inline constexpr size_t kBlockId = 2;
inline constexpr size_t kPacketFormat = 4;
inline constexpr size_t kPacketId = 5;
inline constexpr size_t kHeaderSize = 8;

inline constexpr uint8_t kFormatLeader = 1;
inline constexpr uint8_t kFormatTrailer = 2;
inline constexpr uint8_t kFormatPayload = 3;

inline constexpr uint16_t kStatusSuccess = 0x0000;
inline constexpr uint16_t kStatusResent = 0x0100;
inline constexpr uint16_t kPayloadTypeImage = 0x0001;
inline constexpr uint32_t kMaxPacketId = 0xFFFFFF;

// Image leader, offsets from the start of the datagram.
inline constexpr size_t kLeaderReserved = 8;
inline constexpr size_t kLeaderPayloadType = 10;
inline constexpr size_t kLeaderTimestampHigh = 12;
inline constexpr size_t kLeaderTimestampLow = 16;
inline constexpr size_t kLeaderPixelFormat = 20;
inline constexpr size_t kLeaderSizeX = 24;
inline constexpr size_t kLeaderSizeY = 28;
inline constexpr size_t kLeaderOffsetX = 32;
inline constexpr size_t kLeaderOffsetY = 36;
inline constexpr size_t kLeaderPaddingX = 40;
inline constexpr size_t kLeaderPaddingY = 42;
inline constexpr size_t kLeaderSize = 44;

// Image trailer.
inline constexpr size_t kTrailerReserved = 8;
inline constexpr size_t kTrailerPayloadType = 10;
inline constexpr size_t kTrailerSizeY = 12;
inline constexpr size_t kTrailerSize = 16;

// What the network adds in front of a GVSP packet: the SCPS packet size counts it.
inline constexpr uint32_t kIpHeaderSize = 20;
inline constexpr uint32_t kUdpHeaderSize = 8;
inline constexpr uint32_t kPacketOverhead = kIpHeaderSize + kUdpHeaderSize + kHeaderSize;

// The largest header this camera writes (the leader): room reserved per packet in a send batch.
inline constexpr size_t kMaxHeaderBytes = kLeaderSize;

inline void Put16(uint8_t* packet, size_t size, size_t offset, uint16_t value) {
    if (offset + 2 > size) return;
    packet[offset] = static_cast<uint8_t>(value >> 8);
    packet[offset + 1] = static_cast<uint8_t>(value);
}

inline void Put32(uint8_t* packet, size_t size, size_t offset, uint32_t value) {
    if (offset + 4 > size) return;
    for (int i = 0; i < 4; ++i) packet[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline void PutHeader(uint8_t* packet, size_t size, uint16_t status, uint16_t block_id, uint8_t format,
                      uint32_t packet_id) {
    Put16(packet, size, kStatus, status);
    Put16(packet, size, kBlockId, block_id);
    // The format byte and the 24-bit packet id share one big-endian word.
    Put32(packet, size, kPacketFormat, (uint32_t{format} << 24) | (packet_id & kMaxPacketId));
}

// The image description a leader carries.
struct ImageInfo {
    uint64_t timestamp = 0;
    uint32_t pixel_format = 0;
    uint32_t size_x = 0;
    uint32_t size_y = 0;
    uint32_t offset_x = 0;
    uint32_t offset_y = 0;
};

inline void PutLeaderFields(uint8_t* packet, size_t size, const ImageInfo& image) {
    Put16(packet, size, kLeaderReserved, 0);
    Put16(packet, size, kLeaderPayloadType, kPayloadTypeImage);
    Put32(packet, size, kLeaderTimestampHigh, static_cast<uint32_t>(image.timestamp >> 32));
    Put32(packet, size, kLeaderTimestampLow, static_cast<uint32_t>(image.timestamp));
    Put32(packet, size, kLeaderPixelFormat, image.pixel_format);
    Put32(packet, size, kLeaderSizeX, image.size_x);
    Put32(packet, size, kLeaderSizeY, image.size_y);
    Put32(packet, size, kLeaderOffsetX, image.offset_x);
    Put32(packet, size, kLeaderOffsetY, image.offset_y);
    Put16(packet, size, kLeaderPaddingX, 0);
    Put16(packet, size, kLeaderPaddingY, 0);
}

inline void PutTrailerFields(uint8_t* packet, size_t size, uint32_t size_y) {
    Put16(packet, size, kTrailerReserved, 0);
    Put16(packet, size, kTrailerPayloadType, kPayloadTypeImage);
    Put32(packet, size, kTrailerSizeY, size_y);
}

// Block ids run 1 … 65535 and then start again at 1: 0 is never a block id.
inline uint16_t NextBlockId(uint16_t block_id) { return block_id == 0xFFFF ? 1 : block_id + 1; }

}  // namespace vcam::gvsp
