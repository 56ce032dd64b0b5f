// The GVCP register and memory transport against a scripted peer on loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/camera_test_peer.h"
#include "support/scripted_gvcp_peer.h"

using tavi::test::Bytes;
using tavi::test::MakeAck;
using tavi::test::ScriptedGvcpPeer;

namespace {

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        GigeCameraTestPeer::AttachControlSocket(camera, peer.address());
        // The pauses between attempts are counted, not slept.
        GigeCameraTestPeer::Control(camera).SetRetryPause(
            [this](std::chrono::milliseconds) { ++retry_pauses; });
    }
    void TearDown() override { GigeCameraTestPeer::DetachControlSocket(camera); }

    // Answers every command with `answer` as it stands.
    void AnswerWith(Bytes answer) {
        peer.SetScript([answer](const Bytes&) { return std::optional<std::vector<Bytes>>({answer}); });
    }

    ScriptedGvcpPeer peer;
    GigeCamera camera;
    std::atomic<int> retry_pauses{0};
};

Bytes Only(const std::vector<ScriptedGvcpPeer::Datagram>& commands) {
    EXPECT_EQ(commands.size(), 1u);
    return commands.empty() ? Bytes{} : commands.front().bytes;
}

}  // namespace

TEST_F(TransportTest, CommandsGoOutByteForByte) {
    peer.SetRegister(0x0A00, 0x01020304);
    int value = 0;
    ASSERT_EQ(camera.ReadRegister(0x0A00, &value), 0);
    EXPECT_EQ(value, 0x01020304);
    EXPECT_EQ(Only(peer.Commands(0x0080)),
              (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00}));

    ASSERT_EQ(camera.WriteRegister(0x0938, -2), 0);
    EXPECT_EQ(Only(peer.Commands(0x0082)), (Bytes{0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00,
                                                  0x09, 0x38, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(peer.Register(0x0938), 0xFFFFFFFEu);

    peer.SetMemory(0x12345678, {0xDE, 0xAD, 0xBE, 0xEF});
    char buffer[600] = {};
    ASSERT_EQ(GigeCameraTestPeer::ReadMem(camera, 0x12345678, 4, buffer), 0);
    EXPECT_EQ(Only(peer.Commands(0x0084)), (Bytes{0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x03, 0x12, 0x34,
                                                  0x56, 0x78, 0x00, 0x00, 0x00, 0x04}));
    // The whole acknowledge stays in the buffer: header, echoed address, then the data.
    EXPECT_EQ(Bytes(buffer + 8, buffer + 16), (Bytes{0x12, 0x34, 0x56, 0x78, 0xDE, 0xAD, 0xBE, 0xEF}));

    AnswerWith(MakeAck(0, 0x0087, 4, {0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(GigeCameraTestPeer::WriteMem(camera, 0x0100, 2, 0xABCD1234), 0);
    EXPECT_EQ(Only(peer.Commands(0x0086)),
              (Bytes{0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00,
                     0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34, 0x00, 0x00}));
}

TEST_F(TransportTest, RequestIdsWrapFrom65535ToOneAndSkipZero) {
    camera.request_id = 65534;
    int value = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(camera.ReadRegister(0x0A00, &value), 0);
    const auto reads = peer.Commands(0x0080);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(tavi::test::Be16(reads[0].bytes, 6), 65535);
    EXPECT_EQ(tavi::test::Be16(reads[1].bytes, 6), 1);
    EXPECT_EQ(tavi::test::Be16(reads[2].bytes, 6), 2);
}

TEST_F(TransportTest, DeviceStatusesTakeTheShapeOfEachOperation) {
    peer.SetStatus(0x0A00, 0x8006);
    peer.SetStatus(0x0B00, 0x8FFF);
    peer.SetStatus(0x4000, 0x8006);
    int value = 123;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), static_cast<int>(0x80060000u));
    EXPECT_EQ(value, -1);
    EXPECT_EQ(camera.ReadRegister(0x0B00, &value), static_cast<int>(0x8FFFFFFFu));
    EXPECT_EQ(camera.WriteRegister(0x0A00, 2), 32774);
    char buffer[600] = {};
    EXPECT_EQ(GigeCameraTestPeer::ReadMem(camera, 0x4000, 4, buffer), 32774);
    // A device status is an answer: nothing is retried.
    EXPECT_EQ(peer.Commands(0x0080).size(), 2u);
    EXPECT_EQ(peer.Commands(0x0082).size(), 1u);
}

TEST_F(TransportTest, AnUnansweredRegisterReadIsSentThreeTimesWithOneIdEachAfterADrain) {
    peer.SetSilent(true);
    const Bytes stale = MakeAck(0, 0x0081, 9, {0, 0, 0, 7});
    uint16_t port = 0;
    tavi::net::LocalEndpoint(camera.control_socket, nullptr, &port);
    // A late answer arrives in the pause after each attempt; the next attempt must drain it rather
    // than take it.
    std::vector<std::chrono::milliseconds> pauses;
    GigeCameraTestPeer::Control(camera).SetRetryPause([&](std::chrono::milliseconds pause) {
        pauses.push_back(pause);
        peer.SendTo(tavi::test::kPcAddress, port, stale);
        tavi::net::WaitReadable(camera.control_socket, 1000);
    });
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), -53);
    EXPECT_EQ(value, -1);
    const auto reads = peer.Commands(0x0080);
    ASSERT_EQ(reads.size(), 3u);
    for (const auto& read : reads) EXPECT_EQ(read.bytes, reads.front().bytes);
    // A second after each failed attempt, the last one included.
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(1000)));
}

