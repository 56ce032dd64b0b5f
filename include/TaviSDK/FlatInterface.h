/* The flat interface: plain functions with C linkage over one process-wide state (the discovery
 * list, a Discovery object and a camera table), for callers that cannot use the classes. A camera
 * is addressed by its index in the discovery list, a stream by that index and a channel (0, 1 or 2).
 *
 * Usual order: SetLogLevel (optional), DiscoverCamera, CameraSort (optional), CreateCamera,
 * CameraConnect(i), StreamOn(i, ch), AcquisitionStart(i), Capture / TryCapture / TimeoutCapture and
 * processing, AcquisitionStop(i), StreamOff(i, ch), CameraDisconnect(i), DestroyCamera.
 *
 * Results: 0 or the class operation's code; -99 when the table or the row's camera is missing (or the
 * index lies outside the table), -98 when the stream slot is empty (or the channel is above 2).
 * Functions that return something else when an object is missing say so below. No function raises
 * an error; the state is not locked: DiscoverCamera, CameraSort, CreateCamera and DestroyCamera must
 * not overlap with any other call. Different cameras and streams may be used from different threads.
 *
 * The functions ending in CSharp are twins for managed callers: a frame goes in as a flat header
 * (PhotoInfoCSharp), a data pointer and a size, and comes out as a header, a buffer and a length.
 *
 * This header compiles as C99 and as C++. */
#ifndef TAVISDK_FLAT_INTERFACE_H
#define TAVISDK_FLAT_INTERFACE_H

#include "TaviSDK/Export.h"

#ifdef __cplusplus
#include <cstdint>

