#pragma once
// The doctor's checks: each takes the values it judges (read from the camera, the adapter and the
// system beforehand) and returns a finding with the fix to apply, so that every rule can be tried
// with any value.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavi::cli {

enum class Verdict { kOk, kHint, kProblem };

struct Finding {
    std::string check;  // short name: "mtu", "rmem_max", ...
    Verdict verdict = Verdict::kOk;
    std::string detail;  // what was found
    std::string fix;     // what to do; empty when nothing is to be done
};

// What the doctor knows of one camera and the adapter that heard it. Addresses are host order.
struct CameraLink {
    std::string serial;
    uint32_t camera_ip = 0;
    uint32_t camera_mask = 0;
    uint32_t pc_ip = 0;
    uint32_t pc_mask = 0;
    std::string adapter;
};

// The adapter's MTU against the packets the camera sends (after negotiation) and the largest it could.
Finding CheckMtu(const std::string& adapter, std::optional<int> mtu, std::optional<int> packet_size,
                 std::optional<int> largest_packet_size);
// net.core.rmem_max against the receive buffer a stream of the largest payload asks for. With packet
// sockets allowed the stream takes the packet ring and the limit matters less.
Finding CheckReceiveBuffer(std::optional<int64_t> rmem_max, std::optional<uint64_t> largest_payload,
                           bool packet_sockets_allowed);
// Camera and adapter on one subnet.
Finding CheckSubnet(const CameraLink& link);
// The reverse-path filter on an adapter facing a camera on a foreign subnet drops its answers.
Finding CheckReversePathFilter(const CameraLink& link, std::optional<int> rp_filter);
// The route to the camera leaves through the adapter that heard it.
Finding CheckRoute(const CameraLink& link, const std::string& route_table);
// Whether the process may open packet sockets (the faster receive path), and how to grant it.
Finding CheckPacketSockets(bool allowed, const std::string& program);
// A camera whose control privilege another application holds.
Finding CheckControl(const CameraLink& link, std::optional<int> control_privilege);

// The adapter the routing table sends `address` through (longest prefix, then lowest metric); empty
// when no route matches. The table is in the /proc/net/route format.
std::string RouteAdapter(const std::string& route_table, uint32_t address);

const char* VerdictText(Verdict verdict);

}  // namespace tavi::cli
