#include "streaming/stream_engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "scene/random.h"
#include "scene/scene.h"
#include "scene/sensor_render.h"
#include "streaming/gvsp_layout.h"
#include "streaming/packet_batch.h"
#include "streaming/packet_plan.h"
#include "streaming/token_bucket.h"

namespace vcam {
namespace {

using SteadyClock = std::chrono::steady_clock;
using Frame = std::shared_ptr<const std::vector<uint8_t>>;

constexpr uint32_t kMinPacketSize = 576;  // the smallest datagram every IPv4 host must accept
constexpr uint32_t kMaxPacketSize = 65535;
constexpr uint32_t kMaxUdpPayload = 65507;
constexpr uint32_t kMaxPendingTriggers = 16;
constexpr size_t kMaxQueuedResends = 4096;
constexpr double kMinFrameRate = 0.01;
constexpr double kMaxFrameRate = 1e6;
constexpr int kSendBufferBytes = 8 << 20;
constexpr double kMaxNoiseMm = 100;

void LogError(const char* what) { std::fprintf(stderr, "vcam-stream: %s: %s\n", what, std::strerror(errno)); }

struct AtomicCounters {
    std::atomic<uint64_t> blocks_sent{0}, packets_sent{0}, bytes_sent{0}, packets_resent{0},
        packets_dropped{0}, resend_unavailable{0}, send_errors{0}, triggers_missed{0};

    std::atomic<int> logged_error{0};

    // Counts what went out; a new kind of send failure is logged once.
    void Add(uint32_t channel, const SendResult& sent) {
        packets_sent += sent.packets;
        bytes_sent += sent.bytes;
        send_errors += sent.errors;
        if (sent.errors > 0 && logged_error.exchange(sent.last_error) != sent.last_error) {
            std::fprintf(stderr, "vcam-stream: channel %u: packets not sent: %s\n", channel,
                         std::strerror(sent.last_error));
        }
    }
    ChannelCounters Copy() const {
        return {blocks_sent.load(),    packets_sent.load(),    bytes_sent.load(),
                packets_resent.load(), packets_dropped.load(), resend_unavailable.load(),
                send_errors.load(),    triggers_missed.load()};
    }
};

// A block sent recently, kept so that a resend request can rebuild any of its packets.
struct BlockRecord {
    bool used = false;
    uint16_t block_id = 0;
    gvsp::ImageInfo image;
    BlockLayout layout;
    Frame frame;
};

// The renderings of the view a channel currently sends (used by its sender thread only).
struct FrameSet {
    scene::SensorView view;
    uint64_t scene_generation = 0;
    std::vector<Frame> frames;
    size_t next = 0;
};

bool SameView(const scene::SensorView& a, const scene::SensorView& b) {
    return a.sensor == b.sensor && a.width == b.width && a.height == b.height && a.offset_x == b.offset_x &&
           a.offset_y == b.offset_y && a.pixel_format == b.pixel_format;
}

scene::SensorView ViewOf(const ChannelSettings& s) {
    return {s.sensor, s.width, s.height, s.offset_x, s.offset_y, s.pixel_format};
}

bool DestinationOpen(const ChannelSettings& s) { return s.dest_ip != 0 && s.dest_port != 0; }

sockaddr_in Destination(const ChannelSettings& s) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(s.dest_ip);
    address.sin_port = htons(s.dest_port);
    return address;
}

ChannelSettings DefaultSettings(uint32_t channel) {
    static constexpr uint32_t kDefaultFormats[kSensorCount] = {kPixelCoord3D_ABC16, kPixelBayerRG8,
                                                               kPixelMono8};
    ChannelSettings settings;
    settings.sensor = channel;
    settings.pixel_format = kDefaultFormats[channel];
    return settings;
}

bool SettingsValid(const ChannelSettings& s) {
    return s.sensor < kSensorCount && StreamEngine::SupportsFormat(s.sensor, s.pixel_format) && s.width > 0 &&
           s.height > 0 && uint64_t{s.offset_x} + s.width <= kSensorMaxWidth &&
           uint64_t{s.offset_y} + s.height <= kSensorMaxHeight;
}

void SetDontFragment(int socket, bool dont_fragment) {
    const int mode = dont_fragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
    setsockopt(socket, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof(mode));
}

int OpenStreamSocket(uint32_t bind_ip, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogError("cannot create a stream socket");
        return -1;
    }
    // A deep send queue lets one sendmmsg hand over a whole batch of jumbo packets.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBufferBytes, sizeof(kSendBufferBytes)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(bind_ip);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        LogError("cannot bind a stream socket");
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

uint64_t MonotonicNanoseconds() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count());
}

