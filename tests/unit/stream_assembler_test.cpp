// The receive thread's steps driven directly, with time given by the test: block search and
// creation, packet placement, resend requests, completion order, counters and rates. The resend
// requests travel over loopback to a scripted camera's control port, so their bytes are checked as
// the camera would read them.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <utility>

#include "net/udp_socket.h"
#include "stream/block_assembler.h"
#include "stream/image_size.h"
#include "support/scripted_gvsp_camera.h"

namespace {

using namespace tavi::stream;
using tavi::test::Bytes;
using tavi::test::GvspHeader;
using tavi::test::GvspLeader;
using tavi::test::GvspPayload;
using tavi::test::GvspTrailer;
using tavi::test::LeaderFields;

constexpr uint32_t kPacketPayload = 100;
constexpr uint32_t kPayloadSize = 800;  // 8 payload packets: a block of 10 packets, ids 0 to 9
constexpr uint32_t kLastId = 9;
constexpr int64_t kStart = 1'000'000'000;  // microseconds; any time well above 0

class AssemblerTest : public ::testing::Test {
  protected:
    AssemblerTest()
        : camera_(),
          data_socket_(tavi::test::Loopback(0, 0, 1), 0),
          resend_socket_(tavi::test::Loopback(0, 0, 1), 0) {
        Build(kPayloadSize);
    }

    void Build(uint32_t payload_size, int64_t tick_frequency = 0) {
        assembler_.reset();
        shared_ = std::make_unique<StreamShared>();
        AssemblerConfig config;
        config.info.payload_size = payload_size;
        config.info.width = 20;
        config.info.height = 10;
        config.info.size_x = 20;
        config.info.size_y = 10;
        config.info.offset_x = 4;
        config.info.offset_y = 2;
        config.info.pixel_format = 0x02180014;
        config.info.cloud_unit = 8;
        config.channel_index = 1;
        config.packet_payload_size = kPacketPayload;
        config.tick_frequency = tick_frequency;
        assembler_ = std::make_unique<BlockAssembler>(*shared_, config);
        StreamPeers peers;
        peers.data_socket = data_socket_.socket();
        peers.resend_socket = resend_socket_.socket();
        peers.camera_address = camera_.address();
        peers.source_port = camera_.source_port();
        assembler_->set_peers(peers);
    }

    ~AssemblerTest() override {
        assembler_->flush_blocks(kStart);
        assembler_->free_queued_buffers();
    }

    // One datagram as the receive loop handles it: dispatch, then the completion check.
    StreamBlock* Feed(const Bytes& packet, int64_t now) {
        StreamBlock* block = assembler_->process_packet(packet.data(), static_cast<int>(packet.size()), now);
        assembler_->check_block_complete(block, now);
        return block;
    }

    Bytes Payload(uint16_t block_id, uint32_t id, uint8_t fill = 0xAB) {
        const Bytes data(kPacketPayload, fill);
        return GvspPayload(block_id, id, data.data(), data.size());
    }

    void FeedPackets(uint16_t block_id, std::initializer_list<uint32_t> ids, int64_t now) {
        for (uint32_t id : ids) {
            if (id == 0) {
                Feed(GvspLeader(block_id, LeaderFields{}), now);
            } else if (id == kLastId) {
                Feed(GvspTrailer(block_id, id), now);
            } else {
                Feed(Payload(block_id, id), now);
            }
        }
    }

    void FeedWholeBlock(uint16_t block_id, int64_t now) {
        FeedPackets(block_id, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, now);
    }

    std::vector<tavi::test::ResendRequest> Requests() {
        std::vector<tavi::test::ResendRequest> requests;
        for (const Bytes& bytes : camera_.control().Drain(50)) {
            auto request = tavi::test::ParseResend(bytes);
            EXPECT_TRUE(request.has_value()) << "a resend request is 20 bytes, got " << bytes.size();
            if (request) requests.push_back(*request);
        }
        return requests;
    }

    // The frames delivered so far, oldest first, with their buffers given back to the pool.
    std::vector<PhotoInfo> TakeReady(std::vector<Bytes>* images = nullptr) {
        std::vector<PhotoInfo> frames;
        while (FrameBuffer* buffer = shared_->ready_queue.TryTake()) {
            frames.push_back(buffer->frame);
            if (images != nullptr)
                images->emplace_back(buffer->frame.data, buffer->frame.data + kPayloadSize);
            shared_->free_queue.Put(buffer);
        }
        return frames;
    }

