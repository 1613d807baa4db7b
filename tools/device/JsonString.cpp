#include "JsonString.h"

#include <cstdio>

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (char character : text) {
        switch (character) {
        case '"':
            json += "\\\"";
            continue;
        case '\\':
            json += "\\\\";
            continue;
        case '\n':
            json += "\\n";
            continue;
        case '\t':
            json += "\\t";
            continue;
        case '\r':
            json += "\\r";
            continue;
        default:
            break;
        }
        if (static_cast<unsigned char>(character) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(character));
            json += escaped;
            continue;
        }
        json += character;
    }
    return json + "\"";
}
