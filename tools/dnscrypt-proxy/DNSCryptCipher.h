#pragma once

#include "Certificate.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// A client's X25519 key pair; one serves both es-versions.
struct ClientKeyPair {
    std::array<std::uint8_t, 32> publicKey {};
    std::array<std::uint8_t, 32> secretKey {};

    static ClientKeyPair generate();
};

// The encryption of queries to one resolver certificate, and of their responses, for one client key
// pair: the shared key is computed once.
//
//   query    = client-magic(8) | client-public-key(32) | client-nonce(12) | box(padded DNS query)
//   response = "r6fnvWj8" | client-nonce(12) | resolver-nonce(12) | box(padded DNS answer)
class DNSCryptCipher {
public:
    using ClientNonce = std::array<std::uint8_t, 12>;
    static constexpr std::size_t queryOverhead = 8 + 32 + 12 + 16;
    static constexpr std::size_t responseHeaderLength = 8 + 24;
    static constexpr std::size_t responseOverhead = responseHeaderLength + 16;
    static constexpr std::size_t minimumUDPQueryLength = 256;

    // Null when the resolver's key is unusable (a weak point of the curve).
    static std::optional<DNSCryptCipher> create(const Certificate& certificate, const ClientKeyPair& keys);
    ~DNSCryptCipher();
    DNSCryptCipher(DNSCryptCipher&& other) noexcept;
    DNSCryptCipher& operator=(DNSCryptCipher&&) = delete;
    DNSCryptCipher(const DNSCryptCipher&) = delete;
    DNSCryptCipher& operator=(const DNSCryptCipher&) = delete;

    // The query sealed with the nonce, its plaintext padded to `paddedLength` (see paddedLength()).
    std::vector<std::uint8_t> seal(std::span<const std::uint8_t> query, std::size_t paddedLength,
                                   const ClientNonce& nonce) const;
    // The DNS answer of a response to a query sealed with `nonce`: null for anything else, anything
    // forged, and anything badly padded.
    std::optional<std::vector<std::uint8_t>> open(std::span<const std::uint8_t> response, const ClientNonce& nonce) const;

    // The client nonce a response echoes; null when the bytes are not a DNSCrypt response.
    static std::optional<ClientNonce> responseNonce(std::span<const std::uint8_t> response);
    static ClientNonce randomNonce();

    // The length to pad a query of `length` bytes to: over UDP at least `minimumLength` (a multiple of
    // 64), over TCP a multiple of 64 with at least one byte of padding.
    static std::size_t paddedLength(std::size_t length, std::size_t minimumLength, bool overTCP);
    // ISO/IEC 7816-4 padding: 0x80, then zeros up to `paddedLength` (longer than the message).
    static std::vector<std::uint8_t> pad(std::span<const std::uint8_t> message, std::size_t paddedLength);
    // The message without its padding; null when the padding is not 0x80 followed by zeros only.
    static std::optional<std::vector<std::uint8_t>> unpad(std::span<const std::uint8_t> padded);

    const Certificate& certificate() const { return resolverCertificate; }

private:
    DNSCryptCipher(const Certificate& certificate, const ClientKeyPair& keys);

    Certificate resolverCertificate;
    std::array<std::uint8_t, 32> clientPublicKey {};
    std::array<std::uint8_t, 32> sharedKey {};
};
