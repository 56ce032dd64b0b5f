// Opening and closing a stream channel on the camera.

#include <sys/socket.h>

#include <climits>
#include <new>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"
#include "camera/feature_access.h"
#include "common/no_throw.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"
#include "stream/gvsp_protocol.h"
#include "stream/image_size.h"
#include "stream/receive_buffer.h"

using tavi::stream::ImageFitsPayload;
using tavi::stream::kFramesInReceiveBuffer;

namespace {

constexpr int kPacketOverhead = static_cast<int>(tavi::gvsp::kPacketOverhead);
constexpr int kSmallestNegotiatedPacket = static_cast<int>(tavi::gvcp::kDefaultPacketSize);
constexpr int kDataSocketTimeoutMs = 1000;

// What stream set-up reads from the camera, in reading order.
struct ChannelGeometry {
    int cloud_unit = 0;
    int cmos = 0;
    int width = 0;
    int height = 0;
    int offset_x = 0;
    int offset_y = 0;
    int payload_size = 0;
    int pixel_format = 0;
};

struct GeometryRead {
    const char* feature;
    tavi::FeatureOffset offset;
    int ChannelGeometry::*field;
    const char* failure;
};

constexpr GeometryRead kGeometryReads[] = {
    {"DeviceCloudUnit", tavi::FeatureOffset::kNone, &ChannelGeometry::cloud_unit,
     "[function:StreamOn] Failed to read register to get cloud unit. error code: %x."},
    {"CmosIndex", tavi::FeatureOffset::kChannel, &ChannelGeometry::cmos,
     "[function:StreamOn] Failed to read register to get cmos number. error code: %x."},
    {"Width", tavi::FeatureOffset::kSensor, &ChannelGeometry::width,
     "[function:StreamOn] Failed to read register to get width. error code: %x."},
    {"Height", tavi::FeatureOffset::kSensor, &ChannelGeometry::height,
     "[function:StreamOn] Failed to read register to get height. error code: %x."},
    {"OffsetX", tavi::FeatureOffset::kSensor, &ChannelGeometry::offset_x,
     "[function:StreamOn] Failed to read register to get offset_x. error code: %x."},
    {"OffsetY", tavi::FeatureOffset::kSensor, &ChannelGeometry::offset_y,
     "[function:StreamOn] Failed to read register to get offset_y. error code: %x."},
    {"PayloadSize", tavi::FeatureOffset::kChannel, &ChannelGeometry::payload_size,
     "[function:StreamOn] Failed to read register to get payload_size. error code: %x."},
    {"PixelFormat", tavi::FeatureOffset::kChannel, &ChannelGeometry::pixel_format,
     "[function:StreamOn] Failed to read register to get pixel_format_value. error code: %x."},
};

int ReadGeometry(GigeCamera* camera, unsigned short channel, ChannelGeometry* geometry) {
    for (const GeometryRead& read : kGeometryReads) {
        const uint32_t index =
            read.offset == tavi::FeatureOffset::kChannel ? channel : static_cast<uint32_t>(geometry->cmos);
        const int code =
            tavi::ReadFeature(*camera, {read.feature, read.offset, index}, &(geometry->*read.field));
        if (code != 0) {
            TAVI_LOG_ERROR(&camera->log, read.failure, code);
            return code;
        }
    }
    return 0;
}

bool NegotiatedPacketSizeUsable(const GigeCamera* camera) {
    return camera->packet_size >= kSmallestNegotiatedPacket &&
           camera->packet_size <= static_cast<int>(tavi::gvcp::kScpsSizeMask);
}

// The packet size negotiated at connection; a stored failure code (or anything smaller than a
// negotiation can give) falls back to the 1500 bytes every GigE link carries.
int UsablePacketSize(GigeCamera* camera) {
    if (NegotiatedPacketSizeUsable(camera)) return camera->packet_size;
    TAVI_LOG_WARNING(
        &camera->log,
        "[function:StreamOn] The negotiated packet size %d is not usable, %d bytes are used instead.",
        camera->packet_size, kSmallestNegotiatedPacket);
    return kSmallestNegotiatedPacket;
}

// Negotiation writes its size into every channel; a size it did not write (the fallback) is written
// here, so that the camera sends packets of the size the receiver places them by.
int AgreePacketSize(GigeCamera* camera, unsigned short channel, int packet_size) {
    if (NegotiatedPacketSizeUsable(camera)) return 0;
    const int code =
        camera->WriteRegister(tavi::gvcp::StreamChannelRegister(tavi::gvcp::kRegScps, channel), packet_size);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &camera->log,
            "[function:StreamOn] Failed to write the packet size %d to the register. error code: %x.",
            packet_size, code);
    }
    return code;
}

