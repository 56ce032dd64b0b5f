// `tavi info SERIAL`: connects and prints what the camera says of itself.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "camera/feature_access.h"
#include "camera_session.h"
#include "commands.h"

namespace tavi::cli {
namespace {

// The latch command copies the running camera clock into the latched-value registers.
void LatchTimestamp(GigeCamera& camera) {
    constexpr int kLatchCommand = 2;
    tavi::WriteFeature(camera, {"GevTimestampControlLatch"}, kLatchCommand);
}

void PrintCalibration(const GigeCamera& camera) {
    for (size_t sensor = 0; sensor < camera.calibration.size(); ++sensor) {
        const CmosCalibration& c = camera.calibration[sensor];
        std::printf("sensor %zu: fx %.2f fy %.2f cx %.2f cy %.2f  k1 %.4f k2 %.4f  t (%.2f, %.2f, %.2f)\n",
                    sensor, c.intrinsic[0], c.intrinsic[4], c.intrinsic[2], c.intrinsic[5], c.distortion[0],
                    c.distortion[1], c.translation[0], c.translation[1], c.translation[2]);
    }
}

int RunInfo(const std::string& serial, const std::string& save_directory) {
    const std::optional<DiscoveryInfo> found = FindCamera(serial);
    if (!found) {
        std::fprintf(stderr, "tavi: no camera with serial number %s answered\n", serial.c_str());
        return 1;
    }
    CameraSession session(*found);
    if (session.connect_result() != 0) {
        std::fprintf(stderr, "tavi: connecting to %s failed (code %d)\n", serial.c_str(),
                     session.connect_result());
        return 1;
    }
    GigeCamera& camera = session.camera();
    DiscoveryInfo& info = session.info();
    int ccp = 0;
    camera.GetCameraCCPStatus(&info, &ccp);
    std::printf("camera %s (%s, %s) at %s through %s\n", serial.c_str(),
                FieldText(info.model_name, sizeof info.model_name).c_str(),
                FieldText(info.device_version, sizeof info.device_version).c_str(),
                DottedAddress(info.camera_ip).c_str(),
                FieldText(info.adapter_name, sizeof info.adapter_name).c_str());
    std::printf("control privilege %d, packet size %d, heartbeat time-out %d ms, sensors %d\n", ccp,
                camera.packet_size, camera.GetHeartBeatTimeout(), camera.cmos_count);
    std::printf("description %s.%s, %d bytes\n", camera.xml_file_name.c_str(), camera.xml_file_type.c_str(),
                camera.xml_length);
    LatchTimestamp(camera);
    std::printf("timestamp tick frequency %llu Hz, latched timestamp %llu\n",
                camera.GetTimestampTickFrequency(), camera.GetTimestampValue());
    PrintCalibration(camera);
    if (!save_directory.empty()) {
        const int saved = camera.SaveXmlToLocal(save_directory);
        std::printf("description saved to %s: %s (code %d)\n", save_directory.c_str(),
                    saved == 0 ? "done" : "failed", saved);
    }
    return 0;
}

}  // namespace

void AddInfoCommand(CLI::App& app) {
    auto* command = app.add_subcommand("info", "Connect to a camera and print its settings and calibration");
    static std::string serial, save_directory;
    command->add_option("serial", serial, "Serial number of the camera")->required();
    command->add_option("--save-xml", save_directory, "Also save the device description into this directory");
    command->callback([] { std::exit(RunInfo(serial, save_directory)); });
}

}  // namespace tavi::cli
