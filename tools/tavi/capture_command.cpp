// `tavi capture SERIAL`: streams N frames from the chosen channels and writes the last ones as files:
// point clouds (PCD, PLY, text), the 16-bit depth PNG, BMP images, the fused coloured text cloud and
// a preview picture.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "png_file.h"
#include "preview.h"
#include "stream_set.h"

namespace tavi::cli {
namespace {

// The channels of the sensors, as the camera numbers them: channel n is fed by sensor n.
constexpr unsigned kDepthChannel = 0;
constexpr unsigned kColourChannel = 1;
constexpr unsigned kGreyChannel = 2;
constexpr uint32_t kPreviewPanelWidth = 640;
constexpr uint32_t kPreviewPanelHeight = 512;

struct CaptureOptions {
    std::string serial;
    std::vector<unsigned> channels;
    int frames = 1;
    int timeout_ms = 5000;
    std::string pcd, ply, txt, png, bmp, grey_bmp, fused_txt, preview;
};

struct FreeDeleter {
    void operator()(float* points) const { std::free(points); }
};
using PointBuffer = std::unique_ptr<float, FreeDeleter>;

// Everything the writers may need from the last frames; decoded and fused clouds are made once.
struct LastFrames {
    GigeCamera& camera;
    OpenChannel* depth;
    OpenChannel* colour;
    OpenChannel* grey;
    PointBuffer fused;

