#include "ServiceIdentifier.h"

#include <array>
#include <cstdio>
#include <sodium.h>

std::string serviceIdentifierForLink(const std::string& linkName)
{
    static constexpr char context[] = "TarvikDNS link service ";
    std::array<unsigned char, 16> digest {};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, digest.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(context), sizeof context - 1);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(linkName.data()), linkName.size());
    crypto_generichash_final(&state, digest.data(), digest.size());
    std::string identifier;
    for (std::size_t index = 0; index < digest.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            identifier += '-';
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", digest[index]);
        identifier += hex;
    }
    return identifier;
}
