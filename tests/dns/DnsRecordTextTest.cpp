#include "DnsRecordText.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A message whose question names example.org (at offset 12) and whose one answer has the given data.
std::string answerText(std::uint16_t type, const Bytes& data)
{
    Bytes bytes { 0, 1, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0, 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0, 0, 1, 0, 1 };
    Bytes record { 0xC0, 12, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1, 0, 0, 0x0E, 0x10,
                   0, static_cast<std::uint8_t>(data.size()) };
    bytes.insert(bytes.end(), record.begin(), record.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::optional<DnsMessage> message = DnsMessage::parse(bytes);
    if (!message || message->answers().size() != 1)
        return "(not a message)";
    return DnsRecordText::record(bytes, message->answers()[0]);
}

} // namespace

TEST(DnsRecordTextTest, WritesRecordsAsDigDoes)
{
    const std::vector<std::tuple<std::uint16_t, Bytes, std::string>> cases {
        { DnsType::A, { 192, 0, 2, 1 }, "A 192.0.2.1" },
        { DnsType::AAAA, { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 }, "AAAA 2001:db8::1" },
        { DnsType::NS, { 2, 'n', 's', 0xC0, 12 }, "NS ns.example.org." },
        { DnsType::CNAME, { 0 }, "CNAME ." },
        { DnsType::PTR, { 1, 'x', 0 }, "PTR x." },
        { DnsType::MX, { 0, 10, 4, 'm', 'a', 'i', 'l', 0xC0, 12 }, "MX 10 mail.example.org." },
        { DnsType::TXT, { 5, 'a', '"', 'b', '\\', 0x07, 0 }, "TXT \"a\\\"b\\\\\\007\" \"\"" },
        { DnsType::SOA,
          { 2, 'n', 's', 0xC0, 12, 4, 'h', 'o', 's', 't', 0xC0, 12, 0x78, 0xA3, 0xF1, 0x75, 0, 0, 0x1C, 0x20, 0, 0, 0x0E, 0x10,
            0, 0x12, 0x75, 0, 0, 0, 0x0E, 0x10 },
          "SOA ns.example.org. host.example.org. 2024010101 7200 3600 1209600 3600" },
        { DnsType::SRV, { 0, 1, 0, 5, 0x14, 0x51, 3, 's', 'i', 'p', 0xC0, 12 }, "SRV 1 5 5201 sip.example.org." },
        { 99, { 0xc0, 0, 2, 1 }, "TYPE99 \\# 4 c0000201" },
        { 99, {}, "TYPE99 \\# 0" },
        // Data that is not what its type says is written as unknown data.
        { DnsType::A, { 192, 0, 2 }, "A \\# 3 c00002" },
        { DnsType::NS, { 2, 'n', 's', 0, 9 }, "NS \\# 5 026e730009" },
        { DnsType::MX, { 0, 10, 0xC0, 40 }, "MX \\# 4 000ac028" },
        { DnsType::TXT, { 5, 'a' }, "TXT \\# 2 0561" },
    };
    for (const auto& [type, data, text] : cases)
        EXPECT_EQ(answerText(type, data), "example.org. 3600 IN " + text);
}

TEST(DnsRecordTextTest, NamesTypesAndRcodes)
{
    EXPECT_EQ(DnsRecordText::typeName(DnsType::AAAA), "AAAA");
    EXPECT_EQ(DnsRecordText::typeName(99), "TYPE99");
    EXPECT_EQ(DnsRecordText::typeNamed("aaaa"), DnsType::AAAA);
    EXPECT_EQ(DnsRecordText::typeNamed("Mx"), DnsType::MX);
    EXPECT_EQ(DnsRecordText::typeNamed("type99"), 99);
    EXPECT_EQ(DnsRecordText::typeNamed("TYPE65535"), 65535);
    for (const char* unknown : { "", "AAAAA", "TYPE", "TYPE65536", "TYPE-1", "TYPE1x" })
        EXPECT_FALSE(DnsRecordText::typeNamed(unknown)) << unknown;
    EXPECT_EQ(DnsRecordText::rcodeName(DnsRcode::NOERROR), "NOERROR");
    EXPECT_EQ(DnsRecordText::rcodeName(DnsRcode::NXDOMAIN), "NXDOMAIN");
    EXPECT_EQ(DnsRecordText::rcodeName(DnsRcode::REFUSED), "REFUSED");
    EXPECT_EQ(DnsRecordText::rcodeName(12), "RCODE12");
}
