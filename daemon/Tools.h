#pragma once

#include <string>

// The daemon's accessors of the preferences file. Every read opens the file anew, unless a
// PreferencesSnapshot lives; every write loads it, changes one key and saves the whole file atomically
// (a value already stored is not written again).

// Creates the file with its initial content: the empty property list, then RequestedConnectivity "None".
void InitPrefs();

// The string stored under the key; the empty string when the key is absent, holds no string, or the
// file cannot be read.
std::string ReadPrefs(const std::string& key);

// Stores one string under one key, keeping every other key, logs "Writing <value> to <key>" and gives
// the file to the account "mobile", readable by it and root alone. A file that is missing or no
// property-list dictionary is left as it is, and the value is lost; so is a value written while the
// preferences lock cannot be had within 2 seconds (logged).
void WritePrefs(const std::string& key, const std::string& value);