TEST_F(TransportTest, MemoryAccessesPause200MsBetweenAttempts) {
    peer.SetSilent(true);
    std::vector<std::chrono::milliseconds> pauses;
    GigeCameraTestPeer::Control(camera).SetRetryPause(
        [&](std::chrono::milliseconds pause) { pauses.push_back(pause); });
    char buffer[600] = {};
    EXPECT_EQ(GigeCameraTestPeer::ReadMem(camera, 0x0200, 512, buffer), -55);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(200)));
}

TEST_F(TransportTest, UnansweredWritesAndMemoryAccessesGiveTheirOwnCodes) {
    peer.SetSilent(true);
    int write_code = 0;
    std::thread writer([&] { write_code = camera.WriteRegister(0x0A00, 2); });
    char buffer[600] = {};
    EXPECT_EQ(GigeCameraTestPeer::ReadMem(camera, 0x0200, 512, buffer), -55);
    EXPECT_EQ(GigeCameraTestPeer::WriteMem(camera, 0x0200, 2, 1), -54);
    writer.join();
    EXPECT_EQ(write_code, -52);
    EXPECT_EQ(peer.Commands(0x0082).size(), 3u);
    EXPECT_EQ(peer.Commands(0x0084).size(), 3u);
    EXPECT_EQ(peer.Commands(0x0086).size(), 3u);
    EXPECT_EQ(retry_pauses.load(), 9);
}

TEST_F(TransportTest, ADatagramWaitingBeforeTheRequestIsDrainedNotTakenAsTheAnswer) {
    peer.SetRegister(0x0A00, 222);
    uint16_t port = 0;
    tavi::net::LocalEndpoint(camera.control_socket, nullptr, &port);
    peer.SendTo(tavi::test::kPcAddress, port, MakeAck(0, 0x0081, 1, {0, 0, 0, 111}));
    ASSERT_TRUE(tavi::net::WaitReadable(camera.control_socket, 1000));
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), 0);
    EXPECT_EQ(value, 222);
}

TEST_F(TransportTest, AnAcknowledgeWithAForeignIdOrCodeIsIgnored) {
    AnswerWith(MakeAck(0, 0x0081, 0x7777, {0, 0, 0x01, 0x00}));
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), -53);
    EXPECT_EQ(value, -1);
    AnswerWith(MakeAck(0, 0x0083, 2, {0, 0, 0x01, 0x00}));  // the right id, a write's acknowledge
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), -53);
    EXPECT_EQ(GigeCameraTestPeer::Control(camera).IgnoredDatagrams(), 6);  // three attempts each
}

TEST_F(TransportTest, AnOversizedRegisterAcknowledgeCountsAsNoAnswer) {
    AnswerWith(MakeAck(0, 0x0081, 1, {0, 0, 0, 2, 0, 0, 0, 0}));  // 16 bytes
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), -53);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(peer.Commands(0x0080).size(), 3u);
}

TEST_F(TransportTest, ASuccessLackingTheDataAskedForCountsAsNoAnswer) {
    // Status 0 with the address but only 2 of the 8 bytes asked for: no bytes are made up.
    AnswerWith(MakeAck(0, 0x0085, 1, {0, 0, 0x40, 0, 0xAA, 0xBB}));
    char buffer[600] = {};
    EXPECT_EQ(GigeCameraTestPeer::ReadMem(camera, 0x4000, 8, buffer), -55);
}

TEST_F(TransportTest, AnErrorAcknowledgeOfHeaderOnlyIsAnAnswer) {
    AnswerWith(MakeAck(0x8002, 0x0081, 1, {}));
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(0x0A00, &value), static_cast<int>(0x80020000u));
    EXPECT_EQ(peer.Commands(0x0080).size(), 1u);
}

TEST_F(TransportTest, ThreadsSharingTheChannelEachGetTheirOwnAnswer) {
    for (uint32_t i = 0; i < 4; ++i) peer.SetRegister(0x1000 + 4 * i, 1000 + i);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (uint32_t i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 25; ++n) {
                int value = 0;
                if (camera.ReadRegister(0x1000 + 4 * i, &value) != 0 || value != static_cast<int>(1000 + i))
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(peer.Commands(0x0080).size(), 100u);
}
