#include "StoreRecord.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t frameSize = StoreRecord::frameSize;
// As deep as the property-list reader goes; a store value is a few levels deep.
constexpr std::size_t maximumNesting = 512;
constexpr std::size_t maximumBodySize = StoreRecord::maximumBodySize;

std::uint32_t checksumOf(std::string_view body)
{
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : body) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return hash;
}

template<typename Number>
void append(std::string& out, Number number)
{
    char bytes[sizeof(Number)];
    std::memcpy(bytes, &number, sizeof(Number));
    out.append(bytes, sizeof(Number));
}

void appendText(std::string& out, std::string_view text)
{
    append(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

void encodeValue(std::string& out, const PropertyList& value)
{
    if (const auto* text = value.string()) {
        out += 's';
        appendText(out, *text);
    } else if (const auto* flag = value.boolean()) {
        out += 'b';
        out += static_cast<char>(*flag ? 1 : 0);
    } else if (const auto* integer = value.integer()) {
        out += 'i';
        append(out, *integer);
    } else if (const auto* real = value.real()) {
        out += 'r';
        append(out, *real);
    } else if (const auto* date = value.date()) {
        out += 'd';
        append(out, date->secondsSinceReferenceDate);
    } else if (const auto* data = value.data()) {
        out += 'x';
        appendText(out, std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    } else if (const auto* array = value.array()) {
        out += 'a';
        append(out, static_cast<std::uint32_t>(array->size()));
        for (const auto& element : *array)
            encodeValue(out, element);
    } else if (const auto* dictionary = value.dictionary()) {
        out += 'D';
        append(out, static_cast<std::uint32_t>(dictionary->size()));
        for (const auto& [key, element] : *dictionary) {
            appendText(out, key);
            encodeValue(out, element);
        }
    }
}

// Reads within one record's body, which the checksum has vouched for; still every length is checked,
// as the body may come from anywhere.
class BodyReader {
public:
    explicit BodyReader(std::string_view body) : bytes(body) { }

    bool atEnd() const { return position == bytes.size(); }

    template<typename Number>
    bool number(Number& number)
    {
        if (bytes.size() - position < sizeof(Number))
            return false;
        std::memcpy(&number, bytes.data() + position, sizeof(Number));
        position += sizeof(Number);
        return true;
    }

    bool text(std::string_view& text)
    {
        std::uint32_t length = 0;
        if (!number(length) || bytes.size() - position < length)
            return false;
        text = bytes.substr(position, length);
        position += length;
        return true;
    }

    bool value(PropertyList& value, std::size_t depth)
    {
        char tag = 0;
        if (depth > maximumNesting || !number(tag))
            return false;
        switch (tag) {
        case 's': {
            std::string_view content;
            if (!text(content))
                return false;
            value = std::string(content);
            return true;
        }
        case 'b': {
            std::uint8_t flag = 0;
            if (!number(flag) || flag > 1)
                return false;
            value = flag == 1;
            return true;
        }
        case 'i': {
            std::int64_t integer = 0;
            if (!number(integer))
                return false;
            value = integer;
            return true;
        }
        case 'r':
        case 'd': {
            double real = 0;
            if (!number(real))
                return false;
            value = tag == 'r' ? PropertyList(real) : PropertyList(PropertyListDate { real });
            return true;
        }
        case 'x': {
            std::string_view content;
            if (!text(content))
                return false;
            value = PropertyListData(content.begin(), content.end());
            return true;
        }
        case 'a':
            return array(value, depth);
        case 'D':
            return dictionary(value, depth);
        default:
            return false;
        }
    }

private:
    // Every element takes a byte at least, so a count larger than what is left is a lie.
    bool count(std::uint32_t& count) { return number(count) && count <= bytes.size() - position; }

    bool array(PropertyList& value, std::size_t depth)
    {
        std::uint32_t elements = 0;
        if (!count(elements))
            return false;
        PropertyListArray array;
        array.reserve(elements);
        for (std::uint32_t index = 0; index < elements; ++index) {
            if (!this->value(array.emplace_back(), depth + 1))
                return false;
        }
        value = std::move(array);
        return true;
    }

    bool dictionary(PropertyList& value, std::size_t depth)
    {
        std::uint32_t entries = 0;
        if (!count(entries))
            return false;
        PropertyListDictionary dictionary;
        for (std::uint32_t index = 0; index < entries; ++index) {
            std::string_view key;
            PropertyList element;
            if (!text(key) || !this->value(element, depth + 1))
                return false;
            dictionary.insert_or_assign(std::string(key), std::move(element));
        }
        value = std::move(dictionary);
        return true;
    }

    std::string_view bytes;
    std::size_t position { 0 };
};

} // namespace

std::string StoreRecord::encoded() const
{
    std::string body;
    body += value ? 'S' : 'R';
    appendText(body, key);
    if (value)
        encodeValue(body, *value);
    if (body.size() > maximumBodySize)
        return {};
    std::string record;
    record.reserve(frameSize + body.size());
    append(record, static_cast<std::uint32_t>(body.size()));
    append(record, checksumOf(body));
    record += body;
    return record;
}

bool StoreRecord::isWhole(std::string_view bytes)
{
    if (bytes.size() <= frameSize || bytes.size() - frameSize > maximumBodySize)
        return false;
    std::uint32_t bodySize = 0;
    std::uint32_t checksum = 0;
    std::memcpy(&bodySize, bytes.data(), sizeof bodySize);
    std::memcpy(&checksum, bytes.data() + sizeof bodySize, sizeof checksum);
    return bodySize == bytes.size() - frameSize && checksumOf(bytes.substr(frameSize)) == checksum;
}

StoreRecord::Reading StoreRecord::read(std::string_view bytes, std::size_t& offset, StoreRecord& record)
{
    if (offset > bytes.size() || bytes.size() - offset < frameSize)
        return Reading::Incomplete;
    std::uint32_t bodySize = 0;
    std::uint32_t checksum = 0;
    std::memcpy(&bodySize, bytes.data() + offset, sizeof bodySize);
    std::memcpy(&checksum, bytes.data() + offset + sizeof bodySize, sizeof checksum);
    if (bodySize == 0 || bodySize > maximumBodySize)
        return Reading::Invalid;
    if (bytes.size() - offset - frameSize < bodySize)
        return Reading::Incomplete;
    std::string_view body = bytes.substr(offset + frameSize, bodySize);
    if (checksumOf(body) != checksum)
        return Reading::Invalid;

    BodyReader reader(body);
    char kind = 0;
    std::string_view key;
    if (!reader.number(kind) || (kind != 'S' && kind != 'R') || !reader.text(key))
        return Reading::Invalid;
    StoreRecord read { std::string(key), std::nullopt };
    if (kind == 'S' && !reader.value(read.value.emplace(), 0))
        return Reading::Invalid;
    if (!reader.atEnd())
        return Reading::Invalid;
    record = std::move(read);
    offset += frameSize + bodySize;
    return Reading::Complete;
}
