#include "tests/publish/PublishTestSupport.h"

#include "base/Singleton.h"
#include "distr/FileOps.h"
#include "base/RootStorage.h"

#include <Poco/Path.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>


namespace fs = std::filesystem;

namespace testsupport {

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

std::string which(const std::string& name) {
    const char* path = std::getenv("PATH");
    Poco::Path found;
    return Poco::Path::find(path ? path : "/usr/bin:/bin", name, found) ? found.toString() : std::string();
}

std::string publisherPath() { return buildDir() + "tools/publish/patcher-publish"; }

RunResult publish(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    // Sanitizer builds run the encoder several times slower.
    return runProgram(publisherPath(), args, {"", env}, 600000);
}

std::string readRange(const std::string& path, std::int64_t offset, std::int64_t size) {
    const std::string all = readFile(path);
    EXPECT_LE(offset + size, static_cast<std::int64_t>(all.size())) << path << " at " << offset;
    return all.substr(std::min(static_cast<std::size_t>(offset), all.size()), static_cast<std::size_t>(size));
}

std::string xzDecode(const std::string& bytes) {
    // Our streams give their size and end with a marker too; xz 5.4 refuses such
    // a stream when the marker crosses its 8 KiB read, so it is given the stream
    // as of unknown size and the size is compared here.
    if (bytes.size() < 13) {
        ADD_FAILURE() << "no LZMA header in " << bytes.size() << " bytes";
        return {};
    }
    TempDir tmp;
    std::string unsized = bytes;
    unsized.replace(5, 8, 8, '\xff');
    writeFile(tmp.file("in.lzma"), unsized);
    const RunResult r = runProgram(which("xz"), {"--format=lzma", "-d", "-c", tmp.file("in.lzma")});
    EXPECT_EQ(r.code, 0) << r.err;
    std::uint64_t size = 0;
    for (int i = 12; i >= 5; --i)
        size = size << 8 | static_cast<unsigned char>(bytes[i]);
    EXPECT_TRUE(size == ~std::uint64_t{0} || size == r.out.size()) << "stated " << size << ", decoded " << r.out.size();
    return r.out;
}

std::string xdelta3Decode(const std::string& old, const std::string& delta) {
    TempDir tmp;
    writeFile(tmp.file("old"), old);
    writeFile(tmp.file("delta"), delta);
    const RunResult r = runProgram(which("xdelta3"), {"-d", "-s", tmp.file("old"), tmp.file("delta"), tmp.file("new")});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.code == 0 ? readFile(tmp.file("new")) : std::string();
}

std::vector<std::string> hiddenEntries(const std::string& root) {
    std::vector<std::string> names;
    if (!fs::exists(root))
        return names;
    for (const auto& e : fs::directory_iterator(root)) {
        const std::string name = e.path().filename().string();
        if (!name.empty() && name[0] == '.')
            names.push_back(name);
    }
    return names;
}

void ensureRootStorage() {
    if (!Patcher::Singleton<Patcher::RootStorage>::exists())
        Patcher::Singleton<Patcher::RootStorage>::create();
}

void Publication::loadControl(const std::string& packed, const std::string& hash, Patcher::ControlFile& into) {
    const std::string plain = xzDecode(readFile(packed));
    ASSERT_EQ(sha1Hex(plain), hash) << packed;
    TempDir tmp;
    writeFile(tmp.file("control.txt"), plain);
    into.load(tmp.file("control.txt"));
}

Publication Publication::at(const std::string& versionDir) {
    ensureRootStorage();
    Publication p;
    p.info.load(versionDir + "version-info.txt");
    p.info.rebaseFiles(versionDir);
    EXPECT_FALSE(p.info.distrs().empty()) << versionDir;
    if (p.info.distrs().empty())
        return p;
    p.distr = p.info.distrs().back();
    p.filesDir = Patcher::asDirectoryLocation(p.distr->files);
    loadControl(p.filesDir + "control.txt.7z", p.distr->controlHash, p.files);
    loadControl(p.filesDir + "delete.txt.7z", p.distr->deletedControlHash, p.deleted);
    return p;
}

std::string Publication::content(const Patcher::ControlEntry& entry, const std::string& filesDir) {
    const std::string stored = readRange(filesDir + entry.package, entry.offset, entry.storedSize);
    return entry.status == 1 ? xzDecode(stored) : stored;
}

void Deltas::load(const std::string& filesDir, const std::string& from) {
    Patcher::VersionInfo info;
    info.load(filesDir + "version-info.txt");
    info.rebaseFiles(filesDir);
    delta = info.findDelta(from);
    if (!delta)
        return;
    dir = Patcher::asDirectoryLocation(delta->files);
    Publication::loadControl(dir + "control.txt.7z", delta->controlHash, files);
}

} // namespace testsupport
