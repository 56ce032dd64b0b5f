// The kernel's packet ring as the receiver reads it: only datagrams to the stream's own port, in
// order, whole, each with its sender. Needs CAP_NET_RAW; skipped without it.

#include <gtest/gtest.h>

#include <chrono>

#include "stream/datagram_batch.h"
#include "stream/packet_ring.h"
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
        ring.Drain([&](const uint8_t* bytes, int length, uint32_t sender) {
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
        if (tavi::stream::WaitReadableMicroseconds(ring.descriptor(), 100'000) > 0) drain();
    }
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(got[i].bytes, sent[i].bytes) << "datagram " << i;
        ASSERT_EQ(got[i].sender, sent[i].sender) << "datagram " << i;
    }
}

}  // namespace
