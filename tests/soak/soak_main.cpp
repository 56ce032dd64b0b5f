// A soak of the library against the first virtual camera of scripts/netns-run.sh, as a long-running
// application would use it:
//   cycles     N times: discover, connect, stream on all three channels, capture one frame of each,
//              disconnect;
//   lossy      M minutes of streaming on all three channels while the camera loses a share of its
//              packets (first transmissions and resent ones alike), reorders and duplicates others;
//   faults     the camera pulled mid-stream (it goes silent until the heartbeat gives it up) and put
//              back, then connected again; then the link taken down for a second mid-stream.
// After one uncounted warm-up cycle, open descriptors, threads and resident memory are sampled at the
// start and end of each phase; the run fails when a cycle fails, a phase delivers no complete frame,
// descriptors or threads grow, or memory grows by more than the tolerance (not judged under a
// sanitizer, whose shadow memory and quarantine grow on purpose).
//
//   tavi_soak [--cycles N] [--stream-minutes M] [--loss RATIO] [--reorder RATIO] [--duplicate RATIO]
//             [--memory-tolerance-mib MIB] [--figures PATH]
//
// --figures writes every figure as a "name value" line for scripts/harden.sh.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "soak/resource_sample.h"
#include "support/virtual_camera_control.h"

// Present when a sanitizer's runtime is linked in, even when this file itself was compiled without it
// (a sanitized library brings it). Their shadow memory and quarantine make resident memory no measure
// of leaks there; LeakSanitizer is.
extern "C" void __asan_init() __attribute__((weak));
extern "C" void __tsan_init() __attribute__((weak));

