#include "distr/SevenZip.h"

#include "distr/DiscGuard.h"
#include "tests/distr/Samples.h"
#include "tests/support/TempDir.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

using namespace Patcher;
using testsupport::CountingObserver;
using testsupport::TempDir;
using testsupport::readFile;
using testsupport::runTool;
using testsupport::writeFile;

namespace {

std::string decodeError(SevenZip& codec, const std::string& source, const std::string& target) {
    try {
        codec.decompressFile(source, target);
    } catch (const Poco::Exception& e) {
        return e.message();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

} // namespace

TEST(SevenZipTest, EncoderHeaderAndRoundTripsAtBufferBoundaries) {
    TempDir dir;
    SevenZip codec;
    for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 200000u}) {
        const std::string data = testsupport::sampleData(size, static_cast<unsigned>(size), size % 2 == 0);
        writeFile(dir.file("in"), data);
        codec.compressFile(dir.file("in"), dir.file("in.7z"));
        const std::string packed = readFile(dir.file("in.7z"));
        ASSERT_GE(packed.size(), 13u);
        EXPECT_EQ(std::string("\x5d\x00\x00\x00\x01", 5), packed.substr(0, 5));
        std::uint64_t header = 0;
        for (int i = 7; i >= 0; --i)
            header = header << 8 | static_cast<unsigned char>(packed[5 + i]);
        EXPECT_EQ(size, header);
        EXPECT_EQ(packed.size(), codec.packedSize());

        codec.decompressFile(dir.file("in.7z"), dir.file("out"));
        EXPECT_EQ(size, codec.unpackedSize());
        EXPECT_TRUE(readFile(dir.file("out")) == data) << size;
    }
}

TEST(SevenZipTest, ReadsXzStreamsWithoutSizeAndWithAnEndMarker) {
    if (!testsupport::haveTool("xz"))
        GTEST_SKIP() << "xz not installed";
    TempDir dir;
    SevenZip codec;
    const std::string data = testsupport::sampleData(300000, 1) + testsupport::sampleData(70000, 2, false);
    writeFile(dir.file("data"), data);

    // Our streams go through xz in every publication test; the other way: xz writes no size and an end marker.
    ASSERT_TRUE(runTool("xz --format=lzma -6 -c " + dir.file("data") + " > " + dir.file("xz.7z")));
    EXPECT_EQ(std::string(8, '\xff'), readFile(dir.file("xz.7z")).substr(5, 8));
    codec.decompressFile(dir.file("xz.7z"), dir.file("from-xz"));
    EXPECT_TRUE(readFile(dir.file("from-xz")) == data);
    EXPECT_EQ(data.size(), codec.unpackedSize());

    // An empty stream from xz.
    writeFile(dir.file("empty"), "");
    ASSERT_TRUE(runTool("xz --format=lzma -c " + dir.file("empty") + " > " + dir.file("empty.7z")));
    codec.decompressFile(dir.file("empty.7z"), dir.file("empty.out"));
    EXPECT_EQ("", readFile(dir.file("empty.out")));
}

TEST(SevenZipTest, ReadsTheSdkToolsStreamsWithSizeAndNoEndMarker) {
    if (!testsupport::haveTool("lzmp"))
        GTEST_SKIP() << "the LZMA SDK's command line tool (lzmp) is not installed";
    TempDir dir;
    const std::string data = testsupport::sampleData(250000, 3);
    writeFile(dir.file("data"), data);
    ASSERT_TRUE(runTool("lzmp -c -k " + dir.file("data") + " > " + dir.file("sdk.7z")));
    const std::string packed = readFile(dir.file("sdk.7z"));
    EXPECT_EQ(static_cast<unsigned char>(data.size() & 0xff), static_cast<unsigned char>(packed[5]));
    SevenZip codec;
    codec.decompressFile(dir.file("sdk.7z"), dir.file("out"));
    EXPECT_TRUE(readFile(dir.file("out")) == data);

    // The same stream claiming an unknown size has no end marker to stop at.
    std::string unsized = packed;
    unsized.replace(5, 8, std::string(8, '\xff'));
    writeFile(dir.file("unsized.7z"), unsized);
    EXPECT_EQ("SZ_ERROR_DATA", decodeError(codec, dir.file("unsized.7z"), dir.file("bad")));
}

