#include "app/BaseApp.h"
#include "app/ScopedTimeCalculator.h"

#include <gtest/gtest.h>

using namespace Patcher;

TEST(AppShellTest, BannersAreEightyColumnsWithTheTextCentred) {
    std::string ended = banner("Application ended");
    EXPECT_EQ(std::string(30, '=') + " Application ended " + std::string(31, '='), ended);
    EXPECT_EQ(80u, banner("Application started (v1.2.3)").size());
    EXPECT_EQ(std::string(39, '=') + "  " + std::string(39, '='), banner(""));
    std::string long78(78, 'x');
    EXPECT_EQ(long78, banner(long78)) << "no room for the blanks";
    EXPECT_EQ(" " + std::string(77, 'x') + " =", banner(std::string(77, 'x')));
}

TEST(AppShellTest, ElapsedTimeLines) {
    EXPECT_EQ("Application working time: 1 hours, 2 minutes, 5 seconds. Total 3725 seconds.",
              ScopedTimeCalculator::format("Application working", 3725));
    EXPECT_EQ("Application working time: 42 seconds.", ScopedTimeCalculator::format("Application working", 42));
    EXPECT_EQ("Application working time: 1 minutes, 0 seconds.", ScopedTimeCalculator::format("Application working", 60));
    EXPECT_EQ("X time: 1 minutes, 1 seconds. Total 61 seconds.", ScopedTimeCalculator::format("X", 61));
}
