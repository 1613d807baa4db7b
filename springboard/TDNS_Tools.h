#pragma once

#include <optional>
#include <string>

// The extension's accessors of the preferences file. Each call loads the file anew. This library never
// creates the file: when it is missing or unreadable, every key reads as absent and writes are lost.
class TDNS_Tools {
public:
    TDNS_Tools() = delete;

    // The string stored under the key; null when the key is absent or holds no string, or when the file
    // cannot be read.
    static std::optional<std::string> ReadPrefs(const std::string& key);

    // Stores the value under the key and saves the whole file atomically, keeping every other key. A
    // null value leaves the file as it is.
    static void WritePrefs(const std::string& key, const std::optional<std::string>& value);
};