// The body of a test packet: a maximal-length 16-bit LFSR sequence, so that it is not all zeros.
void FillTestPattern(std::vector<uint8_t>* body) {
    uint16_t lfsr = 0xACE1;
    for (uint8_t& byte : *body) {
        const uint16_t bit = ((lfsr >> 0) ^ (lfsr >> 2) ^ (lfsr >> 3) ^ (lfsr >> 5)) & 1u;
        lfsr = static_cast<uint16_t>((lfsr >> 1) | (bit << 15));
        byte = static_cast<uint8_t>(lfsr);
    }
}

// What a block's leader says of its image: the truth, or one of the lies of the lying_leader fault.
gvsp::ImageInfo LeaderImage(gvsp::ImageInfo image, const FaultSettings& faults) {
    if (faults.lying_leader == 1) {
        image.pixel_format = kPixelCoord3D_ABC16;
        image.size_x = 4294901763u;
        image.size_y = 715838805u;
    } else if (faults.lying_leader == 2) {
        image.pixel_format = 0xDEADBEEF;
        image.size_x = image.size_y = 0xFFFFFFFFu;
    }
    return image;
}

// Faults given at construction, held to the ranges SetFault enforces.
FaultSettings Sanitised(FaultSettings faults) {
    for (double* ratio :
         {&faults.drop_first, &faults.drop_resent, &faults.reorder, &faults.duplicate, &faults.error_status,
          &faults.truncate, &faults.oversize, &faults.leader_late, &faults.bad_checksum}) {
        *ratio = *ratio >= 0 && *ratio <= 1 ? *ratio : (*ratio > 1 ? 1.0 : 0.0);  // NaN counts as 0
    }
    faults.oversize_bytes = std::clamp<uint32_t>(faults.oversize_bytes, 1, kMaxOversizeBytes);
    DropOnceList unused;
    if (!ParseDropOnce(faults.drop_once, &unused)) {
        std::fprintf(stderr, "vcam-stream: ignoring the unreadable drop_once list \"%s\"\n",
                     faults.drop_once.c_str());
        faults.drop_once.clear();
    }
    return faults;
}

}  // namespace

struct StreamEngine::Impl {
    struct Channel {
        uint32_t index = 0;
        int socket = -1;
        uint16_t source_port = 0;

        std::mutex lifecycle;  // serialises Start and Stop

        // Shared with caller threads, under `mutex`.
        std::mutex mutex;
        std::condition_variable wake;
        ChannelSettings settings;
        double frames_per_second = 10;
        bool triggered = false;
        bool running = false;
        uint32_t pending_triggers = 0;
        uint16_t next_block_id = 1;
        std::vector<BlockRecord> ring;
        size_t ring_next = 0;
        Random resend_random{1};
        uint64_t resend_seed_generation = 0;
        std::atomic<bool> stop{false};
        std::thread thread;
        AtomicCounters counters;

        // The sender thread's own.
        FrameSet frame_set;
        Random fault_random{1};
        uint64_t fault_seed_generation = 0;
        PacketBatch batch;
        std::vector<PlannedPacket> plan;
    };

    explicit Impl(const EngineOptions& engine_options)
        : options(engine_options),
          bucket(engine_options.bandwidth_bits_per_s),
          faults(Sanitised(engine_options.faults)) {
        ParseDropOnce(faults.drop_once, &drop_once);
        for (uint32_t n = 0; n < kStreamChannelCount; ++n) OpenChannel(n);
        damage_socket = OpenDamageSocket(options.bind_ip);
        StartResendWorker();
    }

    ~Impl() {
        StopResendWorker();
        for (Channel& channel : channels) {
            StopChannel(channel);
            if (channel.socket >= 0) close(channel.socket);
        }
        if (damage_socket >= 0) close(damage_socket);
    }

    void OpenChannel(uint32_t n) {
        Channel& channel = channels[n];
        channel.index = n;
        channel.settings = DefaultSettings(n);
        channel.ring.resize(std::max<uint32_t>(1, options.resend_ring_blocks));
        const uint16_t port =
            options.first_source_port == 0 ? 0 : static_cast<uint16_t>(options.first_source_port + n);
        channel.socket = OpenStreamSocket(options.bind_ip, port);
        if (channel.socket < 0) return;
        channel.source_port = BoundPort(channel.socket);
        SetDontFragment(channel.socket, channel.settings.dont_fragment);
    }

