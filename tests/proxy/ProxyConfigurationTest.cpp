// What the proxy reads before it serves: its command line and the resolver list, in the layouts that
// were published; and its answer cache.
#include "AnswerCache.h"
#include "DnsMessage.h"
#include "ProviderKey.h"
#include "ProxyOptions.h"
#include "ResolverList.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::optional<ProxyOptions> parse(std::vector<std::string> arguments, std::string& error)
{
    return ProxyOptions::parse(arguments, error);
}

TEST(ProxyOptions, TakesTheCommandLinesOfItsListsAndRefusesAnythingElse)
{
    std::string error;
    auto listed = parse({ "--local-address=127.0.0.1", "--logfile=/tmp/DNSCrypt.log",
                          "--resolvers-list=/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv", "--resolver-name=cisco",
                          "--user=nobody", "--ephemeral-keys", "--test=60" }, error);
    ASSERT_TRUE(listed) << error;
    EXPECT_EQ(listed->resolverName, "cisco");
    EXPECT_EQ(listed->localAddress, "127.0.0.1");
    EXPECT_EQ(listed->user, "nobody");
    EXPECT_TRUE(listed->ephemeralKeys);
    EXPECT_EQ(listed->testMinutes, 60u);
    auto direct = parse({ "--resolver-address=[::1]:8443", "--provider-name=2.dnscrypt-cert.example.test",
                          "--provider-key=AB:CD", "--tcp-only" }, error);
    ASSERT_TRUE(direct) << error;
    EXPECT_TRUE(direct->resolverGivenDirectly());
    EXPECT_EQ(direct->localAddress, "127.0.0.1:53");

    struct Case {
        std::vector<std::string> arguments;
        const char* error;
    } refused[] = {
        { { "--resolver-name=cisco", "--colour=blue" }, "unknown option \"--colour=blue\"" },
        { { "--resolver-name=cisco", "cisco" }, "unexpected argument \"cisco\"" },
        { { "--resolver-name=" }, "option --resolver-name needs a value (--resolver-name=...)" },
        { { "--resolver-name" }, "option --resolver-name needs a value (--resolver-name=...)" },
        { { "--resolver-name=cisco", "--test=soon" }, "option --test needs a number of minutes (--test=...)" },
        { { "--resolver-name=cisco", "--tcp-only=yes" }, "option --tcp-only takes no value" },
        { { "--logfile=/tmp/log" }, "no resolver chosen" },
        { { "--resolver-address=127.0.0.1" }, "a resolver given directly needs" },
    };
    for (const auto& test : refused) {
        EXPECT_FALSE(parse(test.arguments, error)) << test.arguments.front();
        EXPECT_TRUE(error.starts_with(test.error)) << error;
    }
}

std::string testData(const std::string& name)
{
    std::ifstream file(std::string(TARVIKDNS_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(ResolverList, FindsARowInEitherPublishedLayout)
{
    for (std::string list : { testData("dnscrypt-resolvers-1.9.3.csv"), testData("dnscrypt-resolvers-1.9.5.csv"),
                              "\xEF\xBB\xBF" + testData("dnscrypt-resolvers-1.9.5.csv") }) {
        std::string error;
        auto cisco = ResolverList::find(list, "cisco", error);
        ASSERT_TRUE(cisco) << error;
        EXPECT_EQ(cisco->address, "208.67.220.220");
        EXPECT_EQ(cisco->providerName, "2.dnscrypt-cert.opendns.com");
        ASSERT_TRUE(ProviderKey::parse(cisco->providerKey));
        EXPECT_EQ(ProviderKey::parse(cisco->providerKey)->text(), cisco->providerKey);
        auto ipv6 = ResolverList::find(list, "cisco-ipv6", error);
        ASSERT_TRUE(ipv6) << error;
        EXPECT_EQ(ipv6->address, "[2620:0:ccc::2]:443");
        EXPECT_FALSE(ResolverList::find(list, "no-such-resolver", error));
        EXPECT_EQ(error, "no resolver named \"no-such-resolver\" in the list");
    }
    std::string error;
    EXPECT_FALSE(ResolverList::find("Name,Resolver address\nbare,127.0.0.1\n", "bare", error));
    EXPECT_TRUE(error.find("lacks") != std::string::npos);
    EXPECT_FALSE(ProviderKey::parse("B735:1140"));
    EXPECT_FALSE(ProviderKey::parse(std::string(64, 'G')));
}

std::vector<std::uint8_t> answerTo(const std::vector<std::uint8_t>& query, std::uint32_t ttl, int rcode = DnsRcode::NOERROR)
{
    auto response = *DnsMessage::reply(query, rcode);
    if (rcode != DnsRcode::NOERROR)
        return response;
    response[7] = 1;   // one answer: a pointer to the question's name, A, IN, the TTL, 192.0.2.1
    for (int byte : { 0xC0, 12, 0, 1, 0, 1 })
        response.push_back(static_cast<std::uint8_t>(byte));
    for (int shift = 24; shift >= 0; shift -= 8)
        response.push_back(static_cast<std::uint8_t>(ttl >> shift));
    for (int byte : { 0, 4, 192, 0, 2, 1 })
        response.push_back(static_cast<std::uint8_t>(byte));
    return response;
}

TEST(AnswerCache, GivesAnswersOutAgedAndMadeOutToTheirClientUntilTheyExpire)
{
    using namespace std::chrono_literals;
    AnswerCache cache(2);
    auto start = AnswerCache::Clock::now();
    auto query = *DnsMessage::query(1, "Example.ORG", DnsType::A);
    auto key = *AnswerCache::keyOf(*DnsMessage::parse(query));
    auto response = answerTo(query, 300);
    cache.store(key, response, *DnsMessage::parse(response), start);

    auto again = *DnsMessage::query(0xBEEF, "example.org", DnsType::A);
    ASSERT_EQ(AnswerCache::keyOf(*DnsMessage::parse(again)), key);
    auto cached = cache.answer(key, again, start + 100s);
    ASSERT_TRUE(cached);
    auto parsed = DnsMessage::parse(*cached);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->id(), 0xBEEF);
    EXPECT_EQ(parsed->questions().at(0).name, "example.org");   // the client's own letter case
    EXPECT_EQ(parsed->answers().at(0).ttl, 200u);
    EXPECT_FALSE(cache.answer(key, again, start + 300s));

    // Failures and cut answers are not kept; the least recently used goes first.
    auto failing = *DnsMessage::query(2, "fails.example", DnsType::A);
    auto failure = answerTo(failing, 0, DnsRcode::SERVFAIL);
    cache.store(*AnswerCache::keyOf(*DnsMessage::parse(failing)), failure, *DnsMessage::parse(failure), start);
    auto cut = DnsMessage::truncated(response);
    cache.store(key, cut, *DnsMessage::parse(cut), start);
    EXPECT_EQ(cache.size(), 0u);
    std::vector<std::string> keys;
    for (const char* name : { "a.example", "b.example", "c.example" }) {
        auto asked = *DnsMessage::query(3, name, DnsType::A);
        keys.push_back(*AnswerCache::keyOf(*DnsMessage::parse(asked)));
        auto answered = answerTo(asked, 60);
        cache.store(keys.back(), answered, *DnsMessage::parse(answered), start);
    }
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_FALSE(cache.answer(keys[0], query, start));
    EXPECT_TRUE(cache.answer(keys[2], query, start));
    EXPECT_NE(*AnswerCache::keyOf(*DnsMessage::parse(*DnsMessage::query(1, "example.org", DnsType::AAAA))), key);
}

} // namespace
