#include "DnsMessage.h"

#include "DnsName.h"

#include <algorithm>

namespace {

constexpr std::uint16_t flagResponse = 0x8000;
constexpr std::uint16_t flagOpcode = 0x7800;
constexpr std::uint16_t flagTruncated = 0x0200;
constexpr std::uint16_t flagRecursionDesired = 0x0100;
constexpr std::uint16_t flagRecursionAvailable = 0x0080;
constexpr std::size_t minimumUDPPayload = 512;
constexpr std::uint16_t classIN = 1;

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

std::uint32_t read32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(read16(bytes, offset)) << 16 | read16(bytes, offset + 2);
}

void write16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void append16(std::vector<std::uint8_t>& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

std::vector<std::uint8_t> headerBytes(std::uint16_t id, std::uint16_t flags, std::uint16_t questions, std::uint16_t additionals)
{
    std::vector<std::uint8_t> bytes;
    append16(bytes, id);
    append16(bytes, flags);
    append16(bytes, questions);
    append16(bytes, 0);
    append16(bytes, 0);
    append16(bytes, additionals);
    return bytes;
}

std::optional<DnsQuestion> readQuestion(std::span<const std::uint8_t> bytes, std::size_t& offset)
{
    std::optional<std::string> name = DnsName::read(bytes, offset);
    if (!name || offset + 4 > bytes.size())
        return std::nullopt;
    DnsQuestion question { std::move(*name), read16(bytes, offset), read16(bytes, offset + 2) };
    offset += 4;
    return question;
}

std::optional<DnsRecord> readRecord(std::span<const std::uint8_t> bytes, std::size_t& offset)
{
    std::optional<std::string> name = DnsName::read(bytes, offset);
    if (!name || offset + 10 > bytes.size())
        return std::nullopt;
    DnsRecord record;
    record.name = std::move(*name);
    record.type = read16(bytes, offset);
    record.rclass = read16(bytes, offset + 2);
    record.ttlOffset = offset + 4;
    record.ttl = read32(bytes, offset + 4);
    record.dataLength = read16(bytes, offset + 8);
    record.dataOffset = offset + 10;
    if (record.dataOffset + record.dataLength > bytes.size())
        return std::nullopt;
    offset = record.dataOffset + record.dataLength;
    return record;
}

bool readRecords(std::span<const std::uint8_t> bytes, std::size_t& offset, std::uint16_t count, std::vector<DnsRecord>& records)
{
    for (std::uint16_t index = 0; index < count; ++index) {
        std::optional<DnsRecord> record = readRecord(bytes, offset);
        if (!record)
            return false;
        records.push_back(std::move(*record));
    }
    return true;
}

// Where the question section ends, when the header and every question are whole.
std::optional<std::size_t> questionsEnd(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < DnsMessage::headerLength)
        return std::nullopt;
    std::size_t offset = DnsMessage::headerLength;
    std::uint16_t count = read16(bytes, 4);
    for (std::uint16_t index = 0; index < count; ++index) {
        if (!readQuestion(bytes, offset))
            return std::nullopt;
    }
    return offset;
}

// The first question's name as its own bytes, when it uses no compression (a pointer could lead into
// the header, which a reply rewrites).
bool firstNameIsUncompressed(std::span<const std::uint8_t> bytes)
{
    std::size_t position = DnsMessage::headerLength;
    while (position < bytes.size() && bytes[position] != 0) {
        if (bytes[position] > 63)
            return false;
        position += 1 + bytes[position];
    }
    return position < bytes.size();
}

} // namespace

std::optional<DnsMessage> DnsMessage::parse(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < headerLength || bytes.size() > maximumLength)
        return std::nullopt;
    DnsMessage message;
    message.header.id = read16(bytes, 0);
    message.header.flags = read16(bytes, 2);
    std::uint16_t questionCount = read16(bytes, 4);
    std::size_t offset = headerLength;
    for (std::uint16_t index = 0; index < questionCount; ++index) {
        std::optional<DnsQuestion> question = readQuestion(bytes, offset);
        if (!question)
            return std::nullopt;
        message.questionSection.push_back(std::move(*question));
    }
    if (!readRecords(bytes, offset, read16(bytes, 6), message.answerSection)
        || !readRecords(bytes, offset, read16(bytes, 8), message.authoritySection)
        || !readRecords(bytes, offset, read16(bytes, 10), message.additionalSection))
        return std::nullopt;
    return message;
}

