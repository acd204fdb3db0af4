#include "tools/publish/PublishOptions.h"
#include "tools/publish/StagePatterns.h"

#include <gtest/gtest.h>

using namespace Patcher;

TEST(StagePatterns, GlobMatchesWholePathsIgnoringCase) {
    const struct {
        const char* pattern;
        const char* path;
        bool match;
    } cases[] = {
        {"Maps/**", "Maps/Level01/a.dat", true}, {"Maps/**", "maps/x", true}, {"Maps/**", "Mapsx/a", false},
        {"Maps/*", "Maps/Level01/a.dat", false}, {"Maps/*/*.dat", "Maps/Level01/a.dat", true},
        {"**/*.ogg", "a.ogg", true}, {"**/*.ogg", "Data/Music/x.OGG", true}, {"**/*.ogg", "Data/Music/x.ogg.bak", false},
        {"Data/**/tex_?.dds", "Data/tex_1.dds", true}, {"Data/**/tex_?.dds", "Data/a/b/tex_12.dds", false},
        {"a?c", "a/c", false}, {"*", "top.txt", true}, {"*", "dir/file", false}, {"**", "dir/file", true},
        {"Data/**.pak", "Data/x/y.pak", true}, {"exact.txt", "exact.txt", true}, {"exact.txt", "exact.txt2", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(globMatch(c.pattern, c.path), c.match) << c.pattern << " vs " << c.path;
}

TEST(StagePatterns, FirstMatchingRuleGivesTheStageAndUnmatchedPathsAreStageOne) {
    auto patterns = StagePatterns::parse("# comment\n\n3 Maps/Level03/**\n2  Maps/**\r\n4 never/**\n", "stages");
    EXPECT_EQ(patterns.stageOf("Maps/Level03/a.dat"), 3);
    EXPECT_EQ(patterns.stageOf("Maps/Level01/a.dat"), 2);
    EXPECT_EQ(patterns.stageOf("bin/game.exe"), 1);
    EXPECT_EQ(patterns.unusedRules(), (std::vector<std::string>{"stages:5: never/**"}));
}

TEST(StagePatterns, RefusesMalformedLinesNamingThem) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"2 ok/**\nnostage\n", "stages:2: expected \"STAGE PATTERN\""},
        {"0 a/**\n", "stages:1: stage must be a number from 1"},
        {"x a/**\n", "stages:1: stage must be a number"},
        {"1001 a/**\n", "stages:1: stage must be a number"},
        {"2 Maps\\**\n", "stages:1: patterns separate directories with \"/\""},
    };
    for (const auto& c : cases) {
        try {
            StagePatterns::parse(c.text, "stages");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const PublishError& e) {
            EXPECT_EQ(e.message().rfind(c.expected, 0), 0u) << e.message();
        }
    }
}
