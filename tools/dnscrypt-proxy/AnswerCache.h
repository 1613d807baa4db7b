#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

class DnsMessage;

// Answers kept by question for as long as their TTL allows, the least recently used going first when
// the cache is full. An answer given out from the cache carries the client's ID and question, and TTLs
// lowered by the time it was kept.
class AnswerCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint32_t longestTTL = 86400;

    explicit AnswerCache(std::size_t maximumEntries) : capacity(maximumEntries) { }

    // The key of a query's question, with the bits that change the answer; null for a query that is
    // not a plain one-question query.
    static std::optional<std::string> keyOf(const DnsMessage& query);

    // The cached answer for `query` (its key `key`), made out to it; null when none is fresh.
    std::optional<std::vector<std::uint8_t>> answer(const std::string& key, std::span<const std::uint8_t> query, Clock::time_point now);
    // Keeps a response that is worth keeping: an answer or a denial, not cut short, with a TTL.
    void store(const std::string& key, std::span<const std::uint8_t> response, const DnsMessage& parsed, Clock::time_point now);

    std::size_t size() const { return entries.size(); }

private:
    struct Entry {
        std::string key;
        std::vector<std::uint8_t> response;
        std::vector<std::size_t> ttlOffsets;
        Clock::time_point storedAt;
        Clock::time_point expiresAt;
    };

    std::size_t capacity;
    std::list<Entry> entries;   // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index;
};