// Asks for room for six frames, beyond the kernel's default limit where the process may, and warns
// when the kernel grants less.
void SizeReceiveBuffer(int socket, uint32_t payload_size, cameralog* log) {
    const uint64_t wanted64 = static_cast<uint64_t>(payload_size) * kFramesInReceiveBuffer;
    const int wanted = wanted64 > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(wanted64);
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    // The kernel reports twice the usable size (it counts its own bookkeeping).
    if (granted / 2 < wanted) {
        TAVI_LOG_WARNING(
            log,
            "[function:StreamOn] The receive buffer of the data stream is %d bytes, less than the %d "
            "asked for; raise net.core.rmem_max to allow more.",
            granted / 2, wanted);
    }
}

// The receiving socket, bound to the adapter address; its port in `port`. A negative code on failure.
int OpenDataSocket(GigeCamera* camera, uint32_t payload_size, uint16_t* port) {
    const int socket = open_udp_socket();
    if (socket < 0) {
        TAVI_LOG_ERROR(
            &camera->log,
            "[function:StreamOn] Failed to create socket for receiving data stream. error code: %d",
            TAVI_ERR_SOCKET_CREATE);
        return TAVI_ERR_SOCKET_CREATE;
    }
    tavi::net::SetReceiveTimeout(socket, kDataSocketTimeoutMs);
    SizeReceiveBuffer(socket, payload_size, &camera->log);
    if (bind_udp_socket(socket, camera->pc_ip, 0) < 0 || !tavi::net::LocalEndpoint(socket, nullptr, port)) {
        tavi::net::close_udp_socket(socket);
        TAVI_LOG_ERROR(&camera->log,
                       "[function:StreamOn] Failed to bind socket for receiving data stream. error code: %d",
                       TAVI_ERR_SOCKET_BIND);
        return TAVI_ERR_SOCKET_BIND;
    }
    return socket;
}

// Points the channel at the socket: destination address, then port.
int ProgramDestination(GigeCamera* camera, unsigned short channel, uint16_t port) {
    using tavi::gvcp::StreamChannelRegister;
    int code = camera->WriteRegister(StreamChannelRegister(tavi::gvcp::kRegScda, channel),
                                     static_cast<int>(camera->pc_ip));
    if (code != 0) {
        TAVI_LOG_ERROR(
            &camera->log,
            "[function:StreamOn] Failed to open the data stream due to write IP to register error. error "
            "code: %x",
            code);
        return code;
    }
    code = camera->WriteRegister(StreamChannelRegister(tavi::gvcp::kRegScp, channel), port);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &camera->log,
            "[function:StreamOn] Failed to open the data stream due to write PORT to register error. error "
            "code: %x",
            code);
    }
    return code;
}

DataStreamPrivateInfo MakeStreamInfo(int socket, const ChannelGeometry& geometry, uint32_t bytes_per_pixel,
                                     uint32_t packet_payload_size) {
    DataStreamPrivateInfo info{};
    info.socket = static_cast<uint32_t>(socket);
    info.payload_size = static_cast<uint32_t>(geometry.payload_size);
    info.width = static_cast<uint32_t>(geometry.width);
    info.height = static_cast<uint32_t>(geometry.height);
    info.size_x = info.width;
    info.size_y = info.height;
    info.offset_x = static_cast<uint32_t>(geometry.offset_x);
    info.offset_y = static_cast<uint32_t>(geometry.offset_y);
    info.bytes_per_pixel = bytes_per_pixel;
    info.pixel_format = static_cast<uint32_t>(geometry.pixel_format);
    info.packet_count = static_cast<uint32_t>(
        (static_cast<uint64_t>(info.payload_size) + packet_payload_size - 1) / packet_payload_size);
    info.cloud_unit = static_cast<uint32_t>(geometry.cloud_unit);
    return info;
}

// Camera ticks per second; a failed read (a negative code in place of a frequency) means 0, so
// frames are stamped with the PC clock.
int64_t TickFrequency(GigeCamera* camera) {
    const auto frequency = static_cast<int64_t>(camera->GetTimestampTickFrequency());
    if (frequency >= 0) return frequency;
    TAVI_LOG_WARNING(
        &camera->log,
        "[function:StreamOn] The timestamp tick frequency could not be read, frames are stamped with the "
        "PC clock.");
    return 0;
}

}  // namespace

