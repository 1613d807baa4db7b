#include "PropertyList.h"

#include "PropertyListXMLWriter.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <plist/plist.h>

namespace {

// Guards against input that would exhaust libplist's recursive parsers or expand without bound.
constexpr std::size_t maximumNesting = 512;
constexpr std::uint64_t maximumExpandedObjects = 10'000'000;

constexpr std::string_view binaryMagic = "bplist00";

bool startsWith(std::string_view text, std::size_t position, std::string_view prefix)
{
    return text.substr(position, prefix.size()) == prefix;
}

// Element nesting of an XML document, counted loosely; only the order of magnitude matters.
bool xmlNestingIsBounded(std::string_view xml)
{
    std::size_t depth = 0;
    std::size_t position = 0;
    while ((position = xml.find('<', position)) != std::string_view::npos) {
        std::string_view terminator = ">";
        if (startsWith(xml, position, "<!--"))
            terminator = "-->";
        else if (startsWith(xml, position, "<![CDATA["))
            terminator = "]]>";
        std::size_t end = xml.find(terminator, position + 1);
        if (end == std::string_view::npos)
            return true;
        char next = position + 1 < xml.size() ? xml[position + 1] : '\0';
        if (next == '/') {
            if (depth > 0)
                --depth;
        } else if (next != '!' && next != '?' && xml[end - 1] != '/') {
            // The plist element around the value is one level more than a binary list has.
            if (++depth > maximumNesting + 1)
                return false;
        }
        position = end + terminator.size();
    }
    return true;
}

// Walks the object graph of a binary property list without libplist: shared objects would be
// expanded once per reference and cycles would never end, so both are bounded here first.
class BinaryGraphCheck {
public:
    // A binary list refers to each object it holds at least once, with a reference of at least one byte;
    // only arrays and dictionaries that it shares between places make it expand to more objects than it
    // has bytes. Such lists, a few bytes that expand to millions of objects, are refused.
    explicit BinaryGraphCheck(std::string_view document)
        : bytes(document)
        , expansionLimit(std::min<std::uint64_t>(maximumExpandedObjects, document.size()))
    {
    }

    bool isAcceptable()
    {
        constexpr std::size_t trailerSize = 32;
        if (bytes.size() < binaryMagic.size() + trailerSize)
            return false;
        std::size_t trailer = bytes.size() - trailerSize;
        offsetSize = byte(trailer + 6);
        referenceSize = byte(trailer + 7);
        std::uint64_t objectCount = bigEndian(trailer + 8, 8);
        std::uint64_t topObject = bigEndian(trailer + 16, 8);
        offsetTable = bigEndian(trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || referenceSize < 1 || referenceSize > 8)
            return false;
        if (objectCount == 0 || topObject >= objectCount || offsetTable > trailer
            || objectCount > (trailer - offsetTable) / offsetSize)
            return false;
        objects.assign(objectCount, {});
        return visit(topObject);
    }

private:
    struct Object {
        enum class State : std::uint8_t { Unvisited, InProgress, Done } state { State::Unvisited };
        std::uint64_t expandedCount { 0 };
        bool acceptedAsKey { false };
    };

    struct Frame {
        std::uint64_t index;
        std::vector<std::uint64_t> children;
        std::size_t next { 0 };
        std::uint64_t expandedCount { 1 };
    };

    std::size_t byte(std::size_t position) const { return static_cast<unsigned char>(bytes[position]); }

    std::uint64_t bigEndian(std::size_t position, std::size_t size) const
    {
        std::uint64_t value = 0;
        for (std::size_t index = 0; index < size; ++index)
            value = value << 8 | byte(position + index);
        return value;
    }

    struct ObjectHeader {
        std::size_t type;
        std::uint64_t count;
        std::size_t contentStart;
    };

    std::optional<ObjectHeader> header(std::uint64_t index) const
    {
        std::uint64_t offset = bigEndian(offsetTable + index * offsetSize, offsetSize);
        if (offset < binaryMagic.size() || offset >= offsetTable)
            return std::nullopt;
        std::size_t position = offset;
        ObjectHeader result { byte(position) >> 4, byte(position) & 0x0F, position + 1 };
        bool hasCount = (result.type >= 0x4 && result.type <= 0x6) || result.type == 0xA || result.type == 0xC
            || result.type == 0xD;
        if (!hasCount || result.count != 0x0F)
            return result;
        position = result.contentStart;
        if (position >= offsetTable || byte(position) >> 4 != 0x1)
            return std::nullopt;
        std::size_t countSize = std::size_t { 1 } << (byte(position) & 0x0F);
        if (countSize > 8 || offsetTable - position - 1 < countSize)
            return std::nullopt;
        result.count = bigEndian(position + 1, countSize);
        result.contentStart = position + 1 + countSize;
        return result;
    }

