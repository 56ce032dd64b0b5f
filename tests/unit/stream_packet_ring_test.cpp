// The kernel's packet ring as the receiver reads it: only datagrams to the stream's own port, in
// order, whole, each with its sender (needs CAP_NET_RAW; skipped without it); and the UDP checksum
// check it applies where the kernel has not checked one.

#include <gtest/gtest.h>
#include <linux/sock_diag.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "net/udp_socket.h"
#include "stream/arrival_clock.h"
#include "stream/datagram_batch.h"
#include "stream/packet_ring.h"
#include "stream/socket_beside_ring.h"
#include "support/scripted_gvsp_camera.h"

namespace {

using tavi::test::Bytes;

struct Received {
    Bytes bytes;
    uint32_t sender;
};

TEST(PacketRing, CarriesOnlyDatagramsToItsPortInOrderWithTheirSenders) {
    const uint32_t local = tavi::test::Loopback(0, 0, 1);
    tavi::test::UdpEndpoint receiver(local, 0);
    tavi::stream::PacketRing ring;
    if (!ring.Open(local, receiver.port(), 1 << 20)) GTEST_SKIP() << "packet sockets need CAP_NET_RAW";
    tavi::test::UdpEndpoint camera(tavi::test::ProcessLoopback(2), 0);
    tavi::test::UdpEndpoint stray(tavi::test::ProcessLoopback(3), 0);
    tavi::test::UdpEndpoint elsewhere(local, 0);

    std::vector<Received> sent;
    std::vector<Received> got;
    const auto drain = [&] {
        ring.Drain([&](const uint8_t* bytes, int length, uint32_t sender, int64_t) {
            got.push_back({Bytes(bytes, bytes + length), sender});
        });
    };
    // Sent in bursts and read in between, as the receive thread reads while the camera sends.
    for (int i = 0; i < 300; ++i) {
        const Bytes bytes(static_cast<size_t>(1 + (i * 97) % 9000), static_cast<uint8_t>(i));
        const bool from_stray = i % 10 == 9;
        (from_stray ? stray : camera).SendTo(local, receiver.port(), bytes);
        camera.SendTo(local, elsewhere.port(), bytes);  // another port: never seen
        sent.push_back({bytes, from_stray ? stray.address() : camera.address()});
        if (i % 20 == 19) drain();
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < end) {
        if (tavi::stream::WaitReadableMicroseconds(ring.descriptor(), 100'000) ==
            tavi::stream::WaitResult::kReadable)
            drain();
    }
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(got[i].bytes, sent[i].bytes) << "datagram " << i;
        ASSERT_EQ(got[i].sender, sent[i].sender) << "datagram " << i;
    }
}

// A receive thread that comes late to its ring (a long run of blocks before, or the scheduler)
// still learns when each datagram came, so that its time-outs count from there.
TEST(PacketRing, ArrivalTimesAreWhenDatagramsCameNotWhenTheyAreServed) {
    const uint32_t local = tavi::test::Loopback(0, 0, 1);
    tavi::test::UdpEndpoint receiver(local, 0);
    tavi::stream::PacketRing ring;
    if (!ring.Open(local, receiver.port(), 1 << 20)) GTEST_SKIP() << "packet sockets need CAP_NET_RAW";
    tavi::test::UdpEndpoint camera(tavi::test::ProcessLoopback(2), 0);

    std::vector<int64_t> sent_us;
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 5; ++i) {
            sent_us.push_back(tavi::stream::MonotonicMicroseconds());
            camera.SendTo(local, receiver.port(), Bytes(100, static_cast<uint8_t>(i)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    std::vector<int64_t> arrivals;
    const int64_t served_from = tavi::stream::MonotonicMicroseconds();
    ring.Drain([&](const uint8_t*, int, uint32_t, int64_t arrival_us) { arrivals.push_back(arrival_us); });
    ASSERT_EQ(arrivals.size(), sent_us.size());
    constexpr int64_t kStampSlackUs = 1000;  // two clocks read a moment apart, cut to microseconds
    for (size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i], sent_us[i] - kStampSlackUs) << "datagram " << i;
        EXPECT_LE(arrivals[i], served_from) << "datagram " << i;
        if (i > 0) {
            EXPECT_GE(arrivals[i], arrivals[i - 1]);
        }
    }
    // The first burst came some 120 ms before it was served, and is stamped so.
    EXPECT_LT(arrivals.front(), served_from - 100'000);
}

// The socket beside the ring keeps only headers and is emptied however many wait: more than one
// call's worth here, where the kernel allows a buffer that holds them.
TEST(SocketBesideRing, EmptyingTakesEveryDatagramAndLeavesOnlyHeaders) {
    const uint32_t local = tavi::test::Loopback(0, 0, 1);
    tavi::test::UdpEndpoint receiver(local, 0);
    tavi::test::UdpEndpoint camera(tavi::test::ProcessLoopback(2), 0);
    const int wanted = 8 << 20;
    if (setsockopt(receiver.socket(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0)
        setsockopt(receiver.socket(), SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(receiver.socket(), SOL_SOCKET, SO_RCVBUF, &granted, &length);
    // A queued header still costs the kernel's whole buffer of its datagram: a few KiB at most.
    const int datagrams = std::min(
        3 * static_cast<int>(tavi::stream::SocketBesideRing::kDatagramsPerCall) + 17, granted / 8192);
    ASSERT_GT(datagrams, 0);

    tavi::stream::SocketBesideRing beside;
    beside.Adopt(receiver.socket());
    EXPECT_EQ(beside.Empty(), 0U);
    camera.SendTo(local, receiver.port(), Bytes(1400, 0x5A));
    tavi::stream::DatagramBatch batch(4);
    ASSERT_EQ(tavi::stream::WaitReadableMicroseconds(receiver.socket(), 1'000'000),
              tavi::stream::WaitResult::kReadable);
    ASSERT_EQ(batch.Receive(receiver.socket()), 1);
    EXPECT_EQ(batch.length(0), 0) << "only the header is kept";

    for (int i = 0; i < datagrams; ++i) camera.SendTo(local, receiver.port(), Bytes(1400, 0x5A));
    // Loopback delivers while sending, so one call normally takes them all; a late one is waited for.
    size_t dropped = beside.Empty();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (dropped < static_cast<size_t>(datagrams) && std::chrono::steady_clock::now() < end) {
        tavi::stream::WaitReadableMicroseconds(receiver.socket(), 10'000);
        dropped += beside.Empty();
    }
    EXPECT_EQ(dropped, static_cast<size_t>(datagrams));
    EXPECT_EQ(batch.Receive(receiver.socket()), 0) << "the socket is empty afterwards";
}

// Tended after every burst, as after every block of the ring, the socket never overflows: fresh
// sockets take over its port at its descriptor, each keeping only headers, and the port never
// stops answering.
TEST(SocketBesideRing, FreshSocketsTakeOverThePortAtTheSameDescriptor) {
    const uint32_t local = tavi::test::Loopback(0, 0, 1);
    tavi::test::UdpEndpoint receiver(local, 0);
    tavi::test::UdpEndpoint camera(tavi::test::ProcessLoopback(2), 0);
    const int small = 64 << 10;
    setsockopt(receiver.socket(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const int descriptor = receiver.socket();

    tavi::stream::SocketBesideRing beside;
    beside.Adopt(descriptor);
    for (int burst = 0; burst < 200; ++burst) {
        for (int i = 0; i < 8; ++i) camera.SendTo(local, receiver.port(), Bytes(1400, 0x5A));
        beside.Tend();
    }
    EXPECT_GT(beside.replacements(), 0U);
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    ASSERT_EQ(getsockopt(descriptor, SOL_SOCKET, SO_MEMINFO, memory, &length), 0);
    EXPECT_EQ(memory[SK_MEMINFO_DROPS], 0U);
    EXPECT_LT(memory[SK_MEMINFO_RMEM_ALLOC], memory[SK_MEMINFO_RCVBUF]);

    uint16_t port = 0;
    ASSERT_TRUE(tavi::net::LocalEndpoint(descriptor, nullptr, &port));
    EXPECT_EQ(port, receiver.port());
    beside.Empty();
    camera.SendTo(local, receiver.port(), Bytes(1400, 0x5A));
    tavi::stream::DatagramBatch batch(4);
    ASSERT_EQ(tavi::stream::WaitReadableMicroseconds(descriptor, 1'000'000),
              tavi::stream::WaitResult::kReadable);
    ASSERT_EQ(batch.Receive(descriptor), 1);
    EXPECT_EQ(batch.length(0), 0) << "the fresh socket keeps only headers too";
}

}  // namespace

namespace {

// An IPv4 datagram (20-byte header) carrying `payload` in UDP, with the checksum RFC 768 gives,
// computed the plain way: 16-bit big-endian words, one at a time.
std::vector<uint8_t> UdpDatagram(const std::vector<uint8_t>& payload) {
    const size_t udp_length = 8 + payload.size();
    std::vector<uint8_t> ip(20 + udp_length, 0);
    ip[0] = 0x45;
    ip[9] = 17;
    const uint8_t addresses[8] = {169, 254, 30, 2, 169, 254, 30, 1};
    std::copy(addresses, addresses + 8, ip.begin() + 12);
    uint8_t* udp = ip.data() + 20;
    udp[0] = 0x9C, udp[1] = 0x40, udp[2] = 0xC3, udp[3] = 0x51;
    udp[4] = static_cast<uint8_t>(udp_length >> 8), udp[5] = static_cast<uint8_t>(udp_length);
    std::copy(payload.begin(), payload.end(), udp + 8);
    uint32_t sum = 17 + static_cast<uint32_t>(udp_length);
    const auto add = [&sum](const uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; i += 2) sum += (bytes[i] << 8) | (i + 1 < size ? bytes[i + 1] : 0);
    };
    add(addresses, 8);
    add(udp, udp_length);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    uint16_t checksum = static_cast<uint16_t>(~sum);
    if (checksum == 0) checksum = 0xFFFF;
    udp[6] = static_cast<uint8_t>(checksum >> 8), udp[7] = static_cast<uint8_t>(checksum);
    return ip;
}

}  // namespace

TEST(PacketRing, UdpChecksumsAreCheckedOverEveryLengthAndADamagedByteFails) {
    std::mt19937 random(3);
    for (size_t length : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 1464, 1465, 8964}) {
        std::vector<uint8_t> payload(length);
        for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
        std::vector<uint8_t> datagram = UdpDatagram(payload);
        EXPECT_TRUE(tavi::stream::UdpChecksumHolds(datagram.data(), 20, 8 + length)) << length;
        if (length == 0) continue;
        datagram[28 + length / 2] ^= 0x10;
        EXPECT_FALSE(tavi::stream::UdpChecksumHolds(datagram.data(), 20, 8 + length)) << length;
        datagram[26] = datagram[27] = 0;  // no checksum: IPv4 lets a sender leave it out
        EXPECT_TRUE(tavi::stream::UdpChecksumHolds(datagram.data(), 20, 8 + length)) << length;
    }
}
