// A client's query to the proxy, over UDP or TCP: whatever a program on the device sends to its local
// address.
#include "AnswerCache.h"
#include "DnsMessage.h"
#include "DnsRecordText.h"
#include "FuzzCheck.h"
#include "TcpFraming.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> bytes(data, size);

    // Over TCP: the same bytes as a stream, in two pieces.
    TcpFraming stream;
    stream.append(bytes.first(size / 2));
    stream.append(bytes.subspan(size / 2));
    while (auto message = stream.nextMessage())
        fuzzCheck(message->size() <= DnsMessage::maximumLength, "a framed message fits its length");

    auto query = DnsMessage::parse(bytes);
    if (auto failure = DnsMessage::reply(bytes, DnsRcode::SERVFAIL)) {
        auto parsed = DnsMessage::parse(*failure);
        fuzzCheck(parsed.has_value(), "a SERVFAIL answer is a message");
        fuzzCheck(parsed->id() == static_cast<std::uint16_t>(data[0] << 8 | data[1]), "a SERVFAIL answer keeps the query's ID");
        fuzzCheck(parsed->rcode() == DnsRcode::SERVFAIL && parsed->isResponse(), "a SERVFAIL answer says so");
    }
    if (!query)
        return 0;
    fuzzCheck(query->udpPayloadSize() >= 512, "every client takes 512 bytes over UDP");
    fuzzCheck(DnsMessage::parse(DnsMessage::truncated(bytes)).has_value(), "a message cut to its question is a message");
    for (const auto* section : { &query->answers(), &query->authorities(), &query->additionals() }) {
        for (const auto& record : *section)
            fuzzCheck(!DnsRecordText::record(bytes, record).empty(), "every record reads as text");
    }
    auto key = AnswerCache::keyOf(*query);
    if (!key)
        return 0;
    // The query answered by itself, as a resolver that echoes would.
    std::vector<std::uint8_t> echoed(bytes.begin(), bytes.end());
    echoed[2] |= 0x80;
    auto answer = DnsMessage::parse(echoed);
    fuzzCheck(answer.has_value(), "a query marked as an answer is still a message");
    AnswerCache cache(1);
    auto now = AnswerCache::Clock::now();
    cache.store(*key, echoed, *answer, now);
    if (auto cached = cache.answer(*key, bytes, now + std::chrono::seconds(1))) {
        auto parsed = DnsMessage::parse(*cached);
        fuzzCheck(parsed.has_value() && parsed->id() == query->id(), "a cached answer is made out to the client's ID");
    }
    return 0;
}
