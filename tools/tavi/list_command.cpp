// `tavi list`: the cameras a discovery finds on every adapter, as a table or as JSON.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TaviSDK/Discovery.h"
#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "json_writer.h"

namespace tavi::cli {
namespace {

struct ListOptions {
    bool by_serial = false;
    bool json = false;
};

std::string MacText(const DiscoveryInfo& info) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", info.mac_high >> 8,
                  info.mac_high & 255u, info.mac_low >> 24, (info.mac_low >> 16) & 255u,
                  (info.mac_low >> 8) & 255u, info.mac_low & 255u);
    return text;
}

bool SameSubnet(const DiscoveryInfo& info) {
    return (info.camera_ip & info.camera_mask) == (info.pc_ip & info.pc_mask);
}

void PrintTable(const std::vector<DiscoveryInfo>& cameras) {
    std::printf("%-3s %-16s %-16s %-17s %-16s %-10s %-16s %-16s %-16s %5s %-8s\n", "#", "serial", "model",
                "mac", "camera ip", "same net", "camera mask", "pc ip", "pc gateway", "mtu", "adapter");
    for (size_t index = 0; index < cameras.size(); ++index) {
        const DiscoveryInfo& info = cameras[index];
        std::printf("%-3zu %-16s %-16s %-17s %-16s %-10s %-16s %-16s %-16s %5d %-8s\n", index,
                    SerialOf(info).c_str(), FieldText(info.model_name, sizeof info.model_name).c_str(),
                    MacText(info).c_str(), DottedAddress(info.camera_ip).c_str(),
                    SameSubnet(info) ? "yes" : "NO", DottedAddress(info.camera_mask).c_str(),
                    DottedAddress(info.pc_ip).c_str(), DottedAddress(info.pc_gateway).c_str(), info.mtu,
                    FieldText(info.adapter_name, sizeof info.adapter_name).c_str());
    }
}

void PrintJson(const std::vector<DiscoveryInfo>& cameras) {
    JsonWriter json;
    json.BeginObject().BeginArray("cameras");
    for (const DiscoveryInfo& info : cameras) {
        json.BeginObject()
            .String("serial", SerialOf(info))
            .String("model", FieldText(info.model_name, sizeof info.model_name))
            .String("manufacturer", FieldText(info.manufacturer_name, sizeof info.manufacturer_name))
            .String("device_version", FieldText(info.device_version, sizeof info.device_version))
            .String("user_name", FieldText(info.user_name, sizeof info.user_name))
            .String("mac", MacText(info))
            .String("camera_ip", DottedAddress(info.camera_ip))
            .String("camera_mask", DottedAddress(info.camera_mask))
            .String("camera_gateway", DottedAddress(info.camera_gateway))
            .Bool("same_subnet", SameSubnet(info))
            .String("pc_ip", DottedAddress(info.pc_ip))
            .String("pc_mask", DottedAddress(info.pc_mask))
            .String("pc_gateway", DottedAddress(info.pc_gateway))
            .Integer("mtu", info.mtu)
            .String("adapter", FieldText(info.adapter_name, sizeof info.adapter_name))
            .EndObject();
    }
    json.EndArray().EndObject();
    std::printf("%s\n", json.Text().c_str());
}

int RunList(const ListOptions& options) {
    DiscoveryResult result = DiscoverCameras();
    if (result.code > 0 && options.by_serial) {
        Discovery discovery;
        discovery.CameraSort(&result.cameras, 1);
    }
    if (options.json) {
        PrintJson(result.cameras);
    } else {
        std::printf("%zu camera answer%s\n", result.cameras.size(), result.cameras.size() == 1 ? "" : "s");
        if (!result.cameras.empty()) PrintTable(result.cameras);
    }
    if (result.cameras.empty()) {
        std::fprintf(stderr, "tavi: %s\n", NoCameraMessage(result).c_str());
        return kExitNoCamera;
    }
    return kExitOk;
}

}  // namespace

Command AddListCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("list", "Discover the cameras on every adapter and print them as a table");
    auto options = std::make_shared<ListOptions>();
    command->add_flag("--by-serial", options->by_serial, "Order by serial number instead of address");
    command->add_flag("--json", options->json, "Print the cameras as one JSON object");
    return {command, [options] { return RunList(*options); }};
}

}  // namespace tavi::cli
