#include "PropertyList.h"

#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string xmlHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                              "<plist version=\"1.0\">\n";

std::string plistDocument(const std::string& body)
{
    return xmlHeader + body + "</plist>\n";
}

// Written by Python's plistlib (an independent writer) from
// { Blob = <00 01 ff>; Count = -5; List = ( a, { k = 1; } ); Name = netwardd; On = 1; Ratio = 1.5;
//   When = 2001-01-01 00:00:10 +0000; }
const std::uint8_t binarySample[] = {
    0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd7, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
    0x08, 0x09, 0x0a, 0x0f, 0x10, 0x11, 0x12, 0x54, 0x42, 0x6c, 0x6f, 0x62, 0x55, 0x43, 0x6f, 0x75,
    0x6e, 0x74, 0x54, 0x4c, 0x69, 0x73, 0x74, 0x54, 0x4e, 0x61, 0x6d, 0x65, 0x52, 0x4f, 0x6e, 0x55,
    0x52, 0x61, 0x74, 0x69, 0x6f, 0x54, 0x57, 0x68, 0x65, 0x6e, 0x43, 0x00, 0x01, 0xff, 0x13, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfb, 0xa2, 0x0b, 0x0c, 0x51, 0x61, 0xd1, 0x0d, 0x0e, 0x51,
    0x6b, 0x10, 0x01, 0x58, 0x6e, 0x65, 0x74, 0x77, 0x61, 0x72, 0x64, 0x64, 0x09, 0x23, 0x3f, 0xf8,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x33, 0x40, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08,
    0x17, 0x1c, 0x22, 0x27, 0x2c, 0x2f, 0x35, 0x3a, 0x3e, 0x47, 0x4a, 0x4c, 0x4f, 0x51, 0x53, 0x5c,
    0x5d, 0x66, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x6f,
};

std::string binarySampleBytes()
{
    return std::string(reinterpret_cast<const char*>(binarySample), sizeof binarySample);
}

// A binary property list of `count` arrays, each holding the next (the last one empty), with
// 4-byte object references; `target` overrides where the last array points, to make a cycle.
std::string nestedBinaryArrays(std::uint32_t count, std::optional<std::uint32_t> lastTarget = std::nullopt)
{
    auto appendBigEndian = [](std::string& out, std::uint64_t value, int size) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
            out += static_cast<char>((value >> shift) & 0xFF);
    };
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t index = 0; index < count; ++index) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        bool last = index + 1 == count;
        if (last && !lastTarget) {
            out += static_cast<char>(0xA0);
            continue;
        }
        out += static_cast<char>(0xA1);
        appendBigEndian(out, last ? *lastTarget : index + 1, 4);
    }
    std::uint64_t offsetTable = out.size();
    for (auto offset : offsets)
        appendBigEndian(out, offset, 4);
    out += std::string(6, '\0');
    out += '\x04';
    out += '\x04';
    appendBigEndian(out, count, 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, offsetTable, 8);
    return out;
}

PropertyList richValue()
{
    PropertyListData bytes;
    for (int index = 0; index < 200; ++index)
        bytes.push_back(static_cast<std::uint8_t>(index * 7));
    return PropertyListDictionary {
        { "Escapes & <tags>", "a & b < c > d" },
        { "Unicode", "Grüße, 東京" },
        { "Empty", "" },
        { "EmptyArray", PropertyListArray {} },
        { "EmptyDict", PropertyListDictionary {} },
        { "EmptyData", PropertyListData {} },
        { "Data", bytes },
        { "Nested", PropertyListArray { PropertyListArray { 1, -2, std::int64_t { -9007199254740993 } },
                                        PropertyListDictionary { { "deeper", PropertyListArray { true, false } } } } },
        { "Reals", PropertyListArray { 1.5, -0.1, 1e-300, 2.0 } },
        { "When", PropertyListDate { 818312717 } },
    };
}

} // namespace

TEST(PropertyList, ParsesTheLaunchDaemonSampleWithCommentsAndAnOddDoctype)
{
    std::ifstream file(testDataPath("dnscrypt-proxy-launchd-sample.plist"), std::ios::binary);
    ASSERT_TRUE(file);
    std::ostringstream content;
    content << file.rdbuf();

    auto parsed = PropertyList::fromBytes(content.str());
    ASSERT_TRUE(parsed);
    ASSERT_TRUE(parsed->dictionary());
    const auto& launchDaemon = *parsed->dictionary();
    EXPECT_EQ(launchDaemon.at("Label"), PropertyList("org.dnscrypt.osx.DNSCryptProxy"));
    EXPECT_EQ(launchDaemon.at("RunAtLoad"), PropertyList(true));
    EXPECT_EQ(launchDaemon.at("ProgramArguments"),
              PropertyList(PropertyListArray { "/usr/local/sbin/dnscrypt-proxy",
                                               "--resolvers-list=/usr/local/share/dnscrypt-proxy/dnscrypt-resolvers.csv",
                                               "--resolver-name=***CHANGETHIS***", "--user=nobody" }));
    EXPECT_EQ(launchDaemon.size(), 7u);
}

