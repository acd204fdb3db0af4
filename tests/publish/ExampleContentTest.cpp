#include "tests/publish/PublishTestSupport.h"
#include "tools/examplegen/ExampleContent.h"

#include <gtest/gtest.h>

using namespace Patcher;
using testsupport::readTree;
using testsupport::TempDir;

TEST(ExampleContent, SameOptionsGiveTheSameTreeAndAnotherSeedAnother) {
    TempDir a, b, c; // options: seed, bytes, variant
    writeExampleContent(a.file("t"), {7, 1 << 20, 1});
    writeExampleContent(b.file("t"), {7, 1 << 20, 1});
    writeExampleContent(c.file("t"), {8, 1 << 20, 1});
    const auto treeA = readTree(a.file("t"));
    EXPECT_EQ(treeA, readTree(b.file("t")));
    EXPECT_NE(treeA, readTree(c.file("t")));

    EXPECT_GE(treeA.size(), 200u);
    std::int64_t total = 0;
    for (const auto& [path, content] : treeA)
        total += static_cast<std::int64_t>(content.size());
    EXPECT_NEAR(static_cast<double>(total), 1 << 20, (1 << 20) * 0.05);
    EXPECT_EQ(treeA.at("Data/empty.flag"), "");
    EXPECT_EQ(treeA.at("Data/one.byte").size(), 1u);
    EXPECT_EQ(treeA.count("Localization/fr/Lisez-moi \xC3\xA9t\xC3\xA9.txt"), 1u);
    EXPECT_THROW(writeExampleContent(a.file("t"), {7, 1 << 20, 1}), std::runtime_error);
}
