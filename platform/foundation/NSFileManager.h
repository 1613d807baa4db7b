#pragma once

#include <string>

// File operations on device paths. Results follow the platform: true on success, and callers that
// ignore them lose nothing but the answer.
class NSFileManager {
public:
    static NSFileManager& defaultManager();

    bool fileExistsAtPath(const std::string& devicePath) const;

    // Removes a file, or a symbolic link itself (never its target).
    bool removeItemAtPath(const std::string& devicePath) const;

    // setAttributes:ofItemAtPath:error: with an owner account name and a group owner account name. An
    // account or group the machine lacks makes the change a failure that changes nothing.
    bool setOwnerAccountName(const std::string& devicePath, const std::string& ownerAccountName,
                             const std::string& groupOwnerAccountName) const;

    // Creates the folder and its missing parents.
    bool createDirectoryAtPath(const std::string& devicePath) const;
};
