// `tavi stats SERIAL`: streams and prints, once a second until stopped (Ctrl-C) or for --seconds,
// each channel's frame rate, bandwidth, resends and incomplete frames; --json prints JSON lines.

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "json_writer.h"
#include "stream_set.h"

namespace tavi::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Each wait for a frame is short, so that every channel is served and the report is on time.
constexpr int64_t kWaitSliceUs = 20'000;

struct StatsOptions {
    std::string serial;
    std::vector<unsigned> channels{0};
    int seconds = 0;  // 0: until stopped
    int silence_ms = 5000;
    bool json = false;
};

// What one channel's receiver has counted so far.
struct Counters {
    uint64_t frames = 0;  // captured by this command
    uint64_t bytes = 0;
    unsigned incomplete = 0;
    unsigned timed_out = 0;
    unsigned missing = 0;
    unsigned requested = 0;
    unsigned resent = 0;
};

Counters ReadCounters(OpenChannel& channel, const Counters& captured) {
    Counters now = captured;
    unsigned complete = 0, not_stored = 0, flushed = 0, jumps = 0, errors = 0, truncated = 0;
    channel.stream->GetBlockStatistics(&complete, &now.incomplete, &now.timed_out, &not_stored, &flushed,
                                       &jumps, &errors, &truncated);
    unsigned received = 0, format_errors = 0, unused = 0, duplicates = 0;
    channel.stream->GetPacketStatistics(&received, &now.missing, &format_errors, &unused, &now.requested,
                                        &now.resent, &duplicates);
    return now;
}

void Report(const StatsOptions& options, double elapsed_s, double interval_s, unsigned channel,
            const Counters& now, const Counters& before) {
    const double fps = static_cast<double>(now.frames - before.frames) / interval_s;
    const double megabytes = static_cast<double>(now.bytes - before.bytes) / interval_s / 1e6;
    const unsigned incomplete = now.incomplete + now.timed_out;
    if (options.json) {
        JsonWriter json;
        json.BeginObject()
            .Number("time_s", elapsed_s)
            .Integer("channel", channel)
            .Number("fps", fps)
            .Number("megabytes_per_s", megabytes)
            .Unsigned("frames", now.frames)
            .Unsigned("incomplete", incomplete)
            .Unsigned("missing_packets", now.missing)
            .Unsigned("resend_requested", now.requested)
            .Unsigned("resent", now.resent)
            .Unsigned("resent_in_interval", now.resent - before.resent)
            .EndObject();
        std::printf("%s\n", json.Text().c_str());
    } else {
        std::printf(
            "%6.1f s  channel %u: %6.1f frames/s %8.1f MB/s  resent %u (+%u)  incomplete %u  missing %u\n",
            elapsed_s, channel, fps, megabytes, now.resent, now.resent - before.resent, incomplete,
            now.missing);
    }
    std::fflush(stdout);
}

int RunStats(const StatsOptions& options) {
    StopOnInterrupt();
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    StreamSet streams(session->camera());
    exit_code = streams.Start(options.channels);
    if (exit_code != kExitOk) return exit_code;
    std::vector<OpenChannel>& channels = streams.channels();
    std::vector<Counters> captured(channels.size()), reported(channels.size());
    const Clock::time_point start = Clock::now();
    Clock::time_point last_report = start, last_frame = start;
    int reports = 0;
    while (!StopRequested() && (options.seconds == 0 || reports < options.seconds)) {
        for (size_t n = 0; n < channels.size(); ++n) {
            if (channels[n].stream->TimeoutCapture(&channels[n].frame, kWaitSliceUs) != 0) continue;
            captured[n].frames++;
            captured[n].bytes += channels[n].frame.payload_size;
            last_frame = Clock::now();
        }
        const Clock::time_point now = Clock::now();
        if (now - last_frame > std::chrono::milliseconds(options.silence_ms)) {
            std::fprintf(stderr,
                         "tavi: no frame for %d ms: the camera stopped sending; check the cable, then run "
                         "`tavi doctor`\n",
                         options.silence_ms);
            return kExitCameraRefused;
        }
        if (now - last_report < std::chrono::seconds(1)) continue;
        const double interval = std::chrono::duration<double>(now - last_report).count();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        for (size_t n = 0; n < channels.size(); ++n) {
            const Counters current = ReadCounters(channels[n], captured[n]);
            Report(options, elapsed, interval, channels[n].index, current, reported[n]);
            reported[n] = current;
        }
        last_report = now;
        ++reports;
    }
    return kExitOk;
}

}  // namespace

Command AddStatsCommand(CLI::App& app) {
    auto* command = app.add_subcommand(
        "stats", "Stream and print frame rate, bandwidth, resends and incomplete frames once a second");
    auto options = std::make_shared<StatsOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_option("--channels", options->channels, "Channels to stream, e.g. 0,1 (default 0)")
        ->delimiter(',')
        ->check(CLI::Range(0, 511));
    command->add_option("--seconds", options->seconds, "Stop after this many reports (default: at Ctrl-C)")
        ->check(CLI::Range(0, 1000000));
    command->add_option("--silence-ms", options->silence_ms, "Give up when no frame comes for this long")
        ->check(CLI::Range(100, 3600000));
    command->add_flag("--json", options->json, "One JSON object per channel and second, one per line");
    return {command, [options] { return RunStats(*options); }};
}

}  // namespace tavi::cli
