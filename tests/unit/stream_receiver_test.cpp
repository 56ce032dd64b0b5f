// A GigeStream end to end on loopback against a scripted GVSP camera: its thread, sockets, queues and
// capture calls, the resend round trip, stray senders, the caller-side settings and the null object.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "TaviSDK/GigeStream.h"
#include "net/udp_socket.h"
#include "stream/frame_queue.h"
#include "stream/packet_ring.h"
#include "support/scripted_gvsp_camera.h"

namespace {

using tavi::test::Bytes;
using tavi::test::FramePackets;
using tavi::test::FramePattern;
using tavi::test::LeaderFields;

constexpr uint32_t kAdapter = (127u << 24) | 1;
constexpr int kPacketPayload = 1000;
constexpr uint32_t kPayloadSize = 9500;  // 10 payload packets, the last one short
constexpr int kWaitMs = 5000;  // bounds a test that would otherwise hang; never reached when all is well

struct CallerFrame {
    explicit CallerFrame(uint32_t size = kPayloadSize) : bytes(size, 0xEE) { frame.data = bytes.data(); }
    Bytes bytes;
    PhotoInfo frame{};
};

// Every case runs twice: receiving through the UDP socket, and through the packet ring where the
// process may use it (elsewhere the second run falls back to the socket).
class StreamTest : public ::testing::TestWithParam<bool> {
  protected:
    StreamTest() {
        tavi::stream::SetPacketRingAllowed(GetParam());
        data_socket_ = open_udp_socket();
        bind_udp_socket(data_socket_, kAdapter, 0);
        tavi::net::LocalEndpoint(data_socket_, nullptr, &data_port_);
        info_.payload_size = kPayloadSize;
        info_.width = 50;
        info_.height = 38;
        info_.size_x = 50;
        info_.size_y = 38;
        info_.pixel_format = 0x023000B9;
        info_.bytes_per_pixel = 6;
        info_.packet_count = 10;
        info_.cloud_unit = 16;
        stream_ = std::make_unique<GigeStream>(&info_, 2, data_socket_, static_cast<int>(kAdapter),
                                               static_cast<int>(camera_.address()), camera_.source_port(),
                                               data_port_, kPacketPayload, 1'000'000'000, &log_);
    }

    void SendFrame(uint16_t block_id, const std::set<uint32_t>& drop = {}) {
        const auto packets =
            FramePackets(block_id, FramePattern(kPayloadSize, block_id), kPacketPayload, Leader());
        for (uint32_t id = 0; id < packets.size(); ++id) {
            if (drop.count(id) == 0) camera_.SendTo(kAdapter, data_port_, packets[id]);
        }
    }

    static LeaderFields Leader() {
        LeaderFields leader;
        leader.timestamp = 2'000'000'123;
        leader.pixel_format = 0x023000B9;
        leader.size_x = 50;
        leader.size_y = 31;  // 50 x 31 points of 6 bytes fit the payload
        return leader;
    }

    std::array<unsigned, 8> BlockCounters() {
        std::array<unsigned, 8> c{};
        stream_->GetBlockStatistics(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
        return c;
    }

    std::array<unsigned, 7> PacketCounters() {
        std::array<unsigned, 7> c{};
        stream_->GetPacketStatistics(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]);
        return c;
    }

    tavi::test::ScriptedGvspCamera camera_;
    cameralog log_;  // closed unless a test opens it; outlives the stream
    int data_socket_ = -1;
    uint16_t data_port_ = 0;
    DataStreamPrivateInfo info_{};
    std::unique_ptr<GigeStream> stream_;
};

TEST_P(StreamTest, FramesArriveWholeWithTheirLeaderFieldsAfterTheFirewallDatagram) {
    ASSERT_TRUE(camera_.ready());
    const auto firewall = camera_.source().Receive(kWaitMs);
    ASSERT_TRUE(firewall.has_value());
    EXPECT_EQ(*firewall, (Bytes{'0', '1'}));

    SendFrame(1);
    SendFrame(2);
    for (uint16_t block = 1; block <= 2; ++block) {
        CallerFrame caller;
        ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
        EXPECT_EQ(caller.frame.data, caller.bytes.data());  // the caller keeps its own buffer
        EXPECT_EQ(caller.frame.block_id, block);
        EXPECT_EQ(caller.frame.reserved, 0u);
        EXPECT_EQ(caller.frame.channel_index, 2);
        EXPECT_EQ(caller.frame.cloud_unit, 16u);
        EXPECT_EQ(caller.frame.payload_size, kPayloadSize);
        EXPECT_EQ(caller.frame.width, 50u);
        EXPECT_EQ(caller.frame.timestamp_high, 0u);
        EXPECT_EQ(caller.frame.timestamp_low, 2'000'000'123u);  // ticks at 1 GHz are nanoseconds
        EXPECT_EQ(caller.bytes, FramePattern(kPayloadSize, block));
    }
    EXPECT_EQ(BlockCounters()[0], 2u);
    EXPECT_EQ(PacketCounters()[0], 24u);
}

TEST_P(StreamTest, AStraySenderNeverWritesIntoFrames) {
    tavi::test::UdpEndpoint stray(tavi::test::ProcessLoopback(3), 0);
    ASSERT_TRUE(stray.bound());
    const Bytes zeros(kPayloadSize, 0);
    for (const Bytes& packet : FramePackets(1, zeros, kPacketPayload, Leader()))
        stray.SendTo(kAdapter, data_port_, packet);
    SendFrame(1);
    CallerFrame caller;
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
    EXPECT_EQ(caller.bytes, FramePattern(kPayloadSize, 1));
    EXPECT_EQ(PacketCounters()[3], 12u);  // every stray datagram counted as unused
}

TEST_P(StreamTest, ALostPacketComesBackThroughAResendRequest) {
    SendFrame(5, {4});
    const auto request = camera_.NextResend(kWaitMs);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->channel, 2);
    EXPECT_EQ(request->block_id, 5);
    EXPECT_EQ(request->first, 4u);
    EXPECT_EQ(request->last, 4u);
    const Bytes image = FramePattern(kPayloadSize, 5);
    camera_.SendTo(kAdapter, data_port_,
                   tavi::test::GvspPayload(5, 4, image.data() + 3 * kPacketPayload, kPacketPayload, 0x0100));
    CallerFrame caller;
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
    EXPECT_EQ(caller.frame.reserved, 0u);
    EXPECT_EQ(caller.bytes, image);
    const auto packets = PacketCounters();
    EXPECT_EQ(packets[4], 1u);  // requested
    EXPECT_EQ(packets[5], 1u);  // resent and received
    EXPECT_EQ(BlockCounters()[0], 1u);
}

TEST_P(StreamTest, WithResendOffAFrameArrivesIncompleteWithItsGapZeroed) {
    stream_->SetPacketResendFlag(0);
    SendFrame(1, {3});
    SendFrame(2);
    CallerFrame caller;
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
    EXPECT_EQ(caller.frame.reserved, static_cast<uint32_t>(kBlockNextBlockArrived));
    Bytes expected = FramePattern(kPayloadSize, 1);
    std::fill(expected.begin() + 2 * kPacketPayload, expected.begin() + 3 * kPacketPayload, 0);
    EXPECT_EQ(caller.bytes, expected);
    EXPECT_FALSE(camera_.NextResend(50).has_value());
}

// A receive thread kept from its datagrams (here by its log, which a test can hold; elsewhere by the
// scheduler or a long backlog) serves them later by when they arrived. A newer frame's leader that
// came before the block time-out, though served after it, does not end the frame still waiting for
// its resent packet, which came right behind.
TEST_P(StreamTest, DatagramsServedLateCountTheirTimeOutsFromTheirArrival) {
    const std::string log_name = "late" + std::to_string(getpid()) + (GetParam() ? "ring" : "udp");
    LogSwitches::debug = 1;
    ASSERT_EQ(log_open(&log_, log_name.c_str()), 0);
    ASSERT_EQ(stream_->SetBlockTimeout(200'000), 0);
    SendFrame(1, {4});
    ASSERT_TRUE(camera_.NextResend(kWaitMs).has_value());
    {
        // The thread stops at its next log line, an idle pass's within 10 ms.
        std::lock_guard<std::mutex> held(log_.lock);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto next = FramePackets(2, FramePattern(kPayloadSize, 2), kPacketPayload, Leader());
        camera_.SendTo(kAdapter, data_port_, next[0]);
        const Bytes image = FramePattern(kPayloadSize, 1);
        camera_.SendTo(
            kAdapter, data_port_,
            tavi::test::GvspPayload(1, 4, image.data() + 3 * kPacketPayload, kPacketPayload, 0x0100));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    CallerFrame caller;
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
    EXPECT_EQ(caller.frame.block_id, 1u);
    EXPECT_EQ(caller.frame.reserved, 0u);
    EXPECT_EQ(caller.bytes, FramePattern(kPayloadSize, 1));
    log_close(&log_);
    LogSwitches::AllOff();
    std::remove((log_name + ".log").c_str());
}

// The buffers' way back is checked step by step in EndingTheStreamFreesTheBuffersOfOpenBlocksAndBothQueues;
// here the whole stream ends with blocks open, and the sanitizer builds check that nothing leaks.
TEST_P(StreamTest, DestroyingTheStreamWithOpenBlocksFreesEverything) {
    SendFrame(1, {9});
    SendFrame(2, {9});
    camera_.source().Drain(100);  // firewall datagrams
    // Both blocks are open once the receive thread has taken all 22 datagrams sent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (PacketCounters()[0] < 22 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(PacketCounters()[0], 22u);
    ASSERT_EQ(BlockCounters()[0], 0u);  // neither block is finished
    stream_.reset();
}

TEST_P(StreamTest, TwoCallersInCaptureEachGetADifferentFrame) {
    std::atomic<int> results[2] = {-1, -1};
    uint16_t block_ids[2] = {};
    std::thread callers[2];
    for (int i = 0; i < 2; ++i) {
        callers[i] = std::thread([&, i] {
            CallerFrame caller;
            results[i] = stream_->Capture(&caller.frame);
            block_ids[i] = caller.frame.block_id;
        });
    }
    SendFrame(1);
    SendFrame(2);
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_NE(block_ids[0], block_ids[1]);
}

TEST_P(StreamTest, FlushBufferDiscardsReadyFrames) {
    SendFrame(1);
    CallerFrame caller;
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, kWaitMs * 1000), 0);
    SendFrame(2);
    SendFrame(3);
    while (BlockCounters()[0] < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stream_->FlushBuffer();
    EXPECT_EQ(stream_->TryCapture(&caller.frame), TAVI_ERR_NO_FRAME);
    EXPECT_EQ(stream_->TimeoutCapture(&caller.frame, 500), TAVI_ERR_NO_FRAME);  // 500 us rounds to no wait
    SendFrame(4);
    ASSERT_EQ(stream_->TimeoutCapture(&caller.frame, -1), 0);
    EXPECT_EQ(caller.frame.block_id, 4);
}

TEST_P(StreamTest, CaptureCallsRefuseANullDestination) {
    EXPECT_EQ(stream_->Capture(nullptr), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->TryCapture(nullptr), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->TimeoutCapture(nullptr, 0), TAVI_ERR_INVALID_ARGUMENT);
}

TEST_P(StreamTest, SettingsStartAtTheirDefaultsAndRejectOutOfRangeValues) {
    EXPECT_EQ(stream_->GetMaxBufferLength(), 4);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
    EXPECT_EQ(stream_->GetPacketResendRatio(), 1.0);
    EXPECT_EQ(stream_->GetSocketSelectTimeout(), 10'000);
    EXPECT_EQ(stream_->GetPacketTimeout(), 40'000);
    EXPECT_EQ(stream_->GetBlockTimeout(), 100'000);
    EXPECT_EQ(stream_->GetSendtoStreamPortBreakFirewallTimeout(), 3'000'000);

    EXPECT_EQ(stream_->SetPacketResendRatio(1 + 1e-10), 0);
    EXPECT_EQ(stream_->SetPacketResendRatio(-1e-10), 0);
    EXPECT_EQ(stream_->SetPacketResendRatio(1.0000001), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->SetPacketResendRatio(-0.001), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->SetPacketResendRatio(NAN), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->GetPacketResendRatio(), -1e-10);
    stream_->SetPacketResendFlag(5);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
    EXPECT_EQ(stream_->SetBlockTimeout(0), TAVI_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(stream_->GetBlockTimeout(), 100'000);

    using Setter = int (GigeStream::*)(unsigned);
    using Getter = int (GigeStream::*)();
    const std::pair<Setter, Getter> settings[] = {
        {&GigeStream::SetMaxBufferLength, &GigeStream::GetMaxBufferLength},
        {&GigeStream::SetSocketSelectTimeout, &GigeStream::GetSocketSelectTimeout},
        {&GigeStream::SetPacketTimeout, &GigeStream::GetPacketTimeout},
        {&GigeStream::SetBlockTimeout, &GigeStream::GetBlockTimeout},
        {&GigeStream::SetSendtoStreamPortBreakFirewallTimeout,
         &GigeStream::GetSendtoStreamPortBreakFirewallTimeout}};
    for (const auto& [set, get] : settings) {
        const int before = (stream_.get()->*get)();
        EXPECT_EQ((stream_.get()->*set)(0), TAVI_ERR_INVALID_ARGUMENT);
        EXPECT_EQ((stream_.get()->*get)(), before);
        EXPECT_EQ((stream_.get()->*set)(123'456), 0);
        EXPECT_EQ((stream_.get()->*get)(), 123'456);
    }
}

INSTANTIATE_TEST_SUITE_P(Receive, StreamTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "PacketRing" : "UdpSocket";
                         });

// A member called on a null object answers -50 (or does nothing). Calling through a null pointer is
// what the callers do; the sanitizer's null check is off for this one function.
__attribute__((noinline, no_sanitize("undefined"))) void ExpectNullStreamAnswers(GigeStream* none) {
    PhotoInfo frame{};
    EXPECT_EQ(none->Capture(&frame), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->TryCapture(&frame), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->TimeoutCapture(&frame, 0), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->GetNetSpeed(), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->GetBlockRate(), -50.0f);
    EXPECT_EQ(none->GetPacketResendRatio(), -50.0);
    EXPECT_EQ(none->SetMaxBufferLength(3), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->GetMaxBufferLength(), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->GetPacketResendFlag(), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->SetPacketResendRatio(0.5), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->SetBlockTimeout(5), TAVI_ERR_NO_STREAM);
    EXPECT_EQ(none->GetSendtoStreamPortBreakFirewallTimeout(), TAVI_ERR_NO_STREAM);
    unsigned counters[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    none->GetBlockStatistics(&counters[0], &counters[1], &counters[2], &counters[3], &counters[4],
                             &counters[5], &counters[6], &counters[7]);
    none->GetPacketStatistics(&counters[0], &counters[1], &counters[2], &counters[3], &counters[4],
                              &counters[5], &counters[6]);
    StatisticsData statistics;
    statistics.sample_count = 7;
    none->GetRecieveTimeStatistics(&statistics);
    none->FlushBuffer();
    none->SetPacketResendFlag(0);
    EXPECT_EQ(counters[0], 7u);  // out-arguments untouched
    EXPECT_EQ(statistics.sample_count, 7u);
}

TEST(StreamNullObject, EveryMemberAnswersWithoutAStream) {
    GigeStream* volatile none = nullptr;
    ExpectNullStreamAnswers(none);
}

TEST(FrameQueue, ATimeoutBelowOneMillisecondDoesNotWait) {
    tavi::stream::FrameQueue queue;
    tavi::stream::FrameBuffer buffer;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        queue.Put(&buffer);
    });
    EXPECT_EQ(queue.TakeWithTimeout(500), nullptr);  // returns before the put
    EXPECT_EQ(queue.TakeWithTimeout(-1), &buffer);   // waits without limit
    late.join();
}

TEST(FrameQueue, BuffersLeaveOldestFirst) {
    tavi::stream::FrameQueue queue;
    tavi::stream::FrameBuffer buffers[3];
    for (auto& buffer : buffers) queue.Put(&buffer);
    queue.Put(nullptr);
    EXPECT_EQ(queue.Count(), 3u);
    EXPECT_EQ(queue.TryTake(), &buffers[0]);
    EXPECT_EQ(queue.Take(), &buffers[1]);
    EXPECT_EQ(queue.TakeWithTimeout(0), &buffers[2]);
    EXPECT_EQ(queue.TryTake(), nullptr);
}

}  // namespace
