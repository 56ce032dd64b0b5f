#pragma once
// The virtual camera's image and streaming engine: it renders the synthetic scene for each of the
// three sensors and sends it as GVSP blocks (leader, payload packets, trailer) to the destination
// that the control side programmed into a stream channel's registers.
//
// The control side owns the registers and calls this engine when they change: Configure on a
// write of SCDA, SCP, SCPS or a sensor's region or pixel format; Start/Stop on AcquisitionStart
// and AcquisitionStop or when control lapses; SoftwareTrigger on TriggerSoftware; Resend on a
// PACKETRESEND command; SendTestPacket on SCPS bit 31. Every member is thread-safe.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vcam {

inline constexpr uint32_t kStreamChannelCount = 3;
inline constexpr uint32_t kSensorCount = 3;
inline constexpr uint32_t kSensorDepth = 0;
inline constexpr uint32_t kSensorColour = 1;
inline constexpr uint32_t kSensorGrey = 2;
inline constexpr uint32_t kSensorMaxWidth = 1280;                 // MWOP
inline constexpr uint32_t kSensorMaxHeight = 1024;                // MHOP
inline constexpr uint64_t kDefaultTickFrequency = 1'000'000'000;  // ticks per second of the default clock

// GenICam pixel-format values the sensors deliver.
inline constexpr uint32_t kPixelCoord3D_ABC16 = 0x023000B9;
inline constexpr uint32_t kPixelBayerRG8 = 0x01080009;
inline constexpr uint32_t kPixelYUV422_8 = 0x02100032;  // YUYV
inline constexpr uint32_t kPixelRGB8 = 0x02180014;
inline constexpr uint32_t kPixelRGB565p = 0x02100035;
inline constexpr uint32_t kPixelMono8 = 0x01080001;

// What one stream channel sends, as the channel's registers say.
struct ChannelSettings {
    uint32_t dest_ip = 0;         // SCDA, host byte order; 0 = channel closed
    uint16_t dest_port = 0;       // SCP, host byte order; 0 = channel closed
    uint32_t packet_size = 1500;  // SCPS low 16 bits: IP packet size incl. IP, UDP and GVSP headers;
                                  // held to 576 … 65535
    bool dont_fragment = false;   // SCPS bit 30
    uint32_t width = kSensorMaxWidth;
    uint32_t height = kSensorMaxHeight;
    uint32_t offset_x = 0;
    uint32_t offset_y = 0;
    uint32_t pixel_format = kPixelCoord3D_ABC16;
    uint32_t sensor = kSensorDepth;  // 0 depth Coord3D_ABC16, 1 colour, 2 grey Mono8
};

// A sensor's factory calibration as the camera keeps it in memory: InternelParameter holds
// distortion then intrinsic (56 bytes), ExternelParameter rotation then translation (48 bytes),
// all little-endian floats. Rotation and translation take depth-sensor coordinates (millimetres)
// into the sensor's own coordinates; the depth sensor's are identity and zero.
struct CalibrationBlock {
    float distortion[5];  // k1, k2, p1, p2, k3
    float intrinsic[9];   // row-major camera matrix: fx, skew, cx, 0, fy, cy, 0, 0, 1
    float rotation[9];    // row-major
    float translation[3];
};

// Faults injected into the stream. Ratios are probabilities per packet (or per block for the
// leader) in [0, 1]; all random choices come from `seed`, so a run is repeatable.
struct FaultSettings {
    double drop_first = 0;    // first transmissions lost
    double drop_resent = 0;   // resent packets lost
    std::string drop_once;    // "block:packet[-packet][,packet...][;block:...]": lost once each
    double reorder = 0;       // packet swapped with its successor
    double duplicate = 0;     // packet sent twice
    double error_status = 0;  // packet sent with status `error_code`
    uint16_t error_code = 0x8001;
    double truncate = 0;  // payload packet cut to half its payload
    double oversize = 0;  // payload packet carries `oversize_bytes` more than it should
    uint32_t oversize_bytes = 64;
    double leader_late = 0;     // block whose leader is sent after its payload, before the trailer
    uint32_t lying_leader = 0;  // every leader lies about the image: 1 a size whose product with
                                // the bytes per pixel wraps (4294901763 x 715838805 Coord3D_ABC16),
                                // 2 an unknown pixel format (0xDEADBEEF) of 0xFFFFFFFF x 0xFFFFFFFF
    double bad_checksum = 0;    // payload packet damaged on the way: its bytes changed, its UDP
                                // checksum no longer matching (first transmissions only)
    uint64_t seed = 1;
};