    tavi::test::ScriptedGvspCamera camera_;
    tavi::test::UdpEndpoint data_socket_;
    tavi::test::UdpEndpoint resend_socket_;
    std::unique_ptr<StreamShared> shared_;
    std::unique_ptr<BlockAssembler> assembler_;
    int64_t update_time_ = 0;
};

// ---- block ids -----------------------------------------------------------------------------------

TEST_F(AssemblerTest, BlockIdsWrapFrom65535ToOneWithoutAJump) {
    FeedWholeBlock(65534, kStart);
    FeedWholeBlock(65535, kStart);
    FeedWholeBlock(1, kStart);
    EXPECT_EQ(shared_->blocks.complete.Get(), 3u);
    EXPECT_EQ(shared_->blocks.id_jumps.Get(), 0u);
}

TEST_F(AssemblerTest, SkippingABlockAcrossTheWrapCountsAJump) {
    FeedWholeBlock(65534, kStart);
    const uint32_t jumps_before = shared_->blocks.id_jumps.Get();
    FeedWholeBlock(1, kStart);
    EXPECT_EQ(shared_->blocks.id_jumps.Get(), jumps_before + 1);
}

TEST_F(AssemblerTest, StrayPacketOfAnOldBlockIsDroppedAndNewerIdsOpenBlocks) {
    FeedPackets(100, {0}, kStart);
    EXPECT_EQ(Feed(GvspLeader(60, LeaderFields{}), kStart), nullptr);  // increment -40: already sent
    EXPECT_EQ(shared_->packets.unused.Get(), 1u);
    const uint32_t jumps = shared_->blocks.id_jumps.Get();
    EXPECT_NE(Feed(GvspLeader(101, LeaderFields{}), kStart), nullptr);
    EXPECT_EQ(shared_->blocks.id_jumps.Get(), jumps);
    EXPECT_NE(Feed(GvspLeader(103, LeaderFields{}), kStart), nullptr);
    EXPECT_EQ(shared_->blocks.id_jumps.Get(), jumps + 1);
    EXPECT_EQ(assembler_->open_blocks(), 3u);
}

// ---- resend requests -----------------------------------------------------------------------------

TEST_F(AssemblerTest, AGapIsRequestedOnceAsOneRunWithTheWireBytesTheCameraExpects) {
    FeedPackets(7, {0, 1, 2, 5}, kStart);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.key, 0x42);
    EXPECT_EQ(request.flags, 0x01);
    EXPECT_EQ(request.command, 0x0040);
    EXPECT_EQ(request.length, 12);
    EXPECT_EQ(request.request_id, 1);
    EXPECT_EQ(request.channel, 1);
    EXPECT_EQ(request.block_id, 7);
    EXPECT_EQ(request.first, 3u);
    EXPECT_EQ(request.last, 4u);
    EXPECT_EQ(shared_->packets.resend_requested.Get(), 2u);

    // The requested packets arrive: counted as resent, the block moves on, nothing is asked again.
    FeedPackets(7, {3, 4}, kStart + 10);
    EXPECT_EQ(shared_->packets.resent_received.Get(), 2u);
    EXPECT_TRUE(Requests().empty());
    FeedPackets(7, {6, 7, 8, 9}, kStart + 20);
    EXPECT_EQ(shared_->blocks.complete.Get(), 1u);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(AssemblerTest, SeparateGapsBecomeSeparateRequestsAndTheTrailerIsAskedForWhenIdle) {
    FeedPackets(9, {0, 2, 4}, kStart);  // 1 on packet 2, 3 on packet 4
    auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].first, 1u);
    EXPECT_EQ(requests[0].last, 1u);
    EXPECT_EQ(requests[1].first, 3u);
    EXPECT_EQ(requests[1].last, 3u);
    EXPECT_EQ(requests[1].request_id, 2);

    // Idle for the packet time-out: the search runs to the end of the block, trailer included,
    // while packets requested less than a packet time-out ago still count as present.
    assembler_->check_block_complete(nullptr, kStart + 40'000);
    requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].first, 5u);
    EXPECT_EQ(requests[0].last, kLastId);
}

TEST_F(AssemblerTest, APacketIsRequestedAgainOnlyAfterThePacketTimeout) {
    FeedPackets(3, {0, 1, 3}, kStart);
    ASSERT_EQ(Requests().size(), 1u);  // packet 2
    assembler_->check_block_complete(nullptr, kStart + 40'000);
    auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);  // 4 to 9 only: 2 was asked for exactly a packet time-out ago
    EXPECT_EQ(requests[0].first, 4u);
    assembler_->check_block_complete(nullptr, kStart + 40'001);
    requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].first, 2u);
    EXPECT_EQ(requests[0].last, 2u);
}

