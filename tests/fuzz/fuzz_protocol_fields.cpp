// The field accessors of both protocol layouts on datagrams of any size: a discovery acknowledge as
// the discovery reads it, and every GVCP and GVSP accessor at every offset up to past the end. An
// accessor reads inside the datagram or gives 0; the datagram is an exact heap copy, so a read past
// its end is caught.

#include <cstring>
#include <vector>

#include "discovery/address_text.h"
#include "fuzz_input.h"
#include "net/gvcp_protocol.h"
#include "stream/gvsp_protocol.h"

namespace {

using tavi::fuzz::Expect;

uint32_t BigEndian(const uint8_t* bytes, size_t size, size_t offset, size_t width) {
    if (offset + width > size) return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[offset + i];
    return value;
}

void ExpectAccessorsBounded(const uint8_t* bytes, size_t size) {
    for (size_t offset = 0; offset <= size + 8; ++offset) {
        Expect(tavi::gvcp::GetU16(bytes, size, offset) == BigEndian(bytes, size, offset, 2),
               "gvcp 16-bit field");
        Expect(tavi::gvcp::GetU32(bytes, size, offset) == BigEndian(bytes, size, offset, 4),
               "gvcp 32-bit field");
        Expect(tavi::gvsp::GetU8(bytes, size, offset) == BigEndian(bytes, size, offset, 1),
               "gvsp 8-bit field");
        Expect(tavi::gvsp::GetU16(bytes, size, offset) == BigEndian(bytes, size, offset, 2),
               "gvsp 16-bit field");
        Expect(tavi::gvsp::GetU32(bytes, size, offset) == BigEndian(bytes, size, offset, 4),
               "gvsp 32-bit field");
    }
}

void ReadAsStreamPacket(const uint8_t* bytes, size_t size) {
    using namespace tavi::gvsp;
    Expect(GetPacketId(bytes, size) <= kPacketIdMask, "a packet id has 24 bits");
    const LeaderImage image = GetLeaderImage(bytes, size);
    if (size < kLeaderImageEnd) Expect(image.offset_y == 0, "a short leader has no image fields");
    const int64_t ticks = GetTimestampTicks(bytes, size);
    if (size < kLeaderTimestampHigh + 4) Expect(ticks == 0, "a short leader has no timestamp");
    Expect(PayloadLength(size) + (size > kPayloadData ? kPayloadData : size) == size,
           "payload bytes are the datagram past its header");
}

// The discovery's own reading: a receive buffer of one acknowledge's size, zeroed; a longer
// datagram is refused by the receive; the length field must match what arrived.
void ReadAsDiscoveryAck(const uint8_t* bytes, size_t size) {
    using namespace tavi::gvcp;
    if (size > kDiscoveryAckSize) return;
    uint8_t ack[kDiscoveryAckSize] = {};
    if (size > 0) std::memcpy(ack, bytes, size);
    if (size < kHeaderSize || size - kHeaderSize != GetU16(ack, size, kAckLength)) return;
    const uint32_t camera_ip = GetU32(ack, size, kDiscCurrentIp);
    GetU16(ack, size, kDiscMacHigh);
    GetU32(ack, size, kDiscMacLow);
    GetU32(ack, size, kDiscCurrentMask);
    GetU32(ack, size, kDiscGateway);
    Expect(kDiscTextBlock + kDiscTextBlockSize <= sizeof ack, "the text block lies inside the buffer");
    char text[16];
    const char* shown = tavi::FormatIpText(nullptr, camera_ip, text, sizeof text);
    Expect(std::strlen(shown) < sizeof text, "an address text fits its buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> datagram(data, data + size);
    const uint8_t* bytes = datagram.data();
    ExpectAccessorsBounded(bytes, size);
    ReadAsStreamPacket(bytes, size);
    ReadAsDiscoveryAck(bytes, size);
    return 0;
}