#include "TaviSDK/Types.h"
extern "C" {
#else
#include <stdbool.h>
#include <stdint.h>

/* The records of the class interface, laid out field for field as there. */
typedef struct DiscoveryInfo {
    uint32_t camera_ip;
    uint32_t camera_mask;
    uint32_t camera_gateway;
    uint32_t mac_low;
    uint16_t mac_high;
    char manufacturer_name[32];
    char model_name[32];
    char device_version[32];
    char manufacturer_info[48];
    char serial_number[16];
    char user_name[16];
    uint32_t pc_ip;
    uint32_t pc_mask;
    uint32_t pc_gateway;
    int32_t mtu;
    char adapter_name[256];
} DiscoveryInfo;

typedef struct PhotoInfo {
    unsigned char* data;
    uint32_t reserved; /* 0 for a complete frame, else the block's status */
    uint32_t pixel_format;
    uint32_t width;
    uint32_t height;
    uint32_t cloud_unit;
    uint32_t payload_size;
    uint32_t timestamp_high;
    uint32_t timestamp_low;
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint16_t block_id;
    uint16_t channel_index;
} PhotoInfo;

typedef struct RoiPoint {
    int32_t width;
    int32_t height;
    int32_t offset_x;
    int32_t offset_y;
} RoiPoint;

enum { kStatisticsBucketSlots = 1000 };

/* Histogram of block receive times in microseconds. */
typedef struct StatisticsData {
    int32_t range_start;
    uint32_t bucket_width;
    int32_t bucket_count;
    int32_t max_time;
    int32_t min_time;
    uint64_t sample_count;
    uint64_t above_count;
    uint64_t below_count;
    uint64_t buckets[kStatisticsBucketSlots];
} StatisticsData;
#endif

/* A frame header without its data pointer, for managed callers. */
typedef struct PhotoInfoCSharp {
    uint32_t reserved;
    uint32_t pixel_format;
    uint32_t width;
    uint32_t height;
    uint32_t cloud_unit;
    uint32_t payload_size;
    uint32_t timestamp_high;
    uint32_t timestamp_low;
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint16_t block_id;
    uint16_t channel_index;
} PhotoInfoCSharp;

/* StatisticsData without its buckets, for managed callers; the buckets come separately. */
typedef struct StatisticsHeaderCSharp {
    int32_t range_start;
    uint32_t bucket_width;
    int32_t bucket_count;
    int32_t max_time;
    int32_t min_time;
    uint64_t sample_count;
    uint64_t above_count;
    uint64_t below_count;
} StatisticsHeaderCSharp;

/* ---- the process-wide state --------------------------------------------------------------------- */
/* Empties the discovery list, then fills it: the number of cameras found, or -3. */
TAVI_API int DiscoverCamera(void);
/* Mode 0: by address; mode 1: by serial number. */
TAVI_API int CameraSort(int mode);
/* One table row (a camera and three stream slots) per discovered camera: the number of rows. An
 * empty list gives 0 and leaves the table as it is; otherwise a table that exists already is
 * destroyed first (as DestroyCamera does). */
TAVI_API int CreateCamera(void);
/* Closes every open stream, disconnects every connected camera, then destroys them and the table. */
TAVI_API void DestroyCamera(void);
/* The four process-wide log switches; note the order. */
TAVI_API void SetLogLevel(int error, int debug, int warning, int info);
/* The dotted address of camera `index`, in a buffer overwritten by the next call; "" for an index
 * outside the list. Needs no table. */
TAVI_API char* CameraIP(int index);
/* Gives camera `index` a new address, mask and gateway. Needs no table. */
TAVI_API int ForceIP(int index, char* ip, char* mask, char* gateway);
/* Whether camera `index` is in its adapter's subnet. Needs no table. */
TAVI_API bool WhetherIsSameSegment(int index);

/* ---- cameras, with their discovery record -------------------------------------------------------- */
TAVI_API int CameraConnect(int index);
/* Sets `*status` to -60 first, then to the privilege register's value when it could be read. */
TAVI_API int GetCameraCCPStatus(int index, int* status);
TAVI_API int FirmwareUpgrade(int index, const char* path);
/* "" when the camera is missing. */
TAVI_API char* CameraVerions(int index);
TAVI_API char* SDKVersion(int index);

/* ---- camera features ----------------------------------------------------------------------------- */
TAVI_API int AcquisitionStart(int index);
TAVI_API int AcquisitionStop(int index);
TAVI_API int CameraDisconnect(int index);
TAVI_API int GetAutoExposure(int index, int cmos);
TAVI_API int GetCamExposureGainLevel(int index, int cmos);
TAVI_API int GetExposureTime(int index, int cmos);
TAVI_API int GetGain(int index, int type, int rgb);
TAVI_API int GetCamExternelParameter(int index, int cmos, float* rotation, float* translation);
TAVI_API int GetCamInternelParameter(int index, int cmos, float* distortion, float* camera_matrix);
TAVI_API int GetHeartBeatTimeout(int index);
TAVI_API int GetLaserbrightness(int index);
TAVI_API int GetMutipleExposure(int index);
TAVI_API int GetStrobeLEDbrightress(int index);
TAVI_API int GetStrobeLEDswitch(int index);
TAVI_API int GetTimestamp(int index);
TAVI_API int GetTimestampStatus(int index);
TAVI_API int SetTimestampControlLatch(int index);
TAVI_API int GetNodeIncValue(int index, const char* name);
TAVI_API int GetNodeMaxValue(int index, const char* name);
TAVI_API int GetNodeMinValue(int index, const char* name);
TAVI_API int GetRegisterAddr(int index, const char* name);
TAVI_API int SetAutoExposure(int index, int mode, int cmos);
TAVI_API int SetCamExposureGainLevel(int index, int cmos, int level);
TAVI_API int SetExposureTime(int index, int value, int cmos);
TAVI_API int SetGain(int index, int type, int value, int rgb);
TAVI_API int SetHeartBeatTimeout(int index, int timeout);
TAVI_API int SetLaserbrightness(int index, int percent);
TAVI_API int SetMutipleExposure(int index, int count);
TAVI_API int SetRGBTriggerCount(int index, int count);
TAVI_API int SetRGBTriggerMode(int index, int mode);
TAVI_API int SetStrobeLEDbrightress(int index, int percent);
TAVI_API int SetStrobeLEDswitch(int index, int on);
TAVI_API int SetTimestamp(int index, int on);
TAVI_API int SetTriggerCount(int index, int count);
TAVI_API int SetTriggerMode(int index, int mode);
TAVI_API int SetTriggerSource(int index, int source);
TAVI_API int SetRoi(int index, int channel, int width, int height, int offset_x, int offset_y);
TAVI_API int WriteRegister(int index, unsigned int address, int value);
/* `*value` is left as it is when the camera is missing. */
TAVI_API int ReadRegister(int index, unsigned int address, int* value);
TAVI_API int SaveXmlToLocal(int index, const char* path);
/* -99 as a 64-bit value (0xFFFFFFFFFFFFFF9D) when the camera is missing. */
TAVI_API unsigned long long GetTimestampTickFrequency(int index);
TAVI_API unsigned long long GetTimestampValue(int index);
/* Nothing happens when the camera is missing. `text` receives the register's bytes. */
TAVI_API void ReadStringRegister(int index, const char* name, char* text);
/* The same into a buffer of `capacity` bytes: at most capacity - 1 bytes of the register, always
 * followed by a zero byte. 0, -2 (no buffer, or a Length beyond 4096), -11, -21, or the failed
 * memory read's code (negative); -99 when the camera is missing, with `text` emptied. */
TAVI_API int ReadStringRegisterBounded(int index, const char* name, char* text, unsigned int capacity);
/* Fills `names` with one 255-byte slot per feature name (cut to 254 characters) and sets `*count`
 * to the number of names; -1 when the camera is missing. */
TAVI_API void GetCameraXMLNodeNames(int index, char* names, int* count);

/* ---- stream channels ----------------------------------------------------------------------------- */
/* Opens channel `channel` into its slot; an occupied slot is refused (-2), a channel above 2 too
 * (-33). */
TAVI_API int StreamOn(int index, unsigned short channel);
/* Closes the slot's stream and empties the slot; -99 also when the slot is empty. */
TAVI_API int StreamOff(int index, unsigned short channel);

/* ---- frames: processing and files (-99 also for a null frame, unless said otherwise) -------------- */
TAVI_API int Fusion3DToRGB(int index, PhotoInfo* colour, PhotoInfo* cloud, PhotoInfo* result);
TAVI_API int FusionImageTo3D(int index, PhotoInfo* colour, PhotoInfo* cloud, float* fused_points);
TAVI_API int SaveDepthToPng(int index, PhotoInfo* frame, char* path);
TAVI_API int SavePointCloudToPcd(int index, PhotoInfo* frame, char* path);
TAVI_API int SavePointCloudToPly(int index, PhotoInfo* frame, char* path);
TAVI_API int SavePointCloudToTxt(int index, PhotoInfo* frame, char* path);
TAVI_API int SaveToBMP(int index, PhotoInfo* frame, char* path);
TAVI_API int SavePointCloudWithImageToTxt(int index, PhotoInfo* frame, float* fused_points, char* path);
/* 0 without doing anything when the camera is missing or a pointer is null (GetCloudPlaneY: -2 for
 * a null frame). */
TAVI_API int GetCloudPlaneX(int index, PhotoInfo* frame, short* plane);
TAVI_API int GetCloudPlaneY(int index, PhotoInfo* frame, short* plane);
TAVI_API int GetCloudPlaneZ(int index, PhotoInfo* frame, short* plane);
TAVI_API int SaveCloudPlane(int index, PhotoInfo* frame, short* plane, char* path);
TAVI_API int SpatialFilterPointcloud(int index, PhotoInfo* frame, int min_population);
/* Nothing happens when the camera is missing or the frame (or rectangle) is null. */
TAVI_API void Convert3DPointFromCharToFloat(int index, PhotoInfo* frame, float* points);
TAVI_API void FilterPointCloud(int index, PhotoInfo* frame, double factor);
TAVI_API void RawdataToRgb888(int index, PhotoInfo* frame);
TAVI_API void PixelCorrosion(int index, int* mask, PhotoInfo* frame);
TAVI_API void PixelSwell(int index, int* mask, PhotoInfo* frame);
TAVI_API void ROIMappingCoordinate(int index, int* mask, PhotoInfo* frame, RoiPoint* rect);
TAVI_API void ROIPixelMapping(int index, PhotoInfo* cloud, PhotoInfo* source, PhotoInfo* target,
                              RoiPoint* rect, int* target_mask);

/* ---- streams (-98 when the slot is empty, unless said otherwise) --------------------------------- */
/* `frame->data` must hold the stream's payload size; -98 also for a null frame. */
TAVI_API int Capture(int index, unsigned short channel, PhotoInfo* frame);
TAVI_API int TryCapture(int index, unsigned short channel, PhotoInfo* frame);
TAVI_API int TimeoutCapture(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us);
TAVI_API void FlushBuffer(int index, unsigned short channel);
/* -98.0 when the slot is empty. */
TAVI_API float GetBlockRate(int index, unsigned short channel);
TAVI_API double GetPacketResendRatio(int index, unsigned short channel);
TAVI_API int GetMaxBufferLength(int index, unsigned short channel);
TAVI_API int GetNetSpeed(int index, unsigned short channel);
TAVI_API int GetPacketTimeout(int index, unsigned short channel);
TAVI_API int GetSocketSelectTimeout(int index, unsigned short channel);
/* -99 (not -98) when the slot is empty. */
TAVI_API int GetBlockTimeout(int index, unsigned short channel);
TAVI_API int SetBlockTimeout(int index, unsigned short channel, unsigned int timeout_us);
TAVI_API int SetMaxBufferLength(int index, unsigned short channel, unsigned int length);
TAVI_API int SetPacketTimeout(int index, unsigned short channel, unsigned int timeout_us);
TAVI_API int SetSocketSelectTimeout(int index, unsigned short channel, unsigned int timeout_us);
TAVI_API int SetPacketResendRatio(int index, unsigned short channel, double ratio);
/* Every counter is set to 0 when the slot is empty (null pointers are skipped). */
TAVI_API void GetBlockStatistics(int index, unsigned short channel, unsigned int* complete,
                                 unsigned int* incomplete, unsigned int* timed_out, unsigned int* not_stored,
                                 unsigned int* flushed, unsigned int* id_jumps, unsigned int* error_packet,
                                 unsigned int* truncated);
TAVI_API void GetPacketStatistics(int index, unsigned short channel, unsigned int* received,
                                  unsigned int* missing, unsigned int* format_errors, unsigned int* unused,
                                  unsigned int* resend_requested, unsigned int* resent_received,
                                  unsigned int* duplicates);
TAVI_API void GetRecieveTimeStatistics(int index, unsigned short channel, StatisticsData* statistics);
TAVI_API int GetResendRequest(int index, int channel);
TAVI_API void SetResendRequest(int index, int channel, unsigned int on);

/* ---- managed-caller twins ------------------------------------------------------------------------
 * A frame in is (header, data, size): the twin works on a private copy of the `size` bytes (padded
 * with zeros up to the header's payload_size). A capture twin fills the caller's header and the
 * first `length` bytes of its buffer; a failed capture leaves both all zero (payload_size 0). */
TAVI_API int CaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer,
                           int length);
