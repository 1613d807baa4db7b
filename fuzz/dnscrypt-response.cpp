// A response to one of the proxy's encrypted queries, as the proxy reads it: from the resolver, or
// from anyone who can send to the proxy's socket. The first byte chooses the es-version and whether
// the rest is the packet as it arrives or the answer a resolver seals (so that what follows the
// decryption, the padding and the DNS answer, is reached).
#include "AnswerCache.h"
#include "DNSCryptCipher.h"
#include "DnsMessage.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <sodium.h>

namespace {

struct Exchange {
    ClientKeyPair client;
    ClientKeyPair resolver;
    Certificate certificate;
    DNSCryptCipher::ClientNonce nonce {};

    explicit Exchange(std::uint16_t esVersion)
    {
        std::array<std::uint8_t, crypto_box_SEEDBYTES> seed {};
        crypto_box_seed_keypair(client.publicKey.data(), client.secretKey.data(), seed.data());
        seed[0] = 1;
        crypto_box_seed_keypair(resolver.publicKey.data(), resolver.secretKey.data(), seed.data());
        certificate.esVersion = esVersion;
        certificate.resolverPublicKey = resolver.publicKey;
        nonce.fill(0x5A);
    }

    // What the resolver sends for `plaintext`, sealed with its key and the client's nonce.
    std::vector<std::uint8_t> sealed(std::span<const std::uint8_t> plaintext) const
    {
        std::vector<std::uint8_t> packet(DNSCryptCipher::responseOverhead + plaintext.size());
        std::string_view magic("r6fnvWj8");
        std::copy(magic.begin(), magic.end(), packet.begin());
        std::copy(nonce.begin(), nonce.end(), packet.begin() + 8);
        const auto* fullNonce = packet.data() + 8;
        auto* box = packet.data() + DNSCryptCipher::responseHeaderLength;
        int result = certificate.esVersion == Certificate::xchacha20poly1305
            ? crypto_box_curve25519xchacha20poly1305_easy(box, plaintext.data(), plaintext.size(), fullNonce, client.publicKey.data(), resolver.secretKey.data())
            : crypto_box_easy(box, plaintext.data(), plaintext.size(), fullNonce, client.publicKey.data(), resolver.secretKey.data());
        fuzzCheck(result == 0, "the resolver seals its answer");
        return packet;
    }
};

void readAnswer(const std::vector<std::uint8_t>& answer)
{
    auto message = DnsMessage::parse(answer);
    if (!message)
        return;
    auto query = DnsMessage::query(message->id(), message->questions().empty() ? "example.org" : message->questions().front().name,
                                   message->questions().empty() ? DnsType::A : message->questions().front().type);
    if (!query)
        return;
    auto key = AnswerCache::keyOf(*DnsMessage::parse(*query));
    fuzzCheck(key.has_value(), "a query made here has a cache key");
    AnswerCache cache(4);
    auto now = AnswerCache::Clock::now();
    cache.store(*key, answer, *message, now);
    if (auto cached = cache.answer(*key, *query, now + std::chrono::seconds(30)))
        fuzzCheck(DnsMessage::parse(*cached).has_value(), "a cached answer given out is still a message");
    if (answer.size() > message->udpPayloadSize())
        fuzzCheck(DnsMessage::parse(DnsMessage::truncated(answer)).has_value(), "an answer cut for UDP is a message");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool sodiumReady = sodium_init() >= 0;
    fuzzCheck(sodiumReady, "libsodium starts");
    if (size == 0)
        return 0;
    static const Exchange exchanges[] = { Exchange(Certificate::xsalsa20poly1305), Exchange(Certificate::xchacha20poly1305) };
    const auto& exchange = exchanges[data[0] & 1];
    auto cipher = DNSCryptCipher::create(exchange.certificate, exchange.client);
    fuzzCheck(cipher.has_value(), "the fixed keys make a cipher");
    std::span<const std::uint8_t> rest(data + 1, size - 1);

    bool sealedByTheResolver = data[0] & 2;
    auto packet = sealedByTheResolver ? exchange.sealed(rest) : std::vector<std::uint8_t>(rest.begin(), rest.end());
    auto answer = cipher->open(packet, exchange.nonce);
    if (sealedByTheResolver)
        fuzzCheck(answer == DNSCryptCipher::unpad(rest), "a sealed answer opens to its unpadded plaintext");
    if (answer)
        readAnswer(*answer);

    auto otherNonce = exchange.nonce;
    otherNonce[11] ^= 1;
    fuzzCheck(!cipher->open(packet, otherNonce), "a response opens only for the nonce it echoes");
    return 0;
}
