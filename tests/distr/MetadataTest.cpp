#include "distr/Metadata.h"

#include "base/Errors.h"
#include "base/CmdHandler.h"
#include "base/Singleton.h"
#include "distr/ControlFile.h"
#include "distr/Extract.h"
#include "distr/FileCache.h"
#include "distr/ForwardEvent.h"
#include "distr/LocalFile.h"
#include "distr/SevenZip.h"
#include "distr/VersionInfo.h"
#include "base/RootStorage.h"
#include "tests/support/LogCapture.h"
#include "tests/distr/Samples.h"
#include "tests/support/TempDir.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <sstream>

using namespace Patcher;
using testsupport::LogCapture;
using testsupport::TempDir;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

VersionInfo sampleInfo() {
    std::istringstream in("distribution {1}\n"
                          "version=1.0.5\ntype=full\nenv=\nfiles=http://h/files/1.0.5/\ncontrol-hash=c1\n"
                          "deleted-control-hash=d1\ncommand-hash=\ncompressed-size=1\nsize=2\n\n"
                          "delta {1}\nversion=1.0.3\nfiles=http://h/delta/1.0.3/\ncompressed-size=1\n"
                          "control-hash=dc\n\n");
    VersionInfo info;
    info.parse(in);
    return info;
}

} // namespace

TEST(MetadataTest, NamesOfEveryKind) {
    const VersionInfo info = sampleInfo();
    MetadataNames keep;
    EXPECT_TRUE(keep.contains(".kvo.installed.control.txt"));
    EXPECT_TRUE(keep.contains(".kvo.cache.txt"));

    // The names of the files, version and commands records, and of the adapter,
    // are the ones every run of the updater writes and reads back.
    MetadataFile delta = metadataName(ControlFileType::Delta, "1.0.3", info, keep);
    EXPECT_EQ(".kvo.delta.1.0.3_1.0.5.control.txt", delta.name);
    EXPECT_EQ("dc", delta.expectedHash);
    MetadataFile deleted = metadataName(ControlFileType::Deleted, "1.0.5", info, keep);
    EXPECT_EQ(".kvo.deleted.control.txt", deleted.name);
    EXPECT_EQ("delete.txt", deleted.remoteName);
    EXPECT_EQ("d1", deleted.expectedHash);
    for (const auto& name : {delta.name, deleted.name})
        EXPECT_TRUE(keep.contains(name)) << name;

    EXPECT_THROW(metadataName(ControlFileType::Files, "9.9", info, keep), InvalidDistr);
}

TEST(MetadataTest, InstalledVersionRecord) {
    TempDir dir;
    LogCapture log;
    std::string version;
    EXPECT_FALSE(readInstalledVersion(dir.path(), version));
    writeFile(dir.file(".kvo.installed.control.txt"), "  \t\r\n");
    EXPECT_FALSE(readInstalledVersion(dir.path(), version));
    writeFile(dir.file(".kvo.installed.control.txt"), " 2.0 \r\nignored");
    EXPECT_TRUE(readInstalledVersion(dir.path(), version));
    EXPECT_EQ("2.0", version);

    writeInstalledVersion(dir.file("no/such/dir"), "1");
    EXPECT_TRUE(log.contains("Failed to write installed version info."));
    // A record that is a directory cannot be read.
    createFolder(dir.file("odd/.kvo.installed.control.txt"));
    EXPECT_FALSE(readInstalledVersion(dir.file("odd"), version));
}

TEST(MetadataTest, CleanupKeepsTheKnownNamesAndTheCache) {
    TempDir dir;
    const std::string meta = dir.file(".kvo.meta.dir/");
    createFolder(meta);
    FileCache cache(dir.path());
    cache.put(metadataCachePath(".kvo.files.0.9.control.txt"), "h", 0, 0);
    cache.put(metadataCachePath(".kvo.files.1.0.control.txt"), "h", 0, 0);
    cache.save();
    for (const char* name : {".kvo.cache.txt.tmp", ".kvo.cache.txt.tmp.copy", ".kvo.files.1.0.control.txt",
                             ".kvo.files.0.9.control.txt", ".kvo.installed.control.txt", "adapter-x.exe"})
        writeFile(meta + name, "x");
    MetadataNames keep;
    keep.add(".kvo.files.1.0.control.txt");
    cleanupMetadata(meta, keep, cache);
    std::vector<std::string> left;
    for (const auto& e : DirListing(meta).entries())
        left.push_back(e.name);
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{".kvo.cache.txt", ".kvo.cache.txt.tmp.copy", ".kvo.files.1.0.control.txt",
                                        ".kvo.installed.control.txt"}),
              left);
    EXPECT_FALSE(cache.get(metadataCachePath(".kvo.files.0.9.control.txt")));
    // Saved before the files went: a run killed here names no deleted file.
    EXPECT_EQ(std::string::npos, readFile(meta + ".kvo.cache.txt").find("0.9"));
    EXPECT_TRUE(cache.get(metadataCachePath(".kvo.files.1.0.control.txt")));
}

