#include "NSURL.h"

#include <string_view>

namespace {

bool isAlpha(char character)
{
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z');
}

bool isDigit(char character)
{
    return character >= '0' && character <= '9';
}

bool isHexDigit(char character)
{
    return isDigit(character) || (character >= 'a' && character <= 'f') || (character >= 'A' && character <= 'F');
}

// Unreserved characters, general delimiters and sub-delimiters; "%" is checked with its escape.
bool isAllowedInURL(char character)
{
    constexpr std::string_view others = "-._~:/?#[]@!$&'()*+,;=";
    return isAlpha(character) || isDigit(character) || others.find(character) != std::string_view::npos;
}

// The length of the scheme, or 0 when the text does not start with one followed by ":".
size_t schemeLength(const std::string& text)
{
    if (text.empty() || !isAlpha(text[0]))
        return 0;
    for (size_t index = 1; index < text.size(); ++index) {
        char character = text[index];
        if (character == ':')
            return index;
        if (!isAlpha(character) && !isDigit(character) && character != '+' && character != '-' && character != '.')
            return 0;
    }
    return 0;
}

} // namespace

std::optional<NSURL> NSURL::URLWithString(const std::string& text)
{
    if (schemeLength(text) == 0)
        return std::nullopt;
    for (size_t index = 0; index < text.size(); ++index) {
        char character = text[index];
        if (character == '%') {
            if (index + 2 >= text.size() || !isHexDigit(text[index + 1]) || !isHexDigit(text[index + 2]))
                return std::nullopt;
            index += 2;
            continue;
        }
        if (!isAllowedInURL(character))
            return std::nullopt;
    }
    return NSURL(text);
}

std::string NSURL::scheme() const
{
    return text.substr(0, schemeLength(text));
}
