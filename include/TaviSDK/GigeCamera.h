#pragma once
// One camera of the discovery list: its control channel, device description, features, streams,
// and the processing and export operations on the frames it delivers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Export.h"
#include "TaviSDK/Types.h"

class GigeStream;
namespace tavi {
class NodeMap;
}

// Calibration of one sensor: 104 floats; slots beyond the used ones are zero.
struct CmosCalibration {
    float distortion[20];   // k1, k2, p1, p2, k3
    float intrinsic[36];    // 3 x 3 camera matrix, row-major
    float rotation[36];     // 3 x 3 rotation, row-major
    float translation[12];  // translation vector
};
static_assert(sizeof(CmosCalibration) == 104 * sizeof(float));

class TAVI_API GigeCamera {
public:
    GigeCamera();
    ~GigeCamera();
    GigeCamera(const GigeCamera&) = delete;
    GigeCamera& operator=(const GigeCamera&) = delete;

    // ---- GVCP register and memory transport ------------------------------------------------------

    // ---- connection and heartbeat ----------------------------------------------------------------

    // ---- device description and node access ------------------------------------------------------

    // ---- calibration and clock reads -------------------------------------------------------------

    // ---- feature controls ------------------------------------------------------------------------

    // ---- stream channels -------------------------------------------------------------------------

    // ---- point-cloud processing ------------------------------------------------------------------

    // ---- point-cloud files -----------------------------------------------------------------------

    // ---- state shared by the camera's subsystems -------------------------------------------------
    std::mutex command_lock;      // serialises each GVCP exchange (drain, send, receive)
    std::thread heartbeat_thread;
    uint16_t request_id = 0;
    int control_socket = 0;
    std::atomic<int> connected{0};
    unsigned char* xml_data = nullptr;  // the description as fetched, followed by one zero byte
    std::string xml_file_name;
    std::string xml_file_type;
    int xml_length = 1;
    int pc_mtu = 0;
    int packet_size = 0;
    std::atomic<int> heartbeat_timeout{0};
    uint32_t camera_ip = 0;
    uint32_t pc_ip = 0;
    char* adapter_name = nullptr;  // 256 bytes
    cameralog log;
    std::vector<CmosCalibration> calibration;
    int cmos_count = 0;
    char* ip_text = nullptr;  // 16 bytes
    std::unique_ptr<tavi::NodeMap> node_map;

    // Bytes per pixel of a pixel-format value, 0 for a value the library does not know.
    static uint32_t GetPixelByteByGenICamFormatValue(uint32_t format) { return PixelBytesOfFormat(format); }

private:
    char* CameraIP(unsigned int ip);
};