TAVI_API int TryCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer,
                              int length);
TAVI_API int TimeoutCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer,
                                  int length, long long timeout_us);
/* The header, then bucket_count 64-bit buckets into `buckets`. */
TAVI_API void GetRecieveTimeStatisticsCSharp(int index, unsigned short channel,
                                             StatisticsHeaderCSharp* header, void* buckets);
TAVI_API void Convert3DPointFromCharToFloatCSharp(int index, PhotoInfoCSharp* header, const void* data,
                                                  int size, float* points);
TAVI_API void FilterPointCloudCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                     double factor);
TAVI_API int SpatialFilterPointcloudCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                           int min_population);
/* Converts the raw frame at the start of `buffer` and writes the first `length` bytes of the RGB8
 * frame back over it; the header is not updated. */
TAVI_API void RawdataToRgb888CSharp(int index, PhotoInfoCSharp* header, void* buffer, int length);
TAVI_API int GetCloudPlaneXCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                  short* plane);
TAVI_API int GetCloudPlaneYCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                  short* plane);
TAVI_API int GetCloudPlaneZCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                  short* plane);
TAVI_API int SaveCloudPlaneCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                  short* plane, char* path);
TAVI_API int SaveDepthToPngCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path);
TAVI_API int SavePointCloudToPcdCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                       char* path);
TAVI_API int SavePointCloudToPlyCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                       char* path);
TAVI_API int SavePointCloudToTxtCSharp(int index, PhotoInfoCSharp* header, const void* data, int size,
                                       char* path);
