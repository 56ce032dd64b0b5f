// `tavi force-ip SERIAL IP MASK GATEWAY`: gives a camera a new address, even one on a foreign subnet.

#include <cstdio>
#include <memory>
#include <string>

#include "TaviSDK/Discovery.h"
#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"

namespace tavi::cli {
namespace {

struct ForceIpOptions {
    std::string serial, ip, mask, gateway;
};

bool IsDotted(const std::string& text) {
    unsigned parts[4];
    char tail = 0;
    return std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3],
                       &tail) == 4 &&
           parts[0] < 256 && parts[1] < 256 && parts[2] < 256 && parts[3] < 256;
}

int RunForceIp(ForceIpOptions options) {
    for (const std::string* address : {&options.ip, &options.mask, &options.gateway}) {
        if (!IsDotted(*address)) {
            std::fprintf(stderr, "tavi: '%s' is not a dotted IPv4 address (like 192.168.1.20)\n",
                         address->c_str());
            return kExitUsage;
        }
    }
    // The camera needs every part of its configuration: a link without a router names the PC's own address.
    for (const std::string* address : {&options.ip, &options.mask, &options.gateway}) {
        if (*address == "0.0.0.0") {
            std::fprintf(
                stderr,
                "tavi: the %s must not be 0.0.0.0; on a link without a router give the adapter's own "
                "address as the gateway\n",
                address == &options.ip     ? "address"
                : address == &options.mask ? "mask"
                                           : "gateway");
            return kExitUsage;
        }
    }
    const std::optional<DiscoveryInfo> found = FindCamera(options.serial);
    if (!found) return kExitNoCamera;
    Discovery discovery;
    const int result =
        discovery.ForceIp(*found, options.ip.data(), options.mask.data(), options.gateway.data());
    if (result != 0) {
        std::fprintf(stderr, "tavi: the camera did not take the address %s (%s)\n", options.ip.c_str(),
                     ResultText(result).c_str());
        return kExitCameraRefused;
    }
    std::printf("force-ip %s -> %s: done; `tavi list` shows the new address\n", options.serial.c_str(),
                options.ip.c_str());
    return kExitOk;
}

}  // namespace

Command AddForceIpCommand(CLI::App& app) {
    auto* command = app.add_subcommand("force-ip", "Give a camera a new address, mask and gateway");
    auto options = std::make_shared<ForceIpOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_option("ip", options->ip, "New address")->required();
    command->add_option("mask", options->mask, "New subnet mask")->required();
    command
        ->add_option("gateway", options->gateway,
                     "New default gateway (on a link without a router: the adapter's own address)")
        ->required();
    return {command, [options] { return RunForceIp(*options); }};
}

}  // namespace tavi::cli
