#pragma once
// The receiver of one open stream channel: a thread that assembles GVSP packets into frames, asks
// the camera again for missing packets, and hands finished frames to the capture calls.

#include <cstdint>
#include <memory>

#include "TaviSDK/CameraLog.h"
#include "TaviSDK/Export.h"
#include "TaviSDK/Types.h"

// What stream set-up read from the camera for one channel; the receiver keeps a copy.
struct DataStreamPrivateInfo {
    uint32_t socket;
    uint32_t payload_size;  // bytes per frame
    uint32_t width;
    uint32_t height;
    uint32_t size_x;
    uint32_t size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint32_t bytes_per_pixel;
    uint32_t pixel_format;
    uint32_t packet_count;  // payload packets per frame
    uint32_t cloud_unit;
};

// How a block (frame) ended. A captured frame carries it in `PhotoInfo::reserved`: 0 for a complete
// frame; for any other value the bytes of the packets that never arrived are zero.
enum BlockStatus : uint32_t {
    kBlockComplete = 0,
    kBlockTimedOut = 2,
    kBlockNextBlockArrived = 3,
    kBlockFormatError = 4,  // also marks a frame that arrived whole but had a packet in a wrong place
    kBlockErrorPacket = 5,
    kBlockInProgress = 7,
    kBlockFlushed = 8,
};

namespace tavi::stream {
class StreamCore;
}
namespace tavi::api {
struct StreamFrameSize;
}

class TAVI_API GigeStream {
  public:
    // Starts the receive thread on `data_socket`, which the stream owns from now on. Addresses and
    // ports are host order; a tick frequency of 0 stamps frames with the PC clock.
    GigeStream(DataStreamPrivateInfo* info, unsigned short channel_index, int data_socket,
               int adapter_address, int camera_address, int source_port, int local_port,
               int packet_payload_size, int64_t tick_frequency, cameralog* log);
    // Stops and joins the thread (open frames are flushed), closes the sockets, frees every buffer.
    ~GigeStream();
    GigeStream(const GigeStream&) = delete;
    GigeStream& operator=(const GigeStream&) = delete;

    // Copy the oldest finished frame into `frame` (whose data holds at least the payload size) and
    // give its buffer back to the receiver. Capture waits without limit; TryCapture not at all;
    // TimeoutCapture up to `timeout_us` (-1: without limit).
    int Capture(PhotoInfo* frame);
    int TryCapture(PhotoInfo* frame);
    int TimeoutCapture(PhotoInfo* frame, int64_t timeout_us);
    // Throws away every finished frame not yet captured.
    void FlushBuffer();

    // Counters: complete, incomplete, timed-out, not stored, flushed, block-id jumps, error-packet
    // blocks, truncated payload packets.
    void GetBlockStatistics(unsigned* complete, unsigned* incomplete, unsigned* timed_out,
                            unsigned* not_stored, unsigned* flushed, unsigned* id_jumps,
                            unsigned* error_packet, unsigned* truncated);
    // Counters: received, missing, format errors, unused, requested for resend, resent received,
    // duplicates.
    void GetPacketStatistics(unsigned* received, unsigned* missing, unsigned* format_errors, unsigned* unused,
                             unsigned* resend_requested, unsigned* resent_received, unsigned* duplicates);
    void GetRecieveTimeStatistics(StatisticsData* statistics);
    int GetNetSpeed();
    float GetBlockRate();

    int SetMaxBufferLength(unsigned length);
    int GetMaxBufferLength();
    void SetPacketResendFlag(unsigned on);
    int GetPacketResendFlag();
    int SetPacketResendRatio(double ratio);
    double GetPacketResendRatio();
    int SetSocketSelectTimeout(unsigned timeout_us);
    int GetSocketSelectTimeout();
    int SetPacketTimeout(unsigned timeout_us);
    int GetPacketTimeout();
    int SetBlockTimeout(unsigned timeout_us);
    int GetBlockTimeout();
    int SetSendtoStreamPortBreakFirewallTimeout(unsigned timeout_us);
    int GetSendtoStreamPortBreakFirewallTimeout();

  private:
    friend class GigeCamera;
    friend struct tavi::api::StreamFrameSize;  // the flat interface sizes its capture buffers
    // 0 when the receive thread started; its failure code otherwise (stream set-up reports it).
    int StartCode() const;

    std::unique_ptr<tavi::stream::StreamCore> core_;
};
