#include "NSDictionary.h"

#include "NSLog.h"
#include "NSString.h"

#include <algorithm>

std::optional<PropertyListDictionary> dictionaryWithContentsOfFile(const std::string& devicePath)
{
    auto bytes = bytesWithContentsOfFile(devicePath);
    if (!bytes)
        return std::nullopt;
    auto propertyList = PropertyList::fromBytes(*bytes);
    if (!propertyList || !propertyList->dictionary())
        return std::nullopt;
    return std::move(*propertyList->dictionary());
}

bool dictionaryHoldsValue(const PropertyListDictionary& dictionary, const std::string& key, const PropertyList& value)
{
    auto entry = dictionary.find(key);
    return entry != dictionary.end() && entry->second == value;
}

namespace {

// XML has no way to write a NUL character, not even as a character reference.
bool holdsNUL(const PropertyList& value)
{
    if (const auto* text = value.string())
        return text->find('\0') != std::string::npos;
    if (const auto* array = value.array())
        return std::any_of(array->begin(), array->end(), holdsNUL);
    if (const auto* dictionary = value.dictionary()) {
        return std::any_of(dictionary->begin(), dictionary->end(), [](const auto& entry) {
            return entry.first.find('\0') != std::string::npos || holdsNUL(entry.second);
        });
    }
    return false;
}

} // namespace

bool writeDictionaryToFile(const PropertyListDictionary& dictionary, const std::string& devicePath, bool atomically,
                           const NSFileAttributes& attributes)
{
    PropertyList value(dictionary);
    if (holdsNUL(value)) {
        // Written, it would make the whole file unreadable.
        NSLog("writeToFile: %@ not written: a string holds a NUL character", devicePath);
        return false;
    }
    return writeBytesToFile(value.xml(), devicePath, atomically, attributes);
}
