#include "PropertyListXMLWriter.h"

#include <charconv>
#include <cmath>
#include <ctime>

namespace {

// 2001-01-01 00:00:00 UTC in Unix time.
constexpr double referenceDateUnixTime = 978307200;

constexpr std::size_t base64LineLength = 76;

void appendIndent(std::string& out, int level)
{
    out.append(static_cast<std::size_t>(level), '\t');
}

void appendEscaped(std::string& out, const std::string& text)
{
    for (char character : text) {
        switch (character) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += character;
        }
    }
}

std::string base64(const PropertyListData& data)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((data.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 3 <= data.size(); index += 3) {
        std::uint32_t group = std::uint32_t { data[index] } << 16 | std::uint32_t { data[index + 1] } << 8 | data[index + 2];
        encoded += alphabet[(group >> 18) & 0x3F];
        encoded += alphabet[(group >> 12) & 0x3F];
        encoded += alphabet[(group >> 6) & 0x3F];
        encoded += alphabet[group & 0x3F];
    }
    std::size_t remaining = data.size() - index;
    if (remaining == 0)
        return encoded;
    std::uint32_t group = std::uint32_t { data[index] } << 16;
    if (remaining == 2)
        group |= std::uint32_t { data[index + 1] } << 8;
    encoded += alphabet[(group >> 18) & 0x3F];
    encoded += alphabet[(group >> 12) & 0x3F];
    encoded += remaining == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    encoded += '=';
    return encoded;
}

void appendValue(std::string& out, const PropertyList& value, int level);

struct ValueWriter {
    std::string& out;
    int level;

    void operator()(const std::string& text) const
    {
        out += "<string>";
        appendEscaped(out, text);
        out += "</string>\n";
    }
    void operator()(bool flag) const { out += flag ? "<true/>\n" : "<false/>\n"; }
    void operator()(std::int64_t number) const { out += "<integer>" + std::to_string(number) + "</integer>\n"; }
    void operator()(double number) const { out += "<real>" + propertyListRealText(number) + "</real>\n"; }
    void operator()(const PropertyListDate& date) const
    {
        out += "<date>" + propertyListDateText(date, "%Y-%m-%dT%H:%M:%SZ") + "</date>\n";
    }
    void operator()(const PropertyListData& data) const
    {
        out += "<data>\n";
        std::string encoded = base64(data);
        for (std::size_t start = 0; start < encoded.size(); start += base64LineLength) {
            appendIndent(out, level);
            out.append(encoded, start, base64LineLength);
            out += '\n';
        }
        appendIndent(out, level);
        out += "</data>\n";
    }
    void operator()(const PropertyListArray& array) const
    {
        if (array.empty()) {
            out += "<array/>\n";
            return;
        }
        out += "<array>\n";
        for (const auto& element : array)
            appendValue(out, element, level + 1);
        appendIndent(out, level);
        out += "</array>\n";
    }
    void operator()(const PropertyListDictionary& dictionary) const
    {
        if (dictionary.empty()) {
            out += "<dict/>\n";
            return;
        }
        out += "<dict>\n";
        for (const auto& [key, element] : dictionary) {
            appendIndent(out, level + 1);
            out += "<key>";
            appendEscaped(out, key);
            out += "</key>\n";
            appendValue(out, element, level + 1);
        }
        appendIndent(out, level);
        out += "</dict>\n";
    }
};

void appendValue(std::string& out, const PropertyList& value, int level)
{
    appendIndent(out, level);
    std::visit(ValueWriter { out, level }, value.value);
}

} // namespace

std::string propertyListRealText(double value)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string propertyListDateText(const PropertyListDate& date, const char* layout)
{
    double unixTime = std::floor(date.secondsSinceReferenceDate + referenceDateUnixTime);
    if (!std::isfinite(unixTime) || std::fabs(unixTime) > 1e15)
        unixTime = referenceDateUnixTime;
    std::time_t seconds = static_cast<std::time_t>(unixTime);
    std::tm fields {};
    if (!gmtime_r(&seconds, &fields))
        return {};
    char buffer[64];
    std::size_t length = std::strftime(buffer, sizeof buffer, layout, &fields);
    return std::string(buffer, length);
}

std::string PropertyList::xml() const
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n";
    appendValue(out, *this, 0);
    out += "</plist>\n";
    return out;
}
