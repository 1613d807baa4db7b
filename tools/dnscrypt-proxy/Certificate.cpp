#include "Certificate.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <sodium.h>

namespace {

constexpr std::uint8_t certificateMagic[] = { 'D', 'N', 'S', 'C' };
constexpr std::size_t signatureOffset = 8;
constexpr std::size_t signedOffset = 72;

std::uint16_t readUint16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

std::uint32_t readUint32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) << 24 | static_cast<std::uint32_t>(bytes[offset + 1]) << 16
        | static_cast<std::uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

} // namespace

std::optional<Certificate> Certificate::parse(std::span<const std::uint8_t> bytes, const ProviderKey& providerKey,
                                              std::string& refusal)
{
    if (bytes.size() < minimumLength) {
        refusal = "malformed (" + std::to_string(bytes.size()) + " bytes)";
        return std::nullopt;
    }
    if (std::memcmp(bytes.data(), certificateMagic, sizeof certificateMagic) != 0) {
        refusal = "malformed (no certificate magic)";
        return std::nullopt;
    }
    Certificate certificate;
    certificate.esVersion = readUint16(bytes, 4);
    certificate.serial = readUint32(bytes, 112);
    std::string serial = "serial " + std::to_string(certificate.serial) + ": ";
    if (certificate.esVersion != xsalsa20poly1305 && certificate.esVersion != xchacha20poly1305) {
        refusal = serial + "unsupported es-version " + std::to_string(certificate.esVersion);
        return std::nullopt;
    }
    if (crypto_sign_verify_detached(bytes.data() + signatureOffset, bytes.data() + signedOffset,
                                    bytes.size() - signedOffset, providerKey.bytes().data()) != 0) {
        refusal = serial + "bad signature (not signed by the provider key " + providerKey.text() + ")";
        return std::nullopt;
    }
    std::copy_n(bytes.begin() + 72, certificate.resolverPublicKey.size(), certificate.resolverPublicKey.begin());
    std::copy_n(bytes.begin() + 104, certificate.clientMagic.size(), certificate.clientMagic.begin());
    certificate.validFrom = readUint32(bytes, 116);
    certificate.validUntil = readUint32(bytes, 120);
    return certificate;
}

std::string Certificate::timeRefusal(std::time_t now) const
{
    if (now > static_cast<std::time_t>(validUntil))
        return "expired on " + utcText(validUntil);
    if (now < static_cast<std::time_t>(validFrom))
        return "not valid before " + utcText(validFrom);
    return {};
}

std::optional<Certificate> Certificate::best(const std::vector<Certificate>& offered, std::time_t now, bool ignoreTimestamps)
{
    std::optional<Certificate> chosen;
    for (const auto& certificate : offered) {
        if (!ignoreTimestamps && !certificate.timeRefusal(now).empty())
            continue;
        if (!chosen || std::tie(certificate.serial, certificate.esVersion) > std::tie(chosen->serial, chosen->esVersion))
            chosen = certificate;
    }
    return chosen;
}

std::string Certificate::summary() const
{
    return "serial " + std::to_string(serial) + ", es-version " + std::to_string(esVersion) + ", valid until "
        + utcText(validUntil);
}

std::string Certificate::utcText(std::time_t time)
{
    std::tm parts {};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}
