#include "tests/publish/PublishTestSupport.h"
#include "tools/examplegen/ExampleContent.h"

#include <gtest/gtest.h>

#include <set>

using namespace Patcher;
using testsupport::readTree;
using testsupport::TempDir;

namespace {

ExampleOptions options(int variant, std::uint64_t seed = 7) {
    ExampleOptions o;
    o.seed = seed;
    o.totalBytes = 1 << 20;
    o.variant = variant;
    return o;
}

} // namespace

TEST(ExampleContent, SameOptionsGiveTheSameTreeAndAnotherSeedAnother) {
    TempDir a, b, c;
    writeExampleContent(a.file("t"), options(1));
    writeExampleContent(b.file("t"), options(1));
    writeExampleContent(c.file("t"), options(1, 8));
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
    EXPECT_THROW(writeExampleContent(a.file("t"), options(1)), std::runtime_error);
}

TEST(ExampleContent, SecondVariantEditsRewritesGrowsAddsAndRemoves) {
    TempDir dir;
    writeExampleContent(dir.file("v1"), options(1));
    writeExampleContent(dir.file("v2"), options(2));
    const auto v1 = readTree(dir.file("v1"));
    const auto v2 = readTree(dir.file("v2"));

    std::map<ChangeKind, int> changes;
    for (const auto& f : planExampleContent(options(2))) {
        ++changes[f.change];
        const std::string& now = v2.at(f.path);
        ASSERT_EQ(static_cast<std::int64_t>(now.size()), f.size()) << f.path;
        if (f.change == ChangeKind::Added) {
            EXPECT_EQ(v1.count(f.path), 0u) << f.path;
            continue;
        }
        const std::string& before = v1.at(f.path);
        if (f.change == ChangeKind::Unchanged)
            EXPECT_EQ(now, before) << f.path;
        else
            EXPECT_NE(now, before) << f.path;
        if (f.change == ChangeKind::Edited || f.change == ChangeKind::Grown) {
            // Untouched before the first edit; the tail after the last one too.
            const auto& first = f.edits.front();
            EXPECT_EQ(now.substr(0, static_cast<std::size_t>(first.pos)),
                      before.substr(0, static_cast<std::size_t>(first.pos)))
                << f.path;
            const auto& last = f.edits.back();
            const std::int64_t end = last.pos + (last.type == ExampleEdit::Insert ? 0 : last.length);
            const std::size_t tail = before.size() - static_cast<std::size_t>(end);
            EXPECT_EQ(now.substr(now.size() - tail), before.substr(before.size() - tail)) << f.path;
        }
    }
    EXPECT_GT(changes[ChangeKind::Edited], 10);
    EXPECT_GT(changes[ChangeKind::Rewritten], 0);
    EXPECT_GT(changes[ChangeKind::Grown], 0);
    EXPECT_GT(changes[ChangeKind::Added], 0);
    int removed = 0;
    for (const auto& [path, content] : v1)
        removed += v2.count(path) == 0;
    EXPECT_GT(removed, 5);
}
