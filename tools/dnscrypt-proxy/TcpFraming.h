#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// DNS over TCP: each message behind a two-byte big-endian length. Collects what a stream delivers and
// gives back the whole messages in it.
class TcpFraming {
public:
    static std::vector<std::uint8_t> frame(std::span<const std::uint8_t> message);

    void append(std::span<const std::uint8_t> bytes) { buffered.insert(buffered.end(), bytes.begin(), bytes.end()); }
    // The next whole message received, if there is one.
    std::optional<std::vector<std::uint8_t>> nextMessage();
    bool holdsPartialMessage() const { return !buffered.empty(); }

private:
    std::vector<std::uint8_t> buffered;
};
