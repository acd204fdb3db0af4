#include "distr/ControlFile.h"

#include "base/Errors.h"
#include "base/Singleton.h"
#include "base/RootStorage.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using namespace Patcher;
using namespace testsupport;

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";
const std::string kOther = "fedcba9876543210fedcba9876543210fedcba98";

// Every entry of these tests is read by parseLine and shown here, in the fields that matter.
std::string shown(const ControlEntryPtr& e) {
    if (!e)
        return "none";
    return std::to_string(e->status) + " " + e->pathText() + " " + e->sha1 + " '" + e->package + "' " +
           std::to_string(e->offset) + "+" + std::to_string(e->size) + " stage " + std::to_string(e->stage);
}
std::string parsed(const std::string& line) { return shown(ControlFile::parseLine(line)); }

class ControlFileTest : public ::testing::Test {
protected:
    void SetUp() override { Singleton<RootStorage>::create(); }
    void TearDown() override { Singleton<RootStorage>::destroy(); }
};

} // namespace

TEST_F(ControlFileTest, ParsesTheFieldsOfEachStatus) {
    // Well-formed lines are read by every run; here blanks, separators, CR and
    // the fields that may be left out. Status 0: the size is the stored size.
    const std::pair<std::string, std::string> cases[] = {
        {" 0 | Data/a.bin | " + kHash + " | | pack01 | 1,024 | 300 | | 2 \r",
         "0 Data/a.bin " + kHash + " 'pack01' 1024+300 stage 2"},
        {"0|x|" + kHash + "||p|0|5|", "0 x " + kHash + " 'p' 0+5 stage 1"}, // eight fields
        {"0|x|" + kHash + "||p|0|5", "0 x " + kHash + " 'p' 0+5 stage 1"},  // seven
        {"0|x|" + kHash + "||p|0|5||0", "0 x " + kHash + " 'p' 0+5 stage 0"},
        {"2|Old/File.txt|" + kHash + "|ignored|more", "2 Old/File.txt " + kHash + " '' 0+0 stage 1"},
        {"  \r", "none"},
    };
    for (const auto& [line, fields] : cases)
        EXPECT_EQ(fields, parsed(line)) << line;
}

TEST_F(ControlFileTest, RefusesMalformedAndUnsafeLines) {
    auto expectInvalid = [](const std::string& line, const std::string& message) {
        try {
            ADD_FAILURE() << parsed(line);
        } catch (const InvalidDistr& e) {
            EXPECT_EQ(message, e.message());
            EXPECT_EQ(5, e.code());
        }
    };
    expectInvalid("3|a|" + kHash + "||p|0|1|1", "Invalid status value: 3");
    expectInvalid("-1|a|" + kHash + "||p|0|1|1", "Invalid status value: -1");
    for (const std::string path : {"../evil.dll", "/etc/passwd", "Data/../../evil", "C:\\Windows\\x.dll",
                                   "\\\\server\\share\\x", "a\\..\\..\\b", "", ".", "Data/.."})
        expectInvalid("0|" + path + "|" + kHash + "||p|0|1|", "Unsafe path in control file: " + path);
    expectInvalid("2|../../x|" + kHash, "Unsafe path in control file: ../../x");
    // A whole package is stored and deleted under the temporary directory by its name.
    for (const std::string package : {"../../home/user/.profile", "/etc/passwd", "x/../../y", ".."})
        expectInvalid("1|a|" + kHash + "||" + package + "|0|1|1",
                      "Unsafe package name in control file: " + package);
    EXPECT_EQ("0 a " + kHash + " 'packs/p01' 0+1 stage 1", parsed("0|a|" + kHash + "||packs/p01|0|1|"));
    expectInvalid("0|a|" + kHash + "||p|-5|1|", "Invalid offset value: -5");
    // A range whose end does not fit in 64 bits would wrap every sum made of it.
    expectInvalid("0|a|" + kHash + "||p|9223372036854775000|1000|", "Invalid size value: 1000");
    expectInvalid("0|a|" + kHash + "||p|0|1||-1", "Invalid stage value: -1");

    EXPECT_EQ("0 Data/../Data/./x " + kHash + " 'p' 0+1 stage 1", parsed("0|Data/../Data/./x|" + kHash + "||p|0|1|"));
    for (const std::string& line : {"0|a|" + kHash + "||p|0", "1|a|" + kHash + "||p|0|1", std::string("0|a"),
                                   "x|a|" + kHash, "0|a|" + kHash + "||p|12ab|1|"})
        EXPECT_THROW(parsed(line), Poco::SyntaxException) << line;
}

