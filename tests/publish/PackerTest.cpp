#include "tests/publish/PublishTestSupport.h"
#include "distr/ControlFile.h"
#include "tools/examplegen/ExampleContent.h"
#include "distr/SevenZip.h"
#include "tools/publish/Packer.h"
#include "tools/publish/Progress.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Patcher;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string example(ContentKind kind, std::int64_t size, std::uint64_t seed = 3) {
    TempDir dir;
    ExampleFile f{"x", kind, ChangeKind::Unchanged, seed, size, {}};
    writeExampleFile(f, dir.file("x"));
    return readFile(dir.file("x"));
}

} // namespace

TEST(Packer, CompressionPaysFromFivePercentSaved) {
    EXPECT_TRUE(Packer::pays(95, 100));
    EXPECT_FALSE(Packer::pays(96, 100));
    EXPECT_TRUE(Packer::pays(0, 1));
    EXPECT_FALSE(Packer::pays(0, 0));
    EXPECT_FALSE(Packer::pays(120, 100));
}

TEST(Packer, ChoosesPerKindAndTheCompressedStreamDecodesWithXz) {
    TempDir dir;
    const struct {
        ContentKind kind;
        std::int64_t size;
        int status;
        bool sampledOnly; // judged from samples, never compressed whole
    } cases[] = {
        {ContentKind::Text, 100 << 10, 1, false},
        {ContentKind::Random, 100 << 10, 0, false},
        {ContentKind::Text, 600 << 10, 1, false},
        {ContentKind::Records, 300 << 10, 1, false},
        {ContentKind::Random, 3 << 20, 0, true},
        {ContentKind::Packed, 2 << 20, 0, true},
    };
    int serial = 0;
    for (const auto& c : cases) {
        const std::string blob = dir.file("blob" + std::to_string(serial++));
        const std::string content = example(c.kind, c.size);
        writeFile(dir.file("src"), content);
        PublishStats stats;
        Packer packer(stats, nullptr);
        const StoredForm form = packer.pack(dir.file("src"), c.size, blob);
        SCOPED_TRACE(static_cast<int>(c.kind));
        EXPECT_EQ(form.status, c.status);
        EXPECT_EQ(stats.workNs[PublishStats::Compress] == 0, c.sampledOnly);
        EXPECT_EQ(stats.bytesDone, c.size);
        if (form.status == 1) {
            const std::string stream = readFile(blob);
            EXPECT_EQ(static_cast<std::int64_t>(stream.size()), form.storedSize);
            EXPECT_TRUE(Packer::pays(form.storedSize, c.size));
            EXPECT_EQ(testsupport::xzDecode(stream), content);
        } else {
            EXPECT_EQ(form.storedSize, c.size);
            EXPECT_FALSE(std::filesystem::exists(blob));
        }
    }
}

TEST(Packer, EntriesAreExtractedAndHashedStraightFromTheirPackage) {
    testsupport::ensureRootStorage();
    TempDir dir;
    const std::string text = example(ContentKind::Text, 50000), raw = example(ContentKind::Random, 3000);
    writeFile(dir.file("text"), text);
    PublishStats stats;
    Packer packer(stats, nullptr);
    const StoredForm form = packer.pack(dir.file("text"), static_cast<std::int64_t>(text.size()), dir.file("blob"));
    ASSERT_EQ(form.status, 1);
    writeFile(dir.file("pack"), raw + readFile(dir.file("blob")) + "trailing bytes of another entry");

    ControlEntry stored;
    stored.status = 0;
    stored.offset = 0;
    stored.storedSize = stored.size = static_cast<std::int64_t>(raw.size());
    ControlEntry packed;
    packed.status = 1;
    packed.offset = static_cast<std::int64_t>(raw.size());
    packed.storedSize = form.storedSize;
    packed.size = static_cast<std::int64_t>(text.size());

    std::int64_t size = 0;
    EXPECT_EQ(sha1OfEntry(stored, dir.file("pack"), &size), testsupport::sha1Hex(raw));
    EXPECT_EQ(size, stored.size);
    EXPECT_EQ(sha1OfEntry(packed, dir.file("pack"), &size), testsupport::sha1Hex(text));
    EXPECT_EQ(size, packed.size);
    extractEntry(stored, dir.file("pack"), dir.file("out0"));
    extractEntry(packed, dir.file("pack"), dir.file("out1"));
    EXPECT_EQ(readFile(dir.file("out0")), raw);
    EXPECT_EQ(readFile(dir.file("out1")), text);
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
