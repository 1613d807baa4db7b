#pragma once

#include <string>
#include <sys/types.h>

// What a written file is given before it takes its name: its permissions and, where the accounts
// exist and the writer may give files away, its owner and group (left as they come when not named).
struct NSFileAttributes {
    mode_t posixPermissions { 0644 };
    std::string ownerAccountName {};
    std::string groupOwnerAccountName {};
};

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

    // The permissions of the file at the path, never of a link's target.
    bool setPosixPermissions(const std::string& devicePath, mode_t permissions) const;

    // The attributes of an open file: its permissions, then its owner and group when named. False when
    // one could not be given; the rest are given all the same.
    bool setAttributesOfOpenFile(int fileDescriptor, const NSFileAttributes& attributes) const;

    // Creates the folder and its missing parents.
    bool createDirectoryAtPath(const std::string& devicePath) const;
};
