// What the property-list reader refuses so that every value it reads can be written back and read
// again, and no small file can make it exhaust the device.
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// A binary property list of the given objects (object 0 on top), with one-byte references and offsets.
std::string binaryList(const std::vector<std::string>& objects)
{
    std::string out = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets += static_cast<char>(out.size());
        out += object;
    }
    std::size_t offsetTable = out.size();
    out += offsets;
    out += std::string(6, '\0') + "\x01\x01";
    out += std::string(7, '\0') + static_cast<char>(objects.size());
    out += std::string(8, '\0');
    out += std::string(7, '\0') + static_cast<char>(offsetTable);
    return out;
}

// { k = VALUE; } in binary, VALUE being one object as the format writes it.
std::string binaryDictionaryOf(const std::string& value)
{
    return binaryList({ "\xd1\x01\x02", "\x51k", value });
}

// A string value holding NUL would read, but its XML would not: it is refused like a key holding one.
TEST(PropertyListLimits, RejectsStringsHoldingNUL)
{
    using namespace std::string_literals;
    EXPECT_EQ(PropertyList::fromBytes(binaryDictionaryOf("\x63\x00" "a\x00-\x00" "b"s)),
              PropertyList(PropertyListDictionary { { "k", "a-b" } }));
    EXPECT_FALSE(PropertyList::fromBytes(binaryDictionaryOf("\x63\x00" "a\x00\x00\x00" "b"s))) << "UTF-16";
    EXPECT_FALSE(PropertyList::fromBytes(binaryDictionaryOf("\x53" "a\x00" "b"s))) << "8-bit";
    EXPECT_FALSE(PropertyList::fromBytes("<plist version=\"1.0\"><dict><key>k</key><string>a&#0;b</string></dict></plist>"))
        << "XML";
}

// The reader keeps dates in 32-bit seconds from 2001: a date beyond them (or no number at all) reads as
// one within them, whose XML reads back the same.
TEST(PropertyListLimits, DatesBeyondWhatTheReaderKeepsReadAsTheNearestItKeeps)
{
    auto binaryDate = [](double secondsSinceReferenceDate) {
        std::string bytes = "\x33";
        std::uint64_t bits = 0;
        std::memcpy(&bits, &secondsSinceReferenceDate, sizeof bits);
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes += static_cast<char>((bits >> shift) & 0xFF);
        return binaryDictionaryOf(bytes);
    };
    constexpr double earliest = -2147483648.0;
    const struct {
        double stored;
        double read;
    } cases[] = {
        { 10.5, 10.5 },
        { -1e12, earliest },
        { 1e12, earliest },
        { -std::numeric_limits<double>::infinity(), earliest },
        { std::numeric_limits<double>::quiet_NaN(), earliest },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.stored);
        auto value = PropertyList::fromBytes(binaryDate(test.stored));
        ASSERT_TRUE(value);
        const auto* date = value->dictionary()->at("k").date();
        ASSERT_NE(date, nullptr);
        EXPECT_NEAR(date->secondsSinceReferenceDate, test.read, 1.0);
        auto readBack = PropertyList::fromBytes(value->xml());
        ASSERT_TRUE(readBack);
        EXPECT_EQ(readBack->xml(), value->xml());
    }
}

// Arrays a binary list shares between places expand once per reference: a few bytes could stand for
// millions of objects. A list may expand to as many objects as it has bytes, which any list that
// shares no array or dictionary keeps to.
TEST(PropertyListLimits, RejectsSharedArraysThatExpandBeyondTheListsSize)
{
    // Each array holds the next one twice.
    auto doubling = [](int levels) {
        std::vector<std::string> objects;
        for (int level = 0; level < levels; ++level)
            objects.push_back(std::string("\xa2") + static_cast<char>(level + 1) + static_cast<char>(level + 1));
        objects.push_back("\xa0");
        return binaryList(objects);
    };
    auto twoLevels = PropertyList::fromBytes(doubling(2));
    ASSERT_TRUE(twoLevels) << "7 objects in 55 bytes";
    const PropertyList pair = PropertyListArray { PropertyListArray {}, PropertyListArray {} };
    EXPECT_EQ(*twoLevels->array(), (PropertyListArray { pair, pair }));
    EXPECT_FALSE(PropertyList::fromBytes(doubling(6))) << "127 objects in 75 bytes";
    EXPECT_FALSE(PropertyList::fromBytes(doubling(20))) << "2 million objects in 131 bytes";

    // Strings shared by every place that holds them, as writers do, are no expansion.
    std::vector<std::string> sharedStrings { std::string("\xaf\x10\x64") + std::string(100, '\x01'), "\x51x" };
    auto strings = PropertyList::fromBytes(binaryList(sharedStrings));
    ASSERT_TRUE(strings);
    EXPECT_EQ(strings->array()->size(), 100u);
}

} // namespace
