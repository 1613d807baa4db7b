#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class PropertyList;

using PropertyListArray = std::vector<PropertyList>;
using PropertyListDictionary = std::map<std::string, PropertyList>;
using PropertyListData = std::vector<std::uint8_t>;

// A date as the platform stores it: seconds since 2001-01-01 00:00:00 UTC.
struct PropertyListDate {
    double secondsSinceReferenceDate { 0 };
    auto operator<=>(const PropertyListDate&) const = default;
};

// One property-list value: string, boolean, integer, real, date, data, array or dictionary. Values are
// plain data: copies are independent, and equality compares deeply (same type, same content).
class PropertyList {
public:
    using Value = std::variant<std::string, bool, std::int64_t, double, PropertyListDate, PropertyListData,
                               PropertyListArray, PropertyListDictionary>;

    PropertyList() = default; // the empty string
    PropertyList(std::string content) : value(std::move(content)) { }
    PropertyList(const char* content) : value(std::string(content)) { }
    PropertyList(bool content) : value(content) { }
    PropertyList(int content) : value(std::int64_t { content }) { }
    PropertyList(std::int64_t content) : value(content) { }
    PropertyList(double content) : value(content) { }
    PropertyList(PropertyListDate content) : value(content) { }
    PropertyList(PropertyListData content) : value(std::move(content)) { }
    PropertyList(PropertyListArray content) : value(std::move(content)) { }
    PropertyList(PropertyListDictionary content) : value(std::move(content)) { }

    bool operator==(const PropertyList& other) const;

    // Typed views: null when the value is of another type.
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const bool* boolean() const { return std::get_if<bool>(&value); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&value); }
    const double* real() const { return std::get_if<double>(&value); }
    const PropertyListDate* date() const { return std::get_if<PropertyListDate>(&value); }
    const PropertyListData* data() const { return std::get_if<PropertyListData>(&value); }
    const PropertyListArray* array() const { return std::get_if<PropertyListArray>(&value); }
    const PropertyListDictionary* dictionary() const { return std::get_if<PropertyListDictionary>(&value); }
    PropertyListArray* array() { return std::get_if<PropertyListArray>(&value); }
    PropertyListDictionary* dictionary() { return std::get_if<PropertyListDictionary>(&value); }

    // Parses an XML or binary property list; null when the bytes are neither, when they would exhaust
    // the reader (nesting deeper than 512 levels, shared binary objects that expand without bound), or
    // when they hold a string with a NUL character, which the XML form cannot hold.
    static std::optional<PropertyList> fromBytes(std::string_view bytes);

    // The XML form in the platform's layout: XML declaration, DOCTYPE, tab indentation, dictionary
    // keys in sorted order, a line feed after the closing tag.
    std::string xml() const;

    // The platform's description of the value, as "%@" prints it: a string is its own text; other
    // values print in the old-style property-list notation ("{ key = value; }", "( a, b )").
    std::string description() const;

    Value value;
};
