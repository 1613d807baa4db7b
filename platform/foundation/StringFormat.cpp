#include "StringFormat.h"

#include "PropertyListXMLWriter.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view nullDescription = "(null)";

std::string printed(const std::string& conversion, auto value)
{
    int length = std::snprintf(nullptr, 0, conversion.c_str(), value);
    if (length < 0)
        return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::snprintf(buffer.data(), buffer.size(), conversion.c_str(), value);
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

long long integerOf(const FormatArgument& argument)
{
    if (argument.integer)
        return *argument.integer;
    if (argument.real)
        return static_cast<long long>(*argument.real);
    return 0;
}

double realOf(const FormatArgument& argument)
{
    if (argument.real)
        return *argument.real;
    if (argument.integer)
        return static_cast<double>(*argument.integer);
    return 0;
}

bool isNull(const FormatArgument& argument)
{
    return !argument.text && !argument.integer && !argument.real;
}

} // namespace

std::string FormatArgument::objectDescription() const
{
    if (text)
        return *text;
    if (integer)
        return std::to_string(*integer);
    if (real)
        return propertyListRealText(*real);
    return std::string(nullDescription);
}

std::string stringWithFormat(std::string_view format, std::initializer_list<FormatArgument> arguments)
{
    std::string out;
    auto nextArgument = arguments.begin();
    auto takeArgument = [&]() -> const FormatArgument* {
        if (nextArgument == arguments.end())
            return nullptr;
        return nextArgument++;
    };

    std::size_t position = 0;
    while (position < format.size()) {
        std::size_t percent = format.find('%', position);
        if (percent == std::string_view::npos) {
            out.append(format.substr(position));
            break;
        }
        out.append(format.substr(position, percent - position));

        // %[flags][width][.precision][length]conversion
        std::size_t cursor = percent + 1;
        auto skip = [&](std::string_view characters) {
            while (cursor < format.size() && characters.find(format[cursor]) != std::string_view::npos)
                ++cursor;
        };
        skip("-+ #0");
        skip("0123456789");
        if (cursor < format.size() && format[cursor] == '.') {
            ++cursor;
            skip("0123456789");
        }
        std::size_t lengthStart = cursor;
        skip("hlqLzjt");
        if (cursor >= format.size()) {
            out.append(format.substr(percent));
            break;
        }
        char conversion = format[cursor];
        std::string_view written = format.substr(percent, cursor + 1 - percent);
        std::string flagsAndWidth(format.substr(percent, lengthStart - percent));
        position = cursor + 1;

        switch (conversion) {
        case '%':
            out += '%';
            break;
        case '@': {
            const FormatArgument* argument = takeArgument();
            out += argument ? argument->objectDescription() : std::string(nullDescription);
            break;
        }
        case 's': {
            const FormatArgument* argument = takeArgument();
            if (!argument || !argument->text)
                out += nullDescription;
            else
                out += printed(flagsAndWidth + "s", argument->text->c_str());
            break;
        }
        case 'd':
        case 'i':
        case 'u': {
            const FormatArgument* argument = takeArgument();
            if (!argument || isNull(*argument)) {
                out += nullDescription;
                break;
            }
            if (conversion == 'u')
                out += printed(flagsAndWidth + "llu", static_cast<unsigned long long>(integerOf(*argument)));
            else
                out += printed(flagsAndWidth + "lld", integerOf(*argument));
            break;
        }
        case 'f':
        case 'g': {
            const FormatArgument* argument = takeArgument();
            if (!argument || isNull(*argument)) {
                out += nullDescription;
                break;
            }
            out += printed(flagsAndWidth + conversion, realOf(*argument));
            break;
        }
        default:
            out.append(written);
        }
    }
    return out;
}
