#include "DnsMessage.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void append16(Bytes& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void appendRecord(Bytes& bytes, Bytes name, std::uint16_t type, std::uint16_t rclass, std::uint32_t ttl, Bytes data)
{
    bytes.insert(bytes.end(), name.begin(), name.end());
    append16(bytes, type);
    append16(bytes, rclass);
    append16(bytes, static_cast<std::uint16_t>(ttl >> 16));
    append16(bytes, static_cast<std::uint16_t>(ttl));
    append16(bytes, static_cast<std::uint16_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
}

const Bytes pointerToQuestion { 0xC0, 12 };

// example.org A: an answer 300 s, an authority NS 3600 s, and EDNS for 1232 bytes with the DO bit.
Bytes response()
{
    Bytes bytes { 0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 1, 0, 1 };
    const Bytes name { 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0 };
    bytes.insert(bytes.end(), name.begin(), name.end());
    append16(bytes, DnsType::A);
    append16(bytes, 1);
    appendRecord(bytes, pointerToQuestion, DnsType::A, 1, 300, { 192, 0, 2, 1 });
    appendRecord(bytes, pointerToQuestion, DnsType::NS, 1, 3600, { 2, 'n', 's', 0xC0, 12 });
    appendRecord(bytes, { 0 }, DnsType::OPT, 1232, 0x8000, {});
    return bytes;
}

std::uint32_t ttlAt(const Bytes& bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) << 24 | bytes[offset + 1] << 16 | bytes[offset + 2] << 8 | bytes[offset + 3];
}

} // namespace

TEST(DnsMessageTest, ReadsEverySection)
{
    Bytes bytes = response();
    std::optional<DnsMessage> message = DnsMessage::parse(bytes);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->id(), 0x1234);
    EXPECT_TRUE(message->isResponse());
    EXPECT_TRUE(message->recursionDesired());
    EXPECT_FALSE(message->isTruncated());
    EXPECT_EQ(message->rcode(), DnsRcode::NOERROR);
    ASSERT_EQ(message->questions().size(), 1u);
    EXPECT_EQ(message->questions()[0].name, "example.org");
    EXPECT_EQ(message->questions()[0].type, DnsType::A);
    ASSERT_EQ(message->answers().size(), 1u);
    const DnsRecord& answer = message->answers()[0];
    EXPECT_EQ(answer.name, "example.org");
    EXPECT_EQ(answer.ttl, 300u);
    EXPECT_EQ(ttlAt(bytes, answer.ttlOffset), 300u);
    EXPECT_EQ(answer.dataLength, 4);
    EXPECT_EQ(bytes[answer.dataOffset], 192);
    ASSERT_EQ(message->authorities().size(), 1u);
    EXPECT_EQ(message->authorities()[0].type, DnsType::NS);
    ASSERT_EQ(message->additionals().size(), 1u);
    EXPECT_EQ(message->udpPayloadSize(), 1232u);
    EXPECT_EQ(message->minimumTTL(), 300u);

    bytes.push_back(0xAB);
    EXPECT_TRUE(DnsMessage::parse(bytes)) << "bytes after the last record are ignored";
}

TEST(DnsMessageTest, RefusesMessagesThatClaimMoreThanTheyHold)
{
    const Bytes whole = response();
    auto changed = [&](std::size_t offset, std::uint8_t value) {
        Bytes bytes = whole;
        bytes[offset] = value;
        return bytes;
    };
    const std::size_t answerStart = 12 + 13 + 4;
    const std::vector<std::pair<const char*, Bytes>> cases {
        { "short header", Bytes(whole.begin(), whole.begin() + 11) },
        { "more questions than there are", changed(5, 2) },
        { "more answers than there are", changed(7, 5) },
        { "more additionals than there are", changed(11, 2) },
        { "data longer than the message", changed(answerStart + 11, 200) },
        { "pointer forwards", changed(answerStart + 1, 200) },
        { "pointer to itself", changed(answerStart + 1, static_cast<std::uint8_t>(answerStart)) },
        { "label over 63 bytes", changed(12, 64) },
        { "cut in the last record", Bytes(whole.begin(), whole.end() - 1) },
    };
    for (const auto& [what, bytes] : cases)
        EXPECT_FALSE(DnsMessage::parse(bytes)) << what;

    Bytes huge(12, 0);
    huge[5] = 1;
    Bytes longName = huge;
    for (int label = 0; label < 5; ++label) {
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'a');
    }
    longName.insert(longName.end(), { 0, 0, 1, 0, 1 });
    EXPECT_FALSE(DnsMessage::parse(longName)) << "name over 255 bytes";
    huge[4] = 0xFF;
    huge[5] = 0xFF;
    EXPECT_FALSE(DnsMessage::parse(huge)) << "65535 questions in 12 bytes";
}

TEST(DnsMessageTest, AgesTTLsButNotEDNS)
{
    Bytes bytes = response();
    std::optional<DnsMessage> message = DnsMessage::parse(bytes);
    ASSERT_TRUE(message);
    message->ageTTLs(bytes, 100);
    EXPECT_EQ(ttlAt(bytes, message->answers()[0].ttlOffset), 200u);
    EXPECT_EQ(ttlAt(bytes, message->authorities()[0].ttlOffset), 3500u);
    EXPECT_EQ(ttlAt(bytes, message->additionals()[0].ttlOffset), 0x8000u);
    message->ageTTLs(bytes, 1000);
    EXPECT_EQ(ttlAt(bytes, message->answers()[0].ttlOffset), 0u);
    EXPECT_EQ(ttlAt(bytes, message->authorities()[0].ttlOffset), 2600u);
}