int GigeCamera::StreamOn(unsigned short channel_index, GigeStream** stream) {
    if (connected.load() == 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:StreamOn] The camera disconnected unexpectedly when opening the data stream.error "
            "code: %d",
            TAVI_ERR_NOT_CONNECTED);
        return TAVI_ERR_NOT_CONNECTED;
    }
    if (stream == nullptr) {
        TAVI_LOG_ERROR(&log, "[function:StreamOn] The incoming pointer parameters are empty. error code: %d",
                       TAVI_ERR_NO_STREAM);
        return TAVI_ERR_NO_STREAM;
    }
    *stream = nullptr;

    int channel_count = 0;
    int code = tavi::ReadFeature(*this, {"GevStreamChannelCount"}, &channel_count);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log, "[function:StreamOn] Failed to read register to get channel count. error code: %x.", code);
        return code;
    }
    if (static_cast<int>(channel_index) > channel_count - 1) {
        TAVI_LOG_ERROR(&log, "[function:StreamOn] The channel index is invalid. error code: %d",
                       TAVI_ERR_CHANNEL_INDEX);
        return TAVI_ERR_CHANNEL_INDEX;
    }
    ChannelGeometry geometry;
    code = ReadGeometry(this, channel_index, &geometry);
    if (code != 0) return code;
    const uint32_t bytes_per_pixel =
        GetPixelByteByGenICamFormatValue(static_cast<uint32_t>(geometry.pixel_format));
    if (bytes_per_pixel == 0) {
        TAVI_LOG_ERROR(&log, "[function:StreamOn] The pixel format of the data is incomplete. error code: %d",
                       TAVI_ERR_PIXEL_FORMAT);
        return TAVI_ERR_PIXEL_FORMAT;
    }
    if (!ImageFitsPayload(static_cast<uint32_t>(geometry.pixel_format), static_cast<uint32_t>(geometry.width),
                          static_cast<uint32_t>(geometry.height),
                          static_cast<uint32_t>(geometry.payload_size))) {
        // Frames sized by the payload would be read past their end by anything sized by the image.
        TAVI_LOG_ERROR(
            &log,
            "[function:StreamOn] Width %u x height %u x %u bytes per pixel exceed the payload size "
            "%u. error code: %d",
            static_cast<uint32_t>(geometry.width), static_cast<uint32_t>(geometry.height), bytes_per_pixel,
            static_cast<uint32_t>(geometry.payload_size), TAVI_ERR_PIXEL_FORMAT);
        return TAVI_ERR_PIXEL_FORMAT;
    }
    const int packet_size = UsablePacketSize(this);
    code = AgreePacketSize(this, channel_index, packet_size);
    if (code != 0) return code;
    const uint32_t packet_payload_size = static_cast<uint32_t>(packet_size - kPacketOverhead);

    uint16_t local_port = 0;
    const int socket = OpenDataSocket(this, static_cast<uint32_t>(geometry.payload_size), &local_port);
    if (socket < 0) return socket;
    code = ProgramDestination(this, channel_index, local_port);
    if (code != 0) {
        tavi::net::close_udp_socket(socket);
        return code;
    }
    DataStreamPrivateInfo info = MakeStreamInfo(socket, geometry, bytes_per_pixel, packet_payload_size);
    int source_port = 0;
    code = tavi::ReadFeature(*this, {"GevSCSP", tavi::FeatureOffset::kChannel, channel_index}, &source_port);
    if (code != 0) {
        tavi::net::close_udp_socket(socket);
        TAVI_LOG_ERROR(
            &log, "[function:StreamOn] Failed to read register to get stream_channel_port. error code: %x.",
            code);
        return code;
    }
    const int64_t tick_frequency = TickFrequency(this);
    // The receiver's own parts are allocated too: any failure there leaves no stream behind.
    GigeStream* created = tavi::NoThrow(&log, "StreamOn", static_cast<GigeStream*>(nullptr), [&] {
        return new GigeStream(&info, channel_index, socket, static_cast<int>(pc_ip),
                              static_cast<int>(camera_ip), source_port & 0xFFFF, local_port,
                              static_cast<int>(packet_payload_size), tick_frequency, &log);
    });
    if (created == nullptr) {
        tavi::net::close_udp_socket(socket);
        TAVI_LOG_ERROR(&log, "[function:StreamOn] The incoming pointer parameters are empty. error code: %d",
                       TAVI_ERR_NO_STREAM);
        return TAVI_ERR_NO_STREAM;
    }
    if (const int start_code = created->StartCode(); start_code != 0) {
        // A receiver without its thread would never deliver a frame: the caller hears it now.
        delete created;
        TAVI_LOG_ERROR(&log,
                       "[function:StreamOn] The receiver of the data stream could not start. error code: %d",
                       start_code);
        return start_code;
    }
    *stream = created;
    return TAVI_OK;
}

int GigeCamera::StreamOff(unsigned short channel_index, GigeStream* stream) {
    using tavi::gvcp::StreamChannelRegister;
    int result = 0;
    int code = WriteRegister(StreamChannelRegister(tavi::gvcp::kRegScda, channel_index), 0);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:StreamOff] Failed to close the data stream due to write IP to register error. error "
            "code: %x",
            code);
        result = code;
    }
    code = WriteRegister(StreamChannelRegister(tavi::gvcp::kRegScp, channel_index), 0);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:StreamOff] Failed to close the data stream due to write PORT to register error. "
            "error code: %x",
            code);
        result = code;
    }
    delete stream;
    return result;
}
