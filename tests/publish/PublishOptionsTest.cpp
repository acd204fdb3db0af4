#include "tools/publish/PublicationLayout.h"
#include "tools/publish/PublishOptions.h"

#include <gtest/gtest.h>

using namespace Patcher;

namespace {

PublishOptions parse(std::vector<std::string> extra) {
    std::vector<std::string> args{"--content", "c", "--version", "1.1", "--out", "R"};
    args.insert(args.end(), extra.begin(), extra.end());
    return parsePublishOptions(args);
}

} // namespace

TEST(PublishOptions, ParsesBothFormsAndListsOfPreviousVersions) {
    const PublishOptions o = parse({"--previous", "0.9", "1.0", "--jobs=3", "--previous=0.8", "--package-size", "64K",
                                    "--force", "--env=steam", "--env-content", "e"});
    EXPECT_EQ(o.content, "c");
    EXPECT_EQ(o.previous, (std::vector<std::string>{"0.9", "1.0", "0.8"}));
    EXPECT_EQ(o.jobs, 3);
    EXPECT_EQ(o.packageSize, 64 << 10);
    EXPECT_TRUE(o.force);
    EXPECT_EQ(o.envName, "steam");
    EXPECT_EQ(o.envContent, "e");
    EXPECT_GE(parse({}).jobs, 1);
    EXPECT_EQ(parse({}).packageSize, 64 << 20);
    EXPECT_TRUE(parsePublishOptions({"--help"}).help);
}

TEST(PublishOptions, RefusesMalformedCommandLines) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--version", "1", "--out", "R"}, "missing --content DIR"},
        {{"--content", "c", "--out", "R"}, "missing --version V"},
        {{"--content", "c", "--version", "1"}, "missing --out ROOT"},
        {{"--content", "c", "--content", "d", "--version", "1", "--out", "R"}, "option --content given twice"},
        {{"--content", "c", "--version", "1", "--out"}, "option --out needs a value"},
        {{"--content=", "--version", "1", "--out", "R"}, "option --content needs a non-empty value"},
        {{"--content", "c", "--version", "1", "--out", "R", "--jobs", "0"}, "invalid number of jobs: 0"},
        {{"--content", "c", "--version", "1", "--out", "R", "--package-size", "-5"}, "invalid size: -5"},
        {{"--content", "c", "--version", "1", "--out", "R", "--package-size", "12Q"}, "invalid size: 12Q"},
        {{"--content", "c", "--version", "1", "--out", "R", "stray"}, "unknown option: stray"},
        {{"--gen-key", "k", "--content", "c"}, "--gen-key DIR is used alone"},
    };
    for (const auto& c : cases) {
        try {
            parsePublishOptions(c.args);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const UsageError& e) {
            EXPECT_EQ(e.message(), c.message);
        }
    }
}

TEST(PublishOptions, NamesAndSizes) {
    for (const char* good : {"1.0", "2.0.15-beta+3", "v_2"})
        EXPECT_TRUE(isSafeName(good)) << good;
    for (const char* bad : {"", ".hidden", "..", "a/b", "a\\b", "a b", "1.0|x", "\xC3\xA9"})
        EXPECT_FALSE(isSafeName(bad)) << bad;
    EXPECT_EQ(parseByteSize("1"), 1);
    EXPECT_EQ(parseByteSize("3k"), 3 << 10);
    EXPECT_EQ(parseByteSize("1G"), 1 << 30);
    EXPECT_THROW(parseByteSize("0"), UsageError);
    EXPECT_THROW(parseByteSize("K"), UsageError);
    EXPECT_THROW(parseByteSize("99999999999G"), UsageError);
    for (const char* reserved : {"deltas", "Version-Info.txt", "control.txt.7z", "stage1-0001.pak"})
        EXPECT_TRUE(PublicationLayout::isReservedName(reserved)) << reserved;
    EXPECT_FALSE(PublicationLayout::isReservedName("steam"));
}
