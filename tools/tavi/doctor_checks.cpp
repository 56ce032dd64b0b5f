#include "doctor_checks.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "net/gvcp_protocol.h"
#include "stream/receive_buffer.h"

namespace tavi::cli {
namespace {

// The smallest MTU of standard Ethernet, a camera's usual packet size: below it such packets are cut.
constexpr int kStandardMtu = static_cast<int>(gvcp::kDefaultPacketSize);
constexpr uint64_t kFramesBuffered = stream::kFramesInReceiveBuffer;
constexpr unsigned kRouteUp = 0x1;  // RTF_UP

std::string Dotted(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255u,
                  (address >> 8) & 255u, address & 255u);
    return text;
}

int PrefixLength(uint32_t mask) {
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)) != 0) ++bits;
    return bits;
}

std::string Cidr(uint32_t address, uint32_t mask) {
    return Dotted(address) + "/" + std::to_string(PrefixLength(mask));
}

bool SameSubnet(const CameraLink& link) {
    return (link.camera_ip & link.pc_mask) == (link.pc_ip & link.pc_mask);
}

// A free address on the adapter's subnet to suggest for the camera: the adapter's own plus one, or
// minus one at the top of the range.
uint32_t SuggestedCameraAddress(const CameraLink& link) {
    const uint32_t next = link.pc_ip + 1;
    const bool inside =
        (next & link.pc_mask) == (link.pc_ip & link.pc_mask) && (next | link.pc_mask) != 0xFFFFFFFFu;
    return inside ? next : link.pc_ip - 1;
}

Finding Ok(const char* check, std::string detail) { return {check, Verdict::kOk, std::move(detail), ""}; }

std::string Bytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

bool ParseHex(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 8) return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk:
            return "ok";
        case Verdict::kHint:
            return "hint";
        case Verdict::kProblem:
            return "PROBLEM";
    }
    return "";
}

Finding CheckMtu(const std::string& adapter, std::optional<int> mtu, std::optional<int> packet_size,
                 std::optional<int> largest_packet_size) {
    if (!mtu) return {"mtu", Verdict::kHint, "the MTU of " + adapter + " could not be read", ""};
    const std::string raise = "sudo ip link set dev " + adapter +
                              " mtu 9000 (and allow jumbo frames on every switch "
                              "between the PC and the camera)";
    const int packet = packet_size.value_or(kStandardMtu);
    if (*mtu < packet || *mtu < kStandardMtu) {
        return {"mtu", Verdict::kProblem,
                adapter + " has an MTU of " + std::to_string(*mtu) + " bytes, less than the camera's " +
                    std::to_string(packet) + "-byte stream packets: they are cut into fragments or lost",
                raise};
    }
    if (largest_packet_size && *largest_packet_size > *mtu) {
        return {"mtu", Verdict::kHint,
                adapter + " has an MTU of " + std::to_string(*mtu) +
                    " bytes; the camera could send packets of up to " + std::to_string(*largest_packet_size) +
                    " bytes, with far fewer packets per frame",
                raise};
    }
    return Ok("mtu", adapter + " MTU " + std::to_string(*mtu) + " carries the camera's " +
                         std::to_string(packet) + "-byte packets");
}

Finding CheckReceiveBuffer(std::optional<int64_t> rmem_max, std::optional<uint64_t> largest_payload,
                           bool packet_sockets_allowed) {
    if (!rmem_max) return {"rmem_max", Verdict::kHint, "net.core.rmem_max could not be read", ""};
    if (!largest_payload || *largest_payload == 0)
        return Ok("rmem_max",
                  "net.core.rmem_max is " + std::to_string(*rmem_max) + " bytes (no frame size known)");
    const uint64_t needed = *largest_payload * kFramesBuffered;
    if (*rmem_max >= 0 && static_cast<uint64_t>(*rmem_max) >= needed) {
        return Ok("rmem_max", "net.core.rmem_max " + Bytes(static_cast<uint64_t>(*rmem_max)) + " holds " +
                                  std::to_string(kFramesBuffered) + " frames of " + Bytes(*largest_payload));
    }
    const std::string fix = "sudo sysctl -w net.core.rmem_max=" + std::to_string(needed) +
                            ", and keep it with a line net.core.rmem_max=" + std::to_string(needed) +
                            " in /etc/sysctl.d/90-tavi.conf";
    const std::string detail = "net.core.rmem_max is " + std::to_string(*rmem_max) + " bytes; a stream of " +
                               Bytes(*largest_payload) + " frames asks for " + Bytes(needed);
    if (packet_sockets_allowed) {
        return {"rmem_max", Verdict::kHint,
                detail + " (the packet ring receives instead when the packets fit the MTU)", fix};
    }
    return {"rmem_max", Verdict::kProblem, detail + ": packets are dropped whenever the PC falls behind",
            fix};
}

