// Arrival stamps on the wall clock turned into the receiver's monotonic time: in order, never after
// the moment they are served, and unharmed by a step of the wall clock.

#include <gtest/gtest.h>

#include "stream/arrival_clock.h"

namespace {

using tavi::stream::ArrivalClock;

constexpr int64_t kOpenedUs = 1'000'000;         // monotonic, when the receiver opened
constexpr int64_t kWallSeconds = 1'800'000'000;  // the wall clock then, whole seconds
constexpr int64_t kWallAtOpenUs = kWallSeconds * 1'000'000;

// Wall stamp `after_open_us` after the receiver opened, as the kernel gives it.
int64_t Seconds(int64_t after_open_us) { return (kWallAtOpenUs + after_open_us) / 1'000'000; }
int64_t Nanoseconds(int64_t after_open_us) { return (kWallAtOpenUs + after_open_us) % 1'000'000 * 1000; }

TEST(ArrivalClock, StampsBecomeMonotonicTimesInOrderAndNoLaterThanTheirRun) {
    ArrivalClock clock(kOpenedUs);
    clock.StartRunAt(kOpenedUs + 500'000, kWallAtOpenUs + 500'000);
    EXPECT_EQ(clock.MonotonicOf(Seconds(120'000), Nanoseconds(120'000) + 999), kOpenedUs + 120'000);
    EXPECT_EQ(clock.MonotonicOf(Seconds(2'400'000), Nanoseconds(2'400'000)), kOpenedUs + 500'000)
        << "a stamp after the run began counts as the run's start";
    EXPECT_EQ(clock.MonotonicOf(Seconds(300'000), Nanoseconds(300'000)), kOpenedUs + 500'000)
        << "an arrival never goes back";
    EXPECT_EQ(clock.MonotonicOf(0, 0), kOpenedUs + 500'000) << "no stamp: the run's start";
    clock.StartRunAt(kOpenedUs + 900'000, kWallAtOpenUs + 900'000);
    EXPECT_EQ(clock.Unstamped(), kOpenedUs + 900'000);
}

TEST(ArrivalClock, NothingArrivesBeforeTheReceiverOpened) {
    ArrivalClock clock(kOpenedUs);
    clock.StartRunAt(kOpenedUs + 10'000, kWallAtOpenUs + 10'000);
    EXPECT_EQ(clock.MonotonicOf(Seconds(-5'000'000), Nanoseconds(-5'000'000)), kOpenedUs);
}

// A wall clock set an hour forward or back between a datagram's arrival and its service moves that
// arrival at most to the previous one or to the run's start, never an hour away: the frame it
// belongs to neither times out at once nor lives an hour.
TEST(ArrivalClock, AStepOfTheWallClockKeepsArrivalsBetweenThePreviousOneAndTheRun) {
    constexpr int64_t kHourUs = 3'600'000'000;
    ArrivalClock clock(kOpenedUs);
    clock.StartRunAt(kOpenedUs + 100'000, kWallAtOpenUs + 100'000);
    ASSERT_EQ(clock.MonotonicOf(Seconds(50'000), Nanoseconds(50'000)), kOpenedUs + 50'000);
    clock.StartRunAt(kOpenedUs + 200'000, kWallAtOpenUs + 200'000 + kHourUs);  // set forward
    EXPECT_EQ(clock.MonotonicOf(Seconds(150'000), Nanoseconds(150'000)), kOpenedUs + 50'000);
    EXPECT_EQ(clock.MonotonicOf(Seconds(190'000 + kHourUs), Nanoseconds(190'000)), kOpenedUs + 190'000);
    clock.StartRunAt(kOpenedUs + 300'000, kWallAtOpenUs + 300'000 - kHourUs);  // set back
    EXPECT_EQ(clock.MonotonicOf(Seconds(250'000 + kHourUs), Nanoseconds(250'000)), kOpenedUs + 300'000);
}

}  // namespace