TEST_F(AssemblerTest, TheBudgetBoundsRequestsPerBlock) {
    shared_->settings.packet_resend_ratio = 0.1;  // 10 packets: one request
    FeedPackets(5, {0, 2, 4}, kStart);
    EXPECT_EQ(Requests().size(), 1u);
    FeedPackets(5, {6}, kStart + 1);
    assembler_->check_block_complete(nullptr, kStart + 100'000);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(shared_->packets.resend_requested.Get(), 1u);

    shared_->settings.packet_resend_ratio = 0.0;
    FeedPackets(6, {0, 3}, kStart + 2);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(AssemblerTest, WithResendOffNoRequestAndTheNextBlockEndsTheOldOne) {
    shared_->settings.packet_resend_flag = 0;
    FeedPackets(1, {0, 1, 3}, kStart);
    EXPECT_EQ(shared_->blocks.incomplete.Get(), 0u);
    FeedPackets(2, {0}, kStart + 1);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(shared_->blocks.incomplete.Get(), 1u);
    EXPECT_EQ(shared_->packets.missing.Get(), 8u);  // packet_number 10 - last valid 1 - 1
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].reserved, kBlockNextBlockArrived);
}

TEST_F(AssemblerTest, RequestIdsSkipZeroWhenTheyWrap) {
    // Each pass over an idle block asks for its missing packets again (packet time-out 1 us) until the
    // block's budget of 10 requests is spent; the block then times out and the next one takes over.
    shared_->settings.packet_timeout_us = 1;
    int64_t now = kStart;
    uint16_t block = 1;
    int sent = 0;
    auto request_once = [&] {
        if (sent % 10 == 0) {
            now += 100'001;
            assembler_->check_block_complete(nullptr, now);
            TakeReady();
            FeedPackets(block++, {0}, now);
        }
        now += 2;
        assembler_->check_block_complete(nullptr, now);
        ++sent;
    };
    while (sent < 65535) request_once();
    EXPECT_EQ(assembler_->request_id(), 65535);
    camera_.control().Drain(20);
    request_once();
    EXPECT_EQ(assembler_->request_id(), 1);
    const auto requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().request_id, 1);
}

// The missing-packet check as a plain scan from the first gap to the packet examined: what the
// receiver must ask for, request by request, whatever it does to avoid rescanning.
struct ReferenceCheck {
    explicit ReferenceCheck(uint32_t packets) : received(packets, false), resend_time(packets, 0) {}

    void Receive(uint32_t id) {
        received[id] = true;
        while (last_valid + 1 < static_cast<int64_t>(received.size()) && received[last_valid + 1])
            ++last_valid;
    }
    bool Complete() const { return last_valid + 1 == static_cast<int64_t>(received.size()); }

    void Check(uint32_t last, int64_t now, double ratio, int64_t packet_timeout) {
        const double budget = received.size() * ratio;
        if (resend_num >= budget || last_valid + 1 > last) return;
        int64_t run_first = -1;
        const auto request = [&](uint32_t first, uint32_t end) {
            if (resend_num >= budget) return false;
            ++resend_num;
            requests.push_back({first, end});
            for (uint32_t id = first; id <= end; ++id) resend_time[id] = now;
            return true;
        };
        for (uint32_t id = static_cast<uint32_t>(last_valid + 1); id <= last; ++id) {
            const bool present =
                received[id] || (resend_time[id] != 0 && now - resend_time[id] <= packet_timeout);
            if (!present) {
                if (run_first < 0) run_first = id;
            } else if (run_first >= 0) {
                if (!request(static_cast<uint32_t>(run_first), id - 1)) return;
                run_first = -1;
            }
        }
        if (run_first >= 0) request(static_cast<uint32_t>(run_first), last);
    }

    std::vector<bool> received;
    std::vector<int64_t> resend_time;
    int64_t last_valid = -1;
    int resend_num = 0;
    std::vector<std::pair<uint32_t, uint32_t>> requests;
};

