// `tavi doctor [SERIAL]`: checks what trips up GigE Vision on Linux (MTU, receive buffer limit,
// reverse-path filter, subnet, route, packet-socket permission, a camera held by another
// application) and prints the fix beside every problem.

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera/feature_access.h"
#include "camera_session.h"
#include "commands.h"
#include "doctor_checks.h"
#include "exit_codes.h"
#include "feature_values.h"
#include "system_settings.h"

namespace tavi::cli {
namespace {

struct DoctorOptions {
    std::string serial;
    std::string root = "/";
};

// What a connection tells of the camera's streams; empty when it could not connect.
struct StreamFacts {
    std::optional<int> packet_size;
    std::optional<int> largest_packet_size;
    std::optional<uint64_t> largest_payload;
    int connect_result = 0;
};

bool PacketSocketsAllowed() {
    const int probe = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    close(probe);
    return true;
}

std::string ProgramPath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "tavi";
}

CameraLink LinkOf(const DiscoveryInfo& info) {
    return {SerialOf(info), info.camera_ip, info.camera_mask,
            info.pc_ip,     info.pc_mask,   FieldText(info.adapter_name, sizeof info.adapter_name)};
}

std::optional<int> ControlPrivilege(const DiscoveryInfo& info) {
    GigeCamera camera;
    DiscoveryInfo copy = info;
    int ccp = -1;
    if (camera.GetCameraCCPStatus(&copy, &ccp) != 0 || ccp < 0) return std::nullopt;
    return ccp;
}

StreamFacts ReadStreamFacts(const DiscoveryInfo& info) {
    StreamFacts facts;
    CameraSession session(info);
    facts.connect_result = session.connect_result();
    if (facts.connect_result != 0) return facts;
    GigeCamera& camera = session.camera();
    std::string why;
    if (const auto feature = DescribeFeature(*camera.node_map, "GevSCPSPacketSize", &why)) {
        FeatureValue value;
        if (ReadFeatureValue(camera, *feature, 0, &value) == 0 && value.number)
            facts.packet_size = static_cast<int>(*value.number);
        if (const std::optional<int64_t> max = ReadLimits(camera, *feature, 0).max)
            facts.largest_packet_size = static_cast<int>(*max);
    }
    if (!facts.packet_size && camera.packet_size > 0) facts.packet_size = camera.packet_size;
    const uint32_t channels = ChannelCount(camera);
    for (uint32_t channel = 0; channel < channels; ++channel) {
        const int64_t payload = session.ReadChannelFeature("PayloadSize", channel);
        if (payload > 0 &&
            (!facts.largest_payload || static_cast<uint64_t>(payload) > *facts.largest_payload))
            facts.largest_payload = static_cast<uint64_t>(payload);
    }
    return facts;
}

int PrintFinding(const Finding& finding) {
    std::printf("[%-7s] %-13s %s\n", VerdictText(finding.verdict), finding.check.c_str(),
                finding.detail.c_str());
    if (!finding.fix.empty() && finding.verdict != Verdict::kOk)
        std::printf("%24s fix: %s\n", "", finding.fix.c_str());
    return finding.verdict == Verdict::kProblem ? 1 : 0;
}

int CheckCamera(const DiscoveryInfo& info, const SystemSettings& system, bool packet_sockets) {
    const CameraLink link = LinkOf(info);
    std::printf("\ncamera %s at %s, heard on %s:\n", link.serial.c_str(),
                DottedAddress(link.camera_ip).c_str(), link.adapter.c_str());
    int problems = 0;
    const Finding subnet = CheckSubnet(link);
    const Finding route = CheckRoute(link, system.RouteTable());
    const std::optional<int> privilege = ControlPrivilege(info);
    const Finding control = CheckControl(link, privilege);
    StreamFacts facts;
    // Only a camera that can be reached and is free is connected to, for its packet and frame sizes.
    const bool reachable = route.verdict == Verdict::kOk && control.verdict == Verdict::kOk;
    if (reachable) facts = ReadStreamFacts(info);
    problems += PrintFinding(subnet);
    problems += PrintFinding(CheckReversePathFilter(link, system.ReversePathFilter(link.adapter)));
    problems += PrintFinding(route);
    problems += PrintFinding(control);
    if (reachable && facts.connect_result != 0) {
        problems += PrintFinding({"connect", Verdict::kProblem,
                                  "connecting failed (" + ResultText(facts.connect_result) + ")",
                                  "check the cable; then look at the camera's own status lights"});
    }
    problems += PrintFinding(
        CheckMtu(link.adapter, system.Mtu(link.adapter), facts.packet_size, facts.largest_packet_size));
    problems +=
        PrintFinding(CheckReceiveBuffer(system.ReceiveBufferLimit(), facts.largest_payload, packet_sockets));
    return problems;
}

int RunDoctor(const DoctorOptions& options) {
    const SystemSettings system(options.root);
    const bool packet_sockets = PacketSocketsAllowed();
    int problems = PrintFinding(CheckPacketSockets(packet_sockets, ProgramPath()));
    const DiscoveryResult result = DiscoverCameras();
    int checked = 0;
    for (const DiscoveryInfo& info : result.cameras) {
        if (!options.serial.empty() && SerialOf(info) != options.serial) continue;
        problems += CheckCamera(info, system, packet_sockets);
        ++checked;
    }
    if (checked == 0) {
        const std::string what = options.serial.empty()
                                     ? NoCameraMessage(result)
                                     : "no camera with serial number " + options.serial + " answered";
        std::printf("[%-7s] %-13s %s\n", VerdictText(Verdict::kProblem), "discovery", what.c_str());
        std::printf("\n1 problem: no camera to check\n");
        return kExitNoCamera;
    }
    if (problems == 0) {
        std::printf("\nno problems found\n");
        return kExitOk;
    }
    std::printf("\n%d problem%s found: apply the fixes above, then run `tavi doctor` again\n", problems,
                problems == 1 ? "" : "s");
    return kExitDoctorFound;
}

}  // namespace

Command AddDoctorCommand(CLI::App& app) {
    auto* command = app.add_subcommand(
        "doctor",
        "Check the network settings that GigE Vision cameras need, and print the fix for each problem");
    auto options = std::make_shared<DoctorOptions>();
    command->add_option("serial", options->serial,
                        "Check only this camera (default: every camera that answers)");
    command->add_option(
        "--root", options->root,
        "Read /proc and /sys settings under this directory instead of / (for tests and containers)");
    return {command, [options] { return RunDoctor(*options); }};
}

}  // namespace tavi::cli
