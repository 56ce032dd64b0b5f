#pragma once
// One camera of the discovery list: its control channel, device description, features, streams,
// and the processing and export operations on the frames it delivers.
//
// Objects do not survive fork(): their threads and locks exist in the parent only, and a child shares
// the parent's sockets, control privilege and log. A child neither uses nor destroys the parent's
// objects (a GigeCamera destroyed in a child all the same releases nothing the parent still uses);
// it creates its own if it needs cameras.

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

    // Each setter checks its argument before any traffic and returns 0, -11 (not connected), -2 (a
    // refused argument, unless said otherwise), -21 (the camera's description lacks the feature) or
    // the transport's code. Each getter returns the register value or one of those codes; `cmos` is
    // a sensor index, `channel_index` a stream channel's.
    int SetAutoExposure(int mode, int cmos);  // mode 0 (off) or 1 (on)
    int GetAutoExposure(int cmos);
    int SetCamExposureGainLevel(int cmos, int level);  // level 1 and up
    int GetCamExposureGainLevel(int cmos);
    // The value must lie above the node's minimum and at most at its maximum; cmos below cmos_count.
    int SetExposureTime(int value, int cmos);
    int GetExposureTime(int cmos);
    int SetMutipleExposure(int count);  // count 1 and up, else -1
    int GetMutipleExposure();
    // type 1 analog, 2 digital; rgb 1 the colour sensor's gain. A value outside the node's limits
    // gives -16; a negative gain read back gives -17.
    int SetGain(int type, int value, int rgb);
    int GetGain(int type, int rgb);
    int SetTriggerMode(int mode);      // 0 or 1
    int SetTriggerSource(int source);  // 0 or 1
    int SetTriggerCount(int count);    // frames per software trigger, 1 and up
    int SetRGBTriggerMode(int mode);
    int SetRGBTriggerCount(int count);
    int SetStrobeLEDswitch(int on);
    int GetStrobeLEDswitch();
    int SetStrobeLEDbrightress(int percent);  // 1 to 100
    int GetStrobeLEDbrightress();
    int SetLaserbrightness(int percent);  // 1 to 100
    int GetLaserbrightness();
    // IEEE 1588 clock synchronisation on (1) or off (0); the status is the port state, 0 to 8. A
    // register value out of range reads as -17.
    int SetTimestamp(int on);
    int GetTimestamp();
    int GetTimestampStatus();
    int SetTimestampControlLatch();
    // Region of interest of the sensor behind a stream channel; a refused value gives -25, and only
    // the first refused one is reported.
    int SetRoi(int channel_index, int width, int height, int offset_x, int offset_y);

    // ---- firmware upgrade and version texts ------------------------------------------------------
    // Uploads the file at `path` to the camera's FTP server as /var/<file name>, then has the camera
    // install it and reboot (the camera is then lost until it is back and connected again). -1 no
    // such file, -2 a file name longer than 26 characters, -44/-45/-46 the FTP client, the login
    // or the transfer failed, or the code of the register write.
    int FirmwareUpgrade(DiscoveryInfo info, const char* path);
    // The device version text of `info`, in one buffer shared by every camera and overwritten by
    // each call; and the library's version text.
    static char* CameraVerion(DiscoveryInfo info);
    static char* SDKVersion();

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
    // ---- colour conversion -----------------------------------------------------------------------
    // Turns a BayerRG8 or YUV422_8 frame into RGB8 in place; any other format is left as it is. The
    // Bayer path replaces `frame.data` with a new C-heap block (the old one is freed, so it must come
    // from malloc); the YUYV path writes width x height x 3 bytes into the frame's own buffer.
    void RawdataToRgb888(PhotoInfo& frame);

  private:
    void BayerRG8ToRgb888(PhotoInfo& frame);
    void YuyvToRgb888(PhotoInfo& frame);

  public:
    // ---- depth and colour fusion -----------------------------------------------------------------
    // Colours every cloud point with the colour image's pixel it projects to: width x height records
    // of X, Y, Z and the pixel's third, second and first byte (six zeros for a point that misses).
    int FusionImageTo3D(PhotoInfo& colour, PhotoInfo& cloud, float* fused_points);
    // Resamples the cloud onto the colour image's pixel grid as a Coord3D_ABC16 frame in `result`,
    // whose buffer holds colour width x height x 6 bytes.
    int Fusion3DToRGB(PhotoInfo& colour, PhotoInfo& cloud, PhotoInfo& result);

    // ---- ROI mapping and morphology --------------------------------------------------------------
    // Marks with 255, in `target_mask` (target width x height ints), every target pixel that sees what
    // a pixel inside `rect` of the source image sees. 0, or a code when the sensors' calibration or
    // their CmosIndex registers cannot be had (the mask is then untouched).
    int ROIPixelMapping(PhotoInfo& cloud, PhotoInfo& source, PhotoInfo& target, RoiPoint& rect,
                        int* target_mask);
    // 3 x 3 dilation and cross-shaped erosion of a width x height mask; the border ends up 0.
    void PixelSwell(int* mask, PhotoInfo& frame);
    void PixelCorrosion(int* mask, PhotoInfo& frame);
    // The rectangle spanned by the marked pixels of the mask.
    void ROIMappingCoordinate(int* mask, PhotoInfo& frame, RoiPoint& rect);

    // ---- image files -----------------------------------------------------------------------------
    // Mono8, RGB8 and RGB565p frames as BMP files; BayerRG8 and YUV422_8 frames are converted to RGB8
    // in place first and stay converted.
    int SaveToBMP(PhotoInfo& frame, char* path);
    // The Z plane of a Coord3D_ABC16 frame as a 16-bit grey PNG.
    int SaveDepthToPng(PhotoInfo& frame, char* path);
    // A plane taken from a cloud before (width x height samples, most significant byte first).
    int SaveCloudPlane(PhotoInfo& frame, short* plane, char* path);

  private:
    int SaveGrayImageToBmp(PhotoInfo& frame, char* path);
    int SaveRgb888ToBmp(PhotoInfo& frame, char* path);
    int SaveRgb565ToBmp(PhotoInfo& frame, char* path);
    int SaveBayerRG8ToBmp(PhotoInfo& frame, char* path);
    int SaveYuyvRgbToBmp(PhotoInfo& frame, char* path);
    // The calibration record of the sensor behind `channel`, or null with a logged code in `*code`.
    const CmosCalibration* CalibrationOfChannel(const char* function, uint16_t channel, int* code);

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