TAVI_API int SaveToBMPCSharp(int index, PhotoInfoCSharp* header, const void* data, int size, char* path);
TAVI_API int SavePointCloudWithImageToTxtCSharp(int index, PhotoInfoCSharp* header, const void* data,
                                                int size, float* fused_points, char* path);
/* Only pixel_format, width, height, cloud_unit and payload_size of the result header are written. */
TAVI_API int Fusion3DToRGBCSharp(int index, PhotoInfoCSharp* colour_header, const void* colour_data,
                                 int colour_size, PhotoInfoCSharp* cloud_header, const void* cloud_data,
                                 int cloud_size, PhotoInfoCSharp* result_header, void* result_buffer,
                                 int length);
TAVI_API int FusionImageTo3DCSharp(int index, PhotoInfoCSharp* colour_header, const void* colour_data,
                                   int colour_size, PhotoInfoCSharp* cloud_header, const void* cloud_data,
                                   int cloud_size, float* fused_points);
/* `unused` is kept for its position only. */
TAVI_API void ROIPixelMappingCSharp(int index, PhotoInfoCSharp* cloud_header, const void* cloud_data,
                                    int cloud_size, PhotoInfoCSharp* source_header, const void* source_data,
                                    int source_size, PhotoInfoCSharp* target_header, const void* target_data,
                                    int target_size, RoiPoint* rect, void* unused, int* target_mask);
/* The frame is only the header's width and height (over `size` zero bytes). */
TAVI_API void ROIMappingCoordinateCSharp(int index, void* unused, int* mask, PhotoInfoCSharp* header,
                                         int size, RoiPoint* rect);
TAVI_API void PixelCorrosionCSharp(int index, int* mask, PhotoInfoCSharp* header, int size);
TAVI_API void PixelSwellCSharp(int index, int* mask, PhotoInfoCSharp* header, int size);
/* `names` is a C++ std::vector<std::string>*, filled with the feature names. */
TAVI_API void GetCameraXMLNodeNamesCSharp(int index, void* names);

#ifdef __cplusplus
}
#endif

#endif /* TAVISDK_FLAT_INTERFACE_H */
