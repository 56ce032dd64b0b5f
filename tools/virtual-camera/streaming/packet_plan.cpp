#include "streaming/packet_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "streaming/gvsp_layout.h"

namespace vcam {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);  // decimal or 0x...
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) return false;
    *value = parsed;
    return true;
}

bool ParseRatio(const std::string& text, double* value) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !(parsed >= 0 && parsed <= 1)) return false;
    *value = parsed;
    return true;
}

template <double FaultSettings::*field>
bool SetRatio(FaultSettings* faults, const std::string& value) {
    return ParseRatio(value, &(faults->*field));
}

bool SetBothDropRatios(FaultSettings* faults, const std::string& value) {
    double ratio;
    if (!ParseRatio(value, &ratio)) return false;
    faults->drop_first = faults->drop_resent = ratio;
    return true;
}

bool SetErrorCode(FaultSettings* faults, const std::string& value) {
    uint64_t code;
    if (!ParseUnsigned(value, 0xFFFF, &code)) return false;
    faults->error_code = static_cast<uint16_t>(code);
    return true;
}

bool SetLyingLeader(FaultSettings* faults, const std::string& value) {
    uint64_t kind;
    if (!ParseUnsigned(value, 2, &kind)) return false;
    faults->lying_leader = static_cast<uint32_t>(kind);
    return true;
}

bool SetOversizeBytes(FaultSettings* faults, const std::string& value) {
    uint64_t bytes;
    if (!ParseUnsigned(value, kMaxOversizeBytes, &bytes) || bytes == 0) return false;
    faults->oversize_bytes = static_cast<uint32_t>(bytes);
    return true;
}

bool SetSeed(FaultSettings* faults, const std::string& value) {
    return ParseUnsigned(value, UINT64_MAX, &faults->seed);
}

bool SetDropOnce(FaultSettings* faults, const std::string& value) {
    DropOnceList list;
    if (!ParseDropOnce(value, &list)) return false;
    faults->drop_once = value;
    return true;
}

struct FaultKey {
    const char* name;
    bool (*set)(FaultSettings*, const std::string&);
};

constexpr FaultKey kFaultKeys[] = {
    {"drop_first", SetRatio<&FaultSettings::drop_first>},
    {"drop_resent", SetRatio<&FaultSettings::drop_resent>},
    {"drop", SetBothDropRatios},
    {"drop_once", SetDropOnce},
    {"reorder", SetRatio<&FaultSettings::reorder>},
    {"duplicate", SetRatio<&FaultSettings::duplicate>},
    {"error_status", SetRatio<&FaultSettings::error_status>},
    {"error_code", SetErrorCode},
    {"truncate", SetRatio<&FaultSettings::truncate>},
    {"oversize", SetRatio<&FaultSettings::oversize>},
    {"oversize_bytes", SetOversizeBytes},
    {"leader_late", SetRatio<&FaultSettings::leader_late>},
    {"bad_checksum", SetRatio<&FaultSettings::bad_checksum>},
    {"lying_leader", SetLyingLeader},
    {"seed", SetSeed},
};

// "3-7" or "5": an inclusive run of packet ids.
bool ParsePacketRun(const std::string& text, std::set<uint32_t>* packets) {
    const size_t dash = text.find('-');
    uint64_t first, last;
    if (dash == std::string::npos) {
        if (!ParseUnsigned(text, gvsp::kMaxPacketId, &first)) return false;
        last = first;
    } else if (!ParseUnsigned(text.substr(0, dash), gvsp::kMaxPacketId, &first) ||
               !ParseUnsigned(text.substr(dash + 1), gvsp::kMaxPacketId, &last) || last < first ||
               last - first > 100000) {
        return false;
    }
    for (uint64_t id = first; id <= last; ++id) packets->insert(static_cast<uint32_t>(id));
    return true;
}

bool ParseBlockEntry(const std::string& text, DropOnceList* list) {
    const size_t colon = text.find(':');
    uint64_t block_id;
    if (colon == std::string::npos || !ParseUnsigned(text.substr(0, colon), 0xFFFF, &block_id)) return false;
    std::stringstream runs(text.substr(colon + 1));
    std::string run;
    bool any = false;
    while (std::getline(runs, run, ',')) {
        if (!ParsePacketRun(run, &(*list)[static_cast<uint16_t>(block_id)])) return false;
        any = true;
    }
    return any;
}

// Faults that change one packet on its way out.
void BendPacket(const FaultSettings& faults, Random* random, PlannedPacket* packet) {
    if (random->Chance(faults.error_status)) packet->status = faults.error_code;
    if (packet->format != gvsp::kFormatPayload) return;
    if (random->Chance(faults.truncate)) packet->data_length /= 2;
    if (random->Chance(faults.oversize))
        packet->extra_bytes = std::min(faults.oversize_bytes, kMaxOversizeBytes);
    // Drawn only when asked for, so that the other faults' random choices stay as they were.
    if (faults.bad_checksum > 0 && random->Chance(faults.bad_checksum)) packet->bad_checksum = true;
}

