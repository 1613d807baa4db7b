// Who may use the device's page: the token, the server's own Host and Origin, and the addresses the
// server takes. On a real machine the page changes the machine's DNS, so each rule is a case here.
#include "DevicePageServer.h"
#include "PageAccess.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* token = "0123456789abcdef0123456789abcdef";

struct AccessCase {
    const char* what;
    const char* listenAddress;
    PageAccess::Request request;
    bool allowed;
};

PageAccess::Request withToken(std::optional<std::string> host, std::optional<std::string> origin = std::nullopt)
{
    return { std::move(host), std::move(origin), std::nullopt, std::nullopt, token, std::nullopt };
}

} // namespace

TEST(PageAccessTest, OnlyRequestsWithTheTokenToTheServersOwnAddressGetThrough)
{
    const std::string wrongToken(32, 'f');
    const AccessCase cases[] = {
        { "the header's token, the server's own address", "127.0.0.1", withToken("127.0.0.1:8731"), true },
        { "localhost names a loopback server", "127.0.0.1", withToken("localhost:8731"), true },
        { "the link's token", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, token, std::nullopt, std::nullopt }, true },
        { "the cookie's token", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, std::nullopt, std::nullopt, token }, true },
        { "the page's own origin", "127.0.0.1", withToken("127.0.0.1:8731", "http://127.0.0.1:8731"), true },
        { "an IPv6 server by its address", "::1", withToken("[::1]:8731", "http://[::1]:8731"), true },
        { "a server on every address, by one of this machine's", "0.0.0.0", withToken("192.0.2.7:8731"), true },
        { "no token", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt }, false },
        { "a wrong token", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, wrongToken, wrongToken, wrongToken }, false },
        { "a token cut short", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, std::string(token, 31), std::nullopt, std::nullopt }, false },
        { "an empty token", "127.0.0.1", { "127.0.0.1:8731", std::nullopt, std::nullopt, "", "", "" }, false },
        { "no Host", "127.0.0.1", withToken(std::nullopt), false },
        { "another port", "127.0.0.1", withToken("127.0.0.1:8732"), false },
        { "no port: 80", "127.0.0.1", withToken("127.0.0.1"), false },
        { "a port that is no number", "127.0.0.1", withToken("127.0.0.1:87x1"), false },
        { "a name that leads here (DNS rebinding)", "127.0.0.1", withToken("attacker.example:8731"), false },
        { "another loopback address", "127.0.0.1", withToken("127.0.0.2:8731"), false },
        { "localhost for a server that is not on loopback", "192.0.2.7", withToken("localhost:8731"), false },
        { "a name for a server on every address", "0.0.0.0", withToken("attacker.example:8731"), false },
        { "another web page's origin", "127.0.0.1", withToken("127.0.0.1:8731", "http://attacker.example"), false },
        { "a sandboxed page's origin", "127.0.0.1", withToken("127.0.0.1:8731", "null"), false },
        { "the server's address over https", "127.0.0.1", withToken("127.0.0.1:8731", "https://127.0.0.1:8731"), false },
        { "the server's address at another port", "127.0.0.1", withToken("127.0.0.1:8731", "http://127.0.0.1:9999"), false },
        { "a request another site made", "127.0.0.1",
          { "127.0.0.1:8731", std::nullopt, "cross-site", std::nullopt, token, std::nullopt }, false },
    };
    for (const auto& testCase : cases) {
        PageAccess access(testCase.listenAddress, 8731, token);
        auto refusal = access.refusal(testCase.request);
        EXPECT_EQ(!refusal, testCase.allowed) << testCase.what << ": " << refusal.value_or("let through");
        EXPECT_TRUE(!refusal || !refusal->empty()) << testCase.what << " is refused without a reason";
    }
}

TEST(PageAccessTest, TheCookieIsTheOneOfThisPortAndTheLinkCarriesTheToken)
{
    PageAccess access("127.0.0.1", 8731, token);
    EXPECT_EQ(access.cookieIn("a=1; tarvikdns-token-8731=abc; b=2"), "abc");
    EXPECT_EQ(access.cookieIn("tarvikdns-token-8731=abc"), "abc");
    EXPECT_EQ(access.cookieIn("tarvikdns-token-9999=abc; xtarvikdns-token-8731=abc"), std::nullopt);
    EXPECT_EQ(access.link(), std::string("http://127.0.0.1:8731/?token=") + token);
    EXPECT_EQ(PageAccess("::1", 8731, token).link(), std::string("http://[::1]:8731/?token=") + token);
    EXPECT_EQ(PageAccess("0.0.0.0", 8731, token).link(), std::string("http://127.0.0.1:8731/?token=") + token);

    std::string fresh = PageAccess::newToken();
    EXPECT_EQ(fresh.size(), 32u);
    EXPECT_EQ(fresh.find_first_not_of("0123456789abcdef"), std::string::npos) << fresh;
    EXPECT_NE(fresh, PageAccess::newToken());
}

TEST(PageAccessTest, TheServerListensOnAnIPAddressAndAPort)
{
    struct AddressCase {
        const char* text;
        std::optional<std::pair<std::string, int>> parsed;
    };
    const AddressCase cases[] = {
        { "127.0.0.1:8731", std::pair<std::string, int> { "127.0.0.1", 8731 } },
        { "localhost:0", std::pair<std::string, int> { "127.0.0.1", 0 } },
        { "[::1]:8731", std::pair<std::string, int> { "::1", 8731 } },
        { "0.0.0.0:65535", std::pair<std::string, int> { "0.0.0.0", 65535 } },
        { "::1:8731", std::nullopt },
        { "127.0.0.1", std::nullopt },
        { "127.0.0.1:", std::nullopt },
        { "127.0.0.1:65536", std::nullopt },
        { "127.0.0.1:-1", std::nullopt },
        { "127.0.0.1:80x", std::nullopt },
        { "example.org:8731", std::nullopt },
        { "[127.0.0.1]:8731", std::nullopt },
    };
    for (const auto& testCase : cases) {
        auto parsed = DevicePageServer::parseAddress(testCase.text);
        auto asPair = parsed ? std::optional(std::pair(parsed->host, parsed->port)) : std::nullopt;
        EXPECT_EQ(asPair, testCase.parsed) << testCase.text;
    }
}
