#include "app/Errors.h"
#include "app/Singleton.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Patcher;

TEST(ErrorsTest, NamesCodesAndDisplayTexts) {
    SHA1CheckError sha("SHA1 verification failed for the file: control.txt.7z", kSHA1CheckErrorCode);
    EXPECT_STREQ("SHA1 check error", sha.name());
    EXPECT_EQ("SHA1 check error: SHA1 verification failed for the file: control.txt.7z", sha.displayText());
    EXPECT_EQ(4, sha.code());
    EXPECT_STREQ("Patcher::SHA1CheckError", sha.className());

    InternalError withArg("Invalid percent", "101", kInternalErrorCode);
    EXPECT_EQ("Invalid percent: 101", withArg.message());

    EXPECT_EQ("Interruption exception", Interrupted(kInterruptedCode).displayText());
    EXPECT_STREQ("Invalid distribution error", InvalidDistr().name());
    EXPECT_STREQ("Updater error", UpdaterError().name());
}

TEST(ErrorsTest, CloneAndRethrowKeepTheDynamicType) {
    InvalidDistr original("Unknown control file type.", kInvalidDistrCode);
    const UpdaterError& base = original;
    std::unique_ptr<Poco::Exception> copy(base.clone());
    ASSERT_NE(nullptr, dynamic_cast<InvalidDistr*>(copy.get()));
    EXPECT_EQ(5, copy->code());
    EXPECT_EQ(original.message(), copy->message());
    EXPECT_THROW(base.rethrow(), InvalidDistr);

    try {
        throw SHA1CheckError("x", kSHA1CheckErrorCode);
    } catch (const UpdaterError& e) {
        EXPECT_STREQ("SHA1 check error", e.name());
    }
}

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
