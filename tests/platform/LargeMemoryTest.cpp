#include "platform/LargeMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// Blocks of awkward sizes start on a large page and are usable to their last
// byte without touching each other: each keeps its own fill.
TEST(LargeMemoryTest, BlocksAreAlignedWritableAndIndependent) {
    const std::size_t page = platform::largePageSize();
    ASSERT_GE(page, 4096u);
    const auto aligned = [page](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % page == 0; };
    const std::size_t sizes[] = {1, page - 1, page, page + 1, 3 * page + 12345};
    std::vector<std::pair<unsigned char*, std::size_t>> blocks;
    for (std::size_t size : sizes) {
        auto* block = static_cast<unsigned char*>(platform::allocateLarge(size));
        EXPECT_TRUE(aligned(block)) << size;
        blocks.emplace_back(block, size);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        std::fill_n(blocks[i].first, blocks[i].second, static_cast<unsigned char>(i + 1));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::string expected(blocks[i].second, static_cast<char>(i + 1));
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(blocks[i].first), blocks[i].second) == expected) << i;
    }
    for (const auto& block : blocks)
        platform::releaseLarge(block.first, block.second);
    void* empty = platform::allocateLarge(0); // a block still, to be released like any other
    EXPECT_TRUE(empty != nullptr && aligned(empty));
    platform::releaseLarge(empty, 0);
}