struct EngineOptions {
    uint64_t bandwidth_bits_per_s = 1'000'000'000;  // IP bytes on the wire; 0 = unlimited
    double noise = 0.5;                             // standard deviation of the depth noise, millimetres
    double outlier_ratio = 0.0005;                  // share of measured points replaced by stray points
    uint32_t cloud_unit = 10;                       // raw steps per millimetre (DeviceCloudUnit)
    uint32_t bind_ip = 0;              // source address of the stream sockets, host order; 0 = any
    uint16_t first_source_port = 0;    // channel n sends from this port + n; 0 = ports the system picks
    uint32_t resend_ring_blocks = 16;  // recent blocks per channel that a resend can still reach
    uint32_t noise_variants = 4;       // distinct noisy renderings cycled through, per channel
    uint64_t scene_seed = 1;           // seed of the noise and the stray points
    FaultSettings faults;
};

// Counters of one channel since construction.
struct ChannelCounters {
    uint64_t blocks_sent = 0;
    uint64_t packets_sent = 0;  // datagrams that left, resent ones included
    uint64_t bytes_sent = 0;    // IP bytes (UDP payload + 28) of those datagrams
    uint64_t packets_resent = 0;
    uint64_t packets_dropped = 0;     // withheld by a drop fault
    uint64_t resend_unavailable = 0;  // resend requests for a block not kept (any more), or past its end
    uint64_t send_errors = 0;
    uint64_t triggers_missed = 0;  // software triggers that found the channel busy or stopped
};

class StreamEngine {
  public:
    explicit StreamEngine(const EngineOptions& options);
    ~StreamEngine();
    StreamEngine(const StreamEngine&) = delete;
    StreamEngine& operator=(const StreamEngine&) = delete;

    // False when a stream socket could not be created or bound (see the log on stderr).
    bool Ok() const;

    // The UDP source port of a channel, reported in GevSCSP; 0 for a channel that does not exist.
    uint16_t SourcePort(uint32_t channel) const;

    // Takes effect at the next block; the first block after a change of region or format waits for
    // the scene to be rendered again (well under a second for a full frame). False (settings
    // unchanged) for a channel, sensor, region or format the camera cannot deliver.
    bool Configure(uint32_t channel, const ChannelSettings& settings);
    // Channel n starts fed by sensor n, full frame, in the sensor's first format (Coord3D_ABC16,
    // BayerRG8, Mono8), with its destination closed.
    ChannelSettings Settings(uint32_t channel) const;

    // Continuous at `frames_per_second`, or one block per SoftwareTrigger when `triggered` (up to
    // 16 triggers wait; more are counted as missed). Start on a running channel changes its rate
    // and mode. Nothing is sent, and no block id used, while SCDA or SCP is 0. Stop returns once
    // the sender has ended; a block being sent is cut short.
    bool Start(uint32_t channel, double frames_per_second, bool triggered);
    void Stop(uint32_t channel);
    bool Running(uint32_t channel) const;
    void SoftwareTrigger(uint32_t channel);

    // Sends packets first_packet … last_packet of a recent block again with status 0x0100
    // (resent), soon after the call returns (a worker thread sends them, paced like the stream).
    // Packet ids past the block's trailer are clipped; unknown blocks are counted.
    void Resend(uint32_t channel, uint16_t block_id, uint32_t first_packet, uint32_t last_packet);

    // One test datagram whose UDP payload is exactly `size` bytes, to the channel's destination,
    // with don't-fragment: it is lost when the path cannot carry it. False when it could not leave.
    bool SendTestPacket(uint32_t channel, uint32_t size);

    // Changes one fault (keys: the FaultSettings field names, plus "drop" for both drop ratios and
    // "clear" to remove every fault) or a running setting ("bandwidth" in bits/s, 0 = unlimited;
    // "noise" in mm, 0 … 100; "outlier_ratio", 0 … 1). False (nothing changed) for an unknown key
    // or a value out of range.
    bool SetFault(const std::string& key, const std::string& value);
    FaultSettings Faults() const;

    // The block id the channel's next block carries (tests set it near the wrap).
    void SetNextBlockId(uint32_t channel, uint16_t block_id);
    ChannelCounters Counters(uint32_t channel) const;

    // The camera clock that stamps leaders; the default counts nanoseconds of the monotonic clock
    // (kDefaultTickFrequency). Called from the sender threads, so it must be thread-safe.
    void SetClock(std::function<uint64_t()> camera_ticks);

    uint32_t CloudUnit() const;

    // Bytes of one block of the given region and format; 0 for a format the sensor cannot deliver.
    static uint32_t PayloadSize(uint32_t sensor, uint32_t width, uint32_t height, uint32_t pixel_format);
    static bool SupportsFormat(uint32_t sensor, uint32_t pixel_format);
    // The calibration the scene is rendered with (all zeros for a sensor the camera lacks).
    static CalibrationBlock Calibration(uint32_t sensor);
    // The same as the camera's memory holds it: InternelParameter (distortion, intrinsic) and
    // ExternelParameter (rotation, translation) blocks of little-endian floats.
    static void CalibrationBytes(uint32_t sensor, uint8_t internal[56], uint8_t external[48]);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vcam
