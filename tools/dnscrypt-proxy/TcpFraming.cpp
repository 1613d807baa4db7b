#include "TcpFraming.h"

#include <algorithm>

std::vector<std::uint8_t> TcpFraming::frame(std::span<const std::uint8_t> message)
{
    std::vector<std::uint8_t> framed(2 + message.size());
    framed[0] = static_cast<std::uint8_t>(message.size() >> 8);
    framed[1] = static_cast<std::uint8_t>(message.size());
    std::copy(message.begin(), message.end(), framed.begin() + 2);
    return framed;
}

std::optional<std::vector<std::uint8_t>> TcpFraming::nextMessage()
{
    if (buffered.size() < 2)
        return std::nullopt;
    std::size_t length = static_cast<std::size_t>(buffered[0] << 8 | buffered[1]);
    if (buffered.size() < 2 + length)
        return std::nullopt;
    std::vector<std::uint8_t> message(buffered.begin() + 2, buffered.begin() + 2 + static_cast<std::ptrdiff_t>(length));
    buffered.erase(buffered.begin(), buffered.begin() + 2 + static_cast<std::ptrdiff_t>(length));
    return message;
}
