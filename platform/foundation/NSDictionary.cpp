#include "NSDictionary.h"

#include "NSString.h"

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

bool writeDictionaryToFile(const PropertyListDictionary& dictionary, const std::string& devicePath, bool atomically)
{
    return writeBytesToFile(PropertyList(dictionary).xml(), devicePath, atomically);
}
