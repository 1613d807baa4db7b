#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

// One argument of a format: text, a nullable text (null prints "(null)"), a number or a property-list
// value (printed by its description).
class FormatArgument {
public:
    FormatArgument(const std::string& content) : text(content) { }
    FormatArgument(const char* content) : text(content ? std::optional<std::string>(content) : std::nullopt) { }
    FormatArgument(std::string_view content) : text(std::string(content)) { }
    FormatArgument(const std::optional<std::string>& content) : text(content) { }
    FormatArgument(const PropertyList& value) : text(value.description()) { }
    FormatArgument(int number) : integer(number) { }
    FormatArgument(long number) : integer(number) { }
    FormatArgument(long long number) : integer(number) { }
    FormatArgument(unsigned number) : integer(number) { }
    FormatArgument(double number) : real(number) { }

    // The text "%@" puts in its place.
    std::string objectDescription() const;

    std::optional<std::string> text;
    std::optional<std::int64_t> integer;
    std::optional<double> real;
};

// stringWithFormat: the platform's formatter, so that format literals stay exactly as written.
// "%@" is an object (the next argument's description, "(null)" for null), "%d", "%i", "%ld", "%lld",
// "%u", "%lu" integers, "%f" and "%g" reals, "%s" a C string, "%%" a percent sign. Missing arguments print as
// "(null)"; extra arguments are ignored.
std::string stringWithFormat(std::string_view format, std::initializer_list<FormatArgument> arguments);

template<typename... Arguments>
std::string NSStringWithFormat(std::string_view format, const Arguments&... arguments)
{
    return stringWithFormat(format, { FormatArgument(arguments)... });
}
