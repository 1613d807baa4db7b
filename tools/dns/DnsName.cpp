#include "DnsName.h"

namespace {

constexpr std::size_t headerLength = 12;
constexpr std::size_t maximumLabelLength = 63;
constexpr std::size_t maximumNameLength = 255;
// A name of 255 bytes has at most 127 labels, so no honest name follows more pointers than that.
constexpr int maximumPointers = 127;

bool isPointer(std::uint8_t byte)
{
    return (byte & 0xC0) == 0xC0;
}

} // namespace

std::optional<std::string> DnsName::read(std::span<const std::uint8_t> message, std::size_t& offset)
{
    std::string dotted;
    std::size_t position = offset;
    std::size_t wireLength = 1;
    // Every pointer has to land before the bytes read so far, so each one moves strictly backwards.
    std::size_t lowestRead = offset;
    std::optional<std::size_t> afterFirstPointer;
    int pointers = 0;

    while (true) {
        if (position >= message.size())
            return std::nullopt;
        std::uint8_t length = message[position];
        if (length == 0) {
            offset = afterFirstPointer.value_or(position + 1);
            return dotted;
        }
        if (isPointer(length)) {
            if (position + 1 >= message.size() || ++pointers > maximumPointers)
                return std::nullopt;
            std::size_t target = static_cast<std::size_t>(length & 0x3F) << 8 | message[position + 1];
            // No name lies in the header: a pointer there would make the name change with the ID or
            // the flags.
            if (target >= lowestRead || target < headerLength)
                return std::nullopt;
            if (!afterFirstPointer)
                afterFirstPointer = position + 2;
            position = target;
            lowestRead = target;
            continue;
        }
        if (length > maximumLabelLength)
            return std::nullopt;
        wireLength += 1 + length;
        if (wireLength > maximumNameLength || position + 1 + length > message.size())
            return std::nullopt;
        if (!dotted.empty())
            dotted += '.';
        dotted.append(reinterpret_cast<const char*>(message.data() + position + 1), length);
        position += 1 + length;
    }
}

bool DnsName::append(std::vector<std::uint8_t>& message, std::string_view dotted)
{
    if (!dotted.empty() && dotted.back() == '.')
        dotted.remove_suffix(1);
    std::vector<std::uint8_t> wire;
    while (!dotted.empty()) {
        std::size_t dot = dotted.find('.');
        std::string_view label = dotted.substr(0, dot);
        if (label.empty() || label.size() > maximumLabelLength)
            return false;
        wire.push_back(static_cast<std::uint8_t>(label.size()));
        wire.insert(wire.end(), label.begin(), label.end());
        if (dot == std::string_view::npos)
            break;
        dotted.remove_prefix(dot + 1);
        if (dotted.empty())
            return false;
    }
    wire.push_back(0);
    if (wire.size() > maximumNameLength)
        return false;
    message.insert(message.end(), wire.begin(), wire.end());
    return true;
}

std::string DnsName::canonical(std::string_view dotted)
{
    std::string lowered(dotted);
    for (char& character : lowered) {
        if (character >= 'A' && character <= 'Z')
            character = static_cast<char>(character - 'A' + 'a');
    }
    return lowered;
}
