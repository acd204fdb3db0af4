#include "engine/RootStorage.h"

#include <gtest/gtest.h>

using namespace Patcher;

TEST(RootStorageTest, InternsCaseInsensitivelyKeepingTheFirstText) {
    RootStorage storage;
    EXPECT_EQ(0, storage.index("Data/Textures/A.dds"));
    EXPECT_EQ(1, storage.index("http://host/distr/"));
    EXPECT_EQ(0, storage.index("data/textures/a.DDS"));
    EXPECT_EQ("Data/Textures/A.dds", storage.text(0));
    EXPECT_EQ(std::make_pair(1, true), storage.find("HTTP://HOST/DISTR/"));
    EXPECT_EQ(std::make_pair(-1, false), storage.find("missing"));
    EXPECT_EQ(2u, storage.size());
    EXPECT_THROW(storage.text(2), Poco::RangeException);
}