TEST_F(AssemblerTest, RequestsAreThoseOfAPlainScanUnderRandomLossOrderAndIdlePasses) {
    constexpr uint32_t kPayload = 4000;  // 40 payload packets: ids 0 to 41
    constexpr uint32_t kPackets = kPayload / kPacketPayload + 2;
    Build(kPayload);
    shared_->settings.block_timeout_us = 1'000'000'000;  // blocks end by completing only
    std::mt19937 random(7);
    const double ratios[] = {1.0, 0.3, 0.1};
    int64_t now = kStart;
    for (uint16_t block_id = 1; block_id <= 30; ++block_id) {
        const double ratio = ratios[block_id % 3];
        shared_->settings.packet_resend_ratio = ratio;
        ReferenceCheck reference(kPackets);
        uint32_t next_in_order = 0;
        bool opened = false;  // the block exists once its first packet arrived
        for (int step = 0; step < 400 && !reference.Complete(); ++step) {
            now += std::uniform_int_distribution<int64_t>(0, 30000)(random);
            const int action = std::uniform_int_distribution<int>(0, 9)(random);
            if (action < 2) {  // an idle pass: no datagram
                assembler_->check_block_complete(nullptr, now);
                if (opened && now - update_time_ >= 40000) reference.Check(kPackets - 1, now, ratio, 40000);
                continue;
            }
            // Mostly the next packet in order (some lost on the way), else any packet again.
            uint32_t id = action < 7 ? next_in_order++ % kPackets
                                     : std::uniform_int_distribution<uint32_t>(0, kPackets - 1)(random);
            if (action < 7 && std::uniform_int_distribution<int>(0, 4)(random) == 0) continue;  // lost
            if (id == 0) {
                Feed(GvspLeader(block_id, LeaderFields{}), now);
            } else if (id == kPackets - 1) {
                Feed(GvspTrailer(block_id, id), now);
            } else {
                Feed(Payload(block_id, id), now);
            }
            update_time_ = now;
            opened = true;
            reference.Receive(id);
            reference.Check(id, now, ratio, 40000);
        }
        // Whatever is still missing arrives, so that the next block starts afresh.
        for (uint32_t id = 0; id < kPackets; ++id) {
            if (reference.received[id]) continue;
            Feed(id == 0              ? GvspLeader(block_id, LeaderFields{})
                 : id == kPackets - 1 ? GvspTrailer(block_id, id)
                                      : Payload(block_id, id),
                 now);
            reference.Receive(id);
            reference.Check(id, now, ratio, 40000);
        }
        std::vector<std::pair<uint32_t, uint32_t>> sent;
        for (const auto& request : Requests()) {
            EXPECT_EQ(request.block_id, block_id);
            sent.emplace_back(request.first, request.last);
        }
        ASSERT_EQ(sent, reference.requests) << "block " << block_id;
        TakeReady();
    }
}

// ---- completion ----------------------------------------------------------------------------------

TEST_F(AssemblerTest, TheOldestBlockTimesOutAfterMoreThanTheBlockTimeout) {
    FeedPackets(4, {0, 1}, kStart);
    assembler_->check_block_complete(nullptr, kStart + 100'000);
    EXPECT_EQ(shared_->blocks.timed_out.Get(), 0u);
    assembler_->check_block_complete(nullptr, kStart + 100'001);
    EXPECT_EQ(shared_->blocks.timed_out.Get(), 1u);
    EXPECT_EQ(shared_->blocks.incomplete.Get(), 1u);
    EXPECT_EQ(TakeReady().at(0).reserved, kBlockTimedOut);
}

TEST_F(AssemblerTest, BlocksLeaveStrictlyInOrderOfCreation) {
    FeedPackets(20, {0, 1}, kStart);
    FeedWholeBlock(21, kStart + 1);
    EXPECT_TRUE(TakeReady().empty());  // the complete block waits behind the older one
    FeedPackets(20, {2, 3, 4, 5, 6, 7, 8, 9}, kStart + 2);
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].block_id, 20);
    EXPECT_EQ(frames[1].block_id, 21);
    EXPECT_EQ(shared_->blocks.complete.Get(), 2u);
}

TEST_F(AssemblerTest, ACompleteBlockBehindATimedOutOneLeavesInTheSamePass) {
    FeedPackets(30, {0}, kStart);
    FeedWholeBlock(31, kStart + 50'000);
    assembler_->check_block_complete(nullptr, kStart + 100'001);
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].reserved, kBlockTimedOut);
    EXPECT_EQ(frames[1].reserved, kBlockComplete);
}

