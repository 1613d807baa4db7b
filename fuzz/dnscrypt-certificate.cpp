// A resolver's answer to the proxy's certificate query, as the proxy reads it: what a resolver, or
// anyone who can answer in its place, sends back.
#include "Certificate.h"
#include "CertificateFetcher.h"
#include "DNSCryptCipher.h"
#include "DnsMessage.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <sodium.h>

namespace {

// The provider key of the resolver whose real answers are the seeds, so that signed certificates,
// and changes to them, are reached.
const ProviderKey& seedProviderKey()
{
    static const ProviderKey key = *ProviderKey::parse("51A3:EBDA:6DEB:5EC9:09DE:3870:EEAC:C595:B3CE:42E3:9744:633E:0D97:D1C1:6171:F50E");
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool sodiumReady = sodium_init() >= 0;
    fuzzCheck(sodiumReady, "libsodium starts");
    static const auto query = *DnsMessage::query(0x1234, "2.dnscrypt-cert.example.test", DnsType::TXT, 4096);
    std::span<const std::uint8_t> answer(data, size);

    auto result = CertificateFetcher::readAnswer(answer, query, seedProviderKey());
    fuzzCheck(result.error.empty() || (result.certificates.empty() && result.refusals.empty()), "an error comes alone");
    for (const auto& certificate : result.certificates) {
        fuzzCheck(certificate.esVersion == Certificate::xsalsa20poly1305 || certificate.esVersion == Certificate::xchacha20poly1305,
                  "only spoken es-versions are taken");
        // A weak resolver key is refused here, not trusted.
        [[maybe_unused]] auto cipher = DNSCryptCipher::create(certificate, ClientKeyPair::generate());
    }
    if (auto best = Certificate::best(result.certificates, 1'800'000'000, false))
        fuzzCheck(best->timeRefusal(1'800'000'000).empty(), "the best certificate is valid at the time asked");

    std::string refusal;
    auto certificate = Certificate::parse(answer, seedProviderKey(), refusal);
    fuzzCheck(certificate.has_value() == refusal.empty(), "a certificate is taken or refused with a reason");
    return 0;
}
