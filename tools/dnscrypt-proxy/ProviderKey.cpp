#include "ProviderKey.h"

#include <sodium.h>

std::optional<ProviderKey> ProviderKey::parse(std::string_view text)
{
    std::array<std::uint8_t, length> bytes {};
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_hex2bin(bytes.data(), bytes.size(), text.data(), text.size(), ":", &decoded, &end) != 0
        || decoded != length || end != text.data() + text.size())
        return std::nullopt;
    return ProviderKey(bytes);
}

std::string ProviderKey::text() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t index = 0; index < key.size(); ++index) {
        if (index && index % 2 == 0)
            text += ':';
        text += digits[key[index] >> 4];
        text += digits[key[index] & 0xF];
    }
    return text;
}