    size_t Points() const { return static_cast<size_t>(depth->frame.width) * depth->frame.height; }
};

using Writer = int (*)(LastFrames& frames, char* path);

struct OutputFile {
    std::string CaptureOptions::*path;
    unsigned channel;
    bool needs_colour;  // also needs the colour channel
    Writer write;
    const char* what;
};

int WritePcd(LastFrames& f, char* path) { return f.camera.SavePointCloudToPcd(f.depth->frame, path); }
int WritePly(LastFrames& f, char* path) { return f.camera.SavePointCloudToPly(f.depth->frame, path); }
int WriteTxt(LastFrames& f, char* path) { return f.camera.SavePointCloudToTxt(f.depth->frame, path); }
int WriteDepthPng(LastFrames& f, char* path) { return f.camera.SaveDepthToPng(f.depth->frame, path); }
int WriteColourBmp(LastFrames& f, char* path) { return f.camera.SaveToBMP(f.colour->frame, path); }
int WriteGreyBmp(LastFrames& f, char* path) { return f.camera.SaveToBMP(f.grey->frame, path); }

// The cloud coloured by the colour image: six floats per point.
int Fuse(LastFrames& f) {
    if (f.fused) return 0;
    f.fused.reset(static_cast<float*>(std::calloc(f.Points() * 6 + 1, sizeof(float))));
    if (!f.fused) return TAVI_ERR_INVALID_ARGUMENT;
    // Fusion reads 3-byte pixels: Bayer and YUYV frames become RGB8 first (the frame buffers have room).
    const uint32_t format = f.colour->frame.pixel_format;
    if (format == kPixelBayerRG8 || format == kPixelYUV422_8) f.camera.RawdataToRgb888(f.colour->frame);
    const int code = f.camera.FusionImageTo3D(f.colour->frame, f.depth->frame, f.fused.get());
    if (code != 0) f.fused.reset();
    return code;
}

int WriteFusedTxt(LastFrames& f, char* path) {
    const int fused = Fuse(f);
    return fused != 0 ? fused : f.camera.SavePointCloudWithImageToTxt(f.depth->frame, f.fused.get(), path);
}

int WritePreview(LastFrames& f, char* path) {
    const int fused = Fuse(f);
    if (fused != 0) return fused;
    const size_t points = f.Points();
    PointBuffer xyz(static_cast<float*>(std::malloc(points * 3 * sizeof(float) + 1)));
    std::vector<uint8_t> colours(points * 3);
    if (!xyz) return TAVI_ERR_INVALID_ARGUMENT;
    f.camera.Convert3DPointFromCharToFloat(f.depth->frame, xyz.get());
    // Fused records carry the pixel's bytes third, second, first: B, G, R for RGB pixels.
    for (size_t n = 0; n < points; ++n) {
        const float* record = &f.fused.get()[6 * n];
        for (int c = 0; c < 3; ++c) colours[3 * n + c] = static_cast<uint8_t>(record[5 - c]);
    }
    const PreviewCloud cloud{xyz.get(), f.depth->frame.width, f.depth->frame.height, colours.data()};
    return WriteRgbPng(RenderPreview(cloud, kPreviewPanelWidth, kPreviewPanelHeight), path)
               ? 0
               : TAVI_ERR_FILE_OPEN;
}

const OutputFile kOutputs[] = {
    {&CaptureOptions::pcd, kDepthChannel, false, WritePcd, "the depth cloud as PCD"},
    {&CaptureOptions::ply, kDepthChannel, false, WritePly, "the depth cloud as PLY"},
    {&CaptureOptions::txt, kDepthChannel, false, WriteTxt, "the depth cloud as text"},
    {&CaptureOptions::png, kDepthChannel, false, WriteDepthPng, "the depth as a 16-bit PNG"},
    {&CaptureOptions::bmp, kColourChannel, false, WriteColourBmp, "the colour image as BMP"},
    {&CaptureOptions::grey_bmp, kGreyChannel, false, WriteGreyBmp, "the grey image as BMP"},
    {&CaptureOptions::fused_txt, kDepthChannel, true, WriteFusedTxt, "the coloured cloud as text"},
    {&CaptureOptions::preview, kDepthChannel, true, WritePreview, "the preview picture"},
};

void AddChannel(std::vector<unsigned>* channels, unsigned channel) {
    for (const unsigned present : *channels) {
        if (present == channel) return;
    }
    channels->push_back(channel);
}

// The channels the files need, or the ones asked for when they include those; nullopt after a usage message.
std::optional<std::vector<unsigned>> ChooseChannels(const CaptureOptions& options) {
    std::vector<unsigned> needed;
    for (const OutputFile& output : kOutputs) {
        if ((options.*output.path).empty()) continue;
        AddChannel(&needed, output.channel);
        if (output.needs_colour) AddChannel(&needed, kColourChannel);
    }
    if (options.channels.empty()) {
        if (needed.empty()) needed.push_back(kDepthChannel);
        return needed;
    }
    for (const unsigned channel : needed) {
        bool listed = false;
        for (const unsigned chosen : options.channels) listed = listed || chosen == channel;
        if (!listed) {
            std::fprintf(stderr, "tavi: the files asked for need channel %u; add it to --channels\n",
                         channel);
            return std::nullopt;
        }
    }
    std::vector<unsigned> chosen;
    for (const unsigned channel : options.channels) AddChannel(&chosen, channel);
    return chosen;
}

struct CaptureCounts {
    int complete = 0;
    int incomplete = 0;
};

// Waits for the channel's next frame in short slices, so that Ctrl-C is noticed. 0, or the last
// capture's code when none came within the time-out or the wait was interrupted.
int NextFrame(OpenChannel& channel, int timeout_ms) {
    constexpr int64_t kSliceUs = 100'000;
    int code = TAVI_ERR_NO_FRAME;
    for (int64_t waited = 0; waited < int64_t{timeout_ms} * 1000 && !StopRequested(); waited += kSliceUs) {
        code = channel.stream->TimeoutCapture(
            &channel.frame, std::min<int64_t>(kSliceUs, int64_t{timeout_ms} * 1000 - waited));
        if (code == 0) return 0;
    }
    return code;
}

// One frame from every channel per round. Stops at the first channel that sends nothing in time, and
// at Ctrl-C.
int CaptureRounds(StreamSet& streams, const CaptureOptions& options, std::vector<CaptureCounts>* counts) {
    const bool progress = isatty(STDERR_FILENO) != 0;
    counts->assign(streams.channels().size(), {});
    for (int round = 0; round < options.frames; ++round) {
        for (size_t n = 0; n < streams.channels().size(); ++n) {
            OpenChannel& channel = streams.channels()[n];
            const int code = NextFrame(channel, options.timeout_ms);
            if (code != 0 && StopRequested()) {
                if (progress) std::fprintf(stderr, "\n");
                std::fprintf(stderr, "tavi: interrupted after %d of %d frames; no file written\n", round,
                             options.frames);
                return kExitInterrupted;
            }
            if (code != 0) {
                if (progress) std::fprintf(stderr, "\n");
                std::fprintf(
                    stderr,
                    "tavi: channel %u sent no frame within %d ms: the camera stopped sending; check the "
                    "cable, then run `tavi doctor`\n",
                    channel.index, options.timeout_ms);
                return kExitCameraRefused;
            }
            (channel.frame.reserved == 0 ? (*counts)[n].complete : (*counts)[n].incomplete)++;
        }
        if (progress) std::fprintf(stderr, "\rcapturing: frame %d of %d", round + 1, options.frames);
    }
    if (progress) std::fprintf(stderr, "\n");
    return kExitOk;
}

void PrintSummary(StreamSet& streams, const std::vector<CaptureCounts>& counts) {
    for (size_t n = 0; n < streams.channels().size(); ++n) {
        OpenChannel& channel = streams.channels()[n];
        unsigned received = 0, missing = 0, format_errors = 0, unused = 0, requested = 0, resent = 0,
                 duplicates = 0;
        channel.stream->GetPacketStatistics(&received, &missing, &format_errors, &unused, &requested, &resent,
                                            &duplicates);
        std::printf(
            "channel %u: %d complete, %d incomplete frames of %u x %u (format 0x%08x); packets %u received, "
            "%u resent\n",
            channel.index, counts[n].complete, counts[n].incomplete, channel.frame.width,
            channel.frame.height, channel.frame.pixel_format, received, resent);
        if (channel.frame.reserved != 0) {
            std::printf("channel %u: the last frame is incomplete (status %u): its missing bytes are zero\n",
                        channel.index, channel.frame.reserved);
        }
    }
}

int WriteFiles(GigeCamera& camera, StreamSet& streams, const CaptureOptions& options) {
    LastFrames frames{camera, streams.Find(kDepthChannel), streams.Find(kColourChannel),
                      streams.Find(kGreyChannel), nullptr};
    int exit_code = kExitOk;
    for (const OutputFile& output : kOutputs) {
        std::string path = options.*output.path;
        if (path.empty()) continue;
        const int result = output.write(frames, path.data());
        if (result != 0) {
            std::fprintf(stderr, "tavi: %s could not be written to %s (%s)\n", output.what, path.c_str(),
                         ResultText(result).c_str());
            exit_code = kExitFile;
            continue;
        }
        std::printf("wrote %s: %s\n", path.c_str(), output.what);
    }
    return exit_code;
}

int RunCapture(const CaptureOptions& options) {
    const std::optional<std::vector<unsigned>> channels = ChooseChannels(options);
    if (!channels) return kExitUsage;
    // From before the connection on, so that an interrupt at any moment ends with the camera released.
    StopOnInterrupt();
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    StreamSet streams(session->camera());
    exit_code = streams.Start(*channels);
    if (exit_code != kExitOk) return exit_code;
    std::vector<CaptureCounts> counts;
    exit_code = CaptureRounds(streams, options, &counts);
    if (exit_code != kExitOk) return exit_code;
    PrintSummary(streams, counts);
    return WriteFiles(session->camera(), streams, options);
}

}  // namespace

Command AddCaptureCommand(CLI::App& app) {
    auto* command = app.add_subcommand(
        "capture",
        "Stream frames from the chosen channels and save the last ones (channel 0 depth, 1 colour, 2 grey)");
    auto options = std::make_shared<CaptureOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command
        ->add_option("--channels", options->channels,
                     "Channels to stream, e.g. 0,1 (default: what the files need)")
        ->delimiter(',')
        ->check(CLI::Range(0, 511));
    command->add_option("--frames", options->frames, "Frames to capture from each channel")
        ->check(CLI::Range(1, 1000000));
    command->add_option("--timeout-ms", options->timeout_ms, "How long to wait for each frame")
        ->check(CLI::Range(1, 3600000));
    command->add_option("--pcd", options->pcd, "Write the last depth frame as a PCD file");
    command->add_option("--ply", options->ply, "Write the last depth frame as a PLY file");
    command->add_option("--txt", options->txt, "Write the last depth frame as a text file");
    command->add_option("--png", options->png, "Write the last depth frame's Z as a 16-bit PNG");
    command->add_option("--bmp", options->bmp, "Write the last colour frame as a BMP file");
    command->add_option("--grey-bmp", options->grey_bmp, "Write the last grey frame as a BMP file");
    command->add_option("--fused-txt", options->fused_txt,
                        "Write the cloud coloured by the colour frame as text");
    command->add_option("--preview", options->preview,
                        "Write a PNG picture: the depth through a colour map beside the coloured cloud");
    return {command, [options] { return RunCapture(*options); }};
}

}  // namespace tavi::cli
