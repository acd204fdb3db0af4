#include "distr/FileOps.h"

#include <gtest/gtest.h>

using namespace Patcher;

TEST(ResolveLocationTest, ANameStartingWithHttpIsRelative) {
    EXPECT_EQ("http://host/distr/httpdocs/a", resolveLocation("httpdocs/a", "http://host/distr/"));
    EXPECT_EQ("/games/distr/httpdocs/a", resolveLocation("httpdocs/a", "/games/distr/"));
    EXPECT_EQ("/games/distr/http/", asDirectoryLocation("/games/distr/http"));
    EXPECT_EQ("httpdocs/", asDirectoryLocation("httpdocs"));
    // Real URLs still come back unchanged, whatever the case of the scheme.
    EXPECT_EQ("HTTPS://other/x", resolveLocation("HTTPS://other/x", "/games/"));
}

TEST(ResolveLocationTest, LocalLettersAreKeptAsWritten) {
    EXPECT_EQ("readme.txt", resolveLocation("../../readme.txt", "Games/v1/"));
    EXPECT_EQ("Games/readme.txt", resolveLocation("..\\readme.txt", "Games\\v1\\"));
    EXPECT_EQ("Games/v1/files/", resolveLocation("files/x/..", "Games/v1/"));
    EXPECT_EQ("/Games/a b/c", resolveLocation("./a b/./c", "/Games/"));
}

TEST(ResolveLocationTest, UrlsResolveLikeABrowser) {
    EXPECT_EQ("http://host/x", resolveLocation("../../../x", "http://host/a/"));
    EXPECT_EQ("http://host:8080/a/f.7z?v=1#top", resolveLocation("f.7z?v=1#top", "http://host:8080/a/"));
    EXPECT_EQ("https://host/Games/v2/", resolveLocation("../v2/", "https://host/Games/v1/"));
    EXPECT_EQ("http://host/files/1.0/", resolveLocation("..\\files\\1.0\\", "http://host\\distr\\"));
}
