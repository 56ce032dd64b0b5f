#pragma once
// The GVCP (GigE Vision control protocol) layouts as the library sends and reads them. Every byte
// offset of a control datagram is named here and nowhere else; fields are big-endian on the wire.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/big_endian.h"

namespace tavi::gvcp {

using net::GetU16;
using net::GetU32;
using net::GetU8;
using net::PutU16;
using net::PutU32;

inline constexpr uint16_t kPort = 3956;
inline constexpr uint8_t kKey = 0x42;

// Flags of a command header.
inline constexpr uint8_t kFlagAckRequired = 0x01;
inline constexpr uint8_t kFlagBroadcastAckAllowed = 0x10;
inline constexpr uint8_t kFlagsDiscovery = 0x11;
inline constexpr uint8_t kFlagsForceIpBroadcast = 0x11;
inline constexpr uint8_t kFlagsForceIpUnicast = 0x88;

// Command and acknowledge codes.
inline constexpr uint16_t kDiscoveryCmd = 0x0002;
inline constexpr uint16_t kDiscoveryAck = 0x0003;
inline constexpr uint16_t kForceIpCmd = 0x0004;
inline constexpr uint16_t kForceIpAck = 0x0005;
inline constexpr uint16_t kPacketResendCmd = 0x0040;
inline constexpr uint16_t kReadRegCmd = 0x0080;
inline constexpr uint16_t kReadRegAck = 0x0081;
inline constexpr uint16_t kWriteRegCmd = 0x0082;
inline constexpr uint16_t kWriteRegAck = 0x0083;
inline constexpr uint16_t kReadMemCmd = 0x0084;
inline constexpr uint16_t kReadMemAck = 0x0085;
inline constexpr uint16_t kWriteMemCmd = 0x0086;
inline constexpr uint16_t kWriteMemAck = 0x0087;

// Command header: key, flags, command, length (of what follows the header), request id.
inline constexpr size_t kCmdKey = 0;
inline constexpr size_t kCmdFlags = 1;
inline constexpr size_t kCmdCommand = 2;
inline constexpr size_t kCmdLength = 4;
inline constexpr size_t kCmdRequestId = 6;
inline constexpr size_t kHeaderSize = 8;

// Acknowledge header: status, acknowledge code, length, acknowledge id.
inline constexpr size_t kAckStatus = 0;
inline constexpr size_t kAckCode = 2;
inline constexpr size_t kAckLength = 4;
inline constexpr size_t kAckId = 6;

// DISCOVERY acknowledge payload, offsets from the start of the datagram.
inline constexpr size_t kDiscoveryAckSize = 256;
inline constexpr size_t kDiscMacHigh = 18;
inline constexpr size_t kDiscMacLow = 20;
inline constexpr size_t kDiscCurrentIp = 44;
inline constexpr size_t kDiscCurrentMask = 60;
inline constexpr size_t kDiscGateway = 76;
inline constexpr size_t kDiscTextBlock = 80;  // manufacturer name to user name, 176 raw bytes
inline constexpr size_t kDiscTextBlockSize = 176;

// FORCEIP command, offsets from the start of the datagram.
inline constexpr size_t kForceIpCmdSize = 64;
inline constexpr uint16_t kForceIpPayloadLength = 56;
inline constexpr size_t kForceIpMacHigh = 10;
inline constexpr size_t kForceIpMacLow = 12;
inline constexpr size_t kForceIpStaticIp = 28;
inline constexpr size_t kForceIpStaticMask = 44;
inline constexpr size_t kForceIpStaticGateway = 60;
inline constexpr size_t kForceIpAckMaxSize = 8;

// READREG, WRITEREG, READMEM and WRITEMEM commands, offsets from the start of the datagram.
inline constexpr size_t kRegAddress = 8;  // READREG and WRITEREG: the register address
inline constexpr size_t kRegValue = 12;   // WRITEREG: the value to write
inline constexpr size_t kReadRegCmdSize = 12;
inline constexpr size_t kWriteRegCmdSize = 16;
inline constexpr uint16_t kReadRegPayloadLength = 4;
inline constexpr uint16_t kWriteRegPayloadLength = 8;
inline constexpr size_t kMemAddress = 8;    // READMEM and WRITEMEM: the start address
inline constexpr size_t kMemReserved = 12;  // two zero bytes
inline constexpr size_t kMemCount = 14;     // READMEM: bytes to read; WRITEMEM: bytes to write
inline constexpr size_t kWriteMemData = 16;
inline constexpr size_t kReadMemCmdSize = 16;
inline constexpr size_t kWriteMemCmdSize = 20;
inline constexpr uint16_t kMemPayloadLength = 8;

// Their acknowledges: READREG carries the value at offset 8, READMEM echoes the address there and
// the data follow from offset 12.
inline constexpr size_t kAckHeaderSize = 8;
inline constexpr size_t kRegAckValue = 8;
inline constexpr size_t kRegAckSize = 12;
inline constexpr size_t kMemAckAddress = 8;
inline constexpr size_t kMemAckData = 12;
inline constexpr size_t kMemMaxData = 536;
inline constexpr size_t kMemAckMaxSize = kMemAckData + kMemMaxData;  // 548
inline constexpr size_t kMemBufferSize = 600;                        // what callers of a memory read hand in

// Bootstrap registers of the GigE Vision device.
inline constexpr uint32_t kRegFirstUrl = 0x0200;
inline constexpr uint32_t kRegSecondUrl = 0x0400;
inline constexpr size_t kUrlSize = 512;
inline constexpr uint32_t kRegMessageChannelCount = 0x0900;
inline constexpr uint32_t kRegStreamChannelCount = 0x0904;
inline constexpr uint32_t kRegGvcpCapability = 0x0934;
inline constexpr uint32_t kRegHeartbeatTimeout = 0x0938;
inline constexpr uint32_t kRegCcp = 0x0A00;
inline constexpr uint32_t kCcpControlAccess = 2;

// Stream-channel registers: port, packet size, destination address and source port, one block of
// 0x40 bytes per channel.
inline constexpr uint32_t kStreamChannelStride = 0x40;
inline constexpr uint32_t kRegScp = 0x0D00;
inline constexpr uint32_t kRegScps = 0x0D04;
inline constexpr uint32_t kRegScda = 0x0D18;
inline constexpr uint32_t kRegScsp = 0x0D1C;
inline constexpr uint32_t kScpsFireTestPacket = 0x80000000u;
inline constexpr uint32_t kScpsDoNotFragment = 0x40000000u;
inline constexpr uint32_t kScpsSizeMask = 0x0000FFFFu;

inline constexpr uint32_t StreamChannelRegister(uint32_t channel_zero_register, int channel) {
    return channel_zero_register + kStreamChannelStride * static_cast<uint32_t>(channel);
}

// Request ids run 1 .. 65535 and wrap to 1: 0 is never sent.
inline constexpr uint16_t NextRequestId(uint16_t id) {
    return id == 0xFFFF ? 1 : static_cast<uint16_t>(id + 1);
}

// Writes a command header.
inline void PutCommandHeader(uint8_t* bytes, uint8_t flags, uint16_t command, uint16_t length,
                             uint16_t request_id) {
    bytes[kCmdKey] = kKey;
    bytes[kCmdFlags] = flags;
    PutU16(bytes, kCmdCommand, command);
    PutU16(bytes, kCmdLength, length);
    PutU16(bytes, kCmdRequestId, request_id);
}

// PACKETRESEND command: asks the camera to send a run of packets of one block again. No
// acknowledge comes back. Offsets from the start of the datagram.
inline constexpr size_t kResendCmdSize = 20;
inline constexpr uint16_t kResendPayloadLength = 12;
inline constexpr size_t kResendChannel = 8;
inline constexpr size_t kResendBlockId = 10;
inline constexpr size_t kResendFirstPacket = 12;
inline constexpr size_t kResendLastPacket = 16;

inline void PutPacketResendCommand(uint8_t* bytes, uint16_t request_id, uint16_t channel, uint16_t block_id,
                                   uint32_t first_packet, uint32_t last_packet) {
    PutCommandHeader(bytes, kFlagAckRequired, kPacketResendCmd, kResendPayloadLength, request_id);
    PutU16(bytes, kResendChannel, channel);
    PutU16(bytes, kResendBlockId, block_id);
    PutU32(bytes, kResendFirstPacket, first_packet);
    PutU32(bytes, kResendLastPacket, last_packet);
}

}  // namespace tavi::gvcp
