#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A DNSCrypt provider's long-term Ed25519 public key, which signs the resolver's certificates. Written
// as resolver lists write it: 64 hex digits, in groups of four joined by colons.
class ProviderKey {
public:
    static constexpr std::size_t length = 32;

    // Null unless the text holds exactly 32 bytes of hex digits (colons allowed between them).
    static std::optional<ProviderKey> parse(std::string_view text);
    explicit ProviderKey(const std::array<std::uint8_t, length>& bytes) : key(bytes) { }

    const std::array<std::uint8_t, length>& bytes() const { return key; }
    // "B735:1140:...:FB79".
    std::string text() const;

private:
    std::array<std::uint8_t, length> key {};
};