void MoveLeaderBeforeTrailer(std::vector<PlannedPacket>* plan) {
    auto leader = std::find_if(plan->begin(), plan->end(),
                               [](const PlannedPacket& p) { return p.format == gvsp::kFormatLeader; });
    if (leader == plan->end() || plan->size() < 3) return;
    std::rotate(leader, leader + 1, plan->end() - 1);
}

void SwapSomeNeighbours(double ratio, Random* random, std::vector<PlannedPacket>* plan) {
    if (ratio <= 0) return;
    for (size_t i = 0; i + 1 < plan->size(); ++i) {
        if (random->Chance(ratio)) std::swap((*plan)[i], (*plan)[i + 1]), ++i;
    }
}

void AddWithDuplicates(const FaultSettings& faults, Random* random, const PlannedPacket& packet,
                       std::vector<PlannedPacket>* plan) {
    plan->push_back(packet);
    if (random->Chance(faults.duplicate)) plan->push_back(packet);
}

}  // namespace

bool ParseDropOnce(const std::string& text, DropOnceList* list) {
    DropOnceList parsed;
    std::stringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        if (!entry.empty() && !ParseBlockEntry(entry, &parsed)) return false;
    }
    *list = std::move(parsed);
    return true;
}

bool ApplyFault(FaultSettings* faults, const std::string& key, const std::string& value) {
    for (const FaultKey& entry : kFaultKeys) {
        if (key == entry.name) return entry.set(faults, value);
    }
    return false;
}

bool AnyFault(const FaultSettings& f) {
    return f.drop_first > 0 || f.drop_resent > 0 || !f.drop_once.empty() || f.reorder > 0 ||
           f.duplicate > 0 || f.error_status > 0 || f.truncate > 0 || f.oversize > 0 || f.leader_late > 0 ||
           f.bad_checksum > 0 || f.lying_leader != 0;
}

BlockLayout LayoutFor(uint32_t payload_bytes, uint32_t packet_size) {
    BlockLayout layout;
    layout.payload_bytes = payload_bytes;
    layout.packet_payload = packet_size > gvsp::kPacketOverhead ? packet_size - gvsp::kPacketOverhead : 1;
    layout.payload_packets = (payload_bytes + layout.packet_payload - 1) / layout.packet_payload;
    return layout;
}

PlannedPacket RegularPacket(const BlockLayout& layout, uint32_t packet_id, uint16_t status) {
    PlannedPacket packet;
    packet.status = status;
    packet.packet_id = packet_id;
    if (packet_id == 0) {
        packet.format = gvsp::kFormatLeader;
    } else if (packet_id == layout.TrailerId()) {
        packet.format = gvsp::kFormatTrailer;
    } else {
        packet.format = gvsp::kFormatPayload;
        packet.data_offset = (packet_id - 1) * layout.packet_payload;
        packet.data_length = std::min(layout.packet_payload, layout.payload_bytes - packet.data_offset);
    }
    return packet;
}

void PlanFirstTransmission(const BlockLayout& layout, const FaultSettings& faults,
                           const std::set<uint32_t>& drop_once, Random* random,
                           std::vector<PlannedPacket>* plan, uint64_t* dropped) {
    plan->clear();
    const bool faulty = AnyFault(faults);
    for (uint32_t id = 0; id <= layout.TrailerId(); ++id) {
        PlannedPacket packet = RegularPacket(layout, id, gvsp::kStatusSuccess);
        if (!faulty) {
            plan->push_back(packet);
            continue;
        }
        if (drop_once.count(id) != 0 || random->Chance(faults.drop_first)) {
            ++*dropped;
            continue;
        }
        BendPacket(faults, random, &packet);
        AddWithDuplicates(faults, random, packet, plan);
    }
    if (!faulty) return;
    if (random->Chance(faults.leader_late)) MoveLeaderBeforeTrailer(plan);
    SwapSomeNeighbours(faults.reorder, random, plan);
}

void PlanResend(const BlockLayout& layout, uint32_t first, uint32_t last, const FaultSettings& faults,
                Random* random, std::vector<PlannedPacket>* plan, uint64_t* dropped) {
    plan->clear();
    for (uint32_t id = first; id <= last; ++id) {
        if (random->Chance(faults.drop_resent)) {
            ++*dropped;
            continue;
        }
        plan->push_back(RegularPacket(layout, id, gvsp::kStatusResent));
    }
}

}  // namespace vcam
