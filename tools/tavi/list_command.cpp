// `tavi list` prints the cameras a discovery finds as a table; `tavi force-ip` moves one.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "camera_session.h"
#include "commands.h"

namespace tavi::cli {
namespace {

std::string Text(const char* field, size_t width) { return FieldText(field, width); }
std::string Dotted(uint32_t address) { return DottedAddress(address); }

std::string MacText(const DiscoveryInfo& info) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", info.mac_high >> 8,
                  info.mac_high & 255u, info.mac_low >> 24, (info.mac_low >> 16) & 255u,
                  (info.mac_low >> 8) & 255u, info.mac_low & 255u);
    return text;
}

void PrintTable(const std::vector<DiscoveryInfo>& cameras) {
    std::printf("%-3s %-16s %-16s %-17s %-16s %-10s %-16s %-16s %-16s %5s %-8s\n", "#", "serial", "model",
                "mac", "camera ip", "same net", "camera mask", "pc ip", "pc gateway", "mtu", "adapter");
    for (size_t index = 0; index < cameras.size(); ++index) {
        const DiscoveryInfo& info = cameras[index];
        const bool same_subnet = (info.camera_ip & info.camera_mask) == (info.pc_ip & info.pc_mask);
        std::printf("%-3zu %-16s %-16s %-17s %-16s %-10s %-16s %-16s %-16s %5d %-8s\n", index,
                    Text(info.serial_number, sizeof info.serial_number).c_str(),
                    Text(info.model_name, sizeof info.model_name).c_str(), MacText(info).c_str(),
                    Dotted(info.camera_ip).c_str(), same_subnet ? "yes" : "NO",
                    Dotted(info.camera_mask).c_str(), Dotted(info.pc_ip).c_str(),
                    Dotted(info.pc_gateway).c_str(), info.mtu,
                    Text(info.adapter_name, sizeof info.adapter_name).c_str());
    }
}

int RunList(bool sort_by_serial) {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    const int found = discovery.DiscoverCamera(&cameras);
    if (found < 0) {
        std::fprintf(stderr, "tavi: the network adapters could not be listed (code %d)\n", found);
        return 2;
    }
    if (found > 0) discovery.CameraSort(&cameras, sort_by_serial ? 1 : 0);
    std::printf("%d camera answer%s\n", found, found == 1 ? "" : "s");
    PrintTable(cameras);
    return 0;
}

int RunForceIp(const std::string& serial, std::string ip, std::string mask, std::string gateway) {
    Discovery discovery;
    std::vector<DiscoveryInfo> cameras;
    discovery.DiscoverCamera(&cameras);
    for (const DiscoveryInfo& info : cameras) {
        if (Text(info.serial_number, sizeof info.serial_number) != serial) continue;
        const int result = discovery.ForceIp(info, ip.data(), mask.data(), gateway.data());
        std::printf("force-ip %s -> %s: %s (code %d)\n", serial.c_str(), ip.c_str(),
                    result == 0 ? "done" : "failed", result);
        return result == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "tavi: no camera with serial number %s answered\n", serial.c_str());
    return 1;
}

}  // namespace

void AddListCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("list", "Discover the cameras on every adapter and print them as a table");
    static bool sort_by_serial = false;
    command->add_flag("--by-serial", sort_by_serial, "Order by serial number instead of address");
    command->callback([] { std::exit(RunList(sort_by_serial)); });
}

void AddForceIpCommand(CLI::App& app) {
    auto* command = app.add_subcommand("force-ip", "Give a camera a new address, mask and gateway");
    static std::string serial, ip, mask, gateway;
    command->add_option("serial", serial, "Serial number of the camera")->required();
    command->add_option("ip", ip, "New address")->required();
    command->add_option("mask", mask, "New subnet mask")->required();
    command->add_option("gateway", gateway, "New default gateway")->required();
    command->callback([] { std::exit(RunForceIp(serial, ip, mask, gateway)); });
}

}  // namespace tavi::cli