TEST_F(AssemblerTest, ErrorStatusEndsTheBlockWithoutFurtherRequests) {
    FeedPackets(40, {0, 1}, kStart);
    Feed(GvspHeader(0x8001, 40, 3, 3), kStart);  // a payload packet with an error status
    EXPECT_EQ(shared_->blocks.error_packet.Get(), 1u);
    EXPECT_EQ(shared_->blocks.incomplete.Get(), 1u);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(TakeReady().at(0).reserved, kBlockErrorPacket);
}

TEST_F(AssemblerTest, Status8010IsUsedForAnOpenBlockButCannotOpenOne) {
    Bytes accepted = Payload(50, 1);
    accepted[0] = 0x80;
    accepted[1] = 0x10;
    EXPECT_EQ(Feed(accepted, kStart), nullptr);  // cannot open block 50
    FeedPackets(50, {0}, kStart);
    Feed(accepted, kStart);
    FeedPackets(50, {2, 3, 4, 5, 6, 7, 8, 9}, kStart);
    EXPECT_EQ(shared_->blocks.complete.Get(), 1u);
    EXPECT_EQ(shared_->blocks.error_packet.Get(), 0u);
}

// ---- placement -----------------------------------------------------------------------------------

TEST_F(AssemblerTest, AFrameCarriesTheLeaderFieldsAndEveryByteInItsPlace) {
    Build(kPayloadSize, 1'000'000'000);
    LeaderFields leader;
    leader.timestamp = 1'500'000'000;
    leader.pixel_format = 0x023000B9;
    leader.size_x = 13;  // 13 x 10 points of 6 bytes fit the 800-byte payload
    leader.size_y = 10;
    leader.offset_x = 16;
    leader.offset_y = 8;
    Feed(GvspLeader(77, leader), kStart);
    for (uint32_t id = 1; id <= 8; ++id) Feed(Payload(77, id, static_cast<uint8_t>(id)), kStart);
    Feed(GvspTrailer(77, 9), kStart);
    std::vector<Bytes> images;
    const auto frames = TakeReady(&images);
    ASSERT_EQ(frames.size(), 1u);
    const PhotoInfo& frame = frames[0];
    EXPECT_EQ(frame.block_id, 77);
    EXPECT_EQ(frame.channel_index, 1);
    EXPECT_EQ(frame.cloud_unit, 8u);
    EXPECT_EQ(frame.payload_size, kPayloadSize);
    EXPECT_EQ(frame.pixel_format, 0x023000B9u);
    EXPECT_EQ(frame.width, 13u);
    EXPECT_EQ(frame.size_y, 10u);
    EXPECT_EQ(frame.offset_x, 16u);
    EXPECT_EQ(frame.offset_y, 8u);
    EXPECT_EQ(frame.reserved, kBlockComplete);
    const uint64_t timestamp = (static_cast<uint64_t>(frame.timestamp_high) << 32) | frame.timestamp_low;
    EXPECT_EQ(timestamp, 1'500'000'000u);
    for (uint32_t i = 0; i < kPayloadSize; ++i)
        ASSERT_EQ(images[0][i], 1 + i / kPacketPayload) << "byte " << i;
}

TEST_F(AssemblerTest, ADeviceSpecificLeaderIsStampedWithThePcClock) {
    Build(kPayloadSize, 1'000'000'000);
    LeaderFields leader;
    leader.payload_type = 8;
    leader.timestamp = 5;
    const int64_t before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    Feed(GvspLeader(2, leader), kStart);
    FeedPackets(2, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart);
    const PhotoInfo frame = TakeReady().at(0);
    const int64_t stamp =
        static_cast<int64_t>((static_cast<uint64_t>(frame.timestamp_high) << 32) | frame.timestamp_low);
    EXPECT_GE(stamp, before);
    EXPECT_EQ(frame.pixel_format, 0x02180014u);  // not an image leader: the geometry read at set-up
}

TEST_F(AssemblerTest, MisplacedLeaderTrailerAndPayloadAreFormatErrors) {
    FeedPackets(60, {0}, kStart);
    Feed(GvspLeader(60, LeaderFields{.pixel_format = 0x01080009, .size_x = 999}, 3), kStart);
    Feed(GvspTrailer(60, 4), kStart);
    Feed(Payload(60, 9), kStart);
    EXPECT_EQ(shared_->packets.format_errors.Get(), 3u);
    FeedPackets(60, {1, 2, 5, 6, 7, 8, 9}, kStart);
    // Every packet id arrived, yet places 3, 4 and 9 held no image bytes from their packets.
    std::vector<Bytes> images;
    const auto frames = TakeReady(&images);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].reserved, kBlockFormatError);
    EXPECT_NE(frames[0].width, 999u);
}

TEST_F(AssemblerTest, ALeaderClaimingMoreThanThePayloadHoldsKeepsTheStreamGeometry) {
    Feed(GvspLeader(61, LeaderFields{.pixel_format = 0x023000B9, .size_x = 640, .size_y = 480}), kStart);
    FeedPackets(61, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart);
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].reserved, kBlockFormatError);
    EXPECT_EQ(frames[0].width, 20u);
    EXPECT_EQ(frames[0].height, 10u);
    EXPECT_EQ(frames[0].pixel_format, 0x02180014u);
    EXPECT_EQ(shared_->packets.format_errors.Get(), 1u);
}

