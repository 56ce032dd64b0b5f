// How fast the stream receiver takes frames from a virtual camera across a veth pair, and what it
// costs, beside Aravis (an independent GigE Vision receiver) on the same stream in the same run.
// Rows: packet sizes 1500 and 9000, a 1280 x 1024 Coord3D_ABC16 channel and a 1280 x 1024 BayerRG8
// channel; then ours at 1 %, 5 % and 20 % random loss of first transmissions; then, when the run
// may use packet sockets, the rows a user without CAP_NET_RAW gets (the program runs again through
// setpriv with that capability dropped): ours on the UDP socket beside Aravis on plain sockets.
//
// Runs inside scripts/netns-run.sh with one camera on a 9000-byte segment, bandwidth unlimited:
//   scripts/netns-run.sh --adapter tvb0,169.254.40.1/16,mtu=9000
//       --camera "tvb0,169.254.40.2/16,--bandwidth 0" -- build/bench/stream_throughput [seconds]
// (one command line). With "--ring-pairs N [frames/s [packet size]]" after the seconds, only ours and
// Aravis on packet sockets (1500-byte packets unless given), taking turns N times, and their medians;
// a frame rate that both reach compares them at the same data rate, on which the cost per GB depends.

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TaviSDK/TaviSDK.h"
#include "support/virtual_camera_control.h"

#ifdef TAVI_BENCH_WITH_ARAVIS
#include <arv.h>
#endif

namespace {

constexpr uint32_t kScps = 0x0D04;
constexpr uint32_t kChannelStride = 0x40;
constexpr uint32_t kCmosStride = 0x100;
constexpr int kFullWidth = 1280;
constexpr int kFullHeight = 1024;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kFullRate = 60;         // more than the camera reaches at full size on this machine
constexpr int kSmallestPacket = 576;  // the least an IPv4 host must take whole
constexpr double kGB = 1e9;

// ---- CPU accounting from /proc --------------------------------------------------------------------

double TicksToSeconds(unsigned long long ticks) { return static_cast<double>(ticks) / sysconf(_SC_CLK_TCK); }

// User + system time of this process's threads whose name starts with `prefix`.
double ThreadCpuSeconds(const char* prefix) {
    unsigned long long ticks = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        if (text.compare(open + 1, std::strlen(prefix), prefix) != 0) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        ticks += utime + stime;
    }
    if (tasks != nullptr) closedir(tasks);
    return TicksToSeconds(ticks);
}

// Busy time of every CPU of the machine (everything but idle and I/O wait).
double SystemCpuSeconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    unsigned long long user, nice, system, idle, iowait, irq, softirq, steal;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return TicksToSeconds(user + nice + system + irq + softirq + steal);
}

struct Row {
    std::string receiver;
    std::string stream;
    int packet_size = 0;
    double seconds = 0;
    unsigned frames = 0;
    unsigned failed = 0;
    uint64_t bytes = 0;
    double thread_cpu = 0;
    double system_cpu = 0;
    std::string note;
};

double PerGigabyte(double cpu, const Row& row) {
    return row.bytes > 0 ? cpu / (static_cast<double>(row.bytes) / kGB) : 0.0;
}

void PrintRow(const Row& row) {
    std::printf("%-22s %-22s %6d %9.1f %9.1f %8u %13.2f %13.2f  %s\n", row.receiver.c_str(),
                row.stream.c_str(), row.packet_size, row.frames / row.seconds, row.bytes / kMiB / row.seconds,
                row.failed, PerGigabyte(row.thread_cpu, row), PerGigabyte(row.system_cpu, row),
                row.note.c_str());
    std::fflush(stdout);
}

