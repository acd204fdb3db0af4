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

TEST(SingletonTest, CreateInstanceDestroy) {
    try {
        Singleton<Widget>::instance();
        FAIL() << "instance() before create()";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Singleton object '(anonymous namespace)::Widget' does not created yet.", e.what());
    }
    EXPECT_EQ(7, Singleton<Widget>::create(7).value);
    EXPECT_EQ(7, Singleton<Widget>::instance().value);
    EXPECT_THROW(Singleton<Widget>::create(8), std::logic_error);
    Singleton<Widget>::destroy();
    EXPECT_FALSE(Singleton<Widget>::exists());
    Singleton<Widget>::destroy(); // a second destroy is harmless
}