// Leaders whose claims only look small: a size whose product with the bytes per pixel wraps 64
// bits, and a pixel format nobody knows (which must not count as 0 bytes per pixel).
TEST_F(AssemblerTest, LyingLeadersNeverYieldACompleteFrameOrTheirGeometry) {
    const LeaderFields liars[] = {
        {.pixel_format = 0x023000B9, .size_x = 4294901763u, .size_y = 715838805u},
        {.pixel_format = 0xDEADBEEF, .size_x = 0xFFFFFFFFu, .size_y = 0xFFFFFFFFu},
        {.pixel_format = 0xDEADBEEF, .size_x = 1, .size_y = 1},
        {.pixel_format = 0x023000B9, .size_x = 0xFFFFFFFFu, .size_y = 0xFFFFFFFFu},
    };
    uint16_t block_id = 62;
    for (const LeaderFields& liar : liars) {
        Feed(GvspLeader(block_id, liar), kStart);
        FeedPackets(block_id, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart);
        const auto frames = TakeReady();
        ASSERT_EQ(frames.size(), 1u) << liar.size_x << " x " << liar.size_y;
        EXPECT_EQ(frames[0].reserved, kBlockFormatError);
        EXPECT_EQ(frames[0].width, 20u);
        EXPECT_EQ(frames[0].size_y, 10u);
        EXPECT_EQ(frames[0].pixel_format, 0x02180014u);
        ++block_id;
    }
    EXPECT_EQ(shared_->packets.format_errors.Get(), 4u);
}

TEST_F(AssemblerTest, ALeaderThatFillsThePayloadExactlyIsTaken) {
    // 800 bytes: 400 pixels of 2 bytes (BayerGR10), 800 of 1 (Mono8).
    Feed(GvspLeader(63, LeaderFields{.pixel_format = 0x0110000C, .size_x = 40, .size_y = 10}), kStart);
    FeedPackets(63, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart);
    Feed(GvspLeader(64, LeaderFields{.pixel_format = 0x01080001, .size_x = 801, .size_y = 1}), kStart);
    FeedPackets(64, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart);
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].reserved, 0u);
    EXPECT_EQ(frames[0].width, 40u);
    EXPECT_EQ(frames[1].reserved, kBlockFormatError);  // one byte too many
}

TEST(AssemblerSetUp, ASetUpGeometryBeyondThePayloadBecomesAnEmptyImage) {
    StreamShared shared;
    AssemblerConfig config;
    config.info.payload_size = 100;
    config.info.width = config.info.size_x = 0xFFFFFFFFu;
    config.info.height = config.info.size_y = 0xFFFFFFFFu;
    config.info.pixel_format = 0x023000B9;
    config.packet_payload_size = 100;
    BlockAssembler assembler(shared, config);
    const Bytes trailer = GvspTrailer(5, 2);
    assembler.process_packet(trailer.data(), static_cast<int>(trailer.size()), kStart);
    assembler.flush_blocks(kStart);
    FrameBuffer* buffer = shared.ready_queue.TryTake();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->frame.width, 0u);
    EXPECT_EQ(buffer->frame.size_x, 0u);
    EXPECT_EQ(buffer->frame.height, 0u);
    shared.free_queue.Put(buffer);
    assembler.free_queued_buffers();
}

