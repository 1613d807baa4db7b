#include "NSURL.h"

#include <gtest/gtest.h>

namespace {

TEST(NSURLTest, OnlyWellFormedURLTextMakesAURL)
{
    const std::pair<std::string, const char*> wellFormed[] = {
        { "http://www.opendns.com", "http" },
        { "https://dnscrypt.info/public-servers?sort=name#list", "https" },
        { "prefs:root=General&path=Network", "prefs" },
        { "x-web-search+1.0://find/%20a%2Fb", "x-web-search+1.0" },
        { "mailto:support@opendns.com", "mailto" },
        { "http://[::1]:53/~user/a_b.c-d!$'()*,;=", "http" },
    };
    for (const auto& [text, scheme] : wellFormed) {
        auto url = NSURL::URLWithString(text);
        ASSERT_TRUE(url) << text;
        EXPECT_EQ(url->absoluteString(), text);
        EXPECT_EQ(url->scheme(), scheme);
    }

    const std::string malformed[] = {
        "",
        "www.opendns.com",
        "://no-scheme",
        "1http://starts-with-a-digit",
        "ht_tp://underscore-in-scheme",
        "http://has space",
        "http://line\nfeed",
        "http://tab\there",
        "http://caf\xc3\xa9.example",
        "http://quote\"d",
        "http://angle<bracket>",
        "http://back\\slash",
        "http://pipe|and^caret",
        "http://curly{brace}",
        "http://percent%",
        "http://percent%4",
        "http://percent%4g",
        "http://100%",
    };
    for (const auto& text : malformed)
        EXPECT_FALSE(NSURL::URLWithString(text)) << text;
}

} // namespace
