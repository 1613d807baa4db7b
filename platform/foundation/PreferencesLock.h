#pragma once

#include "FileDescriptor.h"

#include <chrono>
#include <string>

// The lock that serialises the read-modify-write cycles of a preferences file across the processes of a
// device, whichever account each runs as: an exclusive lock on a file beside it ("<file>.lock") that
// belongs to the folder's owner and that no other account may open, so that only the accounts that may
// replace the preferences (the folder's owner and root) can take it and keep others waiting. The first
// writer makes the lock file; where the folder does not exist, nothing is locked and nothing is made.
// A lock not had within the patience (2 seconds), or a lock file that others could open, is logged, and
// the caller does not write. Held for the object's life.
class PreferencesLock {
public:
    static constexpr std::chrono::milliseconds defaultPatience { 2000 };

    explicit PreferencesLock(const std::string& preferencesDevicePath,
                             std::chrono::milliseconds patience = defaultPatience);
    ~PreferencesLock();

    PreferencesLock(const PreferencesLock&) = delete;
    PreferencesLock& operator=(const PreferencesLock&) = delete;

    bool isLocked() const { return lockFile.isOpen(); }

private:
    FileDescriptor lockFile;
};