uint32_t CameraAddressFromEnvironment() {
    const char* text = std::getenv("TAVI_CAMERA_0_IP");
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (text == nullptr || std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// ---- our receiver -------------------------------------------------------------------------------

struct Counters {
    unsigned blocks[8] = {};
    unsigned packets[7] = {};
};

Counters ReadCounters(GigeStream* stream) {
    Counters c;
    stream->GetBlockStatistics(&c.blocks[0], &c.blocks[1], &c.blocks[2], &c.blocks[3], &c.blocks[4],
                               &c.blocks[5], &c.blocks[6], &c.blocks[7]);
    stream->GetPacketStatistics(&c.packets[0], &c.packets[1], &c.packets[2], &c.packets[3], &c.packets[4],
                                &c.packets[5], &c.packets[6]);
    return c;
}

class OurCamera {
  public:
    bool Connect(uint32_t address) {
        std::vector<DiscoveryInfo> found;
        Discovery discovery;
        discovery.DiscoverCamera(&found);
        for (DiscoveryInfo& info : found) {
            if (info.camera_ip == address) return camera_.CameraConnect(&info) == 0;
        }
        return false;
    }
    void Disconnect() { camera_.CameraDisconnect(); }

    int Write(const char* feature, uint32_t offset, int value) {
        // Only the look-up's two codes are failures: any other value is an address, 0x80000000 and
        // above included.
        const int address = camera_.GetRegisterAddr(feature);
        if (address == TAVI_ERR_NOT_CONNECTED || address == TAVI_ERR_FEATURE_NOT_FOUND) return address;
        return camera_.WriteRegister(static_cast<uint32_t>(address) + offset, value);
    }

    // One channel at full size in `format`, streamed for `seconds` with packets of `packet_size`.
    Row Stream(int channel, uint32_t format, int packet_size, double seconds, const char* name,
               int frame_rate = kFullRate) {
        Row row;
        row.receiver = "TaviSDK";
        row.stream = name;
        row.packet_size = packet_size;
        Write("Width", kCmosStride * channel, kFullWidth);
        Write("Height", kCmosStride * channel, kFullHeight);
        Write("PixelFormat", kChannelStride * channel, static_cast<int>(format));
        Write("AcquisitionFrameRate", 0, frame_rate);
        camera_.WriteRegister(kScps + kChannelStride * channel, packet_size);
        camera_.packet_size = packet_size;
        GigeStream* stream = nullptr;
        if (camera_.StreamOn(static_cast<unsigned short>(channel), &stream) != 0) {
            row.note = "StreamOn failed";
            return row;
        }
        stream->SetMaxBufferLength(8);
        const uint32_t payload = kFullWidth * kFullHeight * PixelBytesOfFormat(format);
        std::vector<unsigned char> pixels(payload);
        PhotoInfo frame{};
        frame.data = pixels.data();
        camera_.AcquisitionStart();
        // The clock starts once the stream holds all its frame buffers (as Aravis's are allocated
        // before it starts), so that start-up and the first touch of fresh buffers are not counted
        // (nor the jump from the block ids of an earlier run to this one's).
        for (int warm_up = 0; warm_up < 10; ++warm_up) stream->TimeoutCapture(&frame, 5'000'000);
        const Counters before = ReadCounters(stream);
        const double thread_start = ThreadCpuSeconds("tavi-stream");
        const double system_start = SystemCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (stream->TimeoutCapture(&frame, 1'000'000) != 0) continue;
            ++row.frames;
            row.bytes += frame.payload_size;
            if (frame.reserved != 0) ++row.failed;
        }
        row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        row.thread_cpu = ThreadCpuSeconds("tavi-stream") - thread_start;
        row.system_cpu = SystemCpuSeconds() - system_start;
        camera_.AcquisitionStop();
        const Counters after = ReadCounters(stream);
        const unsigned not_stored = after.blocks[3] - before.blocks[3];
        const unsigned id_jumps = after.blocks[5] - before.blocks[5];
        row.failed += not_stored + id_jumps;  // frames never stored or never seen at all
        char note[160];
        std::snprintf(note, sizeof note, "resend asked %u, resent got %u, not stored %u, id jumps %u",
                      after.packets[4] - before.packets[4], after.packets[5] - before.packets[5], not_stored,
                      id_jumps);
        row.note = note;
        camera_.StreamOff(static_cast<unsigned short>(channel), stream);
        return row;
    }

  private:
    GigeCamera camera_;
};

// ---- Aravis on the same camera ------------------------------------------------------------------

#ifdef TAVI_BENCH_WITH_ARAVIS
Row AravisStream(const char* address, int packet_size, bool packet_socket, double seconds) {
    Row row;
    row.receiver = packet_socket ? "Aravis packet socket" : "Aravis plain socket";
    row.stream = "Coord3D_ABC16 1280x1024";
    row.packet_size = packet_size;
    GError* error = nullptr;
    ArvCamera* camera = arv_camera_new(address, &error);
    if (camera == nullptr) {
        row.note = std::string("no camera: ") + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return row;
    }
    arv_camera_gv_set_stream_options(
        camera, packet_socket ? ARV_GV_STREAM_OPTION_NONE : ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    arv_camera_gv_set_packet_size(camera, packet_size, &error);
    g_clear_error(&error);
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    if (stream == nullptr) {
        row.note = std::string("no stream: ") + (error != nullptr ? error->message : "?");
        g_clear_error(&error);
        g_object_unref(camera);
        return row;
    }
    const unsigned payload = arv_camera_get_payload(camera, &error);
    g_clear_error(&error);
    for (int i = 0; i < 8; ++i) arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera, &error);
    g_clear_error(&error);
    if (ArvBuffer* first = arv_stream_timeout_pop_buffer(stream, 5'000'000))
        arv_stream_push_buffer(stream, first);
    const double thread_start = ThreadCpuSeconds("arv");
    const double system_start = SystemCpuSeconds();
    guint64 completed_start = 0, failures_start = 0, underruns_start = 0;
    arv_stream_get_statistics(stream, &completed_start, &failures_start, &underruns_start);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 1'000'000);
        if (buffer == nullptr) continue;
        ++row.frames;
        if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
            size_t size = 0;
            arv_buffer_get_data(buffer, &size);
            row.bytes += size;
        } else {
            ++row.failed;
        }
        arv_stream_push_buffer(stream, buffer);
    }
    row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.thread_cpu = ThreadCpuSeconds("arv");
    row.thread_cpu -= thread_start;
    row.system_cpu = SystemCpuSeconds() - system_start;
    guint64 completed = 0, failures = 0, underruns = 0;
    arv_stream_get_statistics(stream, &completed, &failures, &underruns);
    char note[160];
    std::snprintf(note, sizeof note, "failures %llu, underruns %llu",
                  static_cast<unsigned long long>(failures - failures_start),
                  static_cast<unsigned long long>(underruns - underruns_start));
    row.note = note;
    row.failed = static_cast<unsigned>(std::max<guint64>(row.failed, failures - failures_start));
    arv_camera_stop_acquisition(camera, &error);
    g_clear_error(&error);
    g_object_unref(stream);
    g_object_unref(camera);
    return row;
}
#endif