TEST(MetadataTest, PendingPacksSurviveARunAndForgetDeletedFiles) {
    TempDir dir;
    writeFile(dir.file("pack1"), "1");
    writeFile(dir.file("pack2"), "2");
    {
        PendingPacks packs(dir.path());
        EXPECT_TRUE(packs.insert(dir.file("pack1")));
        EXPECT_TRUE(packs.insert(dir.file("pack2")));
        EXPECT_FALSE(packs.insert(dir.file("pack2")));
        EXPECT_FALSE(packs.remove(dir.file("nothing")));
        // On the disk already: a run killed now keeps its packages.
        EXPECT_EQ(dir.file("pack1") + "\r\n" + dir.file("pack2") + "\r\n",
                  readFile(dir.file(".kvo.pending.packs.txt")));
    }
    Poco::File(dir.file("pack1")).remove();
    {
        PendingPacks packs(dir.path());
        EXPECT_EQ((std::set<std::string>{dir.file("pack2")}), packs.paths());
        EXPECT_EQ(dir.file("pack2") + "\r\n", readFile(dir.file(".kvo.pending.packs.txt")));
        EXPECT_TRUE(packs.remove(dir.file("pack2")));
    }
    EXPECT_FALSE(Poco::File(dir.file(".kvo.pending.packs.txt")).exists()); // empty: nothing written
    writeFile(dir.file(".kvo.pending.packs.txt"), std::string("\0\xff\r\n\r\n|||\r\n", 11));
    PendingPacks garbage(dir.path());
    EXPECT_TRUE(garbage.paths().empty());
}

TEST(MetadataTest, ExtractionCountsPackedBytesLendsTheObserverAndRefusesRangesPastThePackage) {
    Singleton<RootStorage>::create();
    TempDir dir;
    const std::string stored = testsupport::sampleData(20000, 1, false);
    const std::string packedSource = testsupport::sampleData(50000, 2);
    writeFile(dir.file("src"), packedSource);
    struct Idle : HDDEventObserver {
        void read(int, std::int64_t, const char*) override {}
        void write(int, std::int64_t, const char*) override {}
        void start(const std::string&, const std::string&, int) override {}
    } codecOwn;
    SevenZip codec;
    codec.compressFile(dir.file("src"), dir.file("src.7z"));
    codec.setObserver(&codecOwn);
    const std::string packed = readFile(dir.file("src.7z"));
    writeFile(dir.file("pack"), "HEAD" + stored + packed + "TAIL");

    auto compressed = ControlFile::parseLine("1|b|h||pack|" + std::to_string(4 + stored.size()) + "|" +
                                             std::to_string(packed.size()) + "|" +
                                             std::to_string(packedSource.size()));
    StopState stop;
    struct Counting : TaskUpdater {
        using TaskUpdater::TaskUpdater;
        std::int64_t bytes = 0;
        void onBytes(std::int64_t count) override { bytes += count; }
    } updater(nullptr, stop);
    ForwardEvent<HDDObserver> reads(&updater, 0);
    EXPECT_EQ(dir.file("b.unzipped"),
              extractEntry(dir.file("pack"), compressed->offset, *compressed, dir.file("b"), codec, &reads));
    EXPECT_TRUE(readFile(dir.file("b.unzipped")) == packedSource);
    EXPECT_EQ(static_cast<std::int64_t>(packed.size()), updater.bytes);
    EXPECT_EQ(&codecOwn, codec.observer()); // the run's observer was only lent

    auto tooLong = ControlFile::parseLine("0|d|h||pack|" + std::to_string(4 + stored.size() + packed.size()) +
                                          "|100|");
    EXPECT_THROW(extractEntry(dir.file("pack"), tooLong->offset, *tooLong, dir.file("d"), codec), InternalError);
    EXPECT_FALSE(Poco::File(dir.file("d")).exists());
    Singleton<RootStorage>::destroy();
}