namespace {

using Clock = std::chrono::steady_clock;
using tavi::soak::PhaseResources;
using tavi::soak::SampleResources;

constexpr int kChannels = 3;
constexpr int kRoiWidth = 160;
constexpr int kRoiHeight = 128;
constexpr uint32_t kChannelStride = 0x40;
constexpr uint32_t kCmosStride = 0x100;
constexpr int kCycleFrameRate = 60;  // the first frame of a cycle comes soon
constexpr int kLossyFrameRate = 30;
constexpr int64_t kCaptureWaitUs = 2'000'000;     // bounds a hang; frames come every 17 to 33 ms
constexpr int64_t kShortCaptureWaitUs = 200'000;  // while the camera or the link is away
constexpr int kDiscoveryRounds = 3;               // a busy machine may miss one round's 500 ms window
constexpr int kFailedCyclesInARowToStop = 5;      // the camera is gone; more cycles teach nothing

struct Options {
    int cycles = 1000;
    double stream_minutes = 10;
    std::string loss = "0.05";
    std::string reorder = "0.05";
    std::string duplicate = "0.02";
    int64_t memory_tolerance_kib = 4096;
    std::string figures_path;
};

struct FrameCounts {
    uint64_t complete = 0;
    uint64_t incomplete = 0;  // delivered with missing packets zeroed, or otherwise marked
    uint64_t lost = 0;        // no frame within the capture wait
    uint64_t recovered_by_resend = 0;
};

uint32_t CameraAddressFromEnvironment() {
    const char* text = std::getenv("TAVI_CAMERA_0_IP");
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (text == nullptr || std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

std::optional<DiscoveryInfo> DiscoverCamera(uint32_t address) {
    for (int round = 0; round < kDiscoveryRounds; ++round) {
        std::vector<DiscoveryInfo> found;
        Discovery discovery;
        discovery.DiscoverCamera(&found);
        for (const DiscoveryInfo& info : found) {
            if (info.camera_ip == address) return info;
        }
    }
    return std::nullopt;
}

// A connected camera streaming on all three channels, as an application holds it.
class Session {
  public:
    ~Session() { Close(); }

    // Empty on success, else what failed.
    std::string Open(DiscoveryInfo info, int frame_rate) {
        info_ = info;
        if (const int code = camera_.CameraConnect(&info_); code != 0)
            return "connect: " + std::to_string(code);
        if (WriteFeature("AcquisitionFrameRate", 0, frame_rate) != 0) return "frame rate";
        for (int cmos = 0; cmos < kChannels; ++cmos) {
            if (WriteFeature("Width", kCmosStride * cmos, kRoiWidth) != 0 ||
                WriteFeature("Height", kCmosStride * cmos, kRoiHeight) != 0)
                return "region of sensor " + std::to_string(cmos);
        }
        for (int channel = 0; channel < kChannels; ++channel) {
            const int payload = ReadFeature("PayloadSize", kChannelStride * channel);
            if (payload <= 0) return "payload size of channel " + std::to_string(channel);
            bytes_[channel].resize(static_cast<size_t>(payload));
            if (const int code = camera_.StreamOn(static_cast<unsigned short>(channel), &streams_[channel]);
                code != 0)
                return "stream on channel " + std::to_string(channel) + ": " + std::to_string(code);
            streams_[channel]->SetMaxBufferLength(8);
        }
        if (camera_.AcquisitionStart() != 0) return "acquisition start";
        return {};
    }

    void Close() {
        if (camera_.connected.load() != 0) camera_.AcquisitionStop();
        for (int channel = 0; channel < kChannels; ++channel) {
            if (streams_[channel] != nullptr)
                camera_.StreamOff(static_cast<unsigned short>(channel), streams_[channel]);
            streams_[channel] = nullptr;
            resent_seen_[channel] = 0;
        }
        // After a lost camera too: the heartbeat thread is joined and the control socket closed.
        camera_.CameraDisconnect();
    }

    // One frame of each channel in turn, counted into `counts`.
    void CaptureRound(FrameCounts* counts, int64_t wait_us = kCaptureWaitUs) {
        for (int channel = 0; channel < kChannels; ++channel) CaptureOne(channel, counts, wait_us);
    }

    // Packet counters of all channels added up: requested for resend, resent received, duplicates.
    void AddPacketCounters(uint64_t* requested, uint64_t* resent, uint64_t* duplicates) {
        for (GigeStream* stream : streams_) {
            if (stream == nullptr) continue;
            unsigned r = 0, s = 0, d = 0;
            stream->GetPacketStatistics(nullptr, nullptr, nullptr, nullptr, &r, &s, &d);
            *requested += r;
            *resent += s;
            *duplicates += d;
        }
    }

    bool Connected() const { return camera_.connected.load() != 0; }
    int SetHeartBeatTimeout(int ms) { return camera_.SetHeartBeatTimeout(ms); }

  private:
    // A complete frame counts as recovered by resend when resent packets reached the channel since
    // its previous capture (frames are captured one by one, so those packets went into this frame
    // or the next one being assembled).
    void CaptureOne(int channel, FrameCounts* counts, int64_t wait_us) {
        PhotoInfo frame{};
        frame.data = bytes_[channel].data();
        if (streams_[channel]->TimeoutCapture(&frame, wait_us) != 0) {
            ++counts->lost;
            return;
        }
        if (frame.reserved != kBlockComplete) {
            ++counts->incomplete;
            return;
        }
        ++counts->complete;
        unsigned resent = 0;
        streams_[channel]->GetPacketStatistics(nullptr, nullptr, nullptr, nullptr, nullptr, &resent, nullptr);
        if (resent > resent_seen_[channel]) ++counts->recovered_by_resend;
        resent_seen_[channel] = resent;
    }

    int WriteFeature(const char* name, uint32_t offset, int value) {
        const int address = camera_.GetRegisterAddr(name);
        return address < 0 ? address : camera_.WriteRegister(static_cast<unsigned>(address) + offset, value);
    }

    int ReadFeature(const char* name, uint32_t offset) {
        int value = -1;
        const int address = camera_.GetRegisterAddr(name);
        if (address < 0 || camera_.ReadRegister(static_cast<unsigned>(address) + offset, &value) != 0)
            return -1;
        return value;
    }

    DiscoveryInfo info_{};
    GigeCamera camera_;
    GigeStream* streams_[kChannels] = {};
    std::vector<unsigned char> bytes_[kChannels];
    unsigned resent_seen_[kChannels] = {};
};

class Soak {
  public:
    explicit Soak(Options options)
        : options_(std::move(options)), control_(std::getenv("TAVI_CAMERA_0_CONTROL")) {}

    int Run() {
        address_ = CameraAddressFromEnvironment();
        if (address_ == 0) return Usage("run inside scripts/netns-run.sh with one camera");
        // The control socket stays open from here on, so it is in every sample.
        if (!control_.Set("clear", "1")) return Usage("no virtual camera control socket");
        WarmUp();
        RunPhase("cycles", [this] { Cycles(); });
        RunPhase("lossy", [this] { LossyStreaming(); });
        RunPhase("faults", [this] { Faults(); });
        control_.Set("clear", "1");
        Report();
        return failures_.empty() ? 0 : 1;
    }

  private:
    template <typename Body>
    void RunPhase(const char* name, Body body) {
        PhaseResources phase{name, SampleResources(), {}};
        const auto start = Clock::now();
        std::printf("soak: phase %s\n", name);
        std::fflush(stdout);
        body();
        phase.end = SampleResources();
        Figure(std::string(name) + "_seconds",
               std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
        for (std::string& fault : tavi::soak::ResourceFaults(phase, MemoryTolerance())) Fail(fault);
        phases_.push_back(phase);
    }

    // One cycle before the first sample, so that what a process sets up once and keeps is not
    // counted as growth: the allocator's arenas for the library's threads, a sanitizer runtime's
    // background thread.
    void WarmUp() {
        Session session;
        const std::string error = OpenSession(&session, kCycleFrameRate);
        if (!error.empty()) return Fail("warm-up cycle: " + error);
        FrameCounts ignored{};
        session.CaptureRound(&ignored);
    }

    int64_t MemoryTolerance() const {
        const bool under_sanitizer = &__asan_init != nullptr || &__tsan_init != nullptr;
        return under_sanitizer ? -1 : options_.memory_tolerance_kib;
    }

    std::string OpenSession(Session* session, int frame_rate) {
        const std::optional<DiscoveryInfo> info = DiscoverCamera(address_);
        if (!info.has_value()) return "the camera did not answer discovery";
        return session->Open(*info, frame_rate);
    }

    void Cycles() {
        int failed_in_a_row = 0;
        for (int cycle = 0; cycle < options_.cycles; ++cycle) {
            Session session;
            const std::string error = OpenSession(&session, kCycleFrameRate);
            if (error.empty()) {
                session.CaptureRound(&cycle_frames_);
                ++cycles_done_;
                failed_in_a_row = 0;
            } else {
                Fail("cycle " + std::to_string(cycle) + ": " + error);
                if (++failed_in_a_row == kFailedCyclesInARowToStop) return;
            }
            if ((cycle + 1) % 100 == 0) {
                std::printf("soak: %d cycles\n", cycle + 1);
                std::fflush(stdout);
            }
        }
    }

    void LossyStreaming() {
        if (!control_.Set("drop", options_.loss) || !control_.Set("reorder", options_.reorder) ||
            !control_.Set("duplicate", options_.duplicate)) {
            Fail("lossy: the camera refused the faults");
            return;
        }
        {
            Session session;
            const std::string error = OpenSession(&session, kLossyFrameRate);
            if (!error.empty()) {
                Fail("lossy: " + error);
            } else {
                const auto end =
                    Clock::now() + std::chrono::duration<double, std::ratio<60>>(options_.stream_minutes);
                while (Clock::now() < end) session.CaptureRound(&lossy_frames_);
                session.AddPacketCounters(&resend_requested_, &resent_received_, &duplicates_);
            }
        }
        control_.Set("clear", "1");
        if (lossy_frames_.complete == 0) Fail("lossy: no complete frame");
    }

    void Faults() {
        PulledCamera();
        LinkFlap();
    }

    // The camera goes silent mid-stream (heartbeat time-out 1 s) until the library gives it up, comes
    // back, and streams again after a new discovery and connection.
    void PulledCamera() {
        {
            Session session;
            std::string error = OpenSession(&session, kLossyFrameRate);
            if (error.empty() && session.SetHeartBeatTimeout(1000) != 0) error = "heartbeat time-out";
            if (!error.empty()) return Fail("pulled camera: " + error);
            for (int i = 0; i < 5; ++i) session.CaptureRound(&fault_frames_);
            control_.Set("gvcp-silent", "1");
            const auto give_up = Clock::now() + std::chrono::seconds(30);
            while (session.Connected() && Clock::now() < give_up)
                session.CaptureRound(&fault_frames_, kShortCaptureWaitUs);
            control_.Set("gvcp-silent", "0");
            if (session.Connected()) return Fail("pulled camera: still connected 30 s after it went silent");
            pulled_camera_noticed_ = true;
        }
        Session session;
        const std::string error = OpenSession(&session, kLossyFrameRate);
        if (!error.empty()) return Fail("pulled camera, put back: " + error);
        FrameCounts after{};
        for (int i = 0; i < 50 && after.complete < 3 * 10 && session.Connected(); ++i)
            session.CaptureRound(&after);
        AddCounts(after, &fault_frames_);
        if (after.complete < 3 * 10)
            Fail("pulled camera, put back: fewer than 10 complete frames per channel");
    }

    // The adapter goes down for about a second mid-stream and comes back; frames resume on the same
    // connection. Captures go on while the link is down, with short waits, so that the pause stays
    // well inside the heartbeat time-out.
    void LinkFlap() {
        const char* adapter = std::getenv("TAVI_CAMERA_0_ADAPTER");
        if (adapter == nullptr) return Fail("link flap: no adapter named");
        Session session;
        std::string error = OpenSession(&session, kLossyFrameRate);
        // The camera keeps the 1 s time-out of the pulled-camera session; the usual 3 s outlasts the
        // flap.
        if (error.empty() && session.SetHeartBeatTimeout(3000) != 0) error = "heartbeat time-out";
        if (!error.empty()) return Fail("link flap: " + error);
        for (int i = 0; i < 5; ++i) session.CaptureRound(&fault_frames_);
        const std::string link = std::string("ip link set dev ") + adapter;
        if (std::system((link + " down").c_str()) != 0) return Fail("link flap: the link did not go down");
        const auto up_at = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < up_at) session.CaptureRound(&fault_frames_, kShortCaptureWaitUs);
        if (std::system((link + " up").c_str()) != 0) return Fail("link flap: the link did not come up");
        FrameCounts after{};
        for (int i = 0; i < 100 && after.complete < 3 * 10 && session.Connected(); ++i)
            session.CaptureRound(&after);
        AddCounts(after, &fault_frames_);
        link_flap_survived_ = session.Connected();
        if (!link_flap_survived_) return Fail("link flap: the connection was lost");
        if (after.complete < 3 * 10) Fail("link flap: fewer than 10 complete frames per channel after it");
    }

    static void AddCounts(const FrameCounts& from, FrameCounts* to) {
        to->complete += from.complete;
        to->incomplete += from.incomplete;
        to->lost += from.lost;
        to->recovered_by_resend += from.recovered_by_resend;
    }

    void Fail(const std::string& what) {
        std::fprintf(stderr, "soak: FAIL %s\n", what.c_str());
        failures_.push_back(what);
    }

    int Usage(const char* what) {
        std::fprintf(stderr, "soak: %s\n", what);
        return 2;
    }

    void Figure(const std::string& name, long long value) {
        figures_.emplace_back(name, std::to_string(value));
    }

    void FrameFigures(const char* phase, const FrameCounts& counts) {
        const std::string prefix = std::string(phase) + "_frames_";
        Figure(prefix + "complete", static_cast<long long>(counts.complete));
        Figure(prefix + "incomplete", static_cast<long long>(counts.incomplete));
        Figure(prefix + "lost", static_cast<long long>(counts.lost));
        Figure(prefix + "recovered_by_resend", static_cast<long long>(counts.recovered_by_resend));
    }

    void Report() {
        Figure("cycles_asked", options_.cycles);
        Figure("cycles_done", cycles_done_);
        FrameFigures("cycles", cycle_frames_);
        FrameFigures("lossy", lossy_frames_);
        FrameFigures("faults", fault_frames_);
        Figure("lossy_resend_requested", static_cast<long long>(resend_requested_));
        Figure("lossy_resent_received", static_cast<long long>(resent_received_));
        Figure("lossy_duplicates", static_cast<long long>(duplicates_));
        Figure("pulled_camera_noticed", pulled_camera_noticed_ ? 1 : 0);
        Figure("link_flap_survived", link_flap_survived_ ? 1 : 0);
        Figure("memory_tolerance_kib", MemoryTolerance());
        for (const PhaseResources& phase : phases_) {
            for (const auto& [when, sample] :
                 {std::pair{"start", phase.start}, std::pair{"end", phase.end}}) {
                const std::string prefix = phase.phase + "_" + when + "_";
                Figure(prefix + "descriptors", sample.descriptors);
                Figure(prefix + "threads", sample.threads);
                Figure(prefix + "resident_kib", sample.resident_kib);
            }
        }
        Figure("failures", static_cast<long long>(failures_.size()));
        figures_.emplace_back("loss", options_.loss);
        figures_.emplace_back("reorder", options_.reorder);
        figures_.emplace_back("duplicate", options_.duplicate);
        figures_.emplace_back("stream_minutes", std::to_string(options_.stream_minutes));

        std::printf("\n%-12s %12s %12s %12s %12s %12s %12s %14s\n", "phase", "fds start", "fds end",
                    "threads st.", "threads end", "RSS st. KiB", "RSS end KiB", "");
        for (const PhaseResources& p : phases_) {
            std::printf("%-12s %12d %12d %12d %12d %12lld %12lld\n", p.phase.c_str(), p.start.descriptors,
                        p.end.descriptors, p.start.threads, p.end.threads,
                        static_cast<long long>(p.start.resident_kib),
                        static_cast<long long>(p.end.resident_kib));
        }
        for (const auto& [name, value] : figures_) std::printf("  %-36s %s\n", name.c_str(), value.c_str());
        std::printf("soak: %s\n", failures_.empty() ? "passed" : "FAILED");
        if (!options_.figures_path.empty()) {
            std::ofstream out(options_.figures_path);
            for (const auto& [name, value] : figures_) out << name << ' ' << value << '\n';
        }
    }

    Options options_;
    VirtualCameraControl control_;
    uint32_t address_ = 0;
    int cycles_done_ = 0;
    FrameCounts cycle_frames_, lossy_frames_, fault_frames_;
    uint64_t resend_requested_ = 0, resent_received_ = 0, duplicates_ = 0;
    bool pulled_camera_noticed_ = false;
    bool link_flap_survived_ = false;
    std::vector<PhaseResources> phases_;
    std::vector<std::string> failures_;
    std::vector<std::pair<std::string, std::string>> figures_;
};

// Returns false on an unknown option or a missing value.
bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (name == "--cycles") {
            options->cycles = std::atoi(value);
        } else if (name == "--stream-minutes") {
            options->stream_minutes = std::atof(value);
        } else if (name == "--loss") {
            options->loss = value;
        } else if (name == "--reorder") {
            options->reorder = value;
        } else if (name == "--duplicate") {
            options->duplicate = value;
        } else if (name == "--memory-tolerance-mib") {
            options->memory_tolerance_kib = static_cast<int64_t>(std::atof(value) * 1024);
        } else if (name == "--figures") {
            options->figures_path = value;
        } else {
            return false;
        }
    }
    return options->cycles >= 0 && options->stream_minutes >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: tavi_soak [--cycles N] [--stream-minutes M] [--loss RATIO] [--reorder RATIO] "
                     "[--duplicate RATIO] [--memory-tolerance-mib MIB] [--figures PATH]\n");
        return 2;
    }
    return Soak(std::move(options)).Run();
}
