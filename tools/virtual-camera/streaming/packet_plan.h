#pragma once
// Which packets of a block go out, in which order and how: the regular sequence (leader, payload
// packets, trailer) bent by the faults that are switched on.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scene/random.h"
#include "streaming/stream_engine.h"

namespace vcam {

// The most surplus bytes an oversized payload packet carries.
inline constexpr uint32_t kMaxOversizeBytes = 4096;

// Packets lost once each, by block id.
using DropOnceList = std::map<uint16_t, std::set<uint32_t>>;

// Parses "block:packet[-packet][,packet...][;block:...]"; false (list untouched) on a bad text.
bool ParseDropOnce(const std::string& text, DropOnceList* list);

// Sets one FaultSettings field by its name; false for an unknown key or a value out of range.
bool ApplyFault(FaultSettings* faults, const std::string& key, const std::string& value);
bool AnyFault(const FaultSettings& faults);

// How a block's image bytes are cut into payload packets.
struct BlockLayout {
    uint32_t payload_bytes = 0;
    uint32_t packet_payload = 0;   // image bytes in a full payload packet
    uint32_t payload_packets = 0;  // packet ids 1 … payload_packets; the trailer follows
    uint32_t TrailerId() const { return payload_packets + 1; }
};

BlockLayout LayoutFor(uint32_t payload_bytes, uint32_t packet_size);

// One datagram to send: its header fields and which bytes of the frame follow the header.
struct PlannedPacket {
    uint8_t format = 0;
    uint16_t status = 0;
    uint32_t packet_id = 0;
    uint32_t data_offset = 0;
    uint32_t data_length = 0;
    uint32_t extra_bytes = 0;   // zero bytes appended past the regular payload
    bool bad_checksum = false;  // damaged on the way: other bytes under the original UDP checksum
};

PlannedPacket RegularPacket(const BlockLayout& layout, uint32_t packet_id, uint16_t status);

// The first transmission of a block. `dropped` counts the packets withheld.
void PlanFirstTransmission(const BlockLayout& layout, const FaultSettings& faults,
                           const std::set<uint32_t>& drop_once, Random* random,
                           std::vector<PlannedPacket>* plan, uint64_t* dropped);

// Packets first … last of a block sent again (ids already clipped to the block).
void PlanResend(const BlockLayout& layout, uint32_t first, uint32_t last, const FaultSettings& faults,
                Random* random, std::vector<PlannedPacket>* plan, uint64_t* dropped);

}  // namespace vcam
