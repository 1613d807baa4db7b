// The proxy's cryptography checked against a resolver played by the test: certificates signed with a
// provider key the test holds, time checks against an injected clock, queries opened and responses
// sealed as a resolver does, and what a forger can send.
#include "Certificate.h"
#include "DNSCryptCipher.h"

#include <gtest/gtest.h>
#include <sodium.h>

namespace {

struct Provider {
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey {};
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secretKey {};
    Provider()
    {
        EXPECT_EQ(sodium_init() < 0, false);
        crypto_sign_keypair(publicKey.data(), secretKey.data());
    }
    ProviderKey key() const { return ProviderKey(publicKey); }
};

void putUint32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes[offset++] = static_cast<std::uint8_t>(value >> shift);
}

struct CertificateTerms {
    std::uint16_t esVersion;
    std::uint32_t serial;
    std::uint32_t validFrom;
    std::uint32_t validUntil;
    std::array<std::uint8_t, 32> resolverKey {};
    std::vector<std::uint8_t> extensions {};
};

CertificateTerms terms(std::uint16_t esVersion = 2, std::uint32_t serial = 1, std::uint32_t validFrom = 1'000'000,
                       std::uint32_t validUntil = 2'000'000)
{
    return { esVersion, serial, validFrom, validUntil };
}

std::vector<std::uint8_t> signedCertificate(const Provider& provider, const CertificateTerms& terms)
{
    std::vector<std::uint8_t> bytes(124 + terms.extensions.size());
    std::string_view header("DNSC\0\0\0\0", 8);
    std::copy(header.begin(), header.end(), bytes.begin());
    bytes[5] = static_cast<std::uint8_t>(terms.esVersion);
    std::copy(terms.resolverKey.begin(), terms.resolverKey.end(), bytes.begin() + 72);
    for (std::uint8_t index = 0; index < 8; ++index)
        bytes[104 + index] = static_cast<std::uint8_t>('m' + index);
    putUint32(bytes, 112, terms.serial);
    putUint32(bytes, 116, terms.validFrom);
    putUint32(bytes, 120, terms.validUntil);
    std::copy(terms.extensions.begin(), terms.extensions.end(), bytes.begin() + 124);
    crypto_sign_detached(bytes.data() + 8, nullptr, bytes.data() + 72, bytes.size() - 72, provider.secretKey.data());
    return bytes;
}

TEST(Certificate, IsReadOnlyWhenWholeOfASpokenVersionAndSignedByTheProvider)
{
    Provider provider;
    Provider stranger;
    auto good = signedCertificate(provider, terms());
    auto tampered = good;
    tampered[120] ^= 1;   // the end of validity, which the signature covers
    auto unsignedHeader = good;
    unsignedHeader[6] = 7;   // the minor version, which it does not
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        const Provider& signer;
        const char* refusal;
    } cases[] = {
        { "es-version 2", good, provider, "" },
        { "es-version 1", signedCertificate(provider, terms(1)), provider, "" },
        { "with extensions", signedCertificate(provider, [] { auto extended = terms(); extended.extensions = { 1, 2, 3, 4 }; return extended; }()), provider, "" },
        { "an unsigned field changed", unsignedHeader, provider, "" },
        { "es-version 3", signedCertificate(provider, terms(3)), provider, "serial 1: unsupported es-version 3" },
        { "another provider's", good, stranger, "serial 1: bad signature" },
        { "a signed field changed", tampered, provider, "serial 1: bad signature" },
        { "cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 123), provider, "malformed" },
        { "no magic", std::vector<std::uint8_t>(124, 0), provider, "malformed" },
    };
    for (const auto& test : cases) {
        std::string refusal;
        auto certificate = Certificate::parse(test.bytes, test.signer.key(), refusal);
        EXPECT_EQ(certificate.has_value(), std::string(test.refusal).empty()) << test.what;
        EXPECT_TRUE(refusal.starts_with(test.refusal)) << test.what << ": " << refusal;
    }
    std::string refusal;
    auto certificate = Certificate::parse(good, provider.key(), refusal);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->serial, 1u);
    EXPECT_EQ(certificate->validUntil, 2'000'000u);
    EXPECT_EQ(certificate->clientMagic[0], 'm');
}

