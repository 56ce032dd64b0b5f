// The stream's log lines, as a caller reads them in the camera's log file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "TaviSDK/GigeStream.h"
#include "net/udp_socket.h"
#include "stream/block_assembler.h"
#include "support/scripted_gvsp_camera.h"

namespace {

class StreamLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogSwitches::error = 1;
        LogSwitches::warning = 1;
        LogSwitches::info = 1;
        LogSwitches::debug = 0;
        ASSERT_EQ(log_open(&log_, base_.c_str()), 0);
    }

    void TearDown() override { std::remove((base_ + ".log").c_str()); }

    // Closes the log and returns what it holds.
    std::string Text() {
        log_close(&log_);
        std::ifstream in(base_ + ".log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string base_ = "sl" + std::to_string(getpid());
    cameralog log_;
};

TEST_F(StreamLogTest, RejectedCallsAndTheThreadsLifeAreLogged) {
    tavi::test::ScriptedGvspCamera camera;
    const int socket = open_udp_socket();
    bind_udp_socket(socket, tavi::test::Loopback(0, 0, 1), 0);
    DataStreamPrivateInfo info{};
    info.payload_size = 100;
    {
        GigeStream stream(&info, 2, socket, static_cast<int>(tavi::test::Loopback(0, 0, 1)),
                          static_cast<int>(camera.address()), camera.source_port(), 0, 1464, 0, &log_);
        PhotoInfo frame{};
        EXPECT_EQ(stream.Capture(nullptr), TAVI_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(stream.TryCapture(&frame), TAVI_ERR_NO_FRAME);
        EXPECT_EQ(stream.SetPacketResendRatio(2.0), TAVI_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(stream.SetSendtoStreamPortBreakFirewallTimeout(0), TAVI_ERR_INVALID_ARGUMENT);
        camera.source().Receive(5000);  // the thread is running once its firewall datagram arrived
    }
    const std::string text = Text();
    for (const char* line : {
             "[E][",
             "][function:Capture] The parameter passed in is empty.\n",
             "][function:TryCapture] Capture timeout.\n",
             "][function:SetPacketResendRatio] The parameter passed in is empty.\n",
             "][function:SetSendtoStreamPortBreakFirewallTimeout] The parameter passed in is zero.\n",
             "][function:GigeStream] GigeStream constructor recv data thread create sucess.\n",
             "][function:Stream_Thread] Thread start. channel_index_: 2\n",
             "][function:loop] End of the loop. channel_index_: 2.\n",
             "][function:flush_blocks] Flush blocks end.\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\nlog:\n" << text;
    }
}

TEST_F(StreamLogTest, ASpentResendBudgetIsLoggedOnce) {
    tavi::test::ScriptedGvspCamera camera;
    tavi::stream::StreamShared shared;
    shared.settings.packet_resend_ratio = 0.1;
    tavi::stream::AssemblerConfig config;
    config.info.payload_size = 800;
    config.channel_index = 1;
    config.packet_payload_size = 100;
    config.log = &log_;
    {
        tavi::stream::BlockAssembler assembler(shared, config);
        tavi::test::UdpEndpoint resend(tavi::test::Loopback(0, 0, 1), 0);
        tavi::stream::StreamPeers peers;
        peers.resend_socket = resend.socket();
        peers.camera_address = camera.address();
        assembler.set_peers(peers);
        // Packets 0, 2 and 4 arrive while resend is off; the search of the idle block then finds two
        // runs (1 and 3) with a budget of one request.
        shared.settings.packet_resend_flag = 0;
        const tavi::test::Bytes data(100, 1);
        const auto leader = tavi::test::GvspLeader(5, tavi::test::LeaderFields{});
        assembler.process_packet(leader.data(), static_cast<int>(leader.size()), 1'000'000);
        for (uint32_t id : {2u, 4u}) {
            const auto packet = tavi::test::GvspPayload(5, id, data.data(), data.size());
            assembler.process_packet(packet.data(), static_cast<int>(packet.size()), 1'000'000);
        }
        shared.settings.packet_resend_flag = 1;
        assembler.check_block_complete(nullptr, 1'040'000);
        assembler.check_block_complete(nullptr, 1'080'000);  // budget spent: returns at once
        assembler.flush_blocks(1'000'002);
        assembler.free_queued_buffers();
    }
    const std::string text = Text();
    const std::string line = "[I][";
    const std::string budget =
        "][function:packet_resend_check] packet resend number over the ratio_: channel: 1, block id: 5, "
        "block->packet_resend_num: 1, ratio: 0.100000.\n";
    const size_t first = text.find(budget);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(budget, first + 1), std::string::npos) << "logged more than once";
    EXPECT_NE(text.find(line), std::string::npos);
}

}  // namespace
