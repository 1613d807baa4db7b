#include "DnsName.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> wire(const std::string& dotted)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(DnsName::append(bytes, dotted)) << dotted;
    return bytes;
}

std::string labels(std::size_t count, std::size_t length)
{
    std::string name;
    for (std::size_t index = 0; index < count; ++index)
        name += (index == 0 ? "" : ".") + std::string(length, 'a');
    return name;
}

} // namespace

TEST(DnsNameTest, WritesAndReadsBackNames)
{
    const std::vector<std::pair<std::string, std::string>> cases {
        { "example.org", "example.org" },
        { "example.org.", "example.org" },
        { "", "" },
        { ".", "" },
        { "MiXeD.Case", "MiXeD.Case" },
        { std::string(63, 'x') + ".org", std::string(63, 'x') + ".org" },
        // 3 labels of 63 and one of 61: 255 bytes on the wire, the most a name may have.
        { labels(3, 63) + "." + std::string(61, 'b'), labels(3, 63) + "." + std::string(61, 'b') },
    };
    for (const auto& [written, read] : cases) {
        std::vector<std::uint8_t> bytes = wire(written);
        std::size_t offset = 0;
        EXPECT_EQ(DnsName::read(bytes, offset), read) << written;
        EXPECT_EQ(offset, bytes.size()) << written;
    }
    EXPECT_EQ(wire("a.bc"), (std::vector<std::uint8_t> { 1, 'a', 2, 'b', 'c', 0 }));
}

TEST(DnsNameTest, RefusesNamesThatCannotBeWritten)
{
    for (const std::string& name : { std::string("a..b"), std::string(".a"), std::string("a.."), std::string(64, 'x'),
                                     labels(3, 63) + "." + std::string(62, 'b') }) {
        std::vector<std::uint8_t> bytes { 7 };
        EXPECT_FALSE(DnsName::append(bytes, name)) << name;
        EXPECT_EQ(bytes.size(), 1u) << name;
    }
}

// Names are read in messages, after the 12 bytes of the header.
std::vector<std::uint8_t> afterAHeader(std::vector<std::uint8_t> name)
{
    name.insert(name.begin(), 12, 0);
    return name;
}

TEST(DnsNameTest, FollowsPointersBackwardsOnlyAndNeverIntoTheHeader)
{
    // "org" at 12, "example" + pointer to it at 17, "www" + pointer to that at 27.
    std::vector<std::uint8_t> message = afterAHeader({ 3, 'o', 'r', 'g', 0, 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0xC0, 12, 3, 'w', 'w', 'w', 0xC0, 17, 0xFF });
    std::size_t offset = 27;
    EXPECT_EQ(DnsName::read(message, offset), "www.example.org");
    EXPECT_EQ(offset, 33u);

    const std::vector<std::vector<std::uint8_t>> refused {
        { 0xC0, 12 },                        // points at itself
        { 1, 'a', 0xC0, 12 },                // back to the start of its own name: a loop
        { 0xC0, 14, 0 },                     // forwards
        { 0xC0, 2, 0 },                      // into the header, whose flags and ID change
        { 0xC0 },                            // half a pointer
        { 3, 'o', 'r' },                     // runs out
        { 0x40, 'a', 0 },                    // extended label type
        { 0x80, 'a', 0 },
    };
    for (const std::vector<std::uint8_t>& name : refused) {
        auto bytes = afterAHeader(name);
        std::size_t at = 12;
        EXPECT_FALSE(DnsName::read(bytes, at)) << testing::PrintToString(name);
    }
}

TEST(DnsNameTest, RefusesNamesOver255BytesEvenThroughPointers)
{
    // 63 bytes of name at 12, then 192 bytes of labels ending in a pointer to it: 257 bytes in all.
    std::vector<std::uint8_t> message = afterAHeader(wire(std::string(63, 'c')));
    std::size_t start = message.size();
    std::vector<std::uint8_t> head = wire(labels(3, 63));
    message.insert(message.end(), head.begin(), head.end() - 1);
    message.push_back(0xC0);
    message.push_back(12);
    std::size_t offset = start;
    EXPECT_FALSE(DnsName::read(message, offset));

    // Two bytes shorter, the same name is 255 bytes: whole.
    message[12] = 61;
    message[12 + 62] = 0;
    offset = start;
    EXPECT_EQ(DnsName::read(message, offset), labels(3, 63) + "." + std::string(61, 'c'));
    EXPECT_EQ(offset, message.size());
}

TEST(DnsNameTest, CanonicalLowersOnlyASCIILetters)
{
    EXPECT_EQ(DnsName::canonical("WwW.ExAmple.ORG"), "www.example.org");
    EXPECT_EQ(DnsName::canonical("A-1_\xC3\x89"), "a-1_\xC3\x89");
}
