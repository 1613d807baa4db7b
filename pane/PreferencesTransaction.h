#pragma once

#include "PreferencesLock.h"
#include "PropertyList.h"

#include <memory>
#include <optional>
#include <string>

// Several changes of the preferences made as one: while a transaction lives, the pane's reads and
// writes go to one reading of the file, taken under the preferences lock at the first of them, and the
// transaction's end saves the file once, atomically, if anything changed, then lets the lock go. Other
// writers wait for the lock meanwhile, so nothing they write is lost. Only the outermost transaction
// counts; a transaction belongs to the thread that made it.
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

private:
    void begin();

    bool outermost;
    std::unique_ptr<PreferencesLock> lock;
    std::optional<PropertyListDictionary> reading;
    bool changed { false };
};