TEST_F(ControlFileTest, LoadKeepsTheFirstEntryPerPathAndOrdersRemovals) {
    TempDir dir;
    writeFile(dir.file("sub/control.txt"),
                           "0|Data/A.bin|" + kHash + "||p|0|10|\r\n"
                           "\r\n"
                           "0|data/a.BIN|" + kOther + "||p|10|10|\r\n"
                           "1|Data/b.bin|" + kOther + "||p|20|5|50|3\n"
                           "2|zeta.txt|" + kHash + "\r\n"
                           "2|Alpha.txt|" + kOther + "\r\n"
                           "2|alpha.TXT|" + kHash + "\r\n"
                           "2|ALPHA.txt|" + kHash + "\r\n");
    ControlFile file;
    file.load(dir.file("sub/control.txt"));
    EXPECT_EQ(dir.file("sub/"), file.directory());
    ASSERT_EQ(2u, file.count());
    EXPECT_EQ("0 Data/A.bin " + kHash + " 'p' 0+10 stage 1", shown(file.find("DATA/a.bin")));
    EXPECT_EQ("1 Data/b.bin " + kOther + " 'p' 20+50 stage 3", shown(file.find("data/b.bin")));
    EXPECT_EQ("none", shown(file.find("data/c.bin")));
    std::vector<std::string> order;
    for (const auto& item : file.removals())
        order.push_back(item.first.first + ":" + item.second->sha1.text().substr(0, 2));
    EXPECT_EQ((std::vector<std::string>{"alpha.txt:01", "alpha.txt:fe", "zeta.txt:01"}), order);
    // Loading replaces the content.
    writeFile(dir.file("other.txt"), "0|x|" + kHash + "||p|0|1|\n");
    file.load(dir.file("other.txt"));
    EXPECT_EQ(1u, file.count());
    EXPECT_TRUE(file.removals().empty());
}

TEST_F(ControlFileTest, CanonicalLinesRoundTrip) {
    // Hashes are exact text: one in upper case is neither folded nor equal to its lower case.
    const std::string upper = "0123456789ABCDEF0123456789ABCDEF01234567";
    for (const auto& [line, canonical] : std::vector<std::pair<std::string, std::string>>{
             {"0|Data/x.bin|" + kHash + "|" + kHash + "|pack|5|7|999|1", "0|Data/x.bin|" + kHash + "||pack|5|7||"},
             {"1|Data/y.bin|" + kHash + "|" + kOther + "|pack|5|7|20|4", ""},
             {"2|Data/z.bin|" + kHash, ""},
             {"0|u|" + kHash + "|" + upper + "|pack|0|1||", ""},
             {"0|v|abc|abc|pack|0|1||", "0|v|abc||pack|0|1||"}})
        EXPECT_EQ(canonical.empty() ? line : canonical, ControlFile::formatLine(*ControlFile::parseLine(line)));
    EXPECT_NE(upper, Digest(kHash));

    TempDir dir;
    ControlFile file;
    const std::string text = "0|a|" + kHash + "||p|0|1||\r\n1|b|" + kOther + "||p|1|2|3|2\r\n2|c|" + kHash + "\r\n";
    file.parse(text);
    file.save(dir.file("out.txt"));
    EXPECT_EQ(text, readFile(dir.file("out.txt")));
}

TEST_F(ControlFileTest, ManyEntriesAddedOutOfOrderIterateByPath) {
    // Paths interned in reverse: adding them in text order adds falling indexes,
    // enough of them to be merged more than once.
    const int n = 10000;
    for (int i = n - 1; i >= 0; --i)
        Singleton<RootStorage>::instance().index("f" + std::to_string(i));
    ControlFile file;
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(file.add(ControlFile::parseLine("0|f" + std::to_string(i) + "|" + kHash + "||p|" +
                                                    std::to_string(i) + "|1|"),
                             false));
    EXPECT_TRUE(file.add(ControlFile::parseLine("0|F5|" + kOther + "||p|0|1|"), true));
    EXPECT_FALSE(file.add(ControlFile::parseLine("0|f7|" + kOther + "||p|0|1|"), false));
    ASSERT_EQ(static_cast<std::size_t>(n), file.count());
    int previous = -1, seen = 0;
    for (const auto& item : file.entries()) {
        EXPECT_LT(previous, item.first);
        previous = item.first;
        ++seen;
    }
    EXPECT_EQ(n, seen);
    EXPECT_EQ(kOther, file.find("f5")->sha1);
    EXPECT_EQ(kHash, file.find("f7")->sha1);
    EXPECT_EQ(42, file.find("f42")->offset);
}
