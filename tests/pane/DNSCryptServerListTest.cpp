#include "DNSCryptServerList.h"

#include "TemporaryDevice.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string testData(const std::string& name)
{
    std::ifstream file(testDataPath(name), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

TEST(DNSCryptServerListTest, AQuotedFieldHoldingCommasIsOneFieldKeptWithItsQuotes)
{
    auto records = ParseDNSCryptServerList("Name,Full name,Description\r\n"
                                           "first,\"Resolver, with a comma, or two\",plain\r\n"
                                           "second,\"Quoted\",\"also quoted\"\r\n");

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (DNSCryptServerRecord { { "Name", "first" },
                                                  { "Full name", "\"Resolver, with a comma, or two\"" },
                                                  { "Description", "plain" } }));
    EXPECT_EQ(records[1].at("Full name"), "\"Quoted\"");
    EXPECT_EQ(records[1].at("Description"), "\"also quoted\"");
}

TEST(DNSCryptServerListTest, LinesAreSplitAtCRLFOrElseAtLF)
{
    const std::string lf = "Name,Full name\nfirst,First\nsecond,Second\n";
    const std::string crlf = "Name,Full name\r\nfirst,First\r\nsecond,Second\r\n";

    EXPECT_EQ(ParseDNSCryptServerList(lf), ParseDNSCryptServerList(crlf));
    EXPECT_EQ(ParseDNSCryptServerList(lf).size(), 2u);
}

TEST(DNSCryptServerListTest, LinesWithoutACommaGiveNoRecord)
{
    auto records = ParseDNSCryptServerList("Name,Full name\nfirst,First\n\nno comma here\nsecond,Second");

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].at("Name"), "second");
}

TEST(DNSCryptServerListTest, FieldsBeyondTheHeaderAreDroppedAndMissingOnesLeftOut)
{
    auto records = ParseDNSCryptServerList("Name,Full name,Description\nlong,Long,one,two,three\nshort,Short\n");

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], (DNSCryptServerRecord { { "Name", "long" }, { "Full name", "Long" }, { "Description", "one" } }));
    EXPECT_EQ(records[1], (DNSCryptServerRecord { { "Name", "short" }, { "Full name", "Short" } }));
}

TEST(DNSCryptServerListTest, AQuotedGroupNeverClosedLeavesItsColumnOutButKeepsTheRecord)
{
    auto records = ParseDNSCryptServerList("Name,Full name,Description\nopen,\"never, closed\n");

    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], (DNSCryptServerRecord { { "Name", "open" } }));
}

TEST(DNSCryptServerListTest, AHeaderAloneOrNothingGivesNoRecords)
{
    EXPECT_TRUE(ParseDNSCryptServerList("Name,Full name\r\n").empty());
    EXPECT_TRUE(ParseDNSCryptServerList("Name,Full name").empty());
    EXPECT_TRUE(ParseDNSCryptServerList("").empty());
}

TEST(DNSCryptServerListTest, QuotedHeaderColumnNamesAreReadWithoutTheirQuotes)
{
    auto records = ParseDNSCryptServerList("Name,\"Full name\",\"Description\"\nx,\"X resolver\",\"about x\"\n");

    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("Full name"), "\"X resolver\"");
    EXPECT_EQ(records[0].at("Description"), "\"about x\"");
}

// An editor may start the file with a UTF-8 byte-order mark; it is not part of the first column's name.
// Only a mark at the very start goes: one anywhere else is text like any other.
TEST(DNSCryptServerListTest, AByteOrderMarkAtTheStartIsNotPartOfTheText)
{
    const std::string mark = "\xEF\xBB\xBF";
    for (const std::string lineEnd : { "\n", "\r\n" }) {
        SCOPED_TRACE(lineEnd == "\n" ? "LF" : "CR LF");
        const std::string list = "Name,Full name" + lineEnd + "quad9,Quad9" + lineEnd + "opendns,OpenDNS" + lineEnd;

        auto records = ParseDNSCryptServerList(mark + list);

        EXPECT_EQ(records, ParseDNSCryptServerList(list));
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0], (DNSCryptServerRecord { { "Name", "quad9" }, { "Full name", "Quad9" } }));
    }

    auto marked = ParseDNSCryptServerList(mark + mark + "Name,Full name\n" + mark + "x,X\n");
    ASSERT_EQ(marked.size(), 1u);
    EXPECT_EQ(marked[0], (DNSCryptServerRecord { { mark + "Name", mark + "x" }, { "Full name", "X" } }));
    EXPECT_TRUE(ParseDNSCryptServerList(mark).empty());
}

// The lists the proxy shipped: one record a resolver, a field such as "Montreal, CA" kept whole.
TEST(DNSCryptServerListTest, TheShippedResolverListsAreReadWhole)
{
    struct ShippedList {
        const char* file;
        size_t resolvers;
        const char* cryptostormFullName;
        const char* cryptostormLocation;
    };
    for (const ShippedList& list : { ShippedList { "dnscrypt-resolvers-1.9.3.csv", 106, "\"CS Canada east DNSCrypt server\"", "\"Montreal, CA\"" },
                                     ShippedList { "dnscrypt-resolvers-1.9.5.csv", 116, "\"CS Canada east DNSCrypt server\"", "\"Montreal, CA\"" } }) {
        SCOPED_TRACE(list.file);
        auto records = ParseDNSCryptServerList(testData(list.file));

        ASSERT_EQ(records.size(), list.resolvers);
        for (const auto& record : records) {
            EXPECT_TRUE(record.count("Name")) << "every resolver has its short name";
            EXPECT_TRUE(record.count("Full name")) << record.at("Name");
        }
        auto cryptostorm = std::find_if(records.begin(), records.end(), [](const auto& record) { return record.at("Name") == "cs-caeast"; });
        ASSERT_NE(cryptostorm, records.end());
        EXPECT_EQ(cryptostorm->at("Full name"), list.cryptostormFullName);
        EXPECT_EQ(cryptostorm->at("Location"), list.cryptostormLocation);
        EXPECT_EQ(cryptostorm->at("Version"), "1");
    }
}

} // namespace
