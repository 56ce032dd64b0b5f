#pragma once
// The GVSP (GigE Vision stream protocol) layout as the receiver reads it. Every byte offset of a
// stream datagram is named here and nowhere else; fields are big-endian on the wire, and every
// accessor is bounded by the datagram's size (a field past the end reads as 0).

#include <cstddef>
#include <cstdint>

#include "net/big_endian.h"

namespace tavi::gvsp {

using net::GetU16;
using net::GetU32;
using net::GetU8;
using net::PutU16;
using net::PutU32;

// Header of every packet.
inline constexpr size_t kStatus = 0;
inline constexpr size_t kBlockId = 2;
inline constexpr size_t kPacketFormat = 4;
inline constexpr size_t kPacketIdWord = 4;  // the packet id is the low 24 bits of this word
inline constexpr uint32_t kPacketIdMask = 0x00FFFFFF;
inline constexpr size_t kHeaderSize = 8;
// What a packet costs on the wire beyond its UDP payload: the IPv4 (20) and UDP (8) headers.
inline constexpr size_t kIpUdpHeaderSize = 28;
// An IP packet of the negotiated size less its IPv4, UDP and GVSP headers is the data it carries.
inline constexpr size_t kPacketOverhead = kIpUdpHeaderSize + kHeaderSize;  // 36

// Packet formats.
inline constexpr uint8_t kFormatLeader = 1;
inline constexpr uint8_t kFormatTrailer = 2;
inline constexpr uint8_t kFormatPayload = 3;

// Statuses: success, a packet the camera sent again on request, and one the receiver treats as normal.
inline constexpr uint16_t kStatusSuccess = 0x0000;
inline constexpr uint16_t kStatusResent = 0x0100;
inline constexpr uint16_t kStatusAcceptedError = 0x8010;

// Leader fields.
inline constexpr size_t kLeaderPayloadType = 10;
inline constexpr size_t kLeaderTimestampHigh = 12;
inline constexpr size_t kLeaderTimestampLow = 16;
inline constexpr size_t kLeaderPixelFormat = 20;
inline constexpr size_t kLeaderSizeX = 24;
inline constexpr size_t kLeaderSizeY = 28;
inline constexpr size_t kLeaderOffsetX = 32;
inline constexpr size_t kLeaderOffsetY = 36;
inline constexpr size_t kLeaderTimestampEnd = 20;  // a leader shorter than this carries no timestamp
inline constexpr size_t kLeaderImageEnd = 40;      // ... and one shorter than this no image fields

// Payload types of a leader.
inline constexpr uint16_t kPayloadImage = 1;
inline constexpr uint16_t kPayloadExtendedChunk = 5;
inline constexpr uint16_t kPayloadDeviceSpecific = 8;  // its timestamp is not the camera clock

// Payload packets carry image bytes from here to their end.
inline constexpr size_t kPayloadData = 8;

inline uint16_t GetStatus(const uint8_t* packet, size_t size) { return GetU16(packet, size, kStatus); }
inline uint16_t GetBlockId(const uint8_t* packet, size_t size) { return GetU16(packet, size, kBlockId); }
inline uint8_t GetPacketFormat(const uint8_t* packet, size_t size) {
    return GetU8(packet, size, kPacketFormat);
}
inline uint32_t GetPacketId(const uint8_t* packet, size_t size) {
    return GetU32(packet, size, kPacketIdWord) & kPacketIdMask;
}
inline uint16_t GetPayloadType(const uint8_t* packet, size_t size) {
    return GetU16(packet, size, kLeaderPayloadType);
}
inline int64_t GetTimestampTicks(const uint8_t* packet, size_t size) {
    const uint64_t high = GetU32(packet, size, kLeaderTimestampHigh);
    const uint64_t low = GetU32(packet, size, kLeaderTimestampLow);
    return static_cast<int64_t>((high << 32) | low);
}

// Image fields of an image or chunk leader.
struct LeaderImage {
    uint32_t pixel_format;
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
};

inline LeaderImage GetLeaderImage(const uint8_t* packet, size_t size) {
    return {GetU32(packet, size, kLeaderPixelFormat), GetU32(packet, size, kLeaderSizeX),
            GetU32(packet, size, kLeaderSizeY), GetU32(packet, size, kLeaderOffsetX),
            GetU32(packet, size, kLeaderOffsetY)};
}

// The image bytes of a payload packet; none for a datagram no longer than the header.
inline const uint8_t* PayloadBytes(const uint8_t* packet) { return packet + kPayloadData; }
inline size_t PayloadLength(size_t size) { return size > kPayloadData ? size - kPayloadData : 0; }

}  // namespace tavi::gvsp