TEST(DnsMessageTest, WritesQueriesWithAndWithoutEDNS)
{
    std::optional<Bytes> plain = DnsMessage::query(7, "example.org.", DnsType::AAAA);
    ASSERT_TRUE(plain);
    std::optional<DnsMessage> parsed = DnsMessage::parse(*plain);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->id(), 7);
    EXPECT_TRUE(parsed->recursionDesired());
    EXPECT_FALSE(parsed->isResponse());
    ASSERT_EQ(parsed->questions().size(), 1u);
    EXPECT_EQ(parsed->questions()[0].name, "example.org");
    EXPECT_EQ(parsed->questions()[0].type, DnsType::AAAA);
    EXPECT_EQ(parsed->questions()[0].qclass, 1);
    EXPECT_TRUE(parsed->additionals().empty());
    EXPECT_EQ(parsed->udpPayloadSize(), 512u);

    std::optional<Bytes> edns = DnsMessage::query(8, "example.org", DnsType::A, 4096);
    ASSERT_TRUE(edns);
    parsed = DnsMessage::parse(*edns);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->additionals().size(), 1u);
    EXPECT_EQ(parsed->additionals()[0].type, DnsType::OPT);
    EXPECT_EQ(parsed->additionals()[0].name, "");
    EXPECT_EQ(parsed->udpPayloadSize(), 4096u);
    EXPECT_EQ(DnsMessage::parse(*DnsMessage::query(9, "a", DnsType::A, 100))->udpPayloadSize(), 512u);

    EXPECT_FALSE(DnsMessage::query(1, "a..b", DnsType::A));
    EXPECT_FALSE(DnsMessage::query(1, std::string(64, 'a'), DnsType::A));
}

TEST(DnsMessageTest, RepliesKeepTheQuery)
{
    Bytes query = *DnsMessage::query(0xBEEF, "Example.org", DnsType::MX, 1232);
    query[2] |= 0x10; // opcode 2
    std::optional<Bytes> reply = DnsMessage::reply(query, DnsRcode::REFUSED, true);
    ASSERT_TRUE(reply);
    std::optional<DnsMessage> parsed = DnsMessage::parse(*reply);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->id(), 0xBEEF);
    EXPECT_TRUE(parsed->isResponse());
    EXPECT_TRUE(parsed->isTruncated());
    EXPECT_TRUE(parsed->recursionDesired());
    EXPECT_EQ(parsed->opcode(), 2);
    EXPECT_EQ(parsed->rcode(), DnsRcode::REFUSED);
    EXPECT_EQ((*reply)[3] & 0x80, 0x80) << "RA";
    ASSERT_EQ(parsed->questions().size(), 1u);
    EXPECT_EQ(parsed->questions()[0].name, "Example.org");
    EXPECT_EQ(parsed->questions()[0].type, DnsType::MX);
    EXPECT_TRUE(parsed->additionals().empty());

    EXPECT_FALSE(DnsMessage::reply(Bytes(11, 0), DnsRcode::FORMERR));
    Bytes header(12, 0xFF);
    parsed = DnsMessage::parse(*DnsMessage::reply(header, DnsRcode::FORMERR));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->id(), 0xFFFF);
    EXPECT_TRUE(parsed->questions().empty());
    EXPECT_EQ(parsed->rcode(), DnsRcode::FORMERR);
}

TEST(DnsMessageTest, RepliesToAnyBytesAreMessages)
{
    std::mt19937 random(20240601);
    Bytes seed = response();
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = seed;
        bytes.resize(12 + random() % seed.size());
        for (int flip = 0; flip < 1 + round % 4; ++flip)
            bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        std::optional<Bytes> reply = DnsMessage::reply(bytes, DnsRcode::SERVFAIL);
        ASSERT_TRUE(reply);
        ASSERT_TRUE(DnsMessage::parse(*reply)) << testing::PrintToString(bytes);
        ASSERT_TRUE(DnsMessage::parse(DnsMessage::truncated(bytes))) << testing::PrintToString(bytes);
    }
}

TEST(DnsMessageTest, TruncatedKeepsHeaderAndQuestions)
{
    Bytes bytes = response();
    Bytes cut = DnsMessage::truncated(bytes);
    EXPECT_EQ(cut.size(), 12u + 13 + 4);
    std::optional<DnsMessage> parsed = DnsMessage::parse(cut);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->isTruncated());
    EXPECT_EQ(parsed->id(), 0x1234);
    EXPECT_EQ(parsed->questions().size(), 1u);
    EXPECT_TRUE(parsed->answers().empty());
    EXPECT_TRUE(parsed->additionals().empty());

    DnsMessage::setID(cut, 0x0102);
    EXPECT_EQ(DnsMessage::parse(cut)->id(), 0x0102);
}

TEST(DnsMessageTest, JoinsTXTStrings)
{
    Bytes bytes(12, 0);
    bytes[7] = 1;
    appendRecord(bytes, { 0 }, DnsType::TXT, 1, 60, { 3, 'a', 'b', 'c', 0, 2, 'd', 'e' });
    std::optional<DnsMessage> message = DnsMessage::parse(bytes);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->txtData(bytes, message->answers()[0]), (Bytes { 'a', 'b', 'c', 'd', 'e' }));
    EXPECT_EQ(message->minimumTTL(), 60u);
    EXPECT_FALSE(DnsMessage::parse(*DnsMessage::query(1, "a", DnsType::A))->minimumTTL());
}
