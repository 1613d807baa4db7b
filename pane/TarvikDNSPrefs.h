#pragma once

#include <optional>
#include <string>

// The pane's accessors of the preferences file. A read gives null for an absent key, a value that is
// no string, or a file that cannot be read; a write with a null key or value does nothing, and one of
// a value already stored writes no file. Inside a PreferencesTransaction both go to the transaction.

// Creates the file with its initial content: the empty property list, then RequestedConnectivity "None".
void InitPrefs();
std::optional<std::string> ReadPrefs(const std::string& key);
void WritePrefs(const std::optional<std::string>& key, const std::optional<std::string>& value);

// Set: present and not the empty string.
inline bool IsPrefSet(const std::optional<std::string>& value)
{
    return value && !value->empty();
}
