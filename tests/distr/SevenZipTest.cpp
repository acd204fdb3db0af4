#include "distr/SevenZip.h"

#include "tests/distr/Samples.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

using namespace Patcher;
using namespace testsupport;

namespace {

class SevenZipTest : public ::testing::Test {
protected:
    // The stream of data by our encoder, or by xz with the options given; kept at file(name).
    std::string pack(const std::string& name, const std::string& data) {
        writeFile(dir.file(name + ".in"), data);
        codec.compressFile(dir.file(name + ".in"), dir.file(name));
        return readFile(dir.file(name));
    }
    std::string xz(const std::string& name, const std::string& data, const std::string& options = "") {
        writeFile(dir.file(name + ".in"), data);
        EXPECT_TRUE(runTool("xz --format=lzma " + options + " -c " + dir.file(name + ".in") + " > " + dir.file(name)));
        return readFile(dir.file(name));
    }
    std::string unpack(const std::string& name) {
        codec.decompressFile(dir.file(name), dir.file(name + ".out"));
        return readFile(dir.file(name + ".out"));
    }
    // The message of a failed decode, which must leave no output behind.
    std::string decodeError(const std::string& stream) {
        writeFile(dir.file("bad.7z"), stream);
        writeFile(dir.file("bad.out"), "stale content");
        std::string message = "no error";
        try {
            codec.decompressFile(dir.file("bad.7z"), dir.file("bad.out"));
        } catch (const Poco::Exception& e) {
            message = e.message();
        } catch (const std::exception& e) {
            message = e.what();
        }
        EXPECT_FALSE(Poco::File(dir.file("bad.out")).exists()) << message;
        return message;
    }
    TempDir dir;
    SevenZip codec;
};

} // namespace

TEST_F(SevenZipTest, ReadsXzStreamsWithoutSizeAndWithAnEndMarker) {
    if (!haveTool("xz"))
        GTEST_SKIP() << "xz not installed";
    const std::string data = sampleData(300000, 1) + sampleData(70000, 2, false);
    // Our streams go through xz in every publication test; the other way: xz writes no size and an end marker.
    EXPECT_EQ(std::string(8, '\xff'), xz("xz.7z", data, "-6").substr(5, 8));
    EXPECT_TRUE(unpack("xz.7z") == data);
    EXPECT_EQ(data.size(), codec.unpackedSize());
    xz("empty.7z", "");
    EXPECT_EQ("", unpack("empty.7z"));
    // An unsized stream cut before its end marker.
    const std::string cut = xz("cut.7z", sampleData(100000, 4));
    EXPECT_EQ("SZ_ERROR_DATA", decodeError(cut.substr(0, cut.size() - 3)));
}

TEST_F(SevenZipTest, ReadsTheSdkToolsStreamsWithSizeAndNoEndMarker) {
    if (!haveTool("lzmp"))
        GTEST_SKIP() << "the LZMA SDK's command line tool (lzmp) is not installed";
    const std::string data = sampleData(250000, 3);
    writeFile(dir.file("data"), data);
    ASSERT_TRUE(runTool("lzmp -c -k " + dir.file("data") + " > " + dir.file("sdk.7z")));
    std::string packed = readFile(dir.file("sdk.7z"));
    EXPECT_EQ(static_cast<unsigned char>(data.size() & 0xff), static_cast<unsigned char>(packed[5]));
    EXPECT_TRUE(unpack("sdk.7z") == data);
    // The same stream claiming an unknown size has no end marker to stop at.
    EXPECT_EQ("SZ_ERROR_DATA", decodeError(packed.replace(5, 8, std::string(8, '\xff'))));
}

TEST_F(SevenZipTest, BadStreamsFailCleanlyAndLeaveNoOutput) {
    const std::string packed = pack("ok.7z", sampleData(100000, 4));
    std::string corrupt = packed;
    for (std::size_t i = 40; i < 60; ++i)
        corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
    const std::pair<std::string, std::string> cases[] = {
        {corrupt, "Failed to decode stream, LZMA CODE: SZ_ERROR_DATA"},
        {packed.substr(0, packed.size() / 2), "SZ_ERROR_DATA"},
        {packed.substr(0, 13), "SZ_ERROR_DATA"}, // header only
        {packed.substr(0, 7), "SZ_ERROR_DATA"},  // short header
        {"", "SZ_ERROR_DATA"},
        {"\xff" + packed.substr(1), "Failed to allocate memory for LZMA decoder, LZMA CODE: SZ_ERROR_UNSUPPORTED"},
        {packed.substr(0, 1) + std::string(12, '\xff') + packed.substr(13), // huge dictionary
         "Failed to allocate memory for LZMA decoder, LZMA CODE: SZ_ERROR_MEM"},
    };
    for (const auto& [stream, message] : cases)
        EXPECT_EQ(message, decodeError(stream)) << stream.size() << " bytes";

    // A header that gives size 0 decodes to an empty file without reading on.
    writeFile(dir.file("zero.7z"), packed.substr(0, 5) + std::string(8, '\0') + "garbage that is never read");
    CountingObserver observer;
    codec.setObserver(&observer);
    EXPECT_EQ("", unpack("zero.7z"));
    EXPECT_EQ(13, observer.readBytes);
}

TEST_F(SevenZipTest, RangeDecodingStaysInsideItsRange) {
    const std::string first = sampleData(70000, 7);
    const std::string a = pack("a.7z", first);
    // A package: junk, entry a, valid bytes right after a's end, junk.
    writeFile(dir.file("pack"), "JUNK" + a + pack("b.7z", sampleData(5000, 8, false)) + std::string(100000, 'J'));
    CountingObserver observer;
    codec.setObserver(&observer);
    codec.decompressRange(dir.file("pack"), dir.file("a.out"), 4, static_cast<std::int64_t>(a.size()));
    EXPECT_TRUE(readFile(dir.file("a.out")) == first);
    EXPECT_EQ(static_cast<std::int64_t>(a.size()), observer.readBytes);
    EXPECT_EQ(static_cast<std::int64_t>(first.size()), observer.writeBytes);
    EXPECT_LE(observer.largestRead, 8192u);
    EXPECT_EQ(0, observer.open);
    codec.setObserver(nullptr);
    // A range shorter than the entry is a truncated stream.
    EXPECT_THROW(codec.decompressRange(dir.file("pack"), dir.file("c.out"), 4, static_cast<std::int64_t>(a.size() / 2)),
                 Poco::DataException);
    EXPECT_FALSE(Poco::File(dir.file("c.out")).exists());
}

TEST_F(SevenZipTest, ObserverExceptionsStopTheEncoderCleanly) {
    struct Stopping : HDDObserver {
        std::int64_t seen = 0;
        void read(int, std::int64_t n, const char*) override {
            if ((seen += n) > 50000)
                throw Poco::IOException("stopped by observer");
        }
    } observer;
    const std::string data = sampleData(200000, 11);
    codec.setObserver(&observer);
    EXPECT_THROW(pack("out.7z", data), Poco::IOException);
    EXPECT_FALSE(Poco::File(dir.file("out.7z")).exists());
    // The encoder stays usable.
    codec.setObserver(nullptr);
    pack("out.7z", data);
    EXPECT_TRUE(unpack("out.7z") == data);
}