// ---- paired runs on the packet ring ----------------------------------------------------------------

constexpr const char* kRingPairs = "--ring-pairs";

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Ours and Aravis, both on packet sockets, taking turns `pairs` times, so that the machine's drift
// between runs falls on both alike; each row, then the medians of the receive thread's CPU per GB.
int RingPairs(uint32_t address, double seconds, int pairs, int frame_rate, int packet_size) {
#ifdef TAVI_BENCH_WITH_ARAVIS
    OurCamera camera;
    if (!camera.Connect(address)) {
        std::fprintf(stderr, "could not connect to the camera\n");
        return 1;
    }
    std::vector<double> ours, theirs;
    for (int pair = 0; pair < pairs; ++pair) {
        // Aravis streams at the rate the camera was left with.
        const Row our_row = camera.Stream(0, kPixelCoord3D_ABC16, packet_size, seconds,
                                          "Coord3D_ABC16 1280x1024", frame_rate);
        PrintRow(our_row);
        ours.push_back(PerGigabyte(our_row.thread_cpu, our_row));
        camera.Disconnect();
        const Row their_row = AravisStream(std::getenv("TAVI_CAMERA_0_IP"), packet_size, true, seconds);
        PrintRow(their_row);
        theirs.push_back(PerGigabyte(their_row.thread_cpu, their_row));
        if (!camera.Connect(address)) return 1;
    }
    camera.Disconnect();
    std::printf("median receive-thread s/GB over %d pairs: TaviSDK %.3f, Aravis %.3f\n", pairs, Median(ours),
                Median(theirs));
    return 0;
#else
    (void)address, (void)seconds, (void)pairs, (void)frame_rate, (void)packet_size;
    std::printf("(built without Aravis: install libaravis-dev for paired runs)\n");
    return 2;
#endif
}

// ---- rows of a process without CAP_NET_RAW ---------------------------------------------------------

