#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace DnsType {
inline constexpr std::uint16_t A = 1;
inline constexpr std::uint16_t NS = 2;
inline constexpr std::uint16_t CNAME = 5;
inline constexpr std::uint16_t SOA = 6;
inline constexpr std::uint16_t PTR = 12;
inline constexpr std::uint16_t MX = 15;
inline constexpr std::uint16_t TXT = 16;
inline constexpr std::uint16_t AAAA = 28;
inline constexpr std::uint16_t SRV = 33;
inline constexpr std::uint16_t OPT = 41;
inline constexpr std::uint16_t ANY = 255;
}

namespace DnsRcode {
inline constexpr int NOERROR = 0;
inline constexpr int FORMERR = 1;
inline constexpr int SERVFAIL = 2;
inline constexpr int NXDOMAIN = 3;
inline constexpr int REFUSED = 5;
}

struct DnsQuestion {
    std::string name;
    std::uint16_t type { 0 };
    std::uint16_t qclass { 1 };
};

// A resource record as read: where its TTL and data lie in the message, so that callers can rewrite the
// TTL in place or read the data in the message's own terms (names in it may be compressed).
struct DnsRecord {
    std::string name;
    std::uint16_t type { 0 };
    std::uint16_t rclass { 0 };
    std::uint32_t ttl { 0 };
    std::size_t ttlOffset { 0 };
    std::size_t dataOffset { 0 };
    std::uint16_t dataLength { 0 };
};

// A DNS message (RFC 1035) read whole: the header, every question and every record of the three record
// sections, each bounded by the message. Reading never trusts a count or a length: a message that
// claims more than it holds is not a message.
class DnsMessage {
public:
    static constexpr std::size_t headerLength = 12;
    static constexpr std::size_t maximumLength = 65535;

    // Null when the bytes are not a whole, well-formed message.
    static std::optional<DnsMessage> parse(std::span<const std::uint8_t> bytes);

    std::uint16_t id() const { return header.id; }
    std::uint16_t flags() const { return header.flags; }
    bool isResponse() const { return header.flags & 0x8000; }
    bool isTruncated() const { return header.flags & 0x0200; }
    bool recursionDesired() const { return header.flags & 0x0100; }
    int opcode() const { return (header.flags >> 11) & 0xF; }
    int rcode() const { return header.flags & 0xF; }

    const std::vector<DnsQuestion>& questions() const { return questionSection; }
    const std::vector<DnsRecord>& answers() const { return answerSection; }
    const std::vector<DnsRecord>& authorities() const { return authoritySection; }
    const std::vector<DnsRecord>& additionals() const { return additionalSection; }

    // The largest UDP answer the sender takes: its EDNS payload size (at least 512), or 512 without EDNS.
    std::size_t udpPayloadSize() const;
    // The smallest TTL of the answer and authority records (OPT aside); null when there are none.
    std::optional<std::uint32_t> minimumTTL() const;
    // The character-strings of a TXT record's data, joined.
    std::vector<std::uint8_t> txtData(std::span<const std::uint8_t> bytes, const DnsRecord& record) const;

    // A query for one question, with recursion desired, and with an EDNS record announcing
    // `udpPayloadSize` when it is non-zero. Null for a name that cannot be written.
    static std::optional<std::vector<std::uint8_t>> query(std::uint16_t id, const std::string& name, std::uint16_t type,
                                                          std::uint16_t udpPayloadSize = 0);
    // A response to the query with only the header and the question: QR set, the query's ID, opcode, RD
    // and question kept, RA set, and the given RCODE; with `truncated`, TC set. Null when the query has
    // no whole header.
    static std::optional<std::vector<std::uint8_t>> reply(std::span<const std::uint8_t> query, int rcode, bool truncated = false);
    // The response cut to its header and questions with TC set, for a client whose UDP size it exceeds.
    static std::vector<std::uint8_t> truncated(std::span<const std::uint8_t> response);

    // Writes a message's ID in place (the message has at least a header).
    static void setID(std::span<std::uint8_t> bytes, std::uint16_t id);
    // Lowers every record's TTL (OPT aside) by `elapsedSeconds`, down to zero, in place.
    void ageTTLs(std::span<std::uint8_t> bytes, std::uint32_t elapsedSeconds) const;

private:
    struct Header {
        std::uint16_t id { 0 };
        std::uint16_t flags { 0 };
    } header;
    std::vector<DnsQuestion> questionSection;
    std::vector<DnsRecord> answerSection;
    std::vector<DnsRecord> authoritySection;
    std::vector<DnsRecord> additionalSection;
};
