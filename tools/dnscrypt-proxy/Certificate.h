#pragma once

#include "ProviderKey.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A resolver's certificate: its short-term key and the terms of its use, signed by the provider.
class Certificate {
public:
    static constexpr std::size_t minimumLength = 124;
    static constexpr std::uint16_t xsalsa20poly1305 = 1;
    static constexpr std::uint16_t xchacha20poly1305 = 2;

    // Null, with `refusal` saying why ("serial 3: bad signature ...", "malformed ..."), for bytes that are not a certificate, of an es-version this
    // client does not speak, or not signed by the provider's key.
    static std::optional<Certificate> parse(std::span<const std::uint8_t> bytes, const ProviderKey& providerKey,
                                            std::string& refusal);

    // Why the certificate may not be used at `now` ("expired on ...", "not valid before ..."); empty
    // when it may.
    std::string timeRefusal(std::time_t now) const;

    // The certificate to use among those offered: the highest serial among those valid at `now` (any,
    // when `ignoreTimestamps`), es-version 2 before 1 on a tie.
    static std::optional<Certificate> best(const std::vector<Certificate>& offered, std::time_t now, bool ignoreTimestamps);

    std::uint16_t esVersion { 0 };
    std::array<std::uint8_t, 32> resolverPublicKey {};
    std::array<std::uint8_t, 8> clientMagic {};
    std::uint32_t serial { 0 };
    std::uint32_t validFrom { 0 };
    std::uint32_t validUntil { 0 };

    bool operator==(const Certificate&) const = default;

    // "serial 3, es-version 2, valid until 2026-12-08 10:00:00 UTC".
    std::string summary() const;
    static std::string utcText(std::time_t time);
};