TEST(ImageSize, ProductsAreCheckedWithoutOverflowAndUnknownFormatsFitNothing) {
    EXPECT_TRUE(ImageFitsPayload(0x023000B9, 100, 10, 6000));
    EXPECT_FALSE(ImageFitsPayload(0x023000B9, 100, 10, 5999));
    EXPECT_FALSE(ImageFitsPayload(0x023000B9, 4294901763u, 715838805u, 0xFFFFFFFFu));
    EXPECT_FALSE(ImageFitsPayload(0x023000B9, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_FALSE(ImageFitsPayload(0xDEADBEEF, 1, 1, 0xFFFFFFFFu));
    EXPECT_TRUE(ImageFitsPayload(0xDEADBEEF, 0, 0xFFFFFFFFu, 0));  // no pixels, no bytes
    EXPECT_TRUE(ImageFitsPayload(0x01080001, 0xFFFFFFFFu, 1, 0xFFFFFFFFu));
}

TEST_F(AssemblerTest, APayloadBeyondTheFrameIsCutAndCounted) {
    const Bytes oversized(kPacketPayload + 50, 0xCD);
    FeedPackets(70, {0, 1, 2, 3, 4, 5, 6, 7}, kStart);
    Feed(GvspPayload(70, 8, oversized.data(), oversized.size()), kStart);
    Feed(GvspTrailer(70, 9), kStart);
    EXPECT_EQ(shared_->blocks.truncated.Get(), 1u);
    std::vector<Bytes> images;
    ASSERT_EQ(TakeReady(&images).size(), 1u);
    EXPECT_EQ(images[0][kPayloadSize - 1], 0xCD);
    EXPECT_EQ(images[0][kPayloadSize - kPacketPayload - 1], 0xAB);  // the bytes before it are kept
}

TEST_F(AssemblerTest, AnUnknownPacketFormatStillCountsItsPacketIdAndIsUnused) {
    FeedPackets(80, {0}, kStart);
    Feed(GvspHeader(0, 80, 4, 1), kStart);
    EXPECT_EQ(shared_->packets.unused.Get(), 1u);
    FeedPackets(80, {1}, kStart);
    EXPECT_EQ(shared_->packets.duplicates.Get(), 1u);
}

TEST_F(AssemblerTest, DatagramsShorterThanAHeaderOpenNothing) {
    const Bytes runt = {0, 0, 0, 5};
    EXPECT_EQ(Feed(runt, kStart), nullptr);
    EXPECT_EQ(assembler_->open_blocks(), 0u);
    EXPECT_EQ(shared_->packets.unused.Get(), 1u);
    EXPECT_EQ(shared_->packets.received.Get(), 1u);
}

TEST_F(AssemblerTest, AnIncompleteFrameHasItsMissingPartsZeroedAndItsStatusInReserved) {
    shared_->settings.packet_resend_flag = 0;
    FeedWholeBlock(90, kStart);  // leaves its bytes in the buffer that is reused
    TakeReady();
    FeedPackets(91, {1, 2, 4, 5, 6, 7, 8}, kStart);  // no leader, packet 3 and the trailer lost
    FeedPackets(92, {0}, kStart);
    std::vector<Bytes> images;
    const auto frames = TakeReady(&images);
    ASSERT_EQ(frames.size(), 1u);
    const PhotoInfo& frame = frames[0];
    EXPECT_EQ(frame.reserved, kBlockNextBlockArrived);
    EXPECT_EQ(frame.block_id, 91);  // no leader: block id kept, no timestamp, geometry from set-up
    EXPECT_EQ(frame.timestamp_high, 0u);
    EXPECT_EQ(frame.timestamp_low, 0u);
    EXPECT_EQ(frame.width, 20u);
    EXPECT_EQ(frame.pixel_format, 0x02180014u);
    for (uint32_t i = 0; i < kPayloadSize; ++i) {
        const bool lost = i >= 2 * kPacketPayload && i < 3 * kPacketPayload;
        ASSERT_EQ(images[0][i], lost ? 0 : 0xAB) << "byte " << i;
    }
}

// ---- buffer pool ---------------------------------------------------------------------------------

TEST_F(AssemblerTest, TheFifthBlockFindsNoBufferUntilACaptureGivesOneBack) {
    for (uint16_t block = 1; block <= 4; ++block) FeedWholeBlock(block, kStart);
    EXPECT_EQ(shared_->ready_queue.Count(), 4u);
    FeedPackets(5, {0, 1, 2}, kStart);
    EXPECT_EQ(shared_->blocks.not_stored.Get(), 3u);  // one per datagram that tried
    EXPECT_EQ(assembler_->open_blocks(), 0u);
    EXPECT_EQ(assembler_->buffer_count(), 4u);

    shared_->free_queue.Put(shared_->ready_queue.TryTake());  // a capture returns one buffer
    FeedPackets(5, {3, 4, 5, 6, 7, 8, 9}, kStart + 1);
    assembler_->check_block_complete(nullptr, kStart + 200'000);
    EXPECT_EQ(shared_->blocks.timed_out.Get(), 1u);
    EXPECT_EQ(shared_->packets.missing.Get(), 10u);  // nothing valid from packet 0 on
    EXPECT_EQ(shared_->ready_queue.Count(), 4u);
}

TEST_F(AssemblerTest, LoweringTheLimitFreesSurplusBuffersAtTheNextBlock) {
    for (uint16_t block = 1; block <= 3; ++block) FeedWholeBlock(block, kStart);
    TakeReady();
    shared_->settings.max_buffer_length = 1;
    FeedWholeBlock(4, kStart);
    EXPECT_EQ(assembler_->buffer_count(), 1u);
    EXPECT_EQ(shared_->blocks.complete.Get(), 4u);
}

TEST_F(AssemblerTest, FlushingDeliversOpenBlocksAsFlushed) {
    FeedPackets(11, {0, 1}, kStart);
    FeedPackets(12, {0}, kStart);
    assembler_->flush_blocks(kStart + 5);
    EXPECT_EQ(shared_->blocks.flushed.Get(), 2u);
    EXPECT_EQ(shared_->blocks.incomplete.Get(), 0u);
    const auto frames = TakeReady();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].reserved, kBlockFlushed);
    EXPECT_EQ(frames[1].block_id, 12);
}

// What a stream does when it ends: flush the open blocks, then free both queues. Buffers wait in
// all three places (a block being filled, a frame not yet captured, a frame captured and given
// back); every one of them is freed.
TEST_F(AssemblerTest, EndingTheStreamFreesTheBuffersOfOpenBlocksAndBothQueues) {
    FeedWholeBlock(1, kStart);
    FeedWholeBlock(2, kStart);
    FeedPackets(3, {0, 1}, kStart);  // still open
    FeedPackets(4, {0}, kStart);
    shared_->free_queue.Put(shared_->ready_queue.TryTake());  // block 1 captured and given back
    ASSERT_EQ(assembler_->open_blocks(), 2u);
    ASSERT_EQ(shared_->free_queue.Count(), 1u);
    ASSERT_EQ(shared_->ready_queue.Count(), 1u);
    ASSERT_EQ(assembler_->buffer_count(), 4u);

    assembler_->flush_blocks(kStart + 5);
    assembler_->free_queued_buffers();
    EXPECT_EQ(assembler_->open_blocks(), 0u);
    EXPECT_EQ(shared_->free_queue.Count(), 0u);
    EXPECT_EQ(shared_->ready_queue.Count(), 0u);
    EXPECT_EQ(assembler_->buffer_count(), 0u);
}

// ---- statistics ----------------------------------------------------------------------------------

TEST_F(AssemblerTest, ReceiveTimesFallInMillisecondBuckets) {
    const int64_t times[] = {999, 1000, 999'999, 1'000'000};
    uint16_t block = 1;
    for (int64_t time : times) {
        FeedPackets(block, {0}, kStart);
        FeedPackets(block, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kStart + time);
        ++block;
    }
    const StatisticsData statistics = shared_->receive_times.Snapshot();
    EXPECT_EQ(statistics.sample_count, 4u);
    EXPECT_EQ(statistics.buckets[0], 1u);
    EXPECT_EQ(statistics.buckets[1], 1u);
    EXPECT_EQ(statistics.buckets[999], 1u);
    EXPECT_EQ(statistics.above_count, 1u);
    EXPECT_EQ(statistics.min_time, 999);
    EXPECT_EQ(statistics.max_time, 1'000'000);
}

TEST_F(AssemblerTest, NetSpeedOverOneSecondWindow) {
    const Bytes datagram(1472, 0);  // block id 0, never opens a block: only the rate matters here
    for (int i = 0; i < 100; ++i) {
        const int64_t now = kStart + (i == 99 ? 1'000'000 : i * 10'000);
        assembler_->process_packet(datagram.data(), static_cast<int>(datagram.size()), now);
    }
    EXPECT_EQ(shared_->rates.net_speed.load(), 150'000u);
}

TEST_F(AssemblerTest, BlockRateOverOneSecondWindow) {
    for (uint16_t block = 1; block <= 3; ++block) {
        FeedWholeBlock(block, kStart + (block - 1) * 500'000);
        TakeReady();
    }
    EXPECT_FLOAT_EQ(shared_->rates.block_rate.load(), 3.0f);  // three blocks, the last closing 1 s
}

}  // namespace
