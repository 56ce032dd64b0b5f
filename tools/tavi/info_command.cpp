// `tavi info SERIAL`: connects and prints what the camera says of itself: identity, network,
// versions, sensors, calibration and clock.

#include <cstdio>
#include <memory>
#include <string>

#include "camera/feature_access.h"
#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "json_writer.h"

namespace tavi::cli {
namespace {

struct InfoOptions {
    std::string serial;
    bool json = false;
};

struct CameraFacts {
    int ccp = 0;
    unsigned long long tick_frequency = 0;
    unsigned long long timestamp = 0;
};

// The latch command copies the running camera clock into the latched-value registers.
CameraFacts ReadFacts(CameraSession& session) {
    CameraFacts facts;
    GigeCamera& camera = session.camera();
    camera.GetCameraCCPStatus(&session.info(), &facts.ccp);
    constexpr int kLatchCommand = 2;
    tavi::WriteFeature(camera, {"GevTimestampControlLatch"}, kLatchCommand);
    facts.tick_frequency = camera.GetTimestampTickFrequency();
    facts.timestamp = camera.GetTimestampValue();
    return facts;
}

void JsonFloats(JsonWriter& json, const char* key, const float* values, int count) {
    json.BeginArray(key);
    for (int n = 0; n < count; ++n) json.Number({}, values[n]);
    json.EndArray();
}

void PrintJson(CameraSession& session, const CameraFacts& facts) {
    GigeCamera& camera = session.camera();
    const DiscoveryInfo& info = session.info();
    JsonWriter json;
    json.BeginObject()
        .String("serial", SerialOf(info))
        .String("model", FieldText(info.model_name, sizeof info.model_name))
        .String("manufacturer", FieldText(info.manufacturer_name, sizeof info.manufacturer_name))
        .String("manufacturer_info", FieldText(info.manufacturer_info, sizeof info.manufacturer_info))
        .String("device_version", FieldText(info.device_version, sizeof info.device_version))
        .String("sdk_version", GigeCamera::SDKVersion())
        .String("user_name", FieldText(info.user_name, sizeof info.user_name));
    json.BeginObject("network")
        .String("camera_ip", DottedAddress(info.camera_ip))
        .String("camera_mask", DottedAddress(info.camera_mask))
        .String("camera_gateway", DottedAddress(info.camera_gateway))
        .String("pc_ip", DottedAddress(info.pc_ip))
        .String("adapter", FieldText(info.adapter_name, sizeof info.adapter_name))
        .Integer("mtu", camera.pc_mtu)
        .Integer("packet_size", camera.packet_size)
        .Integer("heartbeat_timeout_ms", camera.GetHeartBeatTimeout())
        .Integer("control_privilege", facts.ccp)
        .EndObject();
    json.BeginObject("description")
        .String("file", camera.xml_file_name + "." + camera.xml_file_type)
        .Integer("bytes", camera.xml_length)
        .EndObject();
    json.BeginObject("clock")
        .Unsigned("tick_frequency_hz", facts.tick_frequency)
        .Unsigned("latched_timestamp", facts.timestamp)
        .EndObject();
    json.Integer("sensors", camera.cmos_count).BeginArray("calibration");
    for (size_t sensor = 0; sensor < camera.calibration.size(); ++sensor) {
        const CmosCalibration& c = camera.calibration[sensor];
        json.BeginObject().Integer("sensor", static_cast<int64_t>(sensor));
        JsonFloats(json, "camera_matrix", c.intrinsic, 9);
        JsonFloats(json, "distortion", c.distortion, 5);
        JsonFloats(json, "rotation", c.rotation, 9);
        JsonFloats(json, "translation", c.translation, 3);
        json.EndObject();
    }
    json.EndArray().EndObject();
    std::printf("%s\n", json.Text().c_str());
}

void PrintText(CameraSession& session, const CameraFacts& facts) {
    GigeCamera& camera = session.camera();
    const DiscoveryInfo& info = session.info();
    std::printf("camera %s (%s %s, version %s) at %s through %s\n", SerialOf(info).c_str(),
                FieldText(info.manufacturer_name, sizeof info.manufacturer_name).c_str(),
                FieldText(info.model_name, sizeof info.model_name).c_str(),
                FieldText(info.device_version, sizeof info.device_version).c_str(),
                DottedAddress(info.camera_ip).c_str(),
                FieldText(info.adapter_name, sizeof info.adapter_name).c_str());
    std::printf("network: mask %s, gateway %s; PC %s, MTU %d; packet size %d\n",
                DottedAddress(info.camera_mask).c_str(), DottedAddress(info.camera_gateway).c_str(),
                DottedAddress(info.pc_ip).c_str(), camera.pc_mtu, camera.packet_size);
    std::printf("control privilege %d, heartbeat time-out %d ms, library %s\n", facts.ccp,
                camera.GetHeartBeatTimeout(), GigeCamera::SDKVersion());
    std::printf("description %s.%s, %d bytes\n", camera.xml_file_name.c_str(), camera.xml_file_type.c_str(),
                camera.xml_length);
    std::printf("clock: %llu Hz, latched timestamp %llu\n", facts.tick_frequency, facts.timestamp);
    std::printf("sensors: %d\n", camera.cmos_count);
    for (size_t sensor = 0; sensor < camera.calibration.size(); ++sensor) {
        const CmosCalibration& c = camera.calibration[sensor];
        std::printf("sensor %zu: fx %.2f fy %.2f cx %.2f cy %.2f  k1 %.4f k2 %.4f  t (%.2f, %.2f, %.2f)\n",
                    sensor, c.intrinsic[0], c.intrinsic[4], c.intrinsic[2], c.intrinsic[5], c.distortion[0],
                    c.distortion[1], c.translation[0], c.translation[1], c.translation[2]);
    }
}

int RunInfo(const InfoOptions& options) {
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    const CameraFacts facts = ReadFacts(*session);
    if (options.json) {
        PrintJson(*session, facts);
    } else {
        PrintText(*session, facts);
    }
    return kExitOk;
}

}  // namespace

Command AddInfoCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("info", "Connect to a camera and print its identity, network and calibration");
    auto options = std::make_shared<InfoOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_flag("--json", options->json, "Print one JSON object");
    return {command, [options] { return RunInfo(*options); }};
}

}  // namespace tavi::cli