    Channel* Find(uint32_t n) {
        return n < kStreamChannelCount && channels[n].socket >= 0 ? &channels[n] : nullptr;
    }

    // ---- sender thread ----------------------------------------------------------------------------

    void Run(Channel& channel) {
        SteadyClock::time_point due = SteadyClock::now();
        while (WaitForNextBlock(channel, &due)) SendBlock(channel);
    }

    // Waits for the next trigger or the next frame time; false once the channel stops.
    bool WaitForNextBlock(Channel& channel, SteadyClock::time_point* due) {
        std::unique_lock lock(channel.mutex);
        while (!channel.stop.load()) {
            if (channel.triggered) {
                if (channel.pending_triggers > 0) {
                    --channel.pending_triggers;
                    return true;
                }
                channel.wake.wait(lock);
                continue;
            }
            const auto now = SteadyClock::now();
            if (now >= *due) {
                const auto period = std::chrono::duration_cast<SteadyClock::duration>(
                    std::chrono::duration<double>(1.0 / channel.frames_per_second));
                // A late block is sent at once, but the lost time is not made up with a burst.
                *due = std::max(*due + period, now);
                return true;
            }
            channel.wake.wait_until(lock, *due);
        }
        return false;
    }

    Frame NextFrame(Channel& channel, const ChannelSettings& settings) {
        FrameSet& set = channel.frame_set;
        const scene::SensorView view = ViewOf(settings);
        scene::RenderParams params;
        uint64_t generation;
        {
            std::lock_guard lock(scene_mutex);
            params = {scene_noise, scene_outlier_ratio, options.cloud_unit, options.scene_seed,
                      options.noise_variants};
            generation = scene_generation;
        }
        if (set.frames.empty() || !SameView(set.view, view) || set.scene_generation != generation) {
            set.scene_generation = generation;
            set.frames.clear();
            for (auto& frame : scene::RenderSensor(view, params)) {
                set.frames.push_back(std::make_shared<const std::vector<uint8_t>>(std::move(frame)));
            }
            set.view = view;
            set.next = 0;
        }
        if (set.frames.empty()) return nullptr;
        return set.frames[set.next++ % set.frames.size()];
    }

    // Takes the block id and keeps the block for resends.
    BlockRecord RecordBlock(Channel& channel, const ChannelSettings& settings, Frame frame) {
        BlockRecord record;
        record.used = true;
        record.image = {Now(),           settings.pixel_format, settings.width,
                        settings.height, settings.offset_x,     settings.offset_y};
        record.layout = LayoutFor(static_cast<uint32_t>(frame->size()), settings.packet_size);
        record.frame = std::move(frame);
        std::lock_guard lock(channel.mutex);
        record.block_id = channel.next_block_id;
        channel.next_block_id = gvsp::NextBlockId(channel.next_block_id);
        channel.ring[channel.ring_next] = record;
        channel.ring_next = (channel.ring_next + 1) % channel.ring.size();
        return record;
    }

    // The faults for one block, with the packets to lose once taken off the list.
    FaultSettings FaultsForBlock(Channel& channel, uint16_t block_id, std::set<uint32_t>* drop_now) {
        std::lock_guard lock(faults_mutex);
        if (channel.fault_seed_generation != seed_generation) {
            channel.fault_random = Random(Random::Mix(faults.seed) ^ channel.index);
            channel.fault_seed_generation = seed_generation;
        }
        auto entry = drop_once.find(block_id);
        if (entry != drop_once.end()) {
            *drop_now = std::move(entry->second);
            drop_once.erase(entry);
        }
        return faults;
    }

    void SendBlock(Channel& channel) {
        ChannelSettings settings;
        {
            std::lock_guard lock(channel.mutex);
            settings = channel.settings;
        }
        if (!DestinationOpen(settings)) return;  // nowhere to send: the block is not made at all
        Frame frame = NextFrame(channel, settings);
        if (!frame) return;
        const BlockRecord record = RecordBlock(channel, settings, std::move(frame));
        std::set<uint32_t> drop_now;
        const FaultSettings block_faults = FaultsForBlock(channel, record.block_id, &drop_now);
        uint64_t dropped = 0;
        PlanFirstTransmission(record.layout, block_faults, drop_now, &channel.fault_random, &channel.plan,
                              &dropped);
        const BlockSource source{record.block_id, LeaderImage(record.image, block_faults),
                                 record.frame->data(), damage_socket, channel.source_port};
        channel.counters.Add(channel.index, channel.batch.Send(channel.socket, Destination(settings), source,
                                                               channel.plan, &bucket, channel.stop));
        channel.counters.packets_dropped += dropped;
        ++channel.counters.blocks_sent;
    }

