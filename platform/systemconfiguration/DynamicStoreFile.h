#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The dynamic store's data: one property-list dictionary of values by key, in the device file
// "/var/run/configd/store.plist", shared by every process of the device. Changes run under an exclusive
// lock and replace the file atomically, so a reader sees one whole state or the next. Each change also
// counts up a generation number beside the file, after the replacement; the parsed dictionary is kept
// between calls and read again only when that number has moved.
class DynamicStoreFile {
public:
    static constexpr const char* devicePath = "/var/run/configd/store.plist";
    static constexpr const char* generationDevicePath = "/var/run/configd/store.generation";

    // The store as it is now; empty when there is no file yet.
    const PropertyListDictionary& contents();

    // Runs `change` on the current contents under the lock and saves the result when it returns true.
    // False when the store could not be changed.
    bool update(const std::function<bool(PropertyListDictionary&)>& change);

private:
    static std::uint64_t currentGeneration(const std::string& generationPath);
    void reloadIfChanged();

    std::string loadedRoot;
    std::optional<std::uint64_t> loadedGeneration;
    PropertyListDictionary loaded;
};
