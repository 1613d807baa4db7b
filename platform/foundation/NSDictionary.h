#pragma once

#include "NSFileManager.h"
#include "PropertyList.h"

#include <optional>
#include <string>

// initWithContentsOfFile: on a device path: the top-level dictionary of an XML or binary property list,
// or null when the file is missing, unreadable, not a property list, or holds something else on top.
std::optional<PropertyListDictionary> dictionaryWithContentsOfFile(const std::string& devicePath);

// [dictionary objectForKey:key] when it is of the given type (std::string, bool, std::int64_t, ...); null
// when the key is absent or holds a value of another type.
template<typename Type>
const Type* typedValueFor(const PropertyListDictionary& dictionary, const std::string& key)
{
    auto entry = dictionary.find(key);
    return entry == dictionary.end() ? nullptr : std::get_if<Type>(&entry->second.value);
}

// [[dictionary objectForKey:key] isEqual:value]: whether the dictionary holds this very value for the key.
bool dictionaryHoldsValue(const PropertyListDictionary& dictionary, const std::string& key, const PropertyList& value);

// writeToFile:atomically: on a device path, in the XML layout of PropertyList::xml(). A dictionary that
// holds a NUL character in a key or string is not written (logged): XML cannot hold it, and the file
// would no longer read.
bool writeDictionaryToFile(const PropertyListDictionary& dictionary, const std::string& devicePath, bool atomically,
                           const NSFileAttributes& attributes = {});