TEST(SevenZipTest, BadStreamsFailCleanlyAndLeaveNoOutput) {
    TempDir dir;
    SevenZip codec;
    const std::string data = testsupport::sampleData(100000, 4);
    writeFile(dir.file("data"), data);
    codec.compressFile(dir.file("data"), dir.file("ok.7z"));
    const std::string packed = readFile(dir.file("ok.7z"));

    std::string corrupt = packed;
    for (std::size_t i = 40; i < 60; ++i)
        corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
    writeFile(dir.file("corrupt.7z"), corrupt);

    struct Case {
        std::string name, bytes, message;
    };
    const Case cases[] = {
        {"corrupt", corrupt, "Failed to decode stream, LZMA CODE: SZ_ERROR_DATA"},
        {"truncated", packed.substr(0, packed.size() / 2), "SZ_ERROR_DATA"},
        {"header only", packed.substr(0, 13), "SZ_ERROR_DATA"},
        {"short header", packed.substr(0, 7), "SZ_ERROR_DATA"},
        {"empty", "", "SZ_ERROR_DATA"},
        {"bad properties", std::string("\xff") + packed.substr(1),
         "Failed to allocate memory for LZMA decoder, LZMA CODE: SZ_ERROR_UNSUPPORTED"},
        {"huge dictionary", packed.substr(0, 1) + std::string("\xff\xff\xff\xff") + std::string(8, '\xff') +
                                packed.substr(13),
         "Failed to allocate memory for LZMA decoder, LZMA CODE: SZ_ERROR_MEM"},
    };
    for (const Case& c : cases) {
        writeFile(dir.file("in.7z"), c.bytes);
        writeFile(dir.file("out"), "stale content");
        EXPECT_EQ(c.message, decodeError(codec, dir.file("in.7z"), dir.file("out"))) << c.name;
        EXPECT_FALSE(Poco::File(dir.file("out")).exists()) << c.name;
    }
    if (testsupport::haveTool("xz")) {
        // An unsized stream cut before its end marker.
        ASSERT_TRUE(runTool("xz --format=lzma -c " + dir.file("data") + " > " + dir.file("xz.7z")));
        const std::string xz = readFile(dir.file("xz.7z"));
        writeFile(dir.file("cut.7z"), xz.substr(0, xz.size() - 3));
        EXPECT_EQ("SZ_ERROR_DATA", decodeError(codec, dir.file("cut.7z"), dir.file("out")));
    }
    // A header that gives size 0 decodes to an empty file without reading on.
    writeFile(dir.file("zero.7z"), packed.substr(0, 5) + std::string(8, '\0') + "garbage that is never read");
    CountingObserver observer;
    codec.setObserver(&observer);
    codec.decompressFile(dir.file("zero.7z"), dir.file("zero"));
    codec.setObserver(nullptr);
    EXPECT_EQ("", readFile(dir.file("zero")));
    EXPECT_EQ(13, observer.readBytes);
}

// A small stream that expands enormously stops at the limit, whether its header
// promises the size or it runs to an end marker.
TEST(SevenZipTest, OutputLimitStopsAnExpandingStream) {
    TempDir dir;
    SevenZip codec;
    const std::string data(3 << 20, 'z');
    writeFile(dir.file("data"), data);
    codec.compressFile(dir.file("data"), dir.file("sized.7z"));
    std::vector<std::string> streams = {dir.file("sized.7z")};
    if (testsupport::haveTool("xz")) {
        ASSERT_TRUE(runTool("xz --format=lzma -c " + dir.file("data") + " > " + dir.file("unsized.7z")));
        streams.push_back(dir.file("unsized.7z"));
    }
    for (const std::string& stream : streams) {
        codec.setOutputLimit(data.size() - 1);
        EXPECT_EQ("The stream decodes to more than " + std::to_string(data.size() - 1) + " bytes",
                  decodeError(codec, stream, dir.file("out")))
            << stream;
        EXPECT_FALSE(Poco::File(dir.file("out")).exists());
        codec.setOutputLimit(data.size());
        codec.decompressFile(stream, dir.file("out"));
        EXPECT_EQ(data, readFile(dir.file("out"))) << stream;
    }
}

TEST(SevenZipTest, RangeDecodingStaysInsideItsRange) {
    TempDir dir;
    SevenZip codec;
    const std::string first = testsupport::sampleData(70000, 7);
    const std::string second = testsupport::sampleData(5000, 8, false);
    writeFile(dir.file("a"), first);
    writeFile(dir.file("b"), second);
    codec.compressFile(dir.file("a"), dir.file("a.7z"));
    codec.compressFile(dir.file("b"), dir.file("b.7z"));
    const std::string a = readFile(dir.file("a.7z"));
    const std::string b = readFile(dir.file("b.7z")); // valid bytes right after a's end
    // A package: junk, entry a, entry b, junk.
    writeFile(dir.file("pack"), "JUNK" + a + b + std::string(100000, 'J'));

    CountingObserver observer;
    codec.setObserver(&observer);
    codec.decompressRange(dir.file("pack"), dir.file("a.out"), 4, static_cast<std::int64_t>(a.size()));
    EXPECT_TRUE(readFile(dir.file("a.out")) == first);
    EXPECT_EQ(static_cast<std::int64_t>(a.size()), observer.readBytes);
    EXPECT_EQ(static_cast<std::int64_t>(first.size()), observer.writeBytes);
    EXPECT_LE(observer.largestRead, 8192u);
    EXPECT_EQ(0, observer.open);
    codec.setObserver(nullptr);
    // Decoding b at its offset is what every install does with a package.

    // A range shorter than the entry is a truncated stream.
    EXPECT_THROW(codec.decompressRange(dir.file("pack"), dir.file("c.out"), 4,
                                       static_cast<std::int64_t>(a.size() / 2)),
                 Poco::DataException);
    EXPECT_FALSE(Poco::File(dir.file("c.out")).exists());
}

TEST(SevenZipTest, ObserverExceptionsStopTheEncoderCleanly) {
    TempDir dir;
    struct Stopping : HDDObserver {
        std::int64_t seen = 0;
        void read(int, std::int64_t n, const char*) override {
            seen += n;
            if (seen > 50000)
                throw Poco::IOException("stopped by observer");
        }
    } observer;
    writeFile(dir.file("data"), testsupport::sampleData(200000, 11));
    SevenZip codec(&observer);
    EXPECT_THROW(codec.compressFile(dir.file("data"), dir.file("out.7z")), Poco::IOException);
    EXPECT_FALSE(Poco::File(dir.file("out.7z")).exists());
    // The encoder stays usable.
    codec.setObserver(nullptr);
    codec.compressFile(dir.file("data"), dir.file("out.7z"));
    codec.decompressFile(dir.file("out.7z"), dir.file("back"));
    EXPECT_TRUE(readFile(dir.file("back")) == readFile(dir.file("data")));
}