    uint64_t Now() {
        std::shared_ptr<const std::function<uint64_t()>> clock;
        {
            std::lock_guard lock(clock_mutex);
            clock = camera_clock;
        }
        return clock ? (*clock)() : MonotonicNanoseconds();
    }

    // ---- caller side --------------------------------------------------------------------------------

    void StopChannel(Channel& channel) {
        std::lock_guard lifecycle(channel.lifecycle);
        {
            std::lock_guard lock(channel.mutex);
            channel.running = false;
            channel.pending_triggers = 0;
            channel.stop = true;
        }
        channel.wake.notify_all();
        if (channel.thread.joinable()) channel.thread.join();
    }

    bool StartChannel(Channel& channel, double frames_per_second, bool triggered) {
        std::lock_guard lifecycle(channel.lifecycle);
        {
            std::lock_guard lock(channel.mutex);
            channel.frames_per_second = std::clamp(frames_per_second, kMinFrameRate, kMaxFrameRate);
            if (!(channel.frames_per_second > 0)) channel.frames_per_second = kMinFrameRate;  // NaN
            if (channel.triggered != triggered) channel.pending_triggers = 0;
            channel.triggered = triggered;
            if (channel.running) {
                channel.wake.notify_all();
                return true;
            }
            channel.running = true;
            channel.stop = false;
        }
        try {
            channel.thread = std::thread([this, &channel] { Run(channel); });
        } catch (const std::system_error&) {
            std::lock_guard lock(channel.mutex);
            channel.running = false;
            std::fprintf(stderr, "vcam-stream: cannot start the sender of channel %u\n", channel.index);
            return false;
        }
        return true;
    }

    // ---- resend worker: requests are served off the caller's thread, so that a large request paced
    // to the bandwidth never holds up the control channel ---------------------------------------------

    struct ResendRequest {
        uint32_t channel;
        uint16_t block_id;
        uint32_t first, last;
    };

    void StartResendWorker() {
        try {
            resend_thread = std::thread([this] { RunResends(); });
        } catch (const std::system_error&) {
            std::fprintf(stderr,
                         "vcam-stream: no resend thread; resends are served on the caller's thread\n");
        }
    }

    void StopResendWorker() {
        {
            std::lock_guard lock(resend_mutex);
            resend_stop = true;
        }
        resend_wake.notify_all();
        if (resend_thread.joinable()) resend_thread.join();
    }

    void QueueResend(const ResendRequest& request) {
        if (!resend_thread.joinable()) {
            ResendPackets(channels[request.channel], request.block_id, request.first, request.last);
            return;
        }
        {
            std::lock_guard lock(resend_mutex);
            if (resend_queue.size() >= kMaxQueuedResends) {
                ++channels[request.channel].counters.resend_unavailable;
                return;
            }
            resend_queue.push_back(request);
        }
        resend_wake.notify_one();
    }

    void RunResends() {
        std::unique_lock lock(resend_mutex);
        while (true) {
            resend_wake.wait(lock, [this] { return resend_stop.load() || !resend_queue.empty(); });
            if (resend_stop) return;
            const ResendRequest request = resend_queue.front();
            resend_queue.pop_front();
            lock.unlock();
            ResendPackets(channels[request.channel], request.block_id, request.first, request.last);
            lock.lock();
        }
    }

    void ResendPackets(Channel& channel, uint16_t block_id, uint32_t first, uint32_t last) {
        BlockRecord record;
        ChannelSettings settings;
        FaultSettings current;
        uint64_t generation;
        {
            std::lock_guard lock(faults_mutex);
            current = faults;
            generation = seed_generation;
        }
        std::vector<PlannedPacket> plan;
        uint64_t dropped = 0;
        {
            std::lock_guard lock(channel.mutex);
            settings = channel.settings;
            auto found =
                std::find_if(channel.ring.begin(), channel.ring.end(),
                             [block_id](const BlockRecord& r) { return r.used && r.block_id == block_id; });
            if (found == channel.ring.end() || first > last || first > found->layout.TrailerId()) {
                ++channel.counters.resend_unavailable;
                return;
            }
            record = *found;
            const uint32_t clipped = std::min(last, record.layout.TrailerId());
            ReseedResend(channel, current.seed, generation);
            PlanResend(record.layout, first, clipped, current, &channel.resend_random, &plan, &dropped);
        }
        if (!DestinationOpen(settings)) return;
        PacketBatch batch;
        const BlockSource source{record.block_id, record.image, record.frame->data()};
        const SendResult sent =
            batch.Send(channel.socket, Destination(settings), source, plan, &bucket, resend_stop);
        channel.counters.Add(channel.index, sent);
        channel.counters.packets_resent += sent.packets;
        channel.counters.packets_dropped += dropped;
    }