std::size_t DnsMessage::udpPayloadSize() const
{
    for (const DnsRecord& record : additionalSection) {
        if (record.type == DnsType::OPT)
            return std::max<std::size_t>(record.rclass, minimumUDPPayload);
    }
    return minimumUDPPayload;
}

std::optional<std::uint32_t> DnsMessage::minimumTTL() const
{
    std::optional<std::uint32_t> minimum;
    for (const auto* section : { &answerSection, &authoritySection }) {
        for (const DnsRecord& record : *section) {
            if (record.type != DnsType::OPT && (!minimum || record.ttl < *minimum))
                minimum = record.ttl;
        }
    }
    return minimum;
}

std::vector<std::uint8_t> DnsMessage::txtData(std::span<const std::uint8_t> bytes, const DnsRecord& record) const
{
    std::vector<std::uint8_t> joined;
    std::size_t end = std::min(record.dataOffset + record.dataLength, bytes.size());
    std::size_t position = record.dataOffset;
    while (position < end) {
        std::size_t length = bytes[position];
        std::size_t stringEnd = std::min(position + 1 + length, end);
        joined.insert(joined.end(), bytes.begin() + static_cast<std::ptrdiff_t>(position + 1),
                      bytes.begin() + static_cast<std::ptrdiff_t>(stringEnd));
        position = stringEnd;
    }
    return joined;
}

std::optional<std::vector<std::uint8_t>> DnsMessage::query(std::uint16_t id, const std::string& name, std::uint16_t type,
                                                           std::uint16_t udpPayloadSize)
{
    std::vector<std::uint8_t> bytes = headerBytes(id, flagRecursionDesired, 1, udpPayloadSize != 0 ? 1 : 0);
    if (!DnsName::append(bytes, name))
        return std::nullopt;
    append16(bytes, type);
    append16(bytes, classIN);
    if (udpPayloadSize == 0)
        return bytes;
    bytes.push_back(0);
    append16(bytes, DnsType::OPT);
    append16(bytes, udpPayloadSize);
    bytes.insert(bytes.end(), 6, 0);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> DnsMessage::reply(std::span<const std::uint8_t> query, int rcode, bool truncated)
{
    if (query.size() < headerLength)
        return std::nullopt;
    auto flags = static_cast<std::uint16_t>(flagResponse | (read16(query, 2) & (flagOpcode | flagRecursionDesired))
                                            | flagRecursionAvailable | (rcode & 0xF));
    if (truncated)
        flags |= flagTruncated;
    std::optional<DnsMessage> parsed = parse(query);
    bool keepQuestion = parsed && !parsed->questions().empty() && firstNameIsUncompressed(query);
    std::vector<std::uint8_t> bytes = headerBytes(read16(query, 0), flags, keepQuestion ? 1 : 0, 0);
    if (!keepQuestion)
        return bytes;
    std::size_t offset = headerLength;
    readQuestion(query, offset);
    bytes.insert(bytes.end(), query.begin() + headerLength, query.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

std::vector<std::uint8_t> DnsMessage::truncated(std::span<const std::uint8_t> response)
{
    if (response.size() < headerLength)
        return {};
    std::optional<std::size_t> end = questionsEnd(response);
    std::vector<std::uint8_t> bytes(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(end.value_or(headerLength)));
    std::span<std::uint8_t> written(bytes);
    write16(written, 2, read16(bytes, 2) | flagTruncated);
    if (!end)
        write16(written, 4, 0);
    write16(written, 6, 0);
    write16(written, 8, 0);
    write16(written, 10, 0);
    return bytes;
}

void DnsMessage::setID(std::span<std::uint8_t> bytes, std::uint16_t id)
{
    write16(bytes, 0, id);
}

void DnsMessage::ageTTLs(std::span<std::uint8_t> bytes, std::uint32_t elapsedSeconds) const
{
    for (const auto* section : { &answerSection, &authoritySection, &additionalSection }) {
        for (const DnsRecord& record : *section) {
            if (record.type == DnsType::OPT || record.ttlOffset + 4 > bytes.size())
                continue;
            std::uint32_t aged = record.ttl > elapsedSeconds ? record.ttl - elapsedSeconds : 0;
            write16(bytes, record.ttlOffset, static_cast<std::uint16_t>(aged >> 16));
            write16(bytes, record.ttlOffset + 2, static_cast<std::uint16_t>(aged));
        }
    }
}
