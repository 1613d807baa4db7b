#include "DNSCryptCipher.h"

#include <algorithm>
#include <cstring>
#include <sodium.h>

namespace {

constexpr std::uint8_t resolverMagic[] = { 'r', '6', 'f', 'n', 'v', 'W', 'j', '8' };
constexpr std::size_t macLength = crypto_box_MACBYTES;
constexpr std::size_t nonceLength = crypto_box_NONCEBYTES;
static_assert(crypto_box_MACBYTES == crypto_box_curve25519xchacha20poly1305_MACBYTES);
static_assert(crypto_box_NONCEBYTES == crypto_box_curve25519xchacha20poly1305_NONCEBYTES);

std::size_t roundUpTo64(std::size_t length)
{
    return (length + 63) / 64 * 64;
}

} // namespace

ClientKeyPair ClientKeyPair::generate()
{
    ClientKeyPair keys;
    crypto_box_keypair(keys.publicKey.data(), keys.secretKey.data());
    return keys;
}

DNSCryptCipher::DNSCryptCipher(const Certificate& certificate, const ClientKeyPair& keys)
    : resolverCertificate(certificate)
    , clientPublicKey(keys.publicKey)
{
}

DNSCryptCipher::DNSCryptCipher(DNSCryptCipher&& other) noexcept
    : resolverCertificate(other.resolverCertificate)
    , clientPublicKey(other.clientPublicKey)
    , sharedKey(other.sharedKey)
{
    sodium_memzero(other.sharedKey.data(), other.sharedKey.size());
}

DNSCryptCipher::~DNSCryptCipher()
{
    sodium_memzero(sharedKey.data(), sharedKey.size());
}

std::optional<DNSCryptCipher> DNSCryptCipher::create(const Certificate& certificate, const ClientKeyPair& keys)
{
    DNSCryptCipher cipher(certificate, keys);
    const auto* resolverKey = certificate.resolverPublicKey.data();
    int result = certificate.esVersion == Certificate::xchacha20poly1305
        ? crypto_box_curve25519xchacha20poly1305_beforenm(cipher.sharedKey.data(), resolverKey, keys.secretKey.data())
        : crypto_box_beforenm(cipher.sharedKey.data(), resolverKey, keys.secretKey.data());
    if (result != 0)
        return std::nullopt;
    return cipher;
}

std::vector<std::uint8_t> DNSCryptCipher::seal(std::span<const std::uint8_t> query, std::size_t paddedLength,
                                               const ClientNonce& nonce) const
{
    auto plaintext = pad(query, paddedLength);
    std::vector<std::uint8_t> packet(queryOverhead + plaintext.size());
    auto* out = packet.data();
    out = std::copy(resolverCertificate.clientMagic.begin(), resolverCertificate.clientMagic.end(), out);
    out = std::copy(clientPublicKey.begin(), clientPublicKey.end(), out);
    out = std::copy(nonce.begin(), nonce.end(), out);
    std::array<std::uint8_t, nonceLength> fullNonce {};
    std::copy(nonce.begin(), nonce.end(), fullNonce.begin());
    if (resolverCertificate.esVersion == Certificate::xchacha20poly1305)
        crypto_box_curve25519xchacha20poly1305_easy_afternm(out, plaintext.data(), plaintext.size(), fullNonce.data(), sharedKey.data());
    else
        crypto_box_easy_afternm(out, plaintext.data(), plaintext.size(), fullNonce.data(), sharedKey.data());
    return packet;
}

std::optional<std::vector<std::uint8_t>> DNSCryptCipher::open(std::span<const std::uint8_t> response, const ClientNonce& nonce) const
{
    auto echoed = responseNonce(response);
    if (!echoed || *echoed != nonce)
        return std::nullopt;
    const auto* fullNonce = response.data() + sizeof resolverMagic;
    auto box = response.subspan(responseHeaderLength);
    std::vector<std::uint8_t> plaintext(box.size() - macLength);
    int result = resolverCertificate.esVersion == Certificate::xchacha20poly1305
        ? crypto_box_curve25519xchacha20poly1305_open_easy_afternm(plaintext.data(), box.data(), box.size(), fullNonce, sharedKey.data())
        : crypto_box_open_easy_afternm(plaintext.data(), box.data(), box.size(), fullNonce, sharedKey.data());
    if (result != 0)
        return std::nullopt;
    return unpad(plaintext);
}

std::optional<DNSCryptCipher::ClientNonce> DNSCryptCipher::responseNonce(std::span<const std::uint8_t> response)
{
    if (response.size() < responseOverhead || std::memcmp(response.data(), resolverMagic, sizeof resolverMagic) != 0)
        return std::nullopt;
    ClientNonce nonce;
    std::copy_n(response.begin() + sizeof resolverMagic, nonce.size(), nonce.begin());
    return nonce;
}

DNSCryptCipher::ClientNonce DNSCryptCipher::randomNonce()
{
    ClientNonce nonce;
    randombytes_buf(nonce.data(), nonce.size());
    return nonce;
}

std::size_t DNSCryptCipher::paddedLength(std::size_t length, std::size_t minimumLength, bool overTCP)
{
    if (overTCP)
        return roundUpTo64(length + 1);
    return std::max(minimumLength, roundUpTo64(length + 1));
}

std::vector<std::uint8_t> DNSCryptCipher::pad(std::span<const std::uint8_t> message, std::size_t paddedLength)
{
    std::vector<std::uint8_t> padded(std::max(paddedLength, message.size() + 1), 0);
    std::copy(message.begin(), message.end(), padded.begin());
    padded[message.size()] = 0x80;
    return padded;
}

std::optional<std::vector<std::uint8_t>> DNSCryptCipher::unpad(std::span<const std::uint8_t> padded)
{
    auto end = padded.size();
    while (end > 0 && padded[end - 1] == 0)
        --end;
    if (end == 0 || padded[end - 1] != 0x80)
        return std::nullopt;
    return std::vector<std::uint8_t>(padded.begin(), padded.begin() + static_cast<std::ptrdiff_t>(end - 1));
}