TEST(Certificate, TimeChecksAndTheChoiceFollowTheClock)
{
    Provider provider;
    auto make = [&](const CertificateTerms& offered) {
        std::string refusal;
        return *Certificate::parse(signedCertificate(provider, offered), provider.key(), refusal);
    };
    auto current = make(terms(2, 5, 1000, 2000));
    EXPECT_TRUE(current.timeRefusal(999).starts_with("not valid before"));
    EXPECT_EQ(current.timeRefusal(1000), "");
    EXPECT_EQ(current.timeRefusal(2000), "");   // the end is inclusive
    EXPECT_TRUE(current.timeRefusal(2001).starts_with("expired on"));

    auto later = make(terms(2, 9, 1500, 3000));
    auto sameSerialOlderVersion = make(terms(1, 9, 1500, 3000));
    auto expired = make(terms(2, 20, 0, 900));
    std::vector offered { current, sameSerialOlderVersion, later, expired };
    EXPECT_EQ(Certificate::best(offered, 1200, false)->serial, 5u);
    EXPECT_EQ(Certificate::best(offered, 1600, false)->serial, 9u);
    EXPECT_EQ(Certificate::best(offered, 1600, false)->esVersion, 2);
    EXPECT_FALSE(Certificate::best(offered, 5000, false));
    // A clock that is wrong at boot: the highest serial, whatever its terms.
    EXPECT_EQ(Certificate::best(offered, 5000, true)->serial, 20u);
}

// The resolver's side of an exchange, written from the protocol rather than from the client's code.
struct Resolver {
    std::uint16_t esVersion;
    ClientKeyPair keys { ClientKeyPair::generate() };

    Certificate certificate(const Provider& provider) const
    {
        std::string refusal;
        auto offered = terms(esVersion, 1, 0, 0xFFFFFFFF);
        offered.resolverKey = keys.publicKey;
        return *Certificate::parse(signedCertificate(provider, offered), provider.key(), refusal);
    }

    std::array<std::uint8_t, 32> sharedKey(const std::uint8_t* clientPublicKey) const
    {
        std::array<std::uint8_t, 32> shared {};
        if (esVersion == 2)
            EXPECT_EQ(crypto_box_curve25519xchacha20poly1305_beforenm(shared.data(), clientPublicKey, keys.secretKey.data()), 0);
        else
            EXPECT_EQ(crypto_box_beforenm(shared.data(), clientPublicKey, keys.secretKey.data()), 0);
        return shared;
    }

    // The padded plaintext of a query, or null when it does not open.
    std::optional<std::vector<std::uint8_t>> openQuery(const std::vector<std::uint8_t>& packet) const
    {
        auto shared = sharedKey(packet.data() + 8);
        std::array<std::uint8_t, 24> nonce {};
        std::copy_n(packet.begin() + 40, 12, nonce.begin());
        std::vector<std::uint8_t> plaintext(packet.size() - 52 - 16);
        int result = esVersion == 2
            ? crypto_box_curve25519xchacha20poly1305_open_easy_afternm(plaintext.data(), packet.data() + 52, packet.size() - 52, nonce.data(), shared.data())
            : crypto_box_open_easy_afternm(plaintext.data(), packet.data() + 52, packet.size() - 52, nonce.data(), shared.data());
        if (result != 0)
            return std::nullopt;
        return plaintext;
    }

    std::vector<std::uint8_t> response(const std::vector<std::uint8_t>& query, const std::vector<std::uint8_t>& paddedAnswer) const
    {
        auto shared = sharedKey(query.data() + 8);
        std::vector<std::uint8_t> packet(32 + 16 + paddedAnswer.size());
        std::string_view magic("r6fnvWj8");
        std::copy(magic.begin(), magic.end(), packet.begin());
        std::copy(query.begin() + 40, query.begin() + 52, packet.begin() + 8);
        for (int index = 0; index < 12; ++index)
            packet[20 + index] = static_cast<std::uint8_t>(0xA0 + index);
        if (esVersion == 2)
            crypto_box_curve25519xchacha20poly1305_easy_afternm(packet.data() + 32, paddedAnswer.data(), paddedAnswer.size(), packet.data() + 8, shared.data());
        else
            crypto_box_easy_afternm(packet.data() + 32, paddedAnswer.data(), paddedAnswer.size(), packet.data() + 8, shared.data());
        return packet;
    }
};

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> message, std::size_t zeros)
{
    message.push_back(0x80);
    message.insert(message.end(), zeros, 0);
    return message;
}