    void ReseedResend(Channel& channel, uint64_t seed, uint64_t generation) {
        if (channel.resend_seed_generation == generation) return;
        channel.resend_random = Random(Random::Mix(seed ^ 0x5E5E5E5Eull) ^ channel.index);
        channel.resend_seed_generation = generation;
    }

    bool SendTest(Channel& channel, uint32_t size) {
        if (size == 0 || size > kMaxUdpPayload) return false;
        std::vector<uint8_t> body(size);
        FillTestPattern(&body);
        std::lock_guard lock(channel.mutex);
        if (!DestinationOpen(channel.settings)) return false;
        const sockaddr_in destination = Destination(channel.settings);
        SetDontFragment(channel.socket, true);
        const ssize_t sent = sendto(channel.socket, body.data(), body.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
        SetDontFragment(channel.socket, channel.settings.dont_fragment);
        return sent == static_cast<ssize_t>(size);
    }

    FaultSettings Faults() {
        std::lock_guard lock(faults_mutex);
        return faults;
    }

    bool ChangeFault(const std::string& key, const std::string& value) {
        if (key == "bandwidth") return ChangeBandwidth(value);
        if (key == "noise") return ChangeScene(&scene_noise, value, kMaxNoiseMm);
        if (key == "outlier_ratio") return ChangeScene(&scene_outlier_ratio, value, 1.0);
        std::lock_guard lock(faults_mutex);
        if (key == "clear") {
            faults = FaultSettings{};
            drop_once.clear();
            BumpSeedGeneration();
            return true;
        }
        FaultSettings changed = faults;
        if (!ApplyFault(&changed, key, value)) return false;
        if (key == "drop_once") ParseDropOnce(changed.drop_once, &drop_once);
        if (key == "seed") BumpSeedGeneration();
        faults = changed;
        return true;
    }

    bool ChangeBandwidth(const std::string& value) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long bits = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || errno != 0 || *end != '\0') return false;
        bucket.SetRate(bits);
        return true;
    }

    // Noise and stray points are part of the rendering: a change renders every view again.
    bool ChangeScene(double* field, const std::string& value, double max) {
        errno = 0;
        char* end = nullptr;
        const double parsed = std::strtod(value.c_str(), &end);
        if (value.empty() || errno != 0 || *end != '\0' || !(parsed >= 0 && parsed <= max)) return false;
        std::lock_guard lock(scene_mutex);
        *field = parsed;
        ++scene_generation;
        return true;
    }

    void BumpSeedGeneration() { ++seed_generation; }

    EngineOptions options;
    TokenBucket bucket;
    std::array<Channel, kStreamChannelCount> channels;
    int damage_socket = -1;  // raw UDP socket of the bad_checksum fault; -1 where not allowed

    std::mutex faults_mutex;
    FaultSettings faults;
    DropOnceList drop_once;
    uint64_t seed_generation = 1;  // under faults_mutex; changes whenever the seed is set

    std::mutex resend_mutex;
    std::condition_variable resend_wake;
    std::deque<ResendRequest> resend_queue;
    std::atomic<bool> resend_stop{false};
    std::thread resend_thread;

    std::mutex scene_mutex;
    double scene_noise = options.noise;
    double scene_outlier_ratio = options.outlier_ratio;
    uint64_t scene_generation = 1;

    std::mutex clock_mutex;
    std::shared_ptr<const std::function<uint64_t()>> camera_clock;
};

StreamEngine::StreamEngine(const EngineOptions& options) : impl_(std::make_unique<Impl>(options)) {}

StreamEngine::~StreamEngine() = default;

bool StreamEngine::Ok() const {
    return std::all_of(impl_->channels.begin(), impl_->channels.end(),
                       [](const Impl::Channel& channel) { return channel.socket >= 0; });
}

uint16_t StreamEngine::SourcePort(uint32_t channel) const {
    const Impl::Channel* found = impl_->Find(channel);
    return found ? found->source_port : 0;
}

