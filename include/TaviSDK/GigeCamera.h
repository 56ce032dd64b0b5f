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
    // Frames are Coord3D_ABC16 point clouds owned by the caller; no connection is needed. Work is
    // bounded by both width x height and payload_size: points the payload lacks count as (0, 0, 0).

    // Decodes width x height points into `output` (3 floats each): raw value / cloud_unit.
    void Convert3DPointFromCharToFloat(PhotoInfo& frame, float* output);
    // One coordinate of every point as width x height 16-bit values, most significant byte first.
    int GetCloudPlaneX(PhotoInfo& frame, short* plane);
    int GetCloudPlaneY(PhotoInfo& frame, short* plane);
    int GetCloudPlaneZ(PhotoInfo& frame, short* plane);
    // Keeps the points of locally consistent 5 x 3 windows (tolerance min(k x 0.005 x Z, 15)).
    void FilterPointCloud(PhotoInfo& frame, double k);
    // Removes points in 30-unit grid cells holding fewer than `min_population` points.
    int SpatialFilterPointcloud(PhotoInfo& frame, int min_population);

    // ---- point-cloud files -----------------------------------------------------------------------
    int SavePointCloudToPcd(PhotoInfo& frame, char* path);
    int SavePointCloudToPly(PhotoInfo& frame, char* path);
    int SavePointCloudToTxt(PhotoInfo& frame, char* path);
    // `fused_points`: width x height records of X, Y, Z and three colour values (from the fusion).
    int SavePointCloudWithImageToTxt(PhotoInfo& frame, float* fused_points, char* path);

private:
    int GetCloudPlane(PhotoInfo& frame, short* plane, int axis);
    int GetCloudPlaneOfAxis(PhotoInfo& frame, short* plane, int axis);

public:

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
