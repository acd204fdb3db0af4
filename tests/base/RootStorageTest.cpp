#include "base/RootStorage.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

// Many texts cross both the table's growth and the storage blocks' ends; every
// one must still map to its own index and keep its bytes.
TEST(RootStorageTest, ManyTextsAndLongOnesSurviveGrowthFromSeveralThreads) {
    RootStorage storage;
    const std::string longText(300 * 1024, 'Q'); // longer than one storage block
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&storage, t] {
            for (int i = 0; i < 20000; ++i)
                storage.index((t % 2 ? "DIR/File_" : "dir/file_") + std::to_string(i));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(20000u, storage.size());
    const int big = storage.index(longText);
    EXPECT_EQ(20000, big);
    for (int i = 0; i < 20000; i += 997) {
        const auto found = storage.find("Dir/FILE_" + std::to_string(i));
        ASSERT_TRUE(found.second) << i;
        EXPECT_EQ(asciiLower(storage.text(found.first)), "dir/file_" + std::to_string(i));
    }
    EXPECT_EQ(longText, storage.text(big));
    EXPECT_EQ(std::make_pair(big, true), storage.find(asciiLower(longText)));
    EXPECT_EQ(20001, storage.index("after/the/big/one"));
    EXPECT_EQ("after/the/big/one", storage.text(20001));
}
