// Ending a stream while callers wait in it, and a receiver that cannot start: waiting callers wake
// without a frame, nothing hangs, and set-up hears the failure as a code.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net/udp_socket.h"
#include "stream/stream_core.h"
#include "support/e2e_camera.h"

namespace {

using namespace tavi::stream;

constexpr uint32_t kLoopback = (127u << 24) | 1;
constexpr uint32_t kUnassigned = (192u << 24) | (0u << 16) | (2u << 8) | 1;  // on no interface here

AssemblerConfig SmallStream() {
    AssemblerConfig config;
    config.info.payload_size = 1000;
    config.info.pixel_format = 0x01080001;
    config.packet_payload_size = 500;
    return config;
}

StreamPeers PeersWithSocketOn(uint32_t address) {
    StreamPeers peers;
    peers.data_socket = open_udp_socket();
    bind_udp_socket(peers.data_socket, address, 0);
    peers.camera_address = kLoopback;
    return peers;
}

// Waits (bounded) until `count` callers wait on the ready queue.
bool CallersWaiting(StreamCore& core, uint32_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (core.shared.ready_queue.Waiters() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(StreamShutdown, ClosingWakesEveryCallerWaitingForAFrameAndLetsNoNewOneWait) {
    SetPacketRingAllowed(false);
    auto core = std::make_unique<StreamCore>(SmallStream(), PeersWithSocketOn(kLoopback), kLoopback);
    ASSERT_EQ(core->start_code(), 0);
    StreamCore* stream = core.get();  // what callers hold while the owner destroys it
    std::vector<std::thread> callers;
    std::atomic<int> woken_without_frame{0};
    for (int64_t timeout_us : {int64_t{-1}, int64_t{-1}, int64_t{3'600'000'000}}) {
        callers.emplace_back([&, timeout_us] {
            if (!stream->callers.Enter()) return;
            if (stream->shared.ready_queue.TakeWithTimeout(timeout_us) == nullptr) ++woken_without_frame;
            stream->callers.Leave();
        });
    }
    ASSERT_TRUE(CallersWaiting(*core, 3));
    core->Close();  // returns only once every caller has left
    EXPECT_EQ(woken_without_frame.load(), 3);
    EXPECT_FALSE(core->callers.Enter());
    EXPECT_EQ(core->shared.ready_queue.Take(), nullptr);  // a closed queue never waits
    core.reset();
    for (std::thread& caller : callers) caller.join();
    SetPacketRingAllowed(true);
}

TEST(StreamShutdown, DestroyingTheStreamWakesAWaitingCaller) {
    SetPacketRingAllowed(false);
    auto core = std::make_unique<StreamCore>(SmallStream(), PeersWithSocketOn(kLoopback), kLoopback);
    StreamCore* stream = core.get();
    bool got_frame = true;
    std::thread caller([&] {
        if (!stream->callers.Enter()) return;
        got_frame = stream->shared.ready_queue.Take() != nullptr;
        stream->callers.Leave();
    });
    ASSERT_TRUE(CallersWaiting(*core, 1));
    core.reset();
    caller.join();
    EXPECT_FALSE(got_frame);
    SetPacketRingAllowed(true);
}

TEST(StreamShutdown, AResendSocketThatCannotBeBoundStopsTheReceiverWithACode) {
    const int descriptors = tavi::test::OpenDescriptors();
    {
        // The data socket stands ready on loopback; the adapter address given for the resend socket
        // belongs to no interface, so binding it fails.
        StreamCore core(SmallStream(), PeersWithSocketOn(kLoopback), kUnassigned);
        EXPECT_EQ(core.start_code(), TAVI_ERR_SOCKET_BIND);
        EXPECT_FALSE(core.shared.ready_queue.TakeWithTimeout(0) != nullptr);
    }
    EXPECT_EQ(tavi::test::OpenDescriptors(), descriptors);  // the data socket is closed too
}

}  // namespace
