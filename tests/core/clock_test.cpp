// The clock: whole seconds by truncation, the rendering of a reading before the epoch, and
// now_seconds following the test seam (and the real clock once the seam is cleared).
#include <gtest/gtest.h>

#include <ctime>

#include "clock.h"
#include "test_support.h"

namespace durnel {
namespace {

using test_support::panic_message;

std::string before_epoch(time_t sec, long nsec) {
    return panic_message([&] { seconds_since_epoch(timespec{sec, nsec}); });
}

TEST(Clock, SecondsSinceEpochTruncatesTheFraction) {
    EXPECT_EQ(seconds_since_epoch(timespec{5, 900'000'000}), 5u);
    EXPECT_EQ(seconds_since_epoch(timespec{5, 999'999'999}), 5u);
    EXPECT_EQ(seconds_since_epoch(timespec{0, 0}), 0u);
    EXPECT_EQ(seconds_since_epoch(timespec{0, 1}), 0u);
    EXPECT_EQ(seconds_since_epoch(timespec{4'102'444'800, 0}), 4'102'444'800u);
}

TEST(Clock, ReadingBeforeTheEpochPanicsWithTheDistanceToIt) {
    EXPECT_EQ(before_epoch(-1, 500'000'000),
              "system clock before unix epoch: SystemTimeError(0.5s)");
    EXPECT_EQ(before_epoch(-2, 0), "system clock before unix epoch: SystemTimeError(2s)");
    EXPECT_EQ(before_epoch(-1, 0), "system clock before unix epoch: SystemTimeError(1s)");
    EXPECT_EQ(before_epoch(-3, 250'000'000),
              "system clock before unix epoch: SystemTimeError(2.75s)");
    EXPECT_EQ(before_epoch(-1, 999'999'999),
              "system clock before unix epoch: SystemTimeError(0.000000001s)");
}

class ClockSeam : public test_support::ClockedTest {};

TEST_F(ClockSeam, NowSecondsFollowsTheSeamAndTheRealClockAfterwards) {
    at(1234);
    EXPECT_EQ(now_seconds(), 1234u);
    at(0);
    EXPECT_EQ(now_seconds(), 0u);
    test_support::fail_clock_on_read(1);
    EXPECT_EQ(panic_message([] { now_seconds(); }),
              "system clock before unix epoch: SystemTimeError(1s)");

    set_clock_source_for_testing(nullptr);
    const auto before = static_cast<UnixSeconds>(std::time(nullptr));
    const UnixSeconds real = now_seconds();
    EXPECT_GE(real, before);
    EXPECT_LE(real, before + 2);
}

}  // namespace
}  // namespace durnel
