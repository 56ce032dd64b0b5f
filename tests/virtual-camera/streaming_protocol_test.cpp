// The GVSP bytes the engine sends: packet layout and sizes, block ids, resends, test packets and
// the faults it injects on demand.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "streaming_fixture.h"

namespace vcam_test {
namespace {

using namespace std::chrono_literals;

// A 64 x 32 Mono8 grey frame: 2048 bytes, in packets of 576 bytes (540 image bytes each), makes
// a leader, payload packets 1 to 4 (540, 540, 540, 428 bytes) and the trailer as packet 5.
constexpr uint32_t kGreyChannel = 2;
constexpr uint32_t kSmallPacketSize = 576;
constexpr uint32_t kImageBytesPerPacket = kSmallPacketSize - 36;
constexpr uint32_t kTrailerId = 5;

vcam::ChannelSettings SmallGrey() { return View(2, vcam::kPixelMono8, 64, 32, 10, 20, kSmallPacketSize); }

std::vector<uint32_t> PacketIds(const std::vector<Packet>& packets) {
    std::vector<uint32_t> ids;
    for (const Packet& p : packets) ids.push_back(p.packet_id());
    return ids;
}

std::vector<Packet> OfBlock(const std::vector<Packet>& packets, uint16_t block_id) {
    std::vector<Packet> selected;
    std::copy_if(packets.begin(), packets.end(), std::back_inserter(selected),
                 [block_id](const Packet& p) { return p.block_id() == block_id; });
    return selected;
}

class ProtocolTest : public EngineTest {
  protected:
    // The datagrams of `count` small grey blocks, in arrival order.
    std::vector<Packet> SendSmallBlocks(size_t count, uint16_t first_block_id = 1) {
        engine_.SetNextBlockId(kGreyChannel, first_block_id);
        Aim(kGreyChannel, SmallGrey());
        Trigger(kGreyChannel, count);
        return listener_.ReceiveUntilQuiet();
    }
};

TEST_F(ProtocolTest, BlockIsLeaderPayloadPacketsOfThePacketSizeAndTrailer) {
    engine_.SetClock([] { return uint64_t{0x0123456789ABCDEF}; });
    const std::vector<Packet> packets = SendSmallBlocks(1);
    ASSERT_EQ(PacketIds(packets), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    const std::vector<size_t> sizes = {44,
                                       8 + kImageBytesPerPacket,
                                       8 + kImageBytesPerPacket,
                                       8 + kImageBytesPerPacket,
                                       8 + 2048 - 3 * kImageBytesPerPacket,
                                       16};
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].bytes.size(), sizes[i]) << "packet " << i;
        EXPECT_EQ(packets[i].status(), 0);
        EXPECT_EQ(packets[i].block_id(), 1);
        EXPECT_EQ(packets[i].source_port, engine_.SourcePort(kGreyChannel));
    }
    // Full payload packets fill the IP packet size: 20 bytes of IP and 8 of UDP header come on top.
    EXPECT_EQ(packets[1].bytes.size() + 28, kSmallPacketSize);

    const std::vector<uint8_t> leader_bytes(packets[0].bytes.begin(), packets[0].bytes.begin() + 44);
    const std::vector<uint8_t> expected_leader = {
        0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00,  // status, block id 1, leader, packet id 0
        0x00, 0x00, 0x00, 0x01,                          // reserved, payload type image
        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,  // timestamp high, low
        0x01, 0x08, 0x00, 0x01,                          // Mono8
        0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x20,  // 64 x 32
        0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x14,  // offsets 10, 20
        0x00, 0x00, 0x00, 0x00};                         // padding x, y
    EXPECT_EQ(leader_bytes, expected_leader);
    const std::vector<uint8_t> expected_trailer = {0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x05,
                                                   0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20};
    EXPECT_EQ(packets[5].bytes, expected_trailer);
    EXPECT_EQ(packets[3].bytes[4], 0x03);  // payload packet format
}

