#pragma once

#include <chrono>
#include <string>

// The lock that serialises the read-modify-write cycles of a preferences file across the processes of a
// device, whichever account each runs as: an exclusive advisory lock on the folder that holds the file.
// Every account that may replace the file can open its folder, and locking the folder creates nothing:
// where the folder does not exist, nothing is locked and nothing is made. A lock not had within the
// patience (2 seconds) is logged, and the caller goes on without it. Held for the object's life.
class PreferencesLock {
public:
    static constexpr std::chrono::milliseconds defaultPatience { 2000 };

    explicit PreferencesLock(const std::string& preferencesDevicePath,
                             std::chrono::milliseconds patience = defaultPatience);
    ~PreferencesLock();

    PreferencesLock(const PreferencesLock&) = delete;
    PreferencesLock& operator=(const PreferencesLock&) = delete;

    bool isLocked() const { return fd >= 0; }

private:
    int fd { -1 };
};
