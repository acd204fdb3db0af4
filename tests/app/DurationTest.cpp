#include "app/ScopedTimeCalculator.h"
#include "progress/ConsoleProgress.h"

#include <gtest/gtest.h>

using namespace Patcher;

// A run on a slow link can take days: the hours alone wrap at 24.
TEST(DurationTest, DaysAreKeptInTheDisplaysAndTheRunTimer) {
    EXPECT_EQ("42s", formatDuration(42));
    EXPECT_EQ("1m 0s", formatDuration(60));
    EXPECT_EQ("5m 12s", formatDuration(312));
    EXPECT_EQ("1h, 2m", formatDuration(3725));
    EXPECT_EQ("23h, 59m", formatDuration(86399));
    EXPECT_EQ("1d, 0h, 0m", formatDuration(86400));
    EXPECT_EQ("2d, 1h, 2m", formatDuration(2 * 86400 + 3725));

    EXPECT_EQ("Application working time: 42 seconds.", ScopedTimeCalculator::format("Application working", 42));
    EXPECT_EQ("X time: 1 minutes, 0 seconds.", ScopedTimeCalculator::format("X", 60));
    EXPECT_EQ("X time: 1 minutes, 1 seconds. Total 61 seconds.", ScopedTimeCalculator::format("X", 61));
    EXPECT_EQ("Run time: 1 days, 1 hours, 2 minutes, 5 seconds. Total 90125 seconds.",
              ScopedTimeCalculator::format("Run", 90125));
    EXPECT_EQ("Run time: 3 days, 7 seconds. Total 259207 seconds.", ScopedTimeCalculator::format("Run", 3 * 86400 + 7));
}
