#include "tests/publish/PublishTestSupport.h"
#include "tools/publish/ContentTree.h"
#include "tools/publish/PublishOptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <sys/stat.h>

using namespace Patcher;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Why scanning content is refused, or empty when it is not.
std::string refusal(const std::string& content) {
    try {
        scanContent(content);
    } catch (const PublishError& e) {
        return e.message();
    }
    return {};
}

std::string refusal(const std::map<std::string, std::string>& files) {
    TempDir dir;
    makeTree(dir.file("c"), files);
    return refusal(dir.file("c"));
}

} // namespace

TEST(ContentTree, ListsFilesInPathOrderPublishingLinksAsWhatTheyLeadTo) {
    TempDir dir;
    makeTree(dir.file("c"), {{"b/z.txt", "zz"}, {"a.txt", ""}, {"b/a.bin", "123"}});
    makeTree(dir.file("outside"), {{"s.txt", "s"}});
    fs::create_directories(dir.file("c/empty-dir"));
    fs::create_symlink(dir.file("c/a.txt"), dir.file("c/link.txt"));
    fs::create_symlink("../outside/s.txt", dir.file("c/out.txt"));
    fs::create_directory_symlink("b", dir.file("c/linked"));
    const auto files = scanContent(dir.file("c"));
    std::vector<std::string> paths;
    for (const auto& f : files)
        paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"a.txt", "b/a.bin", "b/z.txt", "link.txt", "linked/a.bin",
                                               "linked/z.txt", "out.txt"}));
    EXPECT_EQ(files[1].size, 3);
    EXPECT_EQ(files[1].source, dir.file("c/b/a.bin"));
    EXPECT_EQ(files[0].stage, 1);
    EXPECT_EQ(files[6].size, 1);
    EXPECT_EQ(readFile(files[6].source), "s");
}

// c holds a.txt and Fonts/keep.txt; each case adds what must be refused. %c in
// a message stands for the content directory.
TEST(ContentTree, RefusesLinksThatLeadNowhereOutOfTheContentOrInALoopAndWhatIsNoFileNamingThem) {
    using Make = std::function<void(const std::string& c)>;
    const struct {
        const char* what;
        Make make;
        std::string message;
    } cases[] = {
        {"dangling", [](auto& c) { fs::create_symlink("../fonts/Lato-LightItalic.ttf", c + "Fonts/link"); },
         "\"Fonts/link\": it is a symbolic link to \"../fonts/Lato-LightItalic.ttf\", which does not exist"},
        {"through a file", [](auto& c) { fs::create_symlink("a.txt/x", c + "Fonts/link"); },
         "\"Fonts/link\": it is a symbolic link to \"a.txt/x\", which does not exist"},
        {"to a directory outside", [](auto& c) { fs::create_directory_symlink("../../outside", c + "Fonts/link"); },
         "\"Fonts/link\": it is a symbolic link to \"../../outside\", a directory outside the content"},
        // A chain of links that ends nowhere names the first.
        {"chain",
         [](auto& c) {
             fs::create_symlink("gone", c + "../second");
             fs::create_symlink("../second", c + "first");
         },
         "\"first\": it is a symbolic link to \"../second\", which does not exist"},
        {"loop",
         [](auto& c) {
             fs::create_directories(c + "a/b");
             fs::create_directory_symlink(c + "a", c + "a/b/up");
         },
         "symbolic link loop: %ca/b/up"},
        {"fifo", [](auto& c) { ASSERT_EQ(::mkfifo((c + "pipe").c_str(), 0600), 0); }, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        makeTree(dir.file("c"), {{"a.txt", "x"}, {"Fonts/keep.txt", "k"}});
        makeTree(dir.file("outside"), {{"s.txt", "s"}});
        c.make(dir.file("c/"));
        std::string message = c.message;
        if (const auto at = message.find("%c"); at != std::string::npos)
            message.replace(at, 2, dir.file("c/"));
        EXPECT_TRUE(contains(refusal(dir.file("c")), message));
    }
}

TEST(ContentTree, RefusesPathsTheUpdaterCannotInstallFaithfully) {
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {"dir/a|b.txt", "field separator"}, {"line\nbreak.txt", "line break"}, {"cr\r.txt", "line break"},
        {"back\\slash.txt", "back slash"}, {"drive:c.txt", "Windows"}, {"a:b.txt", "Windows"},
        {"what?.txt", "Windows"}, {"tab\there.txt", "Windows"}, {"dir./x.txt", "dot"}, {"dir /x.txt", "blank"},
        {"name.", "dot"}, {" leading.txt", "blank"}, {"dir/trailing.txt ", "blank"}, {"bad\xff.bin", "UTF-8"},
        {".kvo.meta.dir/x", "reserves"}, {".KVO.TMP.DIR/x", "reserves"}, {"Aux.txt", "device"},
        {"sub/con", "device"}, {"lpt1/x.bin", "device"}, {"COM9.tar.gz", "device"}, {"cut\xC3", "UTF-8"},
        {"overlong\xC0\xAF", "UTF-8"}, {"surrogate\xED\xA0\x80", "UTF-8"}, {"past\xF4\x90\x80\x80", "UTF-8"},
    };
    for (const auto& c : cases) {
        const std::string message = refusal({{c.path, "x"}});
        EXPECT_TRUE(contains(message, c.path));
        EXPECT_TRUE(contains(message, c.reason));
    }
    // Paths that meet when case is ignored.
    EXPECT_TRUE(contains(refusal({{"Data/Tex.dds", "1"}, {"data/tex.DDS", "2"}}), "case"));
    EXPECT_TRUE(contains(refusal({{"Maps", "file"}, {"maps/level.dat", "x"}}), "a file and a directory"));
    EXPECT_EQ(refusal({{"in side.txt", "x"}, {"Daten/\xC3\xBC\xE2\x82\xAC\xF0\x9F\x8E\xAE.txt", "y"},
                       {".config/v1..2.ini", "z"}, {"console.txt", "c"}, {"com10.txt", "d"}, {"lpt/x", "e"}}),
              "");
}
