#pragma once

#include "PropertyList.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// One change of the dynamic store as its log keeps it: a key set to a value, or a key removed. A record
// is framed by its length and a checksum of its body, so that a reader stops at a record a writer has
// not finished (or never will, when it was killed while writing) instead of taking it for data.
//
//   u32 body length, u32 checksum of the body, body:
//   u8 'S' (set) or 'R' (remove), u32 key length, key bytes, and for a set the value:
//   's' u32 length bytes | 'b' u8 | 'i' i64 | 'r' f64 | 'd' f64 | 'x' u32 length bytes |
//   'a' u32 count values | 'D' u32 count (u32 key length, key bytes, value)...
// Numbers are little-endian.
struct StoreRecord {
    static constexpr std::size_t frameSize = 8;
    // The largest body a reader takes; a larger one reads as no record.
    static constexpr std::size_t maximumBodySize = std::size_t { 64 } << 20;

    std::string key;
    std::optional<PropertyList> value; // null: the key was removed

    // Empty when the body would be larger than a reader takes.
    std::string encoded() const;

    enum class Reading { Complete, Incomplete, Invalid };
    // Reads the record that starts at `offset`; on Complete, `offset` moves past it. Incomplete: the
    // bytes end before the record does. Invalid: the bytes there are no record.
    static Reading read(std::string_view bytes, std::size_t& offset, StoreRecord& record);
    // Whether the bytes are one record, whole and true to its checksum, without reading what it holds.
    static bool isWhole(std::string_view bytes);
};
