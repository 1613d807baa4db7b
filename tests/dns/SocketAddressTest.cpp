#include "SocketAddress.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <vector>

TEST(SocketAddressTest, ParsesTheWrittenForms)
{
    const std::vector<std::tuple<std::string, int, std::uint16_t, std::string>> cases {
        { "1.2.3.4", AF_INET, 53, "1.2.3.4:53" },
        { "1.2.3.4:853", AF_INET, 853, "1.2.3.4:853" },
        { "127.0.0.1:65535", AF_INET, 65535, "127.0.0.1:65535" },
        { "[2001:db8::1]", AF_INET6, 53, "[2001:db8::1]:53" },
        { "[2001:db8::1]:443", AF_INET6, 443, "[2001:db8::1]:443" },
        { "2001:db8::1", AF_INET6, 53, "[2001:db8::1]:53" },
        { "::1", AF_INET6, 53, "[::1]:53" },
        { "[::ffff:1.2.3.4]:1", AF_INET6, 1, "[::ffff:1.2.3.4]:1" },
    };
    for (const auto& [text, family, port, written] : cases) {
        std::optional<SocketAddress> address = SocketAddress::parse(text, 53);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(address->family(), family) << text;
        EXPECT_EQ(address->port(), port) << text;
        EXPECT_EQ(address->text(), written) << text;
        EXPECT_EQ(address->length(), family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)) << text;
    }
}

TEST(SocketAddressTest, RefusesEverythingElse)
{
    for (const char* text : { "", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:+53",
                              "1.2.3.4:5x", "1.2.3.4 :53", "example.org", "example.org:53", "[::1",
                              "[::1]53", "[::1]:", "[::1]:99999", "[1.2.3.4]", "2001:db8::1:53:x", "::1]", "[]:53" })
        EXPECT_FALSE(SocketAddress::parse(text, 53)) << text;
}

TEST(SocketAddressTest, ComparesAndComesBackFromTheKernelsForm)
{
    SocketAddress address = *SocketAddress::parse("[::1]:5353", 53);
    SocketAddress copy = SocketAddress::fromSockaddr(address.sockaddr(), address.length());
    EXPECT_TRUE(copy == address);
    EXPECT_EQ(copy.text(), "[::1]:5353");
    EXPECT_FALSE(*SocketAddress::parse("[::1]:5354", 53) == address);
    EXPECT_FALSE(*SocketAddress::parse("127.0.0.1:5353", 53) == address);
    EXPECT_TRUE(*SocketAddress::parse("127.0.0.1", 53) == *SocketAddress::parse("127.0.0.1:53", 0));
}