TEST(PropertyList, ReadsEveryXMLTypeWithDatesCountedFrom2001)
{
    auto parsed = PropertyList::fromBytes(plistDocument("<array>\n"
                                                        "<date>2001-01-01T00:00:10Z</date>\n"
                                                        "<date>1970-01-01T00:00:00Z</date>\n"
                                                        "<integer>-5</integer>\n"
                                                        "<real>0.25</real>\n"
                                                        "<data>AAH/</data>\n"
                                                        "<string>&lt;&amp;&gt;</string>\n"
                                                        "<false/>\n"
                                                        "</array>\n"));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, PropertyList(PropertyListArray { PropertyListDate { 10 }, PropertyListDate { -978307200 }, -5,
                                                        0.25, PropertyListData { 0x00, 0x01, 0xFF }, "<&>", false }));
}

TEST(PropertyList, ReadsBinaryPropertyLists)
{
    auto parsed = PropertyList::fromBytes(binarySampleBytes());
    ASSERT_TRUE(parsed);
    PropertyList expected = PropertyListDictionary {
        { "Blob", PropertyListData { 0x00, 0x01, 0xFF } },
        { "Count", -5 },
        { "List", PropertyListArray { "a", PropertyListDictionary { { "k", 1 } } } },
        { "Name", "netwardd" },
        { "On", true },
        { "Ratio", 1.5 },
        { "When", PropertyListDate { 10 } },
    };
    EXPECT_EQ(*parsed, expected);
}

TEST(PropertyList, RejectsGarbageWithoutCrashing)
{
    const std::string valid = plistDocument("<dict>\n\t<key>A</key>\n\t<string>x</string>\n</dict>\n");
    EXPECT_FALSE(PropertyList::fromBytes(""));
    EXPECT_FALSE(PropertyList::fromBytes("not a property list"));
    EXPECT_FALSE(PropertyList::fromBytes("bplist00"));
    // Cut anywhere before the top-level element closes (a missing "</plist>" alone is forgiven).
    for (std::size_t length = 0; length < valid.find("</dict>") + 7; length += 3)
        EXPECT_FALSE(PropertyList::fromBytes(std::string_view(valid).substr(0, length))) << length;

    // Every truncation and every single-byte corruption of a binary list must be survived.
    const std::string binary = binarySampleBytes();
    for (std::size_t length = 0; length < binary.size(); ++length)
        EXPECT_FALSE(PropertyList::fromBytes(std::string_view(binary).substr(0, length))) << length;
    for (std::size_t position = 8; position < binary.size(); ++position) {
        for (unsigned char replacement : { 0x00, 0x0F, 0x7F, 0xAF, 0xDF, 0xFF }) {
            std::string corrupted = binary;
            corrupted[position] = static_cast<char>(replacement);
            (void)PropertyList::fromBytes(corrupted);
        }
    }

    std::uint32_t seed = 12345;
    std::string noise;
    for (int index = 0; index < 4096; ++index) {
        seed = seed * 1103515245 + 12345;
        noise += static_cast<char>(seed >> 16);
    }
    EXPECT_FALSE(PropertyList::fromBytes(noise));
    EXPECT_FALSE(PropertyList::fromBytes("bplist00" + noise));
}

TEST(PropertyList, RejectsKeysHoldingNUL)
{
    // { "\u00e9a" = 1; } from plistlib, which stores the key in UTF-16.
    using namespace std::string_literals;
    std::string binary = "bplist00\xd1\x01\x02\x62\x00\xe9\x00\x61\x10\x01\x08\x0b\x10"s + std::string(6, '\0')
        + "\x01\x01" + std::string(7, '\0') + "\x03" + std::string(15, '\0') + "\x12";
    ASSERT_EQ(binary.size(), 53u);
    EXPECT_EQ(PropertyList::fromBytes(binary), PropertyList(PropertyListDictionary { { "\u00e9a", 1 } }));
    binary[13] = '\0';
    EXPECT_FALSE(PropertyList::fromBytes(binary));

    std::string ascii = binarySampleBytes();
    ascii[24] = '\0';
    EXPECT_FALSE(PropertyList::fromBytes(ascii));

    EXPECT_FALSE(PropertyList::fromBytes(plistDocument("<dict><key>a\0b</key><string>x</string></dict>"s)));
}

TEST(PropertyList, RejectsRunawayNestingAndCycles)
{
    std::string deepXML = "<plist version=\"1.0\">";
    for (int level = 0; level < 100000; ++level)
        deepXML += "<array>";
    for (int level = 0; level < 100000; ++level)
        deepXML += "</array>";
    deepXML += "</plist>";
    EXPECT_FALSE(PropertyList::fromBytes(deepXML));

    EXPECT_TRUE(PropertyList::fromBytes(nestedBinaryArrays(3)));
    EXPECT_FALSE(PropertyList::fromBytes(nestedBinaryArrays(200000)));
    EXPECT_FALSE(PropertyList::fromBytes(nestedBinaryArrays(3, 0)));
}

