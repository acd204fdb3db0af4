#include "tests/publish/PublishTestSupport.h"
#include "tools/publish/ContentTree.h"
#include "tools/publish/PublishOptions.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

using namespace Patcher;
using testsupport::makeTree;
using testsupport::TempDir;

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
    std::filesystem::create_directories(dir.file("c/empty-dir"));
    std::filesystem::create_symlink(dir.file("c/a.txt"), dir.file("c/link.txt"));
    std::filesystem::create_symlink("../outside/s.txt", dir.file("c/out.txt"));
    std::filesystem::create_directory_symlink("b", dir.file("c/linked"));
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
    EXPECT_EQ(testsupport::readFile(files[6].source), "s");
}

TEST(ContentTree, RefusesLinksThatLeadNowhereOrOutOfTheContentNamingLinkAndTarget) {
    const struct {
        const char* what;
        std::string target;  // relative to the link's directory
        bool directory;
        std::string reason;
    } cases[] = {
        {"dangling", "../fonts/Lato-LightItalic.ttf", false, "which does not exist"},
        {"through a file", "a.txt/x", false, "which does not exist"},
        {"to a directory outside", "../../outside", true, "a directory outside the content"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        makeTree(dir.file("c"), {{"a.txt", "x"}, {"Fonts/keep.txt", "k"}});
        makeTree(dir.file("outside"), {{"s.txt", "s"}});
        if (c.directory)
            std::filesystem::create_directory_symlink(c.target, dir.file("c/Fonts/link"));
        else
            std::filesystem::create_symlink(c.target, dir.file("c/Fonts/link"));
        const std::string message = refusal(dir.file("c"));
        EXPECT_NE(message.find("\"Fonts/link\": it is a symbolic link to \"" + c.target + "\""), std::string::npos)
            << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    // A chain of links that ends nowhere names the first.
    TempDir dir;
    makeTree(dir.file("c"), {{"a.txt", "x"}});
    std::filesystem::create_symlink("gone", dir.file("second"));
    std::filesystem::create_symlink("../second", dir.file("c/first"));
    const std::string message = refusal(dir.file("c"));
    EXPECT_NE(message.find("\"first\": it is a symbolic link to \"../second\", which does not exist"),
              std::string::npos)
        << message;
}

TEST(ContentTree, RefusesPathsTheUpdaterCannotInstallFaithfully) {
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {"dir/a|b.txt", "field separator"},
        {"line\nbreak.txt", "line break"},
        {"cr\r.txt", "line break"},
        {"back\\slash.txt", "back slash"},
        {"drive:c.txt", "Windows"},
        {"a:b.txt", "Windows"},
        {"what?.txt", "Windows"},
        {"tab\there.txt", "Windows"},
        {"dir./x.txt", "dot"},
        {"dir /x.txt", "blank"},
        {"name.", "dot"},
        {" leading.txt", "blank"},
        {"dir/trailing.txt ", "blank"},
        {"bad\xff.bin", "UTF-8"},
        {".kvo.meta.dir/x", "reserves"},
        {".KVO.TMP.DIR/x", "reserves"},
        {"Aux.txt", "device"},
        {"sub/con", "device"},
        {"lpt1/x.bin", "device"},
        {"COM9.tar.gz", "device"},
    };
    for (const auto& c : cases) {
        const std::string message = refusal({{c.path, "x"}});
        EXPECT_NE(message.find(c.path), std::string::npos) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    EXPECT_EQ(refusal({{"in side.txt", "x"}, {"Daten/\xC3\xBC.txt", "y"}, {".config/v1..2.ini", "z"}, {"console.txt", "c"}, {"com10.txt", "d"}, {"lpt/x", "e"}}), "");
}

TEST(ContentTree, RefusesPathsThatMeetWhenCaseIsIgnored) {
    std::string message = refusal({{"Data/Tex.dds", "1"}, {"data/tex.DDS", "2"}});
    EXPECT_NE(message.find("case"), std::string::npos) << message;
    message = refusal({{"Maps", "file"}, {"maps/level.dat", "x"}});
    EXPECT_NE(message.find("a file and a directory"), std::string::npos) << message;
}

TEST(ContentTree, RefusesLinksThatLoop) {
    TempDir dir;
    makeTree(dir.file("c"), {{"a/b/x.txt", "x"}});
    std::filesystem::create_directory_symlink(dir.file("c/a"), dir.file("c/a/b/up"));
    const std::string message = refusal(dir.file("c"));
    EXPECT_NE(message.find("symbolic link loop: " + dir.file("c/a/b/up")), std::string::npos) << message;
}

TEST(ContentTree, RefusesEntriesThatAreNotFiles) {
    TempDir dir;
    makeTree(dir.file("c"), {{"a.txt", "x"}});
    ASSERT_EQ(::mkfifo(dir.file("c/pipe").c_str(), 0600), 0);
    const std::string message = refusal(dir.file("c"));
    EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
}

TEST(ContentTree, Utf8Validity) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE"));
    EXPECT_FALSE(isValidUtf8("\xC3"));             // truncated
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
}
