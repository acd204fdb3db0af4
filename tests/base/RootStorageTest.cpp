#include "base/RootStorage.h"

#include "platform/LargeMemory.h"

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

// Texts from several threads fill more than two storage blocks, one text
// needs a block of its own, and the next one starts another: every text keeps
// its index and its bytes across the table's growth and the blocks' ends.
TEST(RootStorageTest, TextsSurviveGrowthAndCrossStorageBlocksFromSeveralThreads) {
    RootStorage storage;
    const std::size_t block = platform::largePageSize();
    const int perThread = 20000;
    const std::string pad(64, 'p'); // mixed case: text and key are kept apart
    const std::size_t bytes = 4 * perThread * 2 * (pad.size() + 20);
    ASSERT_GT(bytes, 2 * block);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                storage.index("Dir" + std::to_string(t) + "/" + pad + "_" + std::to_string(i));
        });
    for (auto& thread : threads)
        thread.join();
    const std::string longText(block + 1, 'Q');
    const int big = storage.index(longText);
    const int after = storage.index("After/The/Big/One");
    EXPECT_EQ(4 * perThread, big);
    EXPECT_EQ(big + 1, after);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < perThread; i += 397) {
            const std::string text = "Dir" + std::to_string(t) + "/" + pad + "_" + std::to_string(i);
            const auto found = storage.find(asciiLower(text));
            ASSERT_TRUE(found.second) << text;
            EXPECT_EQ(text, storage.text(found.first));
        }
    EXPECT_EQ(longText, storage.text(big));
    EXPECT_EQ(std::make_pair(big, true), storage.find(asciiLower(longText)));
    EXPECT_EQ("After/The/Big/One", storage.text(after));
    EXPECT_EQ(std::make_pair(after, true), storage.find("after/the/big/one"));
}