Finding CheckSubnet(const CameraLink& link) {
    if (SameSubnet(link)) {
        return Ok("subnet", "camera " + Dotted(link.camera_ip) + " is on " + link.adapter + "'s subnet " +
                                Cidr(link.pc_ip & link.pc_mask, link.pc_mask));
    }
    const uint32_t suggested = SuggestedCameraAddress(link);
    return {"subnet", Verdict::kProblem,
            "camera " + link.serial + " at " + Cidr(link.camera_ip, link.camera_mask) + " is not on " +
                link.adapter + "'s subnet " + Cidr(link.pc_ip & link.pc_mask, link.pc_mask) +
                ": discovery hears it, but control and streams need a route",
            "tavi force-ip " + link.serial + " " + Dotted(suggested) + " " + Dotted(link.pc_mask) + " " +
                Dotted(link.pc_ip) + " (or give " + link.adapter +
                " an address on the camera's subnet: sudo ip addr add " +
                Cidr((link.camera_ip & link.camera_mask) | 1u, link.camera_mask) + " dev " + link.adapter +
                ")"};
}

Finding CheckReversePathFilter(const CameraLink& link, std::optional<int> rp_filter) {
    if (!rp_filter)
        return {"rp_filter", Verdict::kHint, "rp_filter of " + link.adapter + " could not be read", ""};
    if (SameSubnet(link) || *rp_filter != 1) {
        return Ok("rp_filter", "rp_filter " + std::to_string(*rp_filter) + " on " + link.adapter +
                                   (SameSubnet(link) ? " (the camera is on its subnet)" : ""));
    }
    return {"rp_filter", Verdict::kProblem,
            "strict reverse-path filtering (rp_filter 1) on " + link.adapter +
                " drops the answers of camera " + Dotted(link.camera_ip) + " on a foreign subnet",
            "sudo sysctl -w net.ipv4.conf.all.rp_filter=2 net.ipv4.conf." + link.adapter +
                ".rp_filter=2 (loose), or move the camera onto the adapter's subnet"};
}

std::string RouteAdapter(const std::string& route_table, uint32_t address) {
    std::istringstream lines(route_table);
    std::string line;
    std::getline(lines, line);  // the header
    std::string best;
    int best_prefix = -1;
    long best_metric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination_text, gateway, flags_text, references, use, metric_text, mask_text;
        if (!(fields >> name >> destination_text >> gateway >> flags_text >> references >> use >>
              metric_text >> mask_text))
            continue;
        uint32_t destination = 0, mask = 0, flags = 0;
        if (!ParseHex(destination_text, &destination) || !ParseHex(mask_text, &mask) ||
            !ParseHex(flags_text, &flags))
            continue;
        // The kernel prints the addresses in network byte order, as the machine reads them.
        destination = ntohl(destination);
        mask = ntohl(mask);
        if ((flags & kRouteUp) == 0 || (address & mask) != destination) continue;
        const int prefix = PrefixLength(mask);
        const long metric = std::strtol(metric_text.c_str(), nullptr, 10);
        if (prefix > best_prefix || (prefix == best_prefix && metric < best_metric)) {
            best = name;
            best_prefix = prefix;
            best_metric = metric;
        }
    }
    return best;
}

Finding CheckRoute(const CameraLink& link, const std::string& route_table) {
    const std::string adapter = RouteAdapter(route_table, link.camera_ip);
    if (adapter == link.adapter) {
        return Ok("route", "the route to " + Dotted(link.camera_ip) + " leaves through " + link.adapter);
    }
    const std::string fix = "sudo ip route add " + Dotted(link.camera_ip) + "/32 dev " + link.adapter +
                            " (or put the camera on " + link.adapter + "'s subnet, see above)";
    if (adapter.empty()) {
        return {"route", Verdict::kProblem,
                "no route leads to camera " + Dotted(link.camera_ip) + ": commands to it cannot be sent",
                fix};
    }
    return {"route", Verdict::kProblem,
            "the route to camera " + Dotted(link.camera_ip) + " leaves through " + adapter +
                ", not through " + link.adapter + " that heard it",
            fix};
}

Finding CheckPacketSockets(bool allowed, const std::string& program) {
    if (allowed)
        return Ok("packet_socket", "this process may open packet sockets: streams use the packet ring");
    return {"packet_socket", Verdict::kHint,
            "this process may not open packet sockets: streams use the UDP socket, which costs more CPU per "
            "frame",
            "sudo setcap cap_net_raw+ep " + program + " (and the same for your own application)"};
}

Finding CheckControl(const CameraLink& link, std::optional<int> control_privilege) {
    if (!control_privilege) {
        return {"control", Verdict::kProblem,
                "camera " + link.serial + " did not answer the control-privilege read",
                "check the cable and the camera's power; fix the problems above first"};
    }
    if (*control_privilege == 0) return Ok("control", "camera " + link.serial + " is free to be controlled");
    return {"control", Verdict::kProblem,
            "camera " + link.serial + " is held by another application (control privilege " +
                std::to_string(*control_privilege) + ")",
            "close the other application (a viewer, another tavi), or wait for its heartbeat to lapse"};
}

}  // namespace tavi::cli