bool StreamEngine::Configure(uint32_t channel, const ChannelSettings& requested) {
    Impl::Channel* found = impl_->Find(channel);
    if (found == nullptr || !SettingsValid(requested)) return false;
    // A packet size out of range must not keep a new destination or region from taking effect.
    ChannelSettings settings = requested;
    settings.packet_size = std::clamp(settings.packet_size, kMinPacketSize, kMaxPacketSize);
    std::lock_guard lock(found->mutex);
    if (settings.dont_fragment != found->settings.dont_fragment)
        SetDontFragment(found->socket, settings.dont_fragment);
    found->settings = settings;
    return true;
}

ChannelSettings StreamEngine::Settings(uint32_t channel) const {
    Impl::Channel* found = impl_->Find(channel);
    if (found == nullptr) return {};
    std::lock_guard lock(found->mutex);
    return found->settings;
}

bool StreamEngine::Start(uint32_t channel, double frames_per_second, bool triggered) {
    Impl::Channel* found = impl_->Find(channel);
    return found != nullptr && impl_->StartChannel(*found, frames_per_second, triggered);
}

void StreamEngine::Stop(uint32_t channel) {
    if (Impl::Channel* found = impl_->Find(channel)) impl_->StopChannel(*found);
}

bool StreamEngine::Running(uint32_t channel) const {
    Impl::Channel* found = impl_->Find(channel);
    if (found == nullptr) return false;
    std::lock_guard lock(found->mutex);
    return found->running;
}

void StreamEngine::SoftwareTrigger(uint32_t channel) {
    Impl::Channel* found = impl_->Find(channel);
    if (found == nullptr) return;
    {
        std::lock_guard lock(found->mutex);
        if (!found->running || !found->triggered || found->pending_triggers >= kMaxPendingTriggers) {
            ++found->counters.triggers_missed;
            return;
        }
        ++found->pending_triggers;
    }
    found->wake.notify_all();
}

void StreamEngine::Resend(uint32_t channel, uint16_t block_id, uint32_t first_packet, uint32_t last_packet) {
    if (impl_->Find(channel) != nullptr) impl_->QueueResend({channel, block_id, first_packet, last_packet});
}

bool StreamEngine::SendTestPacket(uint32_t channel, uint32_t size) {
    Impl::Channel* found = impl_->Find(channel);
    return found != nullptr && impl_->SendTest(*found, size);
}

bool StreamEngine::SetFault(const std::string& key, const std::string& value) {
    return impl_->ChangeFault(key, value);
}

FaultSettings StreamEngine::Faults() const { return impl_->Faults(); }

void StreamEngine::SetNextBlockId(uint32_t channel, uint16_t block_id) {
    Impl::Channel* found = impl_->Find(channel);
    if (found == nullptr) return;
    std::lock_guard lock(found->mutex);
    found->next_block_id = block_id == 0 ? 1 : block_id;
}

ChannelCounters StreamEngine::Counters(uint32_t channel) const {
    Impl::Channel* found = impl_->Find(channel);
    return found ? found->counters.Copy() : ChannelCounters{};
}

void StreamEngine::SetClock(std::function<uint64_t()> camera_ticks) {
    auto clock =
        camera_ticks ? std::make_shared<const std::function<uint64_t()>>(std::move(camera_ticks)) : nullptr;
    std::lock_guard lock(impl_->clock_mutex);
    impl_->camera_clock = std::move(clock);
}

uint32_t StreamEngine::CloudUnit() const { return impl_->options.cloud_unit; }

uint32_t StreamEngine::PayloadSize(uint32_t sensor, uint32_t width, uint32_t height, uint32_t pixel_format) {
    return scene::FrameBytes(sensor, width, height, pixel_format);
}

bool StreamEngine::SupportsFormat(uint32_t sensor, uint32_t pixel_format) {
    return scene::FrameBytes(sensor, 1, 1, pixel_format) != 0;
}

CalibrationBlock StreamEngine::Calibration(uint32_t sensor) { return scene::SensorCalibration(sensor); }

void StreamEngine::CalibrationBytes(uint32_t sensor, uint8_t internal[56], uint8_t external[48]) {
    const CalibrationBlock block = Calibration(sensor);
    auto put_floats = [](const float* values, size_t count, uint8_t* out) {
        for (size_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &values[i], sizeof(bits));
            for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(bits >> (8 * b));
        }
    };
    put_floats(block.distortion, 5, internal);
    put_floats(block.intrinsic, 9, internal + 20);
    put_floats(block.rotation, 9, external);
    put_floats(block.translation, 3, external + 36);
}

}  // namespace vcam
