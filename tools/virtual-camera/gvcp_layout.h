#pragma once
// The GVCP (GigE Vision control protocol) datagrams as the device receives and answers them. Every
// byte offset of a control datagram is named here and nowhere else in the camera; fields are
// big-endian on the wire. Readers are bounded by the datagram's size and give 0 past its end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace vcam::gvcp {

inline constexpr uint16_t kPort = 3956;
inline constexpr uint8_t kKey = 0x42;
inline constexpr uint8_t kFlagAckRequired = 0x01;
inline constexpr uint8_t kFlagBroadcastAck = 0x10;

enum Command : uint16_t {
    kDiscoveryCmd = 0x0002,
    kForceIpCmd = 0x0004,
    kPacketResendCmd = 0x0040,
    kReadRegCmd = 0x0080,
    kWriteRegCmd = 0x0082,
    kReadMemCmd = 0x0084,
    kWriteMemCmd = 0x0086,
};

// Every acknowledge code is its command's code plus one.
inline constexpr uint16_t AckCodeOf(uint16_t command) { return static_cast<uint16_t>(command + 1); }

enum Status : uint16_t {
    kSuccess = 0x0000,
    kNotImplemented = 0x8001,
    kInvalidParameter = 0x8002,
    kInvalidAddress = 0x8003,
    kWriteProtect = 0x8004,
    kBadAlignment = 0x8005,
    kAccessDenied = 0x8006,
    kBusy = 0x8007,
    kInvalidHeader = 0x800D,
    kGenericError = 0x8FFF,
};

// Command header: key, flags, command, length of what follows the header, request id.
inline constexpr size_t kCmdKey = 0;
inline constexpr size_t kCmdFlags = 1;
inline constexpr size_t kCmdCommand = 2;
inline constexpr size_t kCmdLength = 4;
inline constexpr size_t kCmdRequestId = 6;
inline constexpr size_t kHeaderSize = 8;

// Acknowledge header: status, acknowledge code, length of what follows, acknowledge id.
inline constexpr size_t kAckStatus = 0;
inline constexpr size_t kAckCode = 2;
inline constexpr size_t kAckLength = 4;
inline constexpr size_t kAckId = 6;

// DISCOVERY acknowledge, offsets from the start of the datagram.
inline constexpr size_t kDiscoveryAckSize = 256;
inline constexpr size_t kDiscSpecMajor = 8;
inline constexpr size_t kDiscSpecMinor = 10;
inline constexpr size_t kDiscDeviceMode = 12;
inline constexpr size_t kDiscMacHigh = 18;
inline constexpr size_t kDiscMacLow = 20;
inline constexpr size_t kDiscIpConfigOptions = 24;
inline constexpr size_t kDiscIpConfigCurrent = 28;
inline constexpr size_t kDiscCurrentIp = 44;
inline constexpr size_t kDiscCurrentMask = 60;
inline constexpr size_t kDiscGateway = 76;
inline constexpr size_t kDiscTextBlock = 80;  // manufacturer name … user name, as in bootstrap memory
inline constexpr size_t kDiscTextBlockSize = 176;

// FORCEIP command, offsets from the start of the datagram.
inline constexpr size_t kForceIpCmdSize = 64;
inline constexpr size_t kForceIpMacHigh = 10;
inline constexpr size_t kForceIpMacLow = 12;
inline constexpr size_t kForceIpStaticIp = 28;
inline constexpr size_t kForceIpStaticMask = 44;
inline constexpr size_t kForceIpStaticGateway = 60;

// READREG: a list of addresses; WRITEREG: a list of (address, value) pairs; both at most 540 bytes.
inline constexpr size_t kRegListMaxBytes = 540;
// READMEM command: address, reserved, count. WRITEMEM command: address, then the data.
inline constexpr size_t kReadMemAddress = 8;
inline constexpr size_t kReadMemCount = 14;
inline constexpr size_t kReadMemCmdSize = 16;
inline constexpr size_t kWriteMemAddress = 8;
inline constexpr size_t kWriteMemData = 12;
inline constexpr size_t kMemMaxBytes = 536;
// READMEM acknowledge: echoed address, then the data.
inline constexpr size_t kReadMemAckAddress = 8;
inline constexpr size_t kReadMemAckData = 12;
// WRITEREG/WRITEMEM acknowledge: reserved, then the index of the first item not written.
inline constexpr size_t kWriteAckIndex = 10;
inline constexpr size_t kWriteAckPayload = 4;

// PACKETRESEND command: stream channel, block id, first and last packet id (24 bits each).
inline constexpr size_t kResendChannel = 8;
inline constexpr size_t kResendBlockId = 10;
inline constexpr size_t kResendFirstPacket = 12;
inline constexpr size_t kResendLastPacket = 16;
inline constexpr size_t kResendCmdSize = 20;
inline constexpr uint32_t kPacketIdMask = 0x00FFFFFF;

inline uint16_t GetU16(std::span<const uint8_t> bytes, size_t offset) {
    if (offset + 2 > bytes.size()) return 0;
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

inline uint32_t GetU32(std::span<const uint8_t> bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    return static_cast<uint32_t>(bytes[offset]) << 24 | static_cast<uint32_t>(bytes[offset + 1]) << 16 |
           static_cast<uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

inline void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    if (offset + 2 > bytes.size()) return;
    bytes[offset] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<uint8_t>(value);
}

inline void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    if (offset + 4 > bytes.size()) return;
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// A received command header; `valid` is false when the datagram cannot be a GVCP command.
struct CommandHeader {
    bool valid = false;
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t length = 0;
    uint16_t request_id = 0;
};

inline CommandHeader ParseHeader(std::span<const uint8_t> datagram) {
    CommandHeader header;
    if (datagram.size() < kHeaderSize || datagram[kCmdKey] != kKey) return header;
    header.valid = true;
    header.flags = datagram[kCmdFlags];
    header.command = GetU16(datagram, kCmdCommand);
    header.length = GetU16(datagram, kCmdLength);
    header.request_id = GetU16(datagram, kCmdRequestId);
    return header;
}

// An acknowledge of `payload_length` bytes after the header, the header filled in.
inline std::vector<uint8_t> MakeAck(uint16_t status, uint16_t ack_code, uint16_t request_id,
                                    size_t payload_length) {
    std::vector<uint8_t> ack(kHeaderSize + payload_length, 0);
    PutU16(ack, kAckStatus, status);
    PutU16(ack, kAckCode, ack_code);
    PutU16(ack, kAckLength, static_cast<uint16_t>(payload_length));
    PutU16(ack, kAckId, request_id);
    return ack;
}

}  // namespace vcam::gvcp
