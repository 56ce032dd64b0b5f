// The heartbeat's loss rules on a clock the test moves: each case runs in milliseconds.

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "TaviSDK/Types.h"
#include "camera/heartbeat.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kHeartbeatTimeout = 0x0938;

// A camera as the heartbeat sees it: a time-out register and one CCP answer per read, taken from
// a script (value or code) indexed by the read's number; the last entry repeats.
struct CcpAnswer {
    int code;
    int ccp;
};
constexpr CcpAnswer kControl{0, 2};
constexpr CcpAnswer kNoControl{0, 0};
constexpr CcpAnswer kNoAnswer{TAVI_ERR_READ_REGISTER, 0};
constexpr CcpAnswer kDeviceError{static_cast<int>(0x80060000u), 0};

class HeartbeatTest : public ::testing::Test {
  protected:
    HeartbeatTest()
        : heartbeat([this](uint32_t address, int* value) { return Read(address, value); }, connected, timeout,
                    &log) {
        heartbeat.SetTime(
            {[this] { return now; }, [this](std::chrono::milliseconds period) { Pause(period); }});
        LogSwitches::info = 1;
        log_open(&log, "heartbeat");
    }
    ~HeartbeatTest() override {
        log_close(&log);
        LogSwitches::AllOff();
    }

    int Read(uint32_t address, int* value) {
        if (address == kHeartbeatTimeout) {
            *value = camera_timeout;
            return timeout_code;
        }
        EXPECT_EQ(address, kCcp);
        const CcpAnswer answer = script[std::min(ccp_reads.size(), script.size() - 1)];
        ccp_reads.push_back(now);
        *value = answer.code == 0 ? answer.ccp : -1;
        return answer.code;
    }

    void Pause(std::chrono::milliseconds period) {
        pauses.push_back(period);
        now += period;
        if (on_pause) on_pause(pauses.size());
        // A runaway loop ends the test rather than hanging it.
        if (pauses.size() > 1000) connected = 0;
    }

    // The log as written so far; closing it flushes it.
    std::string Log() {
        log_close(&log);
        return scratch.Read("heartbeat.log");
    }

    tavi::test::ScratchDirectory scratch;
    cameralog log;
    std::atomic<int> connected{1};
    std::atomic<int> timeout{0};
    int camera_timeout = 3000;
    int timeout_code = 0;
    std::vector<CcpAnswer> script{kControl};
    std::function<void(size_t pauses)> on_pause;
    tavi::Heartbeat::Clock::time_point now{};
    std::vector<tavi::Heartbeat::Clock::time_point> ccp_reads;
    std::vector<std::chrono::milliseconds> pauses;
    tavi::Heartbeat heartbeat;
};

}  // namespace

TEST_F(HeartbeatTest, ThePeriodIsAThirdOfTheTimeoutLess500MsAndAtLeast100Ms) {
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(3000), 500);
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(6000), 1500);
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(60000), 19500);
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(1800), 100);
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(1000), 100);
    EXPECT_EQ(tavi::Heartbeat::PeriodMs(0), 100);
}

TEST_F(HeartbeatTest, ACameraShowingControlStaysConnectedUntilTheDisconnect) {
    on_pause = [this](size_t count) {
        if (count == 5) connected = 0;  // the application disconnects
    };
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(timeout.load(), 3000);  // the camera's time-out is taken over
    EXPECT_EQ(ccp_reads.size(), 5u);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(5, 500ms));
    EXPECT_NE(Log().find("[function:HeartBeat] The camera diconnect."), std::string::npos);
}

TEST_F(HeartbeatTest, AnUnansweredReadLosesTheCameraAtOnce) {
    script = {kControl, kControl, kNoAnswer};
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(connected.load(), 0);
    EXPECT_EQ(ccp_reads.size(), 3u);
    EXPECT_NE(Log().find("[function:HeartBeat] The PC does not receive camera data."), std::string::npos);
}

