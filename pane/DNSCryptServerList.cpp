#include "DNSCryptServerList.h"

#include <optional>
#include <string_view>

namespace {

// Editors on some systems start a UTF-8 text with this mark; it is no part of the text.
constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";

std::vector<std::string> componentsSeparatedByString(const std::string& text, const std::string& separator)
{
    std::vector<std::string> components;
    size_t start = 0;
    for (size_t found = text.find(separator); found != std::string::npos; found = text.find(separator, start)) {
        components.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    components.push_back(text.substr(start));
    return components;
}

std::string unquotedColumnName(const std::string& name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        return name.substr(1, name.size() - 2);
    return name;
}

std::string joined(const std::vector<std::string>& pieces)
{
    std::string text;
    for (size_t index = 0; index < pieces.size(); ++index)
        text += (index ? "," : "") + pieces[index];
    return text;
}

// One data line: a piece with a quote at both ends is a whole field; a piece with a quote elsewhere
// opens a group of pieces, and the next such piece closes it, the group's pieces joined again with commas.
DNSCryptServerRecord recordFromLine(const std::vector<std::string>& pieces, const std::vector<std::string>& columns)
{
    DNSCryptServerRecord record;
    size_t column = 0;
    std::optional<std::vector<std::string>> group;
    auto store = [&](const std::string& field) {
        if (column < columns.size())
            record[columns[column]] = field;
        ++column;
    };
    for (const auto& piece : pieces) {
        if (piece.find('"') == std::string::npos) {
            if (group)
                group->push_back(piece);
            else
                store(piece);
            continue;
        }
        if (piece.front() == '"' && piece.back() == '"') {
            store(piece);
            continue;
        }
        if (!group) {
            group = std::vector<std::string> { piece };
            continue;
        }
        group->push_back(piece);
        store(joined(*group));
        group.reset();
    }
    return record;
}

} // namespace

std::vector<DNSCryptServerRecord> ParseDNSCryptServerList(const std::string& list)
{
    const std::string text = list.starts_with(utf8ByteOrderMark) ? list.substr(utf8ByteOrderMark.size()) : list;
    std::vector<std::string> lines = componentsSeparatedByString(text, text.find("\r\n") != std::string::npos ? "\r\n" : "\n");
    std::vector<std::string> columns;
    for (const auto& name : componentsSeparatedByString(lines.front(), ","))
        columns.push_back(unquotedColumnName(name));
    std::vector<DNSCryptServerRecord> records;
    for (size_t line = 1; line < lines.size(); ++line) {
        auto pieces = componentsSeparatedByString(lines[line], ",");
        if (pieces.size() < 2)
            continue;
        records.push_back(recordFromLine(pieces, columns));
    }
    return records;
}
