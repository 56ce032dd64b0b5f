#pragma once
// The records handed across the public interface, the pixel formats and the result codes.
// Callers in other languages lay these records out by field order with natural alignment, so the
// order and widths below are part of the interface: never reorder or resize a field.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Export.h"

// One camera heard by a discovery: the camera's half from its acknowledge, the PC's half from the
// adapter address that heard it. Numbers are host byte order; texts are raw and NUL-padded only if
// the camera padded them.
struct DiscoveryInfo {
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
};

// One frame: `payload_size` valid bytes at `data` plus their description.
struct PhotoInfo {
    unsigned char* data;
    uint32_t reserved;  // 0 for a complete frame from a stream, else the block's status (see GigeStream)
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
};

// A rectangle in pixels; consumers walk columns offset_x .. offset_x + width - 1.
struct RoiPoint {
    int32_t width;
    int32_t height;
    int32_t offset_x;
    int32_t offset_y;
};

inline constexpr int kStatisticsBucketSlots = 1000;

// Histogram of block receive times in microseconds.
struct StatisticsData {
    int32_t range_start = 0;
    uint32_t bucket_width = 1000;
    int32_t bucket_count = 1000;
    int32_t max_time = 0;
    int32_t min_time = 1000000;
    uint64_t sample_count = 0;
    uint64_t above_count = 0;
    uint64_t below_count = 0;
    uint64_t buckets[kStatisticsBucketSlots] = {};
};

// Records one sample `t` (microseconds) into a histogram.
TAVI_API void RecordStatisticsSample(StatisticsData* statistics, int32_t t);

// GenICam pixel-format values the library knows.
enum PixelFormatValue : uint32_t {
    kPixelMono8 = 0x01080001,
    kPixelMono8s = 0x01080002,
    kPixelBayerGR8 = 0x01080008,
    kPixelBayerRG8 = 0x01080009,
    kPixelBayerGB8 = 0x0108000A,
    kPixelBayerBG8 = 0x0108000B,
    kPixelBayerGR10 = 0x0110000C,
    kPixelBayerRG10 = 0x0110000D,
    kPixelBayerGB10 = 0x0110000E,
    kPixelBayerBG10 = 0x0110000F,
    kPixelYUV422_8 = 0x02100032,
    kPixelRGB565p = 0x02100035,
    kPixelRGB8 = 0x02180014,
    kPixelCoord3D_ABC16 = 0x023000B9,
    kPixelCoord3D_ABC16_Planar = 0x023000BA,
};

// Bytes per pixel of a pixel-format value; 0 for any value the library does not know.
TAVI_API uint32_t PixelBytesOfFormat(uint32_t format);

// Result codes. 0 is success; the camera's own GVCP statuses come back in the transport's shapes.
enum TaviResult : int {
    TAVI_OK = 0,
    TAVI_ERR_FILE_OR_COUNT = -1,
    TAVI_ERR_INVALID_ARGUMENT = -2,
    TAVI_ERR_NO_ADAPTER_LIST = -3,
    TAVI_ERR_FORCE_IP = -4,
    TAVI_ERR_NO_CAMERAS_TO_SORT = -5,
    TAVI_ERR_SOCKET_CREATE = -6,
    TAVI_ERR_SOCKET_BIND = -7,
    TAVI_ERR_PROBE_SEND = -8,
    TAVI_ERR_DESCRIPTION_READ = -10,
    TAVI_ERR_NOT_CONNECTED = -11,
    TAVI_ERR_LOG_OPEN = -12,
    TAVI_ERR_MTU = -13,
    TAVI_ERR_GAIN_RANGE = -16,
    TAVI_ERR_INVALID_VALUE_READ = -17,
    TAVI_ERR_HEARTBEAT_THREAD = -19,
    TAVI_ERR_FEATURE_NOT_FOUND = -21,
    TAVI_ERR_PIXEL_FORMAT = -22,
    TAVI_ERR_ROI_RANGE = -25,
    TAVI_ERR_MAX_READ = -28,
    TAVI_ERR_MIN_READ = -29,
    TAVI_ERR_HEARTBEAT_LIMITS = -30,
    TAVI_ERR_HEARTBEAT_READ = -31,
    TAVI_ERR_CHANNEL_INDEX = -33,
    TAVI_ERR_NO_FRAME = -34,
    TAVI_ERR_CAPTURE = -35,
    TAVI_ERR_IP_CONVERSION = -36,
    TAVI_ERR_NO_WRITER = -41,
    TAVI_ERR_FILE_OPEN = -42,
    TAVI_ERR_DESCRIPTION_SAVE = -43,
    TAVI_ERR_FTP_HANDLE = -44,
    TAVI_ERR_FTP_CONNECT = -45,
    TAVI_ERR_FTP_TRANSFER = -46,
    TAVI_ERR_NO_STREAM = -50,
    TAVI_ERR_INCREMENT_READ = -51,
    TAVI_ERR_WRITE_REGISTER = -52,
    TAVI_ERR_READ_REGISTER = -53,
    TAVI_ERR_WRITE_MEMORY = -54,
    TAVI_ERR_READ_MEMORY = -55,
    TAVI_ERR_CCP_READ = -56,
    TAVI_ERR_FUSION_FORMAT = -59,
    TAVI_ERR_FLAT_NO_STATUS = -60,
    TAVI_ERR_FLAT_NO_STREAM = -98,
    TAVI_ERR_FLAT_NO_CAMERA = -99,
};