TEST_F(ProtocolTest, BlockIdsRunTo65535AndStartAgainAt1) {
    const std::vector<Block> blocks = Assemble(SendSmallBlocks(3, 65534));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].block_id, 65534);
    EXPECT_EQ(blocks[1].block_id, 65535);
    EXPECT_EQ(blocks[2].block_id, 1);
    for (const Block& block : blocks) EXPECT_TRUE(block.complete());
}

TEST_F(ProtocolTest, ResendRepeatsRequestedPacketsWithTheResentStatus) {
    const std::vector<Packet> first = SendSmallBlocks(1, 300);
    ASSERT_EQ(first.size(), 6u);
    engine_.Resend(kGreyChannel, 300, 0, 2);
    const std::vector<Packet> resent = listener_.ReceiveUntilQuiet();
    ASSERT_EQ(PacketIds(resent), (std::vector<uint32_t>{0, 1, 2}));
    for (size_t i = 0; i < resent.size(); ++i) {
        EXPECT_EQ(resent[i].status(), 0x0100);
        // Apart from the status, the same bytes as the first time.
        EXPECT_TRUE(std::equal(resent[i].bytes.begin() + 2, resent[i].bytes.end(), first[i].bytes.begin() + 2,
                               first[i].bytes.end()));
    }
    EXPECT_EQ(engine_.Counters(kGreyChannel).packets_resent, 3u);
}

TEST_F(ProtocolTest, ResendClipsAtTheTrailerAndCountsWhatItCannotSend) {
    SendSmallBlocks(1, 40);
    engine_.Resend(kGreyChannel, 40, 4, 0xFFFFFF);  // "to the end of the block"
    EXPECT_EQ(PacketIds(listener_.ReceiveUntilQuiet()), (std::vector<uint32_t>{4, kTrailerId}));
    EXPECT_EQ(engine_.Counters(kGreyChannel).resend_unavailable, 0u);

    engine_.Resend(kGreyChannel, 41, 1, 2);  // never sent
    engine_.Resend(kGreyChannel, 40, 9, 9);  // past the trailer
    EXPECT_TRUE(listener_.ReceiveAnyWithin(200ms).empty());
    EXPECT_EQ(engine_.Counters(kGreyChannel).resend_unavailable, 2u);
}

TEST_F(ProtocolTest, ResendReachesOnlyTheBlocksStillInTheRing) {
    vcam::EngineOptions options = QuietOptions();
    options.resend_ring_blocks = 2;
    vcam::StreamEngine engine(options);
    ASSERT_TRUE(StartTriggered(engine, listener_, kGreyChannel, SmallGrey()));
    Fire(engine, kGreyChannel, 3);
    ASSERT_EQ(Assemble(listener_.ReceiveUntilQuiet()).size(), 3u);
    engine.Resend(kGreyChannel, 1, 1, 1);  // pushed out by blocks 2 and 3
    engine.Resend(kGreyChannel, 2, 1, 1);
    const std::vector<Packet> resent = listener_.ReceiveUntilQuiet();
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].block_id(), 2);
}

