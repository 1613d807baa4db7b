#include "ResolverEntries.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

struct EntryCase {
    std::string text;
    bool accepted;
};

TEST(ResolverEntries, AServerIsAnIPv4OrIPv6AddressAndNothingMore)
{
    const EntryCase cases[] = {
        { "192.168.1.1", true },
        { "0.0.0.0", true },
        { "2001:db8::53", true },
        { "::1", true },
        { "::ffff:10.0.0.1", true },
        { "", false },
        { "192.168.1", false },
        { "192.168.1.256", false },
        { "192.168.1.1 ", false },
        { " 192.168.1.1", false },
        { "192.168.1.1\nnameserver 203.0.113.66", false },
        { "192.168.1.1\0nameserver 203.0.113.66"s, false },
        { "192.168.1.1#53", false },
        { "fe80::1%en0", false },
        { "ns1.example.net", false },
        { "2001:db8::53\noptions ndots:15", false },
    };
    for (const auto& [text, accepted] : cases)
        EXPECT_EQ(isServerAddress(text), accepted) << quotedForLog(text);
}

TEST(ResolverEntries, ADomainIsADNSName)
{
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const EntryCase cases[] = {
        { "home.lan", true },
        { "corp.example.", true },
        { "a", true },
        { "xn--bcher-kva.example", true },
        { "_msdcs.corp-1.example", true },
        { label63 + ".example", true },
        { name253, true },
        { name253 + ".", true },
        { "", false },
        { ".", false },
        { label63 + "a.example", false },
        { name253 + "b", false },
        { "home..lan", false },
        { ".home.lan", false },
        { "home.lan..", false },
        { "home lan", false },
        { "home.lan\nnameserver 203.0.113.66\noptions ndots:15", false },
        { "home.lan\r", false },
        { "home.lan\0evil"s, false },
        { "h\xC3\xB4me.lan", false },
        { "home/lan", false },
    };
    for (const auto& [text, accepted] : cases)
        EXPECT_EQ(isDomainName(text), accepted) << quotedForLog(text);
}

TEST(ResolverEntries, ALoggedValueNeverStartsALineOfItsOwn)
{
    EXPECT_EQ(quotedForLog("home.lan"), "\"home.lan\"");
    EXPECT_EQ(quotedForLog("a\nb\r\tc\"d\\e\x7F\xC3\xB4\0"s), "\"a\\nb\\x0D\\x09c\\\"d\\\\e\\x7F\\xC3\\xB4\\x00\"");
}

} // namespace
