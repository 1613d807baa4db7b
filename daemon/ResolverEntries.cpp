#include "ResolverEntries.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>

bool isServerAddress(const std::string& text)
{
    // inet_pton reads up to the first NUL; what follows it would still be written.
    if (text.find('\0') != std::string::npos)
        return false;
    in6_addr address {};
    return inet_pton(AF_INET, text.c_str(), &address) == 1 || inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

namespace {

bool isLabelCharacter(char character)
{
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z')
        || (character >= '0' && character <= '9') || character == '-' || character == '_';
}

} // namespace

bool isDomainName(const std::string& text)
{
    std::string name = text.ends_with('.') ? text.substr(0, text.size() - 1) : text;
    if (name.empty() || name.size() > 253)
        return false;
    std::size_t labelLength = 0;
    for (char character : name) {
        if (character == '.') {
            if (labelLength == 0)
                return false;
            labelLength = 0;
            continue;
        }
        if (!isLabelCharacter(character) || ++labelLength > 63)
            return false;
    }
    return labelLength > 0;
}

std::string quotedForLog(const std::string& text)
{
    std::string quoted = "\"";
    for (char character : text) {
        auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\') {
            quoted += '\\';
            quoted += character;
        } else if (character == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20 || byte > 0x7E) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            quoted += escape;
        } else {
            quoted += character;
        }
    }
    return quoted + "\"";
}