TEST_F(HeartbeatTest, ACameraShowingNoControlIsLostOneTimeoutAfterItsLastControl) {
    camera_timeout = 1000;  // period 100 ms
    script = {kControl, kControl, kNoControl};
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(connected.load(), 0);
    // Control was last seen by read 2; read 12 is the first one a whole time-out later.
    ASSERT_EQ(ccp_reads.size(), 12u);
    EXPECT_EQ(ccp_reads.back() - ccp_reads[1], 1000ms);
    EXPECT_NE(Log().find("[function:HeartBeat] The camera receive data heart beat timeout."),
              std::string::npos);
}

TEST_F(HeartbeatTest, DeviceErrorsForAWholeTimeoutLoseTheCameraWithTheirOwnMessage) {
    camera_timeout = 1000;
    script = {kDeviceError};
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(connected.load(), 0);
    // Counted from the heartbeat's start, as no read ever showed control.
    ASSERT_EQ(ccp_reads.size(), 11u);
    EXPECT_EQ(ccp_reads.back() - ccp_reads.front(), 1000ms);
    EXPECT_NE(Log().find("[function:HeartBeat] The camera has timed out while receiving data."),
              std::string::npos);
}

TEST_F(HeartbeatTest, ControlSeenAgainWithinTheTimeoutKeepsTheCamera) {
    camera_timeout = 1000;
    script = {kControl, kNoControl, kNoControl, kNoControl, kControl, kDeviceError, kControl};
    on_pause = [this](size_t count) {
        if (count == 20) connected = 0;
    };
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(ccp_reads.size(), 20u);
    EXPECT_EQ(Log().find("timeout"), std::string::npos);
}

TEST_F(HeartbeatTest, ANewTimeoutChangesThePeriodFromTheNextPause) {
    on_pause = [this](size_t count) {
        if (count == 2) timeout = 6000;  // SetHeartBeatTimeout while the heartbeat runs
        if (count == 4) connected = 0;
    };
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{500ms, 500ms, 1500ms, 1500ms}));
}

TEST_F(HeartbeatTest, AnUnansweredTimeoutReadLosesTheCameraAtOnce) {
    timeout_code = TAVI_ERR_READ_REGISTER;
    EXPECT_EQ(heartbeat.Run(), static_cast<unsigned int>(TAVI_ERR_READ_REGISTER));
    EXPECT_TRUE(ccp_reads.empty());
    EXPECT_EQ(connected.load(), 0);  // never a connection that nobody keeps
    EXPECT_NE(Log().find("[function:HeartBeat] Read the camera heart beat error. error code: ffffffcb."),
              std::string::npos);
    EXPECT_NE(Log().find("[function:HeartBeat] The PC does not receive camera data."), std::string::npos);
}

TEST_F(HeartbeatTest, ARefusedTimeoutReadBeatsAtTheDefaultTimeout) {
    timeout_code = static_cast<int>(0x80010000u);  // not implemented
    on_pause = [this](size_t count) {
        if (count == 3) connected = 0;
    };
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(ccp_reads.size(), 3u);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, 500ms));  // a third of 3 s, less 500 ms
    EXPECT_NE(Log().find("Read the camera heart beat error. error code: 80010000."), std::string::npos);
}

TEST_F(HeartbeatTest, ANegativeTimeoutLosesTheCameraAtOnce) {
    camera_timeout = -1;
    EXPECT_EQ(heartbeat.Run(), 0u);
    EXPECT_EQ(connected.load(), 0);
    EXPECT_TRUE(ccp_reads.empty());
    EXPECT_NE(Log().find("[function:HeartBeat] The camera heart beat timeout."), std::string::npos);
}

TEST_F(HeartbeatTest, WakeEndsARealPauseAtOnce) {
    // The real clock and the real, wakeable pause; a time-out of 60 s gives a 19.5 s period.
    std::atomic<bool> read{false};
    tavi::Heartbeat real(
        [&](uint32_t address, int* value) {
            *value = address == kHeartbeatTimeout ? 60000 : 2;
            if (address == kCcp) read = true;
            return 0;
        },
        connected, timeout, &log);
    auto finished = std::async(std::launch::async, [&] { return real.Run(); });
    while (!read.load()) std::this_thread::sleep_for(1ms);
    connected = 0;
    real.Wake();
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(finished.get(), 0u);
}