    // A string (8-bit or UTF-16) without a NUL character: XML cannot hold one, so a value holding it could
    // never be written back, and libplist cuts keys at it.
    bool isStringWithoutNUL(const ObjectHeader& string) const
    {
        std::size_t unitSize = string.type == 0x6 ? 2 : 1;
        if (string.count > (offsetTable - string.contentStart) / unitSize)
            return false;
        for (std::uint64_t unit = 0; unit < string.count; ++unit) {
            if (bigEndian(string.contentStart + unit * unitSize, unitSize) == 0)
                return false;
        }
        return true;
    }

    bool isAcceptableKey(std::uint64_t index)
    {
        if (objects[index].acceptedAsKey)
            return true;
        auto key = header(index);
        if (!key || (key->type != 0x5 && key->type != 0x6) || !isStringWithoutNUL(*key))
            return false;
        objects[index].acceptedAsKey = true;
        return true;
    }

    bool children(std::uint64_t index, std::vector<std::uint64_t>& result)
    {
        result.clear();
        auto object = header(index);
        if (!object)
            return false;
        if (object->type == 0x5 || object->type == 0x6)
            return isStringWithoutNUL(*object);
        // Arrays, sets and dictionaries are the only objects that refer to others.
        if (object->type != 0xA && object->type != 0xC && object->type != 0xD)
            return true;
        std::uint64_t available = (offsetTable - object->contentStart) / referenceSize;
        std::uint64_t references = object->type == 0xD ? object->count * 2 : object->count;
        if (object->count > available || references > available)
            return false;
        result.reserve(static_cast<std::size_t>(references));
        for (std::uint64_t reference = 0; reference < references; ++reference) {
            std::uint64_t child = bigEndian(object->contentStart + reference * referenceSize, referenceSize);
            if (child >= objects.size())
                return false;
            if (object->type == 0xD && reference < object->count && !isAcceptableKey(child))
                return false;
            result.push_back(child);
        }
        return true;
    }

    bool visit(std::uint64_t top)
    {
        std::vector<Frame> stack;
        auto enter = [&](std::uint64_t index) {
            if (stack.size() >= maximumNesting)
                return false;
            Frame frame { index, {} };
            if (!children(index, frame.children))
                return false;
            objects[index].state = Object::State::InProgress;
            stack.push_back(std::move(frame));
            return true;
        };
        if (!enter(top))
            return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.children.size()) {
                objects[frame.index].state = Object::State::Done;
                objects[frame.index].expandedCount = frame.expandedCount;
                std::uint64_t count = frame.expandedCount;
                stack.pop_back();
                if (!stack.empty() && (stack.back().expandedCount += count) > expansionLimit)
                    return false;
                continue;
            }
            std::uint64_t child = frame.children[frame.next++];
            switch (objects[child].state) {
            case Object::State::InProgress:
                return false;
            case Object::State::Done:
                if ((frame.expandedCount += objects[child].expandedCount) > expansionLimit)
                    return false;
                break;
            case Object::State::Unvisited:
                if (!enter(child))
                    return false;
                break;
            }
        }
        return true;
    }

    std::string_view bytes;
    std::uint64_t expansionLimit;
    std::size_t offsetSize { 0 };
    std::size_t referenceSize { 0 };
    std::uint64_t offsetTable { 0 };
    std::vector<Object> objects;
};