TEST_F(ProtocolTest, DropOnceLosesTheChosenPacketsOnlyInTheirFirstTransmission) {
    ASSERT_TRUE(engine_.SetFault("drop_once", "7:1,3;8:0"));
    const std::vector<Packet> packets = SendSmallBlocks(3, 7);
    EXPECT_EQ(PacketIds(OfBlock(packets, 7)), (std::vector<uint32_t>{0, 2, 4, 5}));
    EXPECT_EQ(PacketIds(OfBlock(packets, 8)), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(OfBlock(packets, 9).size(), 6u);
    EXPECT_EQ(engine_.Counters(kGreyChannel).packets_dropped, 3u);

    engine_.Resend(kGreyChannel, 7, 1, 3);
    EXPECT_EQ(PacketIds(listener_.ReceiveUntilQuiet()), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(ProtocolTest, DropRatioLosesARepeatableShareOfFirstTransmissions) {
    auto lost_packets = [](uint64_t seed) {
        Listener listener;
        vcam::StreamEngine engine(QuietOptions());
        EXPECT_TRUE(engine.SetFault("drop_first", "0.3"));
        EXPECT_TRUE(engine.SetFault("seed", std::to_string(seed)));
        EXPECT_TRUE(StartTriggered(engine, listener, kGreyChannel,
                                   View(2, vcam::kPixelMono8, 640, 100, 0, 0, kSmallPacketSize)));
        engine.SoftwareTrigger(kGreyChannel);
        std::set<uint32_t> lost;
        for (uint32_t id = 0; id <= 120; ++id) lost.insert(id);  // 119 payload packets and the trailer
        for (const Packet& p : listener.ReceiveUntilQuiet()) lost.erase(p.packet_id());
        EXPECT_EQ(engine.Counters(kGreyChannel).packets_dropped, lost.size());
        return lost;
    };
    const std::set<uint32_t> first = lost_packets(42);
    EXPECT_EQ(first, lost_packets(42));
    EXPECT_NE(first, lost_packets(43));
    EXPECT_GT(first.size(), 121u * 15 / 100);
    EXPECT_LT(first.size(), 121u * 45 / 100);
}

TEST_F(ProtocolTest, DropRatioForResentPacketsSparesFirstTransmissions) {
    ASSERT_TRUE(engine_.SetFault("drop_resent", "1"));
    EXPECT_EQ(SendSmallBlocks(1, 5).size(), 6u);
    engine_.Resend(kGreyChannel, 5, 1, 4);
    EXPECT_TRUE(listener_.ReceiveAnyWithin(200ms).empty());
    EXPECT_EQ(engine_.Counters(kGreyChannel).packets_dropped, 4u);

    ASSERT_TRUE(engine_.SetFault("drop", "1"));  // both
    engine_.SoftwareTrigger(kGreyChannel);
    EXPECT_TRUE(listener_.ReceiveAnyWithin(200ms).empty());
}

// Faults that bend every packet when their ratio is 1: what arrives instead.
struct BentCase {
    const char* key;
    const char* value;
    std::vector<uint32_t> ids;          // packet ids in arrival order
    std::vector<size_t> payload_sizes;  // sizes of payload packets 1 … 4 as they arrive
    uint16_t status;
};

class BentPacketTest : public ProtocolTest, public ::testing::WithParamInterface<BentCase> {};

TEST_P(BentPacketTest, FaultChangesWhatArrives) {
    const BentCase& c = GetParam();
    ASSERT_TRUE(engine_.SetFault(c.key, c.value));
    const std::vector<Packet> packets = SendSmallBlocks(1);
    EXPECT_EQ(PacketIds(packets), c.ids);
    std::vector<size_t> payload_sizes;
    for (const Packet& p : packets) {
        if (p.format() == 3) payload_sizes.push_back(p.bytes.size() - 8);
        EXPECT_EQ(p.status(), c.status);
    }
    EXPECT_EQ(payload_sizes, c.payload_sizes);
}

constexpr size_t kFull = kImageBytesPerPacket, kLast = 2048 - 3 * kImageBytesPerPacket;
INSTANTIATE_TEST_SUITE_P(
    Faults, BentPacketTest,
    ::testing::Values(
        BentCase{"error_status", "1", {0, 1, 2, 3, 4, 5}, {kFull, kFull, kFull, kLast}, 0x8001},
        BentCase{"truncate", "1", {0, 1, 2, 3, 4, 5}, {kFull / 2, kFull / 2, kFull / 2, kLast / 2}, 0},
        BentCase{"oversize", "1", {0, 1, 2, 3, 4, 5}, {kFull + 64, kFull + 64, kFull + 64, kLast + 64}, 0},
        BentCase{"leader_late", "1", {1, 2, 3, 4, 0, 5}, {kFull, kFull, kFull, kLast}, 0},
        BentCase{"duplicate",
                 "1",
                 {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5},
                 {kFull, kFull, kFull, kFull, kFull, kFull, kLast, kLast},
                 0},
        BentCase{"reorder", "1", {1, 0, 3, 2, 5, 4}, {kFull, kFull, kFull, kLast}, 0}),
    [](const auto& info) { return std::string(info.param.key); });

TEST_F(ProtocolTest, ErrorCodeAndOversizeBytesAreSettable) {
    ASSERT_TRUE(engine_.SetFault("error_status", "1"));
    ASSERT_TRUE(engine_.SetFault("error_code", "0x800F"));
    ASSERT_TRUE(engine_.SetFault("oversize", "1"));
    ASSERT_TRUE(engine_.SetFault("oversize_bytes", "3"));
    const std::vector<Packet> packets = SendSmallBlocks(1);
    ASSERT_EQ(packets.size(), 6u);
    EXPECT_EQ(packets[0].status(), 0x800F);
    EXPECT_EQ(packets[1].bytes.size(), 8 + kFull + 3);
    EXPECT_EQ(packets[1].bytes.back(), 0);  // the surplus is zeros

    ASSERT_TRUE(engine_.SetFault("clear", ""));
    engine_.SoftwareTrigger(kGreyChannel);
    const std::vector<Packet> clean = listener_.ReceiveUntilQuiet();
    ASSERT_EQ(clean.size(), 6u);
    EXPECT_EQ(clean[0].status(), 0);
    EXPECT_EQ(clean[1].bytes.size(), 8 + kFull);
}

TEST(EngineFaults, SetFaultAcceptsKnownKeysWithValuesInRangeOnly) {
    vcam::StreamEngine engine(QuietOptions());
    struct Case {
        const char* key;
        const char* value;
        bool accepted;
    };
    const Case cases[] = {
        {"drop_first", "0.05", true},
        {"drop_first", "1.5", false},
        {"drop_first", "-0.1", false},
        {"drop_resent", "x", false},
        {"drop", "0", true},
        {"reorder", "", false},
        {"duplicate", "0.5", true},
        {"error_code", "0x8001", true},
        {"error_code", "70000", false},
        {"oversize_bytes", "0", false},
        {"oversize_bytes", "9999", false},
        {"seed", "12345", true},
        {"seed", "-1", false},
        {"drop_once", "3:1-4,9;4:0", true},
        {"drop_once", "3:4-1", false},
        {"drop_once", "70000:1", false},
        {"drop_once", "3", false},
        {"bandwidth", "0", true},
        {"bandwidth", "1e9", false},
        {"no_such_fault", "1", false},
        {"noise", "0.2", true},
        {"noise", "-1", false},
        {"noise", "101", false},
        {"outlier_ratio", "0.01", true},
        {"outlier_ratio", "2", false},
        {"clear", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine.SetFault(c.key, c.value), c.accepted) << c.key << "=" << c.value;
    EXPECT_TRUE(engine.SetFault("truncate", "0.25"));
    EXPECT_DOUBLE_EQ(engine.Faults().truncate, 0.25);
    EXPECT_FALSE(engine.SetFault("truncate", "2"));
    EXPECT_DOUBLE_EQ(engine.Faults().truncate, 0.25);  // a refused value changes nothing
}

TEST(EngineFaults, FaultsGivenAtConstructionAreHeldToTheirRanges) {
    vcam::EngineOptions options = QuietOptions();
    options.faults.drop_first = 5;
    options.faults.reorder = -1;
    options.faults.oversize_bytes = 1 << 20;
    options.faults.drop_once = "not a list";
    vcam::StreamEngine engine(options);
    const vcam::FaultSettings faults = engine.Faults();
    EXPECT_EQ(faults.drop_first, 1.0);
    EXPECT_EQ(faults.reorder, 0.0);
    EXPECT_EQ(faults.oversize_bytes, 4096u);
    EXPECT_EQ(faults.drop_once, "");
}

TEST(EngineFaults, NoiseCanBeSwitchedOffWhileRunning) {
    vcam::EngineOptions options = QuietOptions();
    options.noise = 0.5;
    vcam::StreamEngine engine(options);
    Listener listener;
    ASSERT_TRUE(StartTriggered(engine, listener, kGreyChannel, SmallGrey()));
    auto two_frames = [&] {
        Fire(engine, kGreyChannel, 2);
        return Assemble(listener.ReceiveUntilQuiet());
    };
    const std::vector<Block> noisy = two_frames();
    ASSERT_EQ(noisy.size(), 2u);
    EXPECT_NE(noisy[0].image, noisy[1].image);
    ASSERT_TRUE(engine.SetFault("noise", "0"));
    ASSERT_TRUE(engine.SetFault("outlier_ratio", "0"));
    const std::vector<Block> quiet = two_frames();
    ASSERT_EQ(quiet.size(), 2u);
    EXPECT_EQ(quiet[0].image, quiet[1].image);
}

TEST(EngineFaults, FaultsGivenAtConstructionApplyFromTheFirstBlock) {
    vcam::EngineOptions options = QuietOptions();
    options.faults.drop_once = "1:2";
    vcam::StreamEngine engine(options);
    Listener listener;
    ASSERT_TRUE(StartTriggered(engine, listener, kGreyChannel, SmallGrey()));
    engine.SoftwareTrigger(kGreyChannel);
    EXPECT_EQ(PacketIds(listener.ReceiveUntilQuiet()), (std::vector<uint32_t>{0, 1, 3, 4, 5}));
}

TEST_F(ProtocolTest, TestPacketCarriesExactlyTheRequestedBytes) {
    Aim(0, View(0, vcam::kPixelCoord3D_ABC16, 1280, 1024));
    for (uint32_t size : {1500u, 7976u, 8972u, 65507u}) {
        ASSERT_TRUE(engine_.SendTestPacket(0, size));
        const auto packet = listener_.Receive(1000ms);
        ASSERT_TRUE(packet.has_value());
        EXPECT_EQ(packet->bytes.size(), size);
        EXPECT_EQ(packet->source_port, engine_.SourcePort(0));
    }
    EXPECT_FALSE(engine_.SendTestPacket(0, 0));
    EXPECT_FALSE(engine_.SendTestPacket(0, 65508));
    EXPECT_FALSE(engine_.SendTestPacket(1, 1500));  // destination not programmed
    EXPECT_FALSE(engine_.SendTestPacket(3, 1500));
    EXPECT_TRUE(listener_.ReceiveAnyWithin(100ms).empty());
}

TEST_F(ProtocolTest, ConfigureRefusesWhatTheSensorCannotDeliver) {
    struct Case {
        uint32_t channel;
        vcam::ChannelSettings settings;
        bool accepted;
    };
    const Case cases[] = {
        {0, View(0, vcam::kPixelCoord3D_ABC16, 1280, 1024), true},
        {1, View(1, vcam::kPixelYUV422_8, 8, 8, 1272, 1016), true},
        {2, View(2, vcam::kPixelMono8, 1280, 1024, 1, 0), false},  // beyond MWOP
        {2, View(2, vcam::kPixelMono8, 16, 1024, 0, 1), false},    // beyond MHOP
        {2, View(2, vcam::kPixelMono8, 0, 10), false},
        {0, View(0, vcam::kPixelMono8, 64, 64), false},
        {1, View(1, vcam::kPixelCoord3D_ABC16, 64, 64), false},
        {1, View(3, vcam::kPixelMono8, 64, 64), false},
        {2, View(2, vcam::kPixelMono8, 64, 64, 0, 0, 100), true},  // packet size raised to 576
        {3, View(2, vcam::kPixelMono8, 64, 64), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(engine_.Configure(c.channel, c.settings), c.accepted)
            << c.channel << " " << c.settings.width << "x" << c.settings.height << "+" << c.settings.offset_x
            << "+" << c.settings.offset_y << " packet " << c.settings.packet_size;
    }
    EXPECT_EQ(engine_.Settings(2).packet_size, 576u);
    EXPECT_EQ(engine_.Settings(1).pixel_format, vcam::kPixelYUV422_8);  // refused settings change nothing
    EXPECT_EQ(engine_.SourcePort(3), 0);
}

TEST_F(ProtocolTest, NothingIsSentWhileTheDestinationIsClosed) {
    vcam::ChannelSettings closed = SmallGrey();
    ASSERT_TRUE(engine_.Configure(kGreyChannel, closed));
    ASSERT_TRUE(engine_.Start(kGreyChannel, 200, false));
    EXPECT_TRUE(listener_.ReceiveAnyWithin(200ms).empty());
    EXPECT_EQ(engine_.Counters(kGreyChannel).blocks_sent, 0u);
    // Opening the channel while acquisition runs starts the blocks at id 1.
    Aim(kGreyChannel, SmallGrey());
    const auto first = listener_.Receive(2000ms);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->block_id(), 1);
}

TEST_F(ProtocolTest, ContinuousBlocksFollowEachOtherUntilStop) {
    Aim(kGreyChannel, SmallGrey());
    ASSERT_TRUE(engine_.Start(kGreyChannel, 100, false));
    EXPECT_TRUE(engine_.Running(kGreyChannel));
    const std::vector<Block> running = Assemble(listener_.ReceiveBlocks(3));
    engine_.Stop(kGreyChannel);
    EXPECT_FALSE(engine_.Running(kGreyChannel));
    std::vector<Block> blocks = running;
    for (Block& late : Assemble(listener_.ReceiveAnyWithin(250ms)))
        blocks.push_back(late);  // sent before Stop
    ASSERT_GE(blocks.size(), 3u);
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].block_id, i + 1);
        EXPECT_TRUE(blocks[i].complete());
    }
    EXPECT_TRUE(listener_.ReceiveAnyWithin(200ms).empty());
}

TEST_F(ProtocolTest, TriggersCountOnlyWhileRunningInTriggerMode) {
    Aim(kGreyChannel, SmallGrey());
    engine_.SoftwareTrigger(kGreyChannel);  // not running
    ASSERT_TRUE(engine_.Start(kGreyChannel, 10, true));
    engine_.SoftwareTrigger(kGreyChannel);
    EXPECT_EQ(Assemble(listener_.ReceiveUntilQuiet()).size(), 1u);
    EXPECT_EQ(engine_.Counters(kGreyChannel).triggers_missed, 1u);
    EXPECT_EQ(engine_.Counters(kGreyChannel).blocks_sent, 1u);
}

TEST_F(ProtocolTest, ChannelsStreamSideBySideFromTheirOwnPorts) {
    for (uint32_t channel = 0; channel < vcam::kStreamChannelCount; ++channel) {
        Aim(channel, View(channel,
                          channel == 0 ? vcam::kPixelCoord3D_ABC16
                                       : (channel == 1 ? vcam::kPixelBayerRG8 : vcam::kPixelMono8),
                          32, 16, 0, 0, kSmallPacketSize));
        ASSERT_TRUE(engine_.Start(channel, 10, true));
        engine_.SoftwareTrigger(channel);
    }
    std::map<uint16_t, size_t> bytes_by_port;
    for (const Packet& p : listener_.ReceiveUntilQuiet()) {
        if (p.format() == 3) bytes_by_port[p.source_port] += p.bytes.size() - 8;
    }
    EXPECT_EQ(bytes_by_port[engine_.SourcePort(0)], 32u * 16 * 6);
    EXPECT_EQ(bytes_by_port[engine_.SourcePort(1)], 32u * 16);
    EXPECT_EQ(bytes_by_port[engine_.SourcePort(2)], 32u * 16);
    EXPECT_EQ(bytes_by_port.size(), 3u);
}

}  // namespace
}  // namespace vcam_test
