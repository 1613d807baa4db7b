#include "ScutilSet.h"

#include "PropertyList.h"

#include <iterator>

int scutilSet(SCDynamicStoreRef store, const std::string& key, std::istream& input, std::ostream& errors)
{
    std::string bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    auto value = PropertyList::fromBytes(bytes);
    if (!value || !value->dictionary()) {
        errors << "scutil: standard input holds no property-list dictionary\n";
        return 1;
    }
    if (!SCDynamicStoreSetValue(store, key, *value)) {
        errors << "scutil: " << key << ": cannot store the value\n";
        return 1;
    }
    return 0;
}
