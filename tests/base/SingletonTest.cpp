#include "base/Singleton.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Patcher;

namespace {
struct Widget {
    explicit Widget(int v) : value(v) {}
    int value;
};
} // namespace

TEST(SingletonTest, OneInstanceBetweenCreateAndDestroy) {
    EXPECT_THROW(Singleton<Widget>::instance(), std::logic_error);
    EXPECT_EQ(7, Singleton<Widget>::create(7).value);
    EXPECT_THROW(Singleton<Widget>::create(8), std::logic_error);
    EXPECT_EQ(7, Singleton<Widget>::instance().value);
    Singleton<Widget>::destroy();
    EXPECT_FALSE(Singleton<Widget>::exists());
    Singleton<Widget>::destroy(); // a second destroy is harmless
    EXPECT_EQ(9, Singleton<Widget>::create(9).value);
    Singleton<Widget>::destroy();
}
