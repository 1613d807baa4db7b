#include "StringFormat.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

TEST(StringFormat, KeepsTheSystemsFormatLiterals)
{
    std::string resolvConf = "nameserver 127.0.0.1";
    EXPECT_EQ(NSStringWithFormat("%@\n\nDNSCrypt=NO", resolvConf), "nameserver 127.0.0.1\n\nDNSCrypt=NO");
    EXPECT_EQ(NSStringWithFormat("%@\n\nDNSCrypt=YES\n\n%@\n\n%@", resolvConf, "cisco", "Wi-Fi"),
              "nameserver 127.0.0.1\n\nDNSCrypt=YES\n\ncisco\n\nWi-Fi");
    EXPECT_EQ(NSStringWithFormat("Writing %@ to %@", "x", "/etc/resolv.conf"), "Writing x to /etc/resolv.conf");
    EXPECT_EQ(NSStringWithFormat("--resolver-name=%@", "cisco"), "--resolver-name=cisco");
    EXPECT_EQ(NSStringWithFormat("State:/Network/Service/%@/DNS", "0A1B-C2"), "State:/Network/Service/0A1B-C2/DNS");
    EXPECT_EQ(NSStringWithFormat("%@domain %@\n", "search", "lan"), "searchdomain lan\n");
}

TEST(StringFormat, NullMissingAndExtraArguments)
{
    std::optional<std::string> absent;
    const char* nullText = nullptr;
    EXPECT_EQ(NSStringWithFormat("[%@] [%@]", absent, nullText), "[(null)] [(null)]");
    EXPECT_EQ(NSStringWithFormat("%@ and %@", "one"), "one and (null)");
    EXPECT_EQ(NSStringWithFormat("%@", "one", "two"), "one");
    EXPECT_EQ(NSStringWithFormat("%s|%d", nullText), "(null)|(null)");
    EXPECT_EQ(NSStringWithFormat("no conversions"), "no conversions");
}

TEST(StringFormat, NumbersPercentsAndUnknownConversions)
{
    EXPECT_EQ(NSStringWithFormat("%d %i %ld %lld %u %lu", -1, 2, 3L, 4LL, 5u, 6L), "-1 2 3 4 5 6");
    EXPECT_EQ(NSStringWithFormat("%f %g %.2f %5d|%-3d|", 1.5, 0.25, 3.14159, 42, 7), "1.500000 0.25 3.14    42|7  |");
    EXPECT_EQ(NSStringWithFormat("%s=%@", "key", 12), "key=12");
    EXPECT_EQ(NSStringWithFormat("100%% of %y and %", 1), "100% of %y and %");
    EXPECT_EQ(NSStringWithFormat("%@", PropertyList(PropertyListArray { "a", 1 })), "(\n    a,\n    1\n)");
    EXPECT_EQ(NSStringWithFormat("%@", 0.5), "0.5");
}