constexpr const char* kUnprivilegedRows = "--unprivileged-rows";

bool MayOpenPacketSockets() {
    const int probe = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    if (probe < 0) return false;
    close(probe);
    return true;
}

// What a user without privileges gets: ours on the UDP socket, Aravis without packet sockets.
int UnprivilegedRows(uint32_t address, double seconds) {
    {
        OurCamera camera;
        if (!camera.Connect(address)) {
            std::fprintf(stderr, "could not connect to the camera\n");
            return 1;
        }
        for (int packet : {1500, 9000}) {
            Row row = camera.Stream(0, kPixelCoord3D_ABC16, packet, seconds, "Coord3D_ABC16 1280x1024");
            row.receiver = "TaviSDK UDP socket";
            PrintRow(row);
        }
        camera.Disconnect();
    }
#ifdef TAVI_BENCH_WITH_ARAVIS
    for (int packet : {1500, 9000}) {
        Row row = AravisStream(std::getenv("TAVI_CAMERA_0_IP"), packet, false, seconds);
        row.receiver = "Aravis no CAP_NET_RAW";
        PrintRow(row);
    }
#endif
    return 0;
}

// The same program again with CAP_NET_RAW dropped (setpriv), printing the unprivileged rows.
void RunUnprivilegedRows(double seconds) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    self[length] = '\0';
    const std::string command = std::string("setpriv --inh-caps=-net_raw --bounding-set=-net_raw -- '") +
                                self + "' " + std::to_string(seconds) + " " + kUnprivilegedRows;
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::printf("(the rows without CAP_NET_RAW could not be run)\n");
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const uint32_t address = CameraAddressFromEnvironment();
    VirtualCameraControl faults(std::getenv("TAVI_CAMERA_0_CONTROL"));
    if (address == 0 || !faults.Set("clear", "1")) {
        std::fprintf(stderr,
                     "run inside scripts/netns-run.sh with one virtual camera (see the file header)\n");
        return 2;
    }
    if (argc > 2 && std::strcmp(argv[2], kUnprivilegedRows) == 0) return UnprivilegedRows(address, seconds);
    if (argc > 3 && std::strcmp(argv[2], kRingPairs) == 0)
        return RingPairs(address, seconds, std::max(1, std::atoi(argv[3])),
                         argc > 4 ? std::max(1, std::atoi(argv[4])) : kFullRate,
                         argc > 5 ? std::max(kSmallestPacket, std::atoi(argv[5])) : 1500);
    std::printf("%-22s %-22s %6s %9s %9s %8s %13s %13s  %s\n", "receiver", "stream", "packet", "frames/s",
                "MiB/s", "failed", "thread s/GB", "system s/GB", "notes");
    struct Config {
        int channel;
        uint32_t format;
        const char* name;
    };
    const Config configs[] = {{0, kPixelCoord3D_ABC16, "Coord3D_ABC16 1280x1024"},
                              {1, kPixelBayerRG8, "BayerRG8 1280x1024"}};
    {
        OurCamera camera;
        if (!camera.Connect(address)) {
            std::fprintf(stderr, "could not connect to the camera\n");
            return 1;
        }
        for (int packet : {1500, 9000}) {
            for (const Config& config : configs)
                PrintRow(camera.Stream(config.channel, config.format, packet, seconds, config.name));
        }
        for (const char* loss : {"0.01", "0.05", "0.20"}) {
            faults.Set("drop_first", loss);
            Row row = camera.Stream(0, kPixelCoord3D_ABC16, 9000, seconds, "Coord3D_ABC16 1280x1024");
            row.receiver = std::string("TaviSDK loss ") + loss;
            PrintRow(row);
        }
        faults.Set("clear", "1");
        camera.Disconnect();
    }
#ifdef TAVI_BENCH_WITH_ARAVIS
    const char* text = std::getenv("TAVI_CAMERA_0_IP");
    for (int packet : {1500, 9000}) {
        for (bool packet_socket : {true, false}) PrintRow(AravisStream(text, packet, packet_socket, seconds));
    }
#else
    std::printf("(built without Aravis: install libaravis-dev for its rows)\n");
#endif
    if (MayOpenPacketSockets()) RunUnprivilegedRows(seconds);
    return 0;
}
