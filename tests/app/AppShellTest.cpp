#include "app/ScopedTimeCalculator.h"

#include <gtest/gtest.h>

using namespace Patcher;

TEST(AppShellTest, ElapsedTimeLines) {
    EXPECT_EQ("Application working time: 1 hours, 2 minutes, 5 seconds. Total 3725 seconds.",
              ScopedTimeCalculator::format("Application working", 3725));
    EXPECT_EQ("Application working time: 42 seconds.", ScopedTimeCalculator::format("Application working", 42));
    EXPECT_EQ("Application working time: 1 minutes, 0 seconds.", ScopedTimeCalculator::format("Application working", 60));
    EXPECT_EQ("X time: 1 minutes, 1 seconds. Total 61 seconds.", ScopedTimeCalculator::format("X", 61));
}
