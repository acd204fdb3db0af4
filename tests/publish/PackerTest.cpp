#include "tests/publish/PublishTestSupport.h"
#include "distr/SevenZip.h"
#include "tools/publish/Packer.h"

#include <gtest/gtest.h>

using namespace Patcher;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(Packer, CompressionPaysFromFivePercentSaved) {
    EXPECT_TRUE(Packer::pays(95, 100));
    EXPECT_FALSE(Packer::pays(96, 100));
    EXPECT_TRUE(Packer::pays(0, 1));
    EXPECT_FALSE(Packer::pays(0, 0));
    EXPECT_FALSE(Packer::pays(120, 100));
}

TEST(Packer, EncodingIsSizedToTheFileAndReadBackByXzAndTheUpdatersDecoder) {
    TempDir dir;
    // Repeats 64 KiB apart: found only through a dictionary that spans them. The
    // large file first, so that the small ones run on the tables it leaves.
    std::string block;
    for (std::uint32_t x = 7; block.size() < (64u << 10);)
        block += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    std::string large;
    while (large.size() < (20u << 20))
        large += block;
    const struct {
        std::string content;
        std::uint32_t dictionary;
    } cases[] = {
        {large, 16u << 20}, {"", 64u << 10}, {"x", 64u << 10}, {std::string(100, 'a'), 64u << 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.size());
        writeFile(dir.file("src"), c.content);
        SevenZip& lzma = Packer::codecFor(c.content.size());
        lzma.setObserver(nullptr);
        lzma.compressFile(dir.file("src"), dir.file("packed"));
        const std::string packed = readFile(dir.file("packed"));
        ASSERT_GE(packed.size(), 13u);
        EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x5D);
        std::uint32_t dictionary = 0;
        std::uint64_t size = 0;
        for (int i = 3; i >= 0; --i)
            dictionary = dictionary << 8 | static_cast<unsigned char>(packed[1 + i]);
        for (int i = 7; i >= 0; --i)
            size = size << 8 | static_cast<unsigned char>(packed[5 + i]);
        EXPECT_EQ(dictionary, c.dictionary);
        EXPECT_EQ(size, c.content.size());
        if (c.content.size() == large.size()) {
            EXPECT_LT(packed.size(), block.size() * 2) << "the repeats were not found";
        }
        EXPECT_TRUE(testsupport::xzDecode(packed) == c.content);
        SevenZip updater;
        updater.decompressFile(dir.file("packed"), dir.file("unpacked"));
        EXPECT_TRUE(readFile(dir.file("unpacked")) == c.content);
    }
}
