#include "distr/FileOps.h"

#include <Poco/Exception.h>

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
    EXPECT_EQ("/abs/x", resolveLocation("/abs/x", "/games/distr/"));
    EXPECT_EQ("C:/games/x", resolveLocation("../x", "C:\\games\\distr\\"));
    EXPECT_EQ("/games/x/", asDirectoryLocation("/games/x"));
}

TEST(ResolveLocationTest, UrlsResolveLikeABrowser) {
    EXPECT_EQ("http://host/x", resolveLocation("../../../x", "http://host/a/"));
    EXPECT_EQ("http://host:8080/a/f.7z?v=1#top", resolveLocation("f.7z?v=1#top", "http://host:8080/a/"));
    EXPECT_EQ("https://host/Games/v2/", resolveLocation("../v2/", "https://host/Games/v1/"));
    EXPECT_EQ("http://host/files/1.0/", resolveLocation("..\\files\\1.0\\", "http://host\\distr\\"));
    EXPECT_EQ("http://host/a/b?x=../y", resolveLocation("./b?x=../y", "http://host/a/"));
    EXPECT_EQ("https://other/x", resolveLocation("https://other/x", "http://host/"));
    EXPECT_EQ("http://host/distr/", asDirectoryLocation("http://host\\distr"));
}

// Whether a text is a URL is a matter of its scheme, not of whether the rest
// parses: a malformed URL must fail as a URL rather than become a local path.
TEST(ResolveLocationTest, AUrlIsKnownByItsSchemeAndKeepsItsQuery) {
    EXPECT_EQ("http://host/100%/", asDirectoryLocation("http://host/100%"));
    EXPECT_THROW(resolveLocation("files/1.0", "http://host/100%/"), Poco::SyntaxException);
    EXPECT_EQ("http://host/v1/?token=a", asDirectoryLocation("http://host/v1?token=a"));
    EXPECT_EQ("http://host/v1/#top", asDirectoryLocation("http://host/v1#top"));
    EXPECT_EQ("http://host/my games/", asDirectoryLocation("http://host/my games"));
    EXPECT_EQ("http://host/my%20games/v1/files/a%20b", resolveLocation("files/a b", "http://host/my games/v1/"));
}
