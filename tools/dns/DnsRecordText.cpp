#include "DnsRecordText.h"

#include "DnsName.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>

namespace {

constexpr std::array<std::pair<std::uint16_t, std::string_view>, 11> typeNames { {
    { DnsType::A, "A" },
    { DnsType::NS, "NS" },
    { DnsType::CNAME, "CNAME" },
    { DnsType::SOA, "SOA" },
    { DnsType::PTR, "PTR" },
    { DnsType::MX, "MX" },
    { DnsType::TXT, "TXT" },
    { DnsType::AAAA, "AAAA" },
    { DnsType::SRV, "SRV" },
    { DnsType::OPT, "OPT" },
    { DnsType::ANY, "ANY" },
} };

constexpr std::array<std::string_view, 11> rcodeNames { "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                                        "YXDOMAIN", "YXRRSET", "NXRRSET", "NOTAUTH", "NOTZONE" };

std::string uppercased(std::string_view text)
{
    std::string upper(text);
    for (char& character : upper) {
        if (character >= 'a' && character <= 'z')
            character = static_cast<char>(character - 'a' + 'A');
    }
    return upper;
}

std::optional<std::uint16_t> number(std::string_view digits)
{
    std::uint16_t value = 0;
    auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.size() > 5 || problem != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::string decimalEscape(std::uint8_t byte)
{
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(byte));
    return escaped;
}

// A name as a zone file writes it: with the root's final dot, bytes that are not printable escaped.
std::string absolute(const std::string& name)
{
    std::string text;
    for (char character : name) {
        auto byte = static_cast<std::uint8_t>(character);
        if (byte <= ' ' || byte >= 0x7F)
            text += decimalEscape(byte);
        else
            text += character;
    }
    return text + ".";
}

std::string className(std::uint16_t rclass)
{
    switch (rclass) {
    case 1:
        return "IN";
    case 3:
        return "CH";
    case 4:
        return "HS";
    }
    return "CLASS" + std::to_string(rclass);
}

// Reads the record's data field by field, every field inside the record's data.
class DataReader {
public:
    DataReader(std::span<const std::uint8_t> message, const DnsRecord& record)
        : bytes(message)
        , position(record.dataOffset)
        , end(record.dataOffset + record.dataLength)
    {
        if (end > bytes.size())
            failed = true;
    }

    std::optional<std::uint32_t> integer(std::size_t width)
    {
        if (failed || position + width > end) {
            failed = true;
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (std::size_t index = 0; index < width; ++index)
            value = value << 8 | bytes[position + index];
        position += width;
        return value;
    }

    std::optional<std::string> name()
    {
        if (failed)
            return std::nullopt;
        std::optional<std::string> read = DnsName::read(bytes, position);
        if (!read || position > end) {
            failed = true;
            return std::nullopt;
        }
        return absolute(*read);
    }

    std::optional<std::string> characterString()
    {
        if (failed || position >= end) {
            failed = true;
            return std::nullopt;
        }
        std::size_t length = bytes[position];
        if (position + 1 + length > end) {
            failed = true;
            return std::nullopt;
        }
        std::string text = "\"";
        for (std::size_t index = position + 1; index < position + 1 + length; ++index)
            text += quoted(bytes[index]);
        position += 1 + length;
        return text + "\"";
    }

    // Whether every field read was whole and the data has no bytes left over.
    bool complete() const { return !failed && position == end; }
    bool atEnd() const { return position >= end; }

private:
    static std::string quoted(std::uint8_t byte)
    {
        if (byte == '"' || byte == '\\')
            return std::string("\\") + static_cast<char>(byte);
        if (byte < ' ' || byte >= 0x7F)
            return decimalEscape(byte);
        return std::string(1, static_cast<char>(byte));
    }

    std::span<const std::uint8_t> bytes;
    std::size_t position { 0 };
    std::size_t end { 0 };
    bool failed { false };
};

std::string address(std::span<const std::uint8_t> message, const DnsRecord& record, int family, std::size_t length)
{
    if (record.dataLength != length || record.dataOffset + length > message.size())
        return {};
    char text[INET6_ADDRSTRLEN] {};
    if (!inet_ntop(family, message.data() + record.dataOffset, text, sizeof text))
        return {};
    return text;
}

std::string joined(std::initializer_list<std::optional<std::string>> fields)
{
    std::string text;
    for (const std::optional<std::string>& field : fields) {
        if (!field)
            return {};
        if (!text.empty())
            text += ' ';
        text += *field;
    }
    return text;
}

std::optional<std::string> decimal(std::optional<std::uint32_t> value)
{
    if (!value)
        return std::nullopt;
    return std::to_string(*value);
}

std::string txt(DataReader& reader)
{
    std::string text;
    while (!reader.atEnd()) {
        std::optional<std::string> string = reader.characterString();
        if (!string)
            return {};
        if (!text.empty())
            text += ' ';
        text += *string;
    }
    return text;
}

// The data as a zone file writes it for the known types; empty when the data is not what its type says.
std::string knownData(std::span<const std::uint8_t> message, const DnsRecord& record)
{
    DataReader reader(message, record);
    std::string text;
    switch (record.type) {
    case DnsType::A:
        return address(message, record, AF_INET, 4);
    case DnsType::AAAA:
        return address(message, record, AF_INET6, 16);
    case DnsType::NS:
    case DnsType::CNAME:
    case DnsType::PTR:
        text = reader.name().value_or("");
        break;
    case DnsType::MX:
        text = joined({ decimal(reader.integer(2)), reader.name() });
        break;
    case DnsType::TXT:
        text = txt(reader);
        break;
    case DnsType::SOA:
        text = joined({ reader.name(), reader.name(), decimal(reader.integer(4)), decimal(reader.integer(4)),
                        decimal(reader.integer(4)), decimal(reader.integer(4)), decimal(reader.integer(4)) });
        break;
    case DnsType::SRV:
        text = joined({ decimal(reader.integer(2)), decimal(reader.integer(2)), decimal(reader.integer(2)), reader.name() });
        break;
    }
    return reader.complete() ? text : std::string();
}

std::string genericData(std::span<const std::uint8_t> message, const DnsRecord& record)
{
    std::string text = "\\# " + std::to_string(record.dataLength);
    if (record.dataLength == 0 || record.dataOffset + record.dataLength > message.size())
        return text;
    text += ' ';
    static constexpr std::string_view hexDigits = "0123456789abcdef";
    for (std::size_t index = record.dataOffset; index < record.dataOffset + record.dataLength; ++index) {
        text += hexDigits[message[index] >> 4];
        text += hexDigits[message[index] & 0xF];
    }
    return text;
}

} // namespace

std::string DnsRecordText::typeName(std::uint16_t type)
{
    for (const auto& [value, name] : typeNames) {
        if (value == type)
            return std::string(name);
    }
    return "TYPE" + std::to_string(type);
}

std::optional<std::uint16_t> DnsRecordText::typeNamed(const std::string& name)
{
    std::string upper = uppercased(name);
    for (const auto& [value, known] : typeNames) {
        if (known == upper)
            return value;
    }
    std::string_view text(upper);
    if (!text.starts_with("TYPE"))
        return std::nullopt;
    return number(text.substr(4));
}

std::string DnsRecordText::rcodeName(int rcode)
{
    if (rcode >= 0 && static_cast<std::size_t>(rcode) < rcodeNames.size())
        return std::string(rcodeNames[static_cast<std::size_t>(rcode)]);
    return "RCODE" + std::to_string(rcode);
}

std::string DnsRecordText::record(std::span<const std::uint8_t> message, const DnsRecord& record)
{
    std::string data = knownData(message, record);
    if (data.empty())
        data = genericData(message, record);
    return absolute(record.name) + " " + std::to_string(record.ttl) + " " + className(record.rclass) + " "
        + typeName(record.type) + " " + data;
}