class DNSCryptExchange : public testing::TestWithParam<std::uint16_t> { };

TEST_P(DNSCryptExchange, QueriesOpenAtTheResolverAndOnlyItsAnswersToThemOpenAtTheClient)
{
    Provider provider;
    Resolver resolver { GetParam() };
    auto client = ClientKeyPair::generate();
    auto cipher = DNSCryptCipher::create(resolver.certificate(provider), client);
    ASSERT_TRUE(cipher);

    const std::vector<std::uint8_t> query { 0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1 };
    auto nonce = DNSCryptCipher::randomNonce();
    auto packet = cipher->seal(query, DNSCryptCipher::paddedLength(query.size(), 256, false), nonce);
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + 8, std::string("mnopqrst").begin()));
    EXPECT_EQ(packet.size(), 52u + 16 + 256);   // what dnsdist takes over UDP: 256 bytes of plaintext at least
    auto opened = resolver.openQuery(packet);
    ASSERT_TRUE(opened);
    EXPECT_EQ(*opened, padded(query, 256 - query.size() - 1));

    const std::vector<std::uint8_t> answer { 0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1 };
    auto response = resolver.response(packet, padded(answer, 46));   // not a multiple of 64: taken all the same
    EXPECT_EQ(cipher->open(response, nonce), answer);

    auto forged = response;
    forged.back() ^= 1;
    auto wrongMagic = response;
    wrongMagic[0] = 'R';
    auto otherQuery = cipher->seal(query, 256, DNSCryptCipher::randomNonce());
    auto unpadded = resolver.response(packet, answer);
    auto paddedWithJunk = resolver.response(packet, [&] { auto bytes = padded(answer, 3); bytes.push_back(7); return bytes; }());
    auto strangerCipher = DNSCryptCipher::create(Resolver { GetParam() }.certificate(provider), client);
    EXPECT_FALSE(cipher->open(forged, nonce)) << "a forged box";
    EXPECT_FALSE(cipher->open(wrongMagic, nonce)) << "not a DNSCrypt response";
    EXPECT_FALSE(cipher->open(resolver.response(otherQuery, padded(answer, 0)), nonce)) << "the answer to another query";
    EXPECT_FALSE(cipher->open(unpadded, nonce)) << "no padding";
    EXPECT_FALSE(cipher->open(paddedWithJunk, nonce)) << "padding followed by junk";
    EXPECT_FALSE(strangerCipher->open(response, nonce)) << "sealed for another key";
    EXPECT_FALSE(cipher->open(std::vector<std::uint8_t>(response.begin(), response.begin() + 47), nonce)) << "cut short";
}

INSTANTIATE_TEST_SUITE_P(EsVersions, DNSCryptExchange, testing::Values(1, 2),
                         [](const testing::TestParamInfo<std::uint16_t>& version) { return "EsVersion" + std::to_string(version.param); });

TEST(DNSCryptPadding, FillsUDPToTheMinimumAndTCPToTheNextBlock)
{
    struct Case {
        std::size_t length;
        std::size_t minimum;
        bool overTCP;
        std::size_t padded;
    } cases[] = {
        { 17, 256, false, 256 }, { 255, 256, false, 256 }, { 256, 256, false, 320 }, { 300, 320, false, 320 },
        { 17, 256, true, 64 }, { 63, 256, true, 64 }, { 64, 256, true, 128 },
    };
    for (const auto& test : cases)
        EXPECT_EQ(DNSCryptCipher::paddedLength(test.length, test.minimum, test.overTCP), test.padded)
            << test.length << (test.overTCP ? " over TCP" : " over UDP");
    EXPECT_EQ(DNSCryptCipher::unpad(std::vector<std::uint8_t> { 5, 0x80, 0, 0 }), std::vector<std::uint8_t> { 5 });
    EXPECT_EQ(DNSCryptCipher::unpad(std::vector<std::uint8_t> { 0x80 }), std::vector<std::uint8_t> {});
    EXPECT_FALSE(DNSCryptCipher::unpad(std::vector<std::uint8_t> { 0, 0, 0 }));
    EXPECT_FALSE(DNSCryptCipher::unpad(std::vector<std::uint8_t> {}));
}

} // namespace
