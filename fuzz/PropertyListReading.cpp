#include "PropertyListReading.h"

#include "FuzzCheck.h"
#include "PropertyList.h"

#include <algorithm>
#include <cstddef>

namespace {

// The reader refuses what nests deeper than this: the writer, the description and the value's own
// copies and comparisons all recurse.
constexpr std::size_t deepestNesting = 512;

std::size_t nestingOf(const PropertyList& value)
{
    std::size_t deepest = 0;
    if (const auto* array = value.array()) {
        for (const auto& element : *array)
            deepest = std::max(deepest, nestingOf(element));
    } else if (const auto* dictionary = value.dictionary()) {
        for (const auto& [key, element] : *dictionary)
            deepest = std::max(deepest, nestingOf(element));
    }
    return deepest + 1;
}

} // namespace

void readPropertyListAsTheDeviceDoes(std::string_view bytes)
{
    auto value = PropertyList::fromBytes(bytes);
    if (!value)
        return;
    fuzzCheck(nestingOf(*value) <= deepestNesting, "a value read nests no deeper than the reader allows");
    // As "%@" shows it in a log line.
    value->description();

    std::string written = value->xml();
    auto readBack = PropertyList::fromBytes(written);
    fuzzCheck(readBack.has_value(), "the XML written from a value read reads back");
    fuzzCheck(readBack->xml() == written, "the XML written from a value read writes again unchanged");
    fuzzCheck((readBack->dictionary() != nullptr) == (value->dictionary() != nullptr),
              "a dictionary on top stays a dictionary on top");
}
