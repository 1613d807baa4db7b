#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A domain name on the wire: labels of at most 63 bytes, at most 255 bytes in all, read with compression
// pointers (which may only point backwards, so no name loops, and past the message's 12-byte header)
// and written without them.
class DnsName {
public:
    // Reads the name at `offset` of `message` and moves `offset` past it (past the first pointer, when
    // it has one). The name is dotted, without the root's final dot ("" for the root), each byte as it
    // was; null when the name runs out of the message, loops or is too long.
    static std::optional<std::string> read(std::span<const std::uint8_t> message, std::size_t& offset);

    // Appends the dotted name (a final dot allowed) in wire form; false, with nothing appended, for an
    // empty label, a label over 63 bytes or a name over 255 bytes.
    static bool append(std::vector<std::uint8_t>& message, std::string_view dotted);

    // The name as a cache key: ASCII letters in lower case, as DNS compares names.
    static std::string canonical(std::string_view dotted);
};
