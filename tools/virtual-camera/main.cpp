// tavi-virtual-camera: a GigE Vision 3D camera emulator (control channel, device model, streams).
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control_server.h"
#include "device.h"
#include "gvcp_server.h"
#include "settings.h"
#include "streaming/stream_engine.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

constexpr int kTickMs = 20;  // heartbeat and reboot checks, and delayed acknowledges

void PrintUsage() {
    std::printf(
        "usage: tavi-virtual-camera [--option value ...]\n\n"
        "A virtual GigE Vision 3D camera answering on UDP port 3956 of one interface.\n"
        "Options (each also settable at run time on the control socket as \"set option value\"):\n%s"
        "Stream faults (also at run time): --drop, --drop-first, --drop-resent RATIO; --drop-once\n"
        "BLOCK:PACKET[-PACKET][,...][;...]; --reorder, --duplicate, --error-status, --truncate, --oversize,\n"
        "--leader-late RATIO, --bad-checksum RATIO; --lying-leader 0|1|2; --error-code STATUS; "
        "--oversize-bytes N; --seed N; "
        "--bandwidth BITS_PER_S (0:\n"
        "unlimited); --clear 1 (run time: removes every stream fault).\n",
        vcam::SettingsHelp().c_str());
}

// The engine names its faults after its settings' fields ("drop_first"); the camera's options use
// dashes ("drop-first"). Both spellings reach the engine.
std::string EngineKey(std::string key) {
    std::replace(key.begin(), key.end(), '-', '_');
    return key;
}

// One line of the control socket.
std::string HandleControlLine(const std::string& line, vcam::Settings& settings, vcam::Device& device,
                              vcam::StreamEngine& streams) {
    std::string verb = line.substr(0, line.find(' '));
    std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    std::string key = rest.substr(0, rest.find(' '));
    std::string value = rest.size() > key.size() ? rest.substr(key.size() + 1) : "";
    if (verb == "ping") return "ok";
    if (verb == "get") {
        std::string text;
        return vcam::FormatSetting(settings, key, &text) ? "value " + text : "error unknown key " + key;
    }
    if (verb != "set") return "error unknown command " + verb;
    if (vcam::IsStartSetting(key)) return "error " + key + " is fixed at start";
    switch (vcam::ApplySetting(settings, key, value)) {
        case vcam::SetResult::kApplied:
            device.RefreshFromSettings();
            return "ok";
        case vcam::SetResult::kBadValue:
            return "error bad value for " + key;
        case vcam::SetResult::kUnknownKey:
            return streams.SetFault(EngineKey(key), value) ? "ok" : "error unknown key or bad value " + key;
    }
    return "error";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
    }
    vcam::Settings settings;
    std::vector<std::pair<std::string, std::string>> engine_options;
    std::string error;
    if (!vcam::ParseCommandLine(argc, argv, settings, engine_options, &error)) {
        std::fprintf(stderr, "tavi-virtual-camera: %s (see --help)\n", error.c_str());
        return 2;
    }
    vcam::NetInterface net(settings.interface_name);
    if (!net.found()) {
        std::fprintf(stderr, "tavi-virtual-camera: no usable network interface%s%s\n",
                     settings.interface_name.empty() ? "" : " named ", settings.interface_name.c_str());
        return 1;
    }

    vcam::EngineOptions options;
    options.cloud_unit = settings.cloud_unit;
    options.noise = settings.noise_mm;
    options.outlier_ratio = settings.outlier_ratio;
    options.scene_seed = settings.scene_seed;
    vcam::StreamEngine streams(options);
    for (const auto& [key, value] : engine_options) {
        if (!streams.SetFault(EngineKey(key), value)) {
            std::fprintf(stderr, "tavi-virtual-camera: unknown option --%s (see --help)\n", key.c_str());
            return 2;
        }
    }
    if (!streams.Ok()) std::fprintf(stderr, "tavi-virtual-camera: the stream sockets are not usable\n");

    vcam::Device device(settings, net, streams);
    device.PowerOn(vcam::Clock::now());
    vcam::GvcpServer gvcp(settings, device, net);
    if (!gvcp.Open()) return 1;
    vcam::ControlServer control(
        [&](const std::string& line) { return HandleControlLine(line, settings, device, streams); });
    if (!settings.control_path.empty() && !control.Open(settings.control_path)) return 1;

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::fprintf(stderr, "virtual camera %s listening on %s\n", settings.serial.c_str(), net.name().c_str());

    while (!g_stop) {
        std::vector<pollfd> fds{{gvcp.fd(), POLLIN, 0}};
        for (int fd : control.Descriptors()) fds.push_back({fd, POLLIN, 0});
        poll(fds.data(), fds.size(), kTickMs);
        auto now = vcam::Clock::now();
        gvcp.ReceiveAll(now);
        control.Serve();
        device.Tick(now);
        gvcp.SendDue(now);
    }
    return 0;
}
