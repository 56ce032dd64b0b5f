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
class ControlChannel;
class Heartbeat;
class NodeMap;
}  // namespace tavi

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
    // One GVCP command and its acknowledge each, up to three attempts. A device status comes back as
    // (status << 16), with 0xFFFF below for an error status, from a read; as the status from a write.
    int ReadRegister(unsigned int address, int* value);
    int WriteRegister(unsigned int address, int value);

  private:
    // The whole acknowledge is left in `buffer` (at least 548 bytes), the data from offset 12.
    int ReadMem(unsigned int address, unsigned short count, char* buffer);
    // Writes the low 16 bits of `value`; kept for completeness, nothing calls it.
    int WriteMem(unsigned int address, unsigned short count, unsigned int value);
    friend struct GigeCameraTestPeer;  // unit tests reach the private steps

  public:
    // ---- connection and heartbeat ----------------------------------------------------------------
    int CameraConnect(DiscoveryInfo* info);
    int CameraDisconnect();
    // A CCP read over a socket of its own; works without a connection.
    int GetCameraCCPStatus(DiscoveryInfo* info, int* ccp);
    int GetHeartBeatTimeout();
    int SetHeartBeatTimeout(int timeout);

  private:
    static unsigned int HeartBeat(void* camera);
    // Writes the largest unfragmented packet size into every stream channel; the size or a code.
    int GetPacketSize();
    // The next datagram from the camera on the probe socket within the probe's time-out; its size or -1.
    int ReceiveTestPacket(int probe, uint8_t* buffer, size_t capacity);
    // How many stream channels the description declares (its channel selector's range), at most 512.
    int DeclaredStreamChannels();
    int Connect(DiscoveryInfo* info);
    int ConnectSteps(DiscoveryInfo* info);
    int TakeControl();
    int StartHeartbeat();
    int ReadSensorsCalibration();
    // Undoes a connection that failed after control was granted.
    void AbandonConnection();
    void StopHeartbeat();
    void CloseControlSocket();

  public:
    // ---- device description and node access ------------------------------------------------------
    // The register address behind a feature name; -11 unconnected, -21 for an unknown name.
    int GetRegisterAddr(const char* name);
    int GetNodeMinValue(const char* name);
    int GetNodeMaxValue(const char* name);
    int GetNodeIncValue(const char* name);
    void GetCameraXMLNodeNames(std::vector<std::string>* names);
    // Copies the node's Length bytes of camera memory to `destination`; zeros when the read fails.
    // A Length beyond 4096 bytes is refused with a log line and leaves `destination` untouched.
    void ReadStringRegister(const char* name, char* destination);
    // The same into a buffer of `capacity` bytes: at most capacity - 1 bytes of the register, always
    // followed by a zero byte. 0, or -2 (no buffer, or a Length beyond 4096), -11, -21, or the
    // failed memory read's code (negative).
    int ReadStringRegister(const char* name, char* destination, size_t capacity);
    int SaveXmlToLocal(std::string directory);

  private:
    int ReadStringBytes(const char* name, char* text, int* length);
    int GetXMLfromCamera();
    int GetNodeProperty(const char* name, const char* property);
    int ReadUrlRegister(unsigned int address, char* url);
    int BuildNodeMap();

  public:
    // ---- calibration and clock reads -------------------------------------------------------------
    // No connection check: the connection reads them while connecting.
    int GetCamInternelParameter(int cmos, float* distortion, float* camera_matrix);
    int GetCamExternelParameter(int cmos, float* rotation, float* translation);
    // The value, or a negative code widened to 64 bits.
    unsigned long long GetTimestampValue();
    unsigned long long GetTimestampTickFrequency();

  private:
    struct CalibrationBlock;
    struct ClockPair;
    int ReadCalibrationBlock(int cmos, const CalibrationBlock& block, float* first, float* second);
    unsigned long long ReadClockPair(const ClockPair& pair);

  public:
    // ---- feature controls ------------------------------------------------------------------------
    // Start and stop the camera's streaming (AcquisitionStart written with 1, AcquisitionStop with 0).
    int AcquisitionStart();
    int AcquisitionStop();

    // ---- stream channels -------------------------------------------------------------------------
    // Opens stream channel `channel_index`: reads its geometry, binds a receiving socket, points the
    // channel at it and starts a GigeStream, stored in `*stream` (null after any failure).
    int StreamOn(unsigned short channel_index, GigeStream** stream);
    // Clears the channel's destination registers and destroys `stream` (which may be null).
    int StreamOff(unsigned short channel_index, GigeStream* stream);

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

  public:
    // ---- state shared by the camera's subsystems -------------------------------------------------
    std::mutex command_lock;  // serialises each GVCP exchange (drain, send, receive)
    std::thread heartbeat_thread;
    uint16_t request_id = 0;
    int control_socket = -1;  // -1: no socket
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
    char* adapter_name = nullptr;  // kAdapterNameSize bytes
    cameralog log;
    std::vector<CmosCalibration> calibration;
    int cmos_count = 0;
    char* ip_text = nullptr;  // 16 bytes
    std::unique_ptr<tavi::NodeMap> node_map;

    // Bytes per pixel of a pixel-format value, 0 for a value the library does not know.
    static uint32_t GetPixelByteByGenICamFormatValue(uint32_t format) { return PixelBytesOfFormat(format); }

  private:
    // `adapter_name` holds a copy of the discovery record's adapter name.
    static constexpr size_t kAdapterNameSize = sizeof(DiscoveryInfo::adapter_name);
    char* CameraIP(unsigned int ip);
    // The control channel over `command_lock`, `request_id`, `control_socket` and `camera_ip`; the
    // transport calls above forward to it.
    std::unique_ptr<tavi::ControlChannel> control_;
    // The heartbeat thread's work, over `connected` and `heartbeat_timeout`.
    std::unique_ptr<tavi::Heartbeat> heartbeat_;
    // The process that created the object: a child made by fork() shares its camera, socket and log
    // with the parent, so its destructor releases nothing the parent still uses.
    int owner_process_id_;
    void ForgetInForkedChild();
};
