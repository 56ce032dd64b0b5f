// How fast the virtual camera's streaming engine sends GVSP, and what it costs: full-size point
// clouds at the default 1 Gbit/s limit and unlimited, at packet sizes 1500 and 9000, to a sink
// on loopback. The run enters a network namespace of its own when the system allows it, so the
// traffic stays on a private loopback device.
//
// Usage: virtual_camera_throughput [seconds per row, default 3]

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "streaming/stream_engine.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

double CpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A private network namespace with its loopback up; false when the system does not allow one.
bool EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const bool up = fd >= 0 && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0) close(fd);
    return up;
}

// Counts what arrives on a loopback port, many datagrams per system call.
class Sink {
  public:
    Sink() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 64 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        }
        timeval timeout{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Sink() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    uint64_t datagrams() const { return datagrams_.load(); }
    uint64_t bytes() const { return bytes_.load(); }
    double cpu_seconds() const { return cpu_seconds_.load(); }

  private:
    void Run() {
        constexpr size_t kBatch = 64;
        std::vector<uint8_t> storage(kBatch * 9216);
        iovec iov[kBatch];
        mmsghdr messages[kBatch];
        while (!stop_) {
            for (size_t i = 0; i < kBatch; ++i) {
                iov[i] = {storage.data() + i * 9216, 9216};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &iov[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int received = recvmmsg(fd_, messages, kBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < received; ++i) bytes_ += messages[i].msg_len + 28;
            if (received > 0) datagrams_ += static_cast<uint64_t>(received);
            cpu_seconds_ = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> datagrams_{0}, bytes_{0};
    std::atomic<double> cpu_seconds_{0};
};

std::string LoadAverage() {
    char text[128] = "?\n";
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(text, sizeof(text), file) == nullptr) std::strcpy(text, "?\n");
        std::fclose(file);
    }
    return text;
}

struct Row {
    const char* name;
    uint64_t bandwidth;
    uint32_t packet_size;
    uint32_t sensor;
    uint32_t pixel_format;
};

struct Result {
    double frames_per_s, sent_gbit_s, received_share, engine_cores, cpu_s_per_gb;
};

Result Measure(const Row& row, double seconds) {
    Sink sink;
    vcam::EngineOptions options;
    options.bandwidth_bits_per_s = row.bandwidth;
    options.bind_ip = kLoopback;
    vcam::StreamEngine engine(options);
    vcam::ChannelSettings settings;
    settings.sensor = row.sensor;
    settings.pixel_format = row.pixel_format;
    settings.packet_size = row.packet_size;
    settings.dest_ip = kLoopback;
    settings.dest_port = sink.port();
    engine.Configure(row.sensor, settings);

    // The first block renders the scene: start measuring once it has gone out.
    engine.Start(row.sensor, 10000, false);
    while (engine.Counters(row.sensor).blocks_sent < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const vcam::ChannelCounters before = engine.Counters(row.sensor);
    const uint64_t received_before = sink.bytes();
    const double process_before = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID), sink_before = sink.cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const vcam::ChannelCounters after = engine.Counters(row.sensor);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double engine_cpu =
        (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_before) - (sink.cpu_seconds() - sink_before);
    const uint64_t received = sink.bytes() - received_before;
    engine.Stop(row.sensor);

    const double sent_bytes = static_cast<double>(after.bytes_sent - before.bytes_sent);
    Result result{};
    result.frames_per_s = static_cast<double>(after.blocks_sent - before.blocks_sent) / wall;
    result.sent_gbit_s = sent_bytes * 8 / wall / 1e9;
    result.received_share = sent_bytes > 0 ? static_cast<double>(received) / sent_bytes : 0;
    result.engine_cores = engine_cpu / wall;
    result.cpu_s_per_gb = sent_bytes > 0 ? engine_cpu / (sent_bytes / 1e9) : 0;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const bool isolated = EnterPrivateNetwork();
    const unsigned cores = std::thread::hardware_concurrency();
    std::printf("virtual camera GVSP throughput: %s loopback, %u cores, %.1f s per row\n",
                isolated ? "private" : "host", cores, seconds);
    std::printf(
        "engine CPU = process CPU - sink thread CPU; on loopback it includes the kernel's delivery.\n\n");

    const Row rows[] = {
        {"depth 1280x1024, 1 Gbit/s", 1'000'000'000, 1500, vcam::kSensorDepth, vcam::kPixelCoord3D_ABC16},
        {"depth 1280x1024, 1 Gbit/s", 1'000'000'000, 9000, vcam::kSensorDepth, vcam::kPixelCoord3D_ABC16},
        {"depth 1280x1024, unlimited", 0, 1500, vcam::kSensorDepth, vcam::kPixelCoord3D_ABC16},
        {"depth 1280x1024, unlimited", 0, 9000, vcam::kSensorDepth, vcam::kPixelCoord3D_ABC16},
        {"bayer 1280x1024, unlimited", 0, 9000, vcam::kSensorColour, vcam::kPixelBayerRG8},
    };
    std::printf("%-28s %7s %9s %9s %9s %8s %10s %12s\n", "stream", "packet", "frames/s", "Gbit/s", "received",
                "cores", "CPU s/GB", "cores/Gbit/s");
    bool rate_reached = true, core_to_spare = true;
    for (const Row& row : rows) {
        const Result r = Measure(row, seconds);
        // 1 Gbit/s is 0.125 GB/s: the share of a core the engine needs for it at this cost.
        const double cores_per_gigabit = r.cpu_s_per_gb * 0.125;
        std::printf("%-28s %7u %9.1f %9.3f %8.1f%% %8.2f %10.3f %12.2f\n", row.name, row.packet_size,
                    r.frames_per_s, r.sent_gbit_s, 100 * r.received_share, r.engine_cores, r.cpu_s_per_gb,
                    cores_per_gigabit);
        if (row.bandwidth == 1'000'000'000) {
            rate_reached &= r.sent_gbit_s >= 0.95;
            core_to_spare &= cores_per_gigabit <= cores - 1.0;
        }
    }
    std::printf(
        "\n1 Gbit/s reached at the limit: %s; CPU for 1 Gbit/s leaves a core to spare: %s\nload average %s",
        rate_reached ? "yes" : "NO", core_to_spare ? "yes" : "NO", LoadAverage().c_str());
    if (!rate_reached && core_to_spare)
        std::printf("(a busy machine keeps the sender from its time slices)\n");
    return 0;
}
