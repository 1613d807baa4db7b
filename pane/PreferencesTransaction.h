#pragma once

#include "PreferencesLock.h"
#include "PropertyList.h"

#include <optional>
#include <string>

// Several changes of the preferences made as one: while a transaction lives, the pane's reads and
// writes go to one reading of the file, taken under the preferences lock at the first of them. The end
// of a transaction saves the file, once and atomically, if anything changed; the end of the outermost
// one also lets the lock go. Other writers wait for the lock meanwhile, so nothing they write is lost.
// An inner transaction marks a point where what was changed so far must be in the file (before a
// notification tells others of it). A transaction belongs to the thread that made it.
class PreferencesTransaction {
public:
    PreferencesTransaction();
    ~PreferencesTransaction();

    PreferencesTransaction(const PreferencesTransaction&) = delete;
    PreferencesTransaction& operator=(const PreferencesTransaction&) = delete;

    // The live transaction; null when none lives.
    static PreferencesTransaction* current();

    // The file's dictionary as changed so far; null when the file is missing or no dictionary (a write
    // is then lost, as without a transaction).
    const std::optional<PropertyListDictionary>& preferences();
    void set(const std::string& key, const std::string& value);

    // Saves now what was changed so far, before a notification tells others of it.
    void save();

private:
    void begin();

    bool outermost;
    std::optional<PreferencesLock> lock;
    std::optional<PropertyListDictionary> reading;
    bool changed { false };
};