TEST(PropertyList, WritesThePlatformXMLLayout)
{
    EXPECT_EQ(PropertyList(PropertyListDictionary {}).xml(), xmlHeader + "<dict/>\n</plist>\n");
    EXPECT_EQ(PropertyList(PropertyListDictionary { { "A", "x" } }).xml(),
              plistDocument("<dict>\n\t<key>A</key>\n\t<string>x</string>\n</dict>\n"));
    EXPECT_EQ(PropertyList("").xml(), plistDocument("<string></string>\n"));

    PropertyListData bytes;
    for (std::uint8_t index = 0; index < 60; ++index)
        bytes.push_back(index);
    PropertyList value = PropertyListDictionary {
        { "Args", PropertyListArray { "a", PropertyListDictionary {}, PropertyListArray {} } },
        { "Data", bytes },
        { "Flag", false },
        { "Inner", PropertyListDictionary { { "N", -5 }, { "R", 1.5 }, { "When", PropertyListDate { 818312717 } } } },
        { "x<&>", true },
    };
    EXPECT_EQ(value.xml(), plistDocument("<dict>\n"
                                         "\t<key>Args</key>\n"
                                         "\t<array>\n"
                                         "\t\t<string>a</string>\n"
                                         "\t\t<dict/>\n"
                                         "\t\t<array/>\n"
                                         "\t</array>\n"
                                         "\t<key>Data</key>\n"
                                         "\t<data>\n"
                                         "\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\n"
                                         "\tOTo7\n"
                                         "\t</data>\n"
                                         "\t<key>Flag</key>\n"
                                         "\t<false/>\n"
                                         "\t<key>Inner</key>\n"
                                         "\t<dict>\n"
                                         "\t\t<key>N</key>\n"
                                         "\t\t<integer>-5</integer>\n"
                                         "\t\t<key>R</key>\n"
                                         "\t\t<real>1.5</real>\n"
                                         "\t\t<key>When</key>\n"
                                         "\t\t<date>2026-12-07T05:05:17Z</date>\n"
                                         "\t</dict>\n"
                                         "\t<key>x&lt;&amp;&gt;</key>\n"
                                         "\t<true/>\n"
                                         "</dict>\n"));
}

TEST(PropertyList, XMLRoundTripsToAnEqualValue)
{
    PropertyList value = richValue();
    auto parsed = PropertyList::fromBytes(value.xml());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, value);

    for (const PropertyList& scalar : { PropertyList("top & <level>"), PropertyList(std::int64_t { INT64_MIN }),
                                        PropertyList(0.1), PropertyList(PropertyListArray {}) }) {
        auto reparsed = PropertyList::fromBytes(scalar.xml());
        ASSERT_TRUE(reparsed) << scalar.xml();
        EXPECT_EQ(*reparsed, scalar);
    }
}

TEST(PropertyList, EqualityIsDeepAndTyped)
{
    EXPECT_NE(PropertyList(1), PropertyList(1.0));
    EXPECT_NE(PropertyList(1), PropertyList(true));
    EXPECT_NE(PropertyList("1"), PropertyList(1));
    EXPECT_NE(PropertyList(PropertyListArray {}), PropertyList(PropertyListDictionary {}));

    PropertyList original = richValue();
    PropertyList copy = original;
    EXPECT_EQ(copy, original);
    (*copy.dictionary())["Nested"].array()->front().array()->push_back(3);
    EXPECT_NE(copy, original);
    EXPECT_EQ(original, richValue());
}

TEST(PropertyList, DescribesValuesInTheOldStyleNotation)
{
    EXPECT_EQ(PropertyList("plain text, as is").description(), "plain text, as is");
    EXPECT_EQ(PropertyList(-42).description(), "-42");
    EXPECT_EQ(PropertyList(0.5).description(), "0.5");
    EXPECT_EQ(PropertyList(true).description(), "1");
    EXPECT_EQ(PropertyList(PropertyListDate { 818312717 }).description(), "2026-12-07 05:05:17 +0000");
    EXPECT_EQ(PropertyList(PropertyListData { 0x0A, 0xFF }).description(), "{length = 2, bytes = 0x0aff}");

    PropertyList value = PropertyListDictionary {
        { "ServerAddresses", PropertyListArray { "208.67.222.222", "127.0.0.1" } },
        { "SearchDomains", PropertyListArray {} },
        { "Inner", PropertyListDictionary { { "say \"hi\"", "a b" }, { "On", false } } },
    };
    EXPECT_EQ(value.description(), "{\n"
                                   "    Inner = {\n"
                                   "        On = 0;\n"
                                   "        \"say \\\"hi\\\"\" = \"a b\";\n"
                                   "    };\n"
                                   "    SearchDomains = (\n"
                                   "    );\n"
                                   "    ServerAddresses = (\n"
                                   "        208.67.222.222,\n"
                                   "        127.0.0.1\n"
                                   "    );\n"
                                   "}");
}
