#include "app/ScopedTimeCalculator.h"
#include "progress/ConsoleProgress.h"

#include <gtest/gtest.h>

using namespace Patcher;

// A run on a slow link can take days: the hours alone wrap at 24.
TEST(DurationTest, DaysAreKeptInTheDisplaysAndTheRunTimer) {
    EXPECT_EQ("1d, 0h, 0m", formatDuration(86400));
    EXPECT_EQ("2d, 1h, 2m", formatDuration(2 * 86400 + 3725));
    EXPECT_EQ("23h, 59m", formatDuration(86399));

    EXPECT_EQ("Run time: 1 days, 1 hours, 2 minutes, 5 seconds. Total 90125 seconds.",
              ScopedTimeCalculator::format("Run", 90125));
    EXPECT_EQ("Run time: 3 days, 7 seconds. Total 259207 seconds.", ScopedTimeCalculator::format("Run", 3 * 86400 + 7));
}
