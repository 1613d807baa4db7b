#include "AnswerCache.h"

#include "DnsMessage.h"
#include "DnsName.h"

#include <algorithm>

namespace {

constexpr std::uint16_t checkingDisabled = 0x0010;

std::uint32_t readUint32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) << 24 | static_cast<std::uint32_t>(bytes[offset + 1]) << 16
        | static_cast<std::uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

void writeUint32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value >> 24);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 3] = static_cast<std::uint8_t>(value);
}

bool asksForDNSSECRecords(const DnsMessage& query)
{
    for (const auto& record : query.additionals()) {
        if (record.type == DnsType::OPT)
            return record.ttl & 0x8000;
    }
    return false;
}

// The question as the client wrote it (letter case included) over the cached one, which has the same
// wire length.
void takeQuestionOf(std::span<const std::uint8_t> query, std::vector<std::uint8_t>& response)
{
    std::size_t queryEnd = DnsMessage::headerLength;
    std::size_t responseEnd = DnsMessage::headerLength;
    if (!DnsName::read(query, queryEnd) || !DnsName::read(response, responseEnd) || queryEnd != responseEnd)
        return;
    std::copy(query.begin() + DnsMessage::headerLength, query.begin() + static_cast<std::ptrdiff_t>(queryEnd),
              response.begin() + DnsMessage::headerLength);
}

} // namespace

std::optional<std::string> AnswerCache::keyOf(const DnsMessage& query)
{
    if (query.isResponse() || query.opcode() != 0 || query.questions().size() != 1)
        return std::nullopt;
    const auto& question = query.questions().front();
    std::string key = DnsName::canonical(question.name);
    key += '\0';
    key += std::to_string(question.type) + '/' + std::to_string(question.qclass);
    key += asksForDNSSECRecords(query) ? "/do" : "";
    key += (query.flags() & checkingDisabled) ? "/cd" : "";
    return key;
}

std::optional<std::vector<std::uint8_t>> AnswerCache::answer(const std::string& key, std::span<const std::uint8_t> query, Clock::time_point now)
{
    auto found = index.find(key);
    if (found == index.end())
        return std::nullopt;
    auto entry = found->second;
    if (now >= entry->expiresAt) {
        entries.erase(entry);
        index.erase(found);
        return std::nullopt;
    }
    entries.splice(entries.begin(), entries, entry);
    auto response = entry->response;
    auto elapsed = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now - entry->storedAt).count());
    for (auto offset : entry->ttlOffsets) {
        auto ttl = readUint32(response, offset);
        writeUint32(response, offset, ttl > elapsed ? ttl - elapsed : 0);
    }
    DnsMessage::setID(response, static_cast<std::uint16_t>(query[0] << 8 | query[1]));
    takeQuestionOf(query, response);
    return response;
}

void AnswerCache::store(const std::string& key, std::span<const std::uint8_t> response, const DnsMessage& parsed, Clock::time_point now)
{
    if (capacity == 0 || parsed.isTruncated() || (parsed.rcode() != DnsRcode::NOERROR && parsed.rcode() != DnsRcode::NXDOMAIN))
        return;
    auto ttl = parsed.minimumTTL();
    if (!ttl || *ttl == 0)
        return;
    Entry entry { key, std::vector<std::uint8_t>(response.begin(), response.end()), {}, now,
                  now + std::chrono::seconds(std::min(*ttl, longestTTL)) };
    for (const auto* section : { &parsed.answers(), &parsed.authorities(), &parsed.additionals() }) {
        for (const auto& record : *section) {
            if (record.type != DnsType::OPT)
                entry.ttlOffsets.push_back(record.ttlOffset);
        }
    }
    if (auto found = index.find(key); found != index.end()) {
        entries.erase(found->second);
        index.erase(found);
    }
    entries.push_front(std::move(entry));
    index[key] = entries.begin();
    if (entries.size() > capacity) {
        index.erase(entries.back().key);
        entries.pop_back();
    }
}
