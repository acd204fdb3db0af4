#include "platform/LargeMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <vector>

// Blocks of awkward sizes come back aligned to a large page, usable to their
// last byte, and independent of each other; an arena over the resource grows
// past its first block and releases everything.
TEST(LargeMemoryTest, BlocksAreAlignedWritableAndIndependent) {
    const std::size_t page = platform::largePageSize();
    ASSERT_GT(page, 0u);
    const std::size_t sizes[] = {0, 1, page - 1, page, page + 1, 3 * page + 12345};
    std::vector<std::pair<unsigned char*, std::size_t>> blocks;
    for (std::size_t size : sizes) {
        auto* block = static_cast<unsigned char*>(platform::allocateLarge(size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % page, 0u) << size;
        blocks.emplace_back(block, size);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (blocks[i].second > 0)
            std::memset(blocks[i].first, static_cast<int>(i + 1), blocks[i].second);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].second == 0)
            continue;
        EXPECT_EQ(blocks[i].first[0], i + 1);
        EXPECT_EQ(blocks[i].first[blocks[i].second - 1], i + 1);
    }
    for (const auto& block : blocks)
        platform::releaseLarge(block.first, block.second);

    std::pmr::monotonic_buffer_resource arena(page, platform::largeBlocks());
    std::pmr::vector<std::uint64_t> values(&arena);
    for (std::uint64_t i = 0; i < 3 * page / sizeof(std::uint64_t); ++i)
        values.push_back(i);
    EXPECT_EQ(values.back(), 3 * page / sizeof(std::uint64_t) - 1);
}
