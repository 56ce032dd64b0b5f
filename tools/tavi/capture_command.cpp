// `tavi capture SERIAL`: streams frames from one channel and writes the last as point-cloud files.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "TaviSDK/GigeStream.h"
#include "camera_session.h"
#include "commands.h"

namespace tavi::cli {
namespace {

struct CaptureOptions {
    std::string serial;
    unsigned channel = 0;
    int frames = 10;
    int timeout_ms = 2000;
    std::string pcd, ply, txt;
};

struct FreeDeleter {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};

void PrintFrame(int index, const PhotoInfo& frame) {
    const unsigned long long timestamp =
        (static_cast<unsigned long long>(frame.timestamp_high) << 32) | frame.timestamp_low;
    std::printf("frame %3d: block %5u  %4u x %-4u  format 0x%08x  %8u bytes  timestamp %llu  %s\n", index,
                frame.block_id, frame.width, frame.height, frame.pixel_format, frame.payload_size, timestamp,
                frame.reserved == 0 ? "complete" : "INCOMPLETE");
}

void PrintStatistics(GigeStream* stream) {
    unsigned complete = 0, incomplete = 0, timed_out = 0, not_stored = 0, flushed = 0, jumps = 0, errors = 0,
             truncated = 0;
    stream->GetBlockStatistics(&complete, &incomplete, &timed_out, &not_stored, &flushed, &jumps, &errors,
                               &truncated);
    unsigned received = 0, missing = 0, format_errors = 0, unused = 0, requested = 0, resent = 0,
             duplicates = 0;
    stream->GetPacketStatistics(&received, &missing, &format_errors, &unused, &requested, &resent,
                                &duplicates);
    std::printf(
        "blocks: %u complete, %u incomplete, %u timed out; packets: %u received, %u missing, %u resent\n",
        complete, incomplete, timed_out, received, missing, resent);
}

void WriteFiles(GigeCamera& camera, PhotoInfo& frame, const CaptureOptions& options) {
    struct Writer {
        const std::string* path;
        int (GigeCamera::*save)(PhotoInfo&, char*);
    };
    const Writer writers[] = {{&options.pcd, &GigeCamera::SavePointCloudToPcd},
                              {&options.ply, &GigeCamera::SavePointCloudToPly},
                              {&options.txt, &GigeCamera::SavePointCloudToTxt}};
    for (const Writer& writer : writers) {
        if (writer.path->empty()) continue;
        std::string path = *writer.path;
        const int result = (camera.*writer.save)(frame, path.data());
        std::printf("wrote %s: %s (code %d)\n", path.c_str(), result == 0 ? "done" : "failed", result);
    }
}

int RunCapture(const CaptureOptions& options) {
    const std::optional<DiscoveryInfo> found = FindCamera(options.serial);
    if (!found) {
        std::fprintf(stderr, "tavi: no camera with serial number %s answered\n", options.serial.c_str());
        return 1;
    }
    CameraSession session(*found);
    if (session.connect_result() != 0) {
        std::fprintf(stderr, "tavi: connecting failed (code %d)\n", session.connect_result());
        return 1;
    }
    GigeCamera& camera = session.camera();
    const int64_t payload_size = session.ReadChannelFeature("PayloadSize", options.channel);
    if (payload_size <= 0) {
        std::fprintf(stderr, "tavi: the channel's payload size could not be read (%lld)\n",
                     static_cast<long long>(payload_size));
        return 1;
    }
    GigeStream* stream = nullptr;
    const int opened = camera.StreamOn(static_cast<unsigned short>(options.channel), &stream);
    if (opened != 0) {
        std::fprintf(stderr, "tavi: channel %u could not be opened (code %d)\n", options.channel, opened);
        return 1;
    }
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char*>(std::malloc(payload_size)));
    PhotoInfo frame{};
    frame.data = buffer.get();
    camera.AcquisitionStart();
    int captured = 0;
    for (int index = 0; index < options.frames; ++index) {
        if (stream->TimeoutCapture(&frame, static_cast<int64_t>(options.timeout_ms) * 1000) != 0) {
            std::printf("frame %3d: none within %d ms\n", index, options.timeout_ms);
            continue;
        }
        PrintFrame(index, frame);
        ++captured;
    }
    camera.AcquisitionStop();
    PrintStatistics(stream);
    if (captured > 0) WriteFiles(camera, frame, options);
    camera.StreamOff(static_cast<unsigned short>(options.channel), stream);
    return captured == options.frames ? 0 : 1;
}

}  // namespace

void AddCaptureCommand(CLI::App& app) {
    auto* command = app.add_subcommand("capture", "Stream frames from one channel and save the last one");
    static CaptureOptions options;
    command->add_option("serial", options.serial, "Serial number of the camera")->required();
    command->add_option("--channel", options.channel, "Stream channel: 0 depth, 1 colour, 2 grey")
        ->check(CLI::Range(0, 2));
    command->add_option("--frames", options.frames, "Frames to capture")->check(CLI::PositiveNumber);
    command->add_option("--timeout-ms", options.timeout_ms, "How long to wait for each frame");
    command->add_option("--pcd", options.pcd, "Write the last depth frame as a PCD file");
    command->add_option("--ply", options.ply, "Write the last depth frame as a PLY file");
    command->add_option("--txt", options.txt, "Write the last depth frame as a text file");
    command->callback([] { std::exit(RunCapture(options)); });
}

}  // namespace tavi::cli