std::optional<PropertyList> convert(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyList(value != 0);
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // Negative integers arrive in two's complement.
        return PropertyList(static_cast<std::int64_t>(value));
    }
    case PLIST_UID: {
        std::uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return PropertyList(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyList(value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PropertyList(text ? std::string(text, static_cast<std::size_t>(length)) : std::string());
    }
    case PLIST_KEY: {
        char* text = nullptr;
        plist_get_key_val(node, &text);
        std::string key = text ? text : "";
        std::free(text);
        return PropertyList(std::move(key));
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        // libplist keeps dates in 32-bit seconds, and for a date beyond them (or no number) hands out
        // what it overflowed to. A date outside them would not read back once written: it is kept within.
        constexpr double earliest = std::numeric_limits<std::int32_t>::min();
        constexpr double latest = std::numeric_limits<std::int32_t>::max();
        return PropertyList(PropertyListDate { std::clamp(seconds + microseconds / 1e6, earliest, latest) });
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        if (!bytes)
            return PropertyList(PropertyListData {});
        auto begin = reinterpret_cast<const std::uint8_t*>(bytes);
        return PropertyList(PropertyListData(begin, begin + length));
    }
    case PLIST_ARRAY: {
        PropertyListArray array;
        std::uint32_t size = plist_array_get_size(node);
        array.reserve(size);
        for (std::uint32_t index = 0; index < size; ++index) {
            auto element = convert(plist_array_get_item(node, index));
            if (!element)
                return std::nullopt;
            array.push_back(std::move(*element));
        }
        return PropertyList(std::move(array));
    }
    case PLIST_DICT: {
        PropertyListDictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        if (!iterator)
            return std::nullopt;
        bool complete = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            auto element = convert(item);
            if (!element || !key) {
                std::free(key);
                complete = false;
                break;
            }
            dictionary.insert_or_assign(std::string(key), std::move(*element));
            std::free(key);
        }
        std::free(iterator);
        if (!complete)
            return std::nullopt;
        return PropertyList(std::move(dictionary));
    }
    case PLIST_NONE:
        return std::nullopt;
    }
    return std::nullopt;
}

bool isBareWord(const std::string& text)
{
    if (text.empty())
        return false;
    for (char character : text) {
        bool plain = (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z')
            || (character >= '0' && character <= '9') || character == '_' || character == '.' || character == '/';
        if (!plain)
            return false;
    }
    return true;
}

std::string quotedIfNeeded(const std::string& text)
{
    if (isBareWord(text))
        return text;
    std::string quoted = "\"";
    for (char character : text) {
        if (character == '"' || character == '\\')
            quoted += '\\';
        if (character == '\n') {
            quoted += "\\n";
            continue;
        }
        quoted += character;
    }
    quoted += '"';
    return quoted;
}

void describe(const PropertyList& value, int level, bool nested, std::string& out)
{
    std::string indent(static_cast<std::size_t>(level) * 4, ' ');
    std::string innerIndent = indent + "    ";
    if (auto text = value.string()) {
        out += nested ? quotedIfNeeded(*text) : *text;
    } else if (auto flag = value.boolean()) {
        out += *flag ? "1" : "0";
    } else if (auto integer = value.integer()) {
        out += std::to_string(*integer);
    } else if (auto real = value.real()) {
        out += propertyListRealText(*real);
    } else if (auto date = value.date()) {
        out += propertyListDateText(*date, "%Y-%m-%d %H:%M:%S +0000");
    } else if (auto data = value.data()) {
        static constexpr char digits[] = "0123456789abcdef";
        out += "{length = " + std::to_string(data->size()) + ", bytes = 0x";
        for (std::uint8_t byte : *data) {
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
        out += "}";
    } else if (auto array = value.array()) {
        out += "(\n";
        for (std::size_t index = 0; index < array->size(); ++index) {
            out += innerIndent;
            describe((*array)[index], level + 1, true, out);
            out += index + 1 < array->size() ? ",\n" : "\n";
        }
        out += indent + ")";
    } else if (auto dictionary = value.dictionary()) {
        out += "{\n";
        for (const auto& [key, element] : *dictionary) {
            out += innerIndent + quotedIfNeeded(key) + " = ";
            describe(element, level + 1, true, out);
            out += ";\n";
        }
        out += indent + "}";
    }
}

} // namespace

bool PropertyList::operator==(const PropertyList& other) const
{
    return value == other.value;
}

std::optional<PropertyList> PropertyList::fromBytes(std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;

    plist_t root = nullptr;
    if (startsWith(bytes, 0, binaryMagic)) {
        if (!BinaryGraphCheck(bytes).isAcceptable())
            return std::nullopt;
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    } else {
        // NUL is no XML character, and libplist would silently cut keys at one.
        if (bytes.find('\0') != std::string_view::npos || !xmlNestingIsBounded(bytes))
            return std::nullopt;
        // A terminated copy: the XML parser must not run past the end of the caller's bytes.
        std::string xml(bytes);
        plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    }
    if (!root)
        return std::nullopt;
    auto result = convert(root);
    plist_free(root);
    return result;
}

std::string PropertyList::description() const
{
    std::string out;
    describe(*this, 0, false, out);
    return out;
}
