#pragma once

#include <string>

// An exclusive advisory lock that serialises read-modify-write cycles on one device file across the
// processes of a device. The lock lives in a companion file ("<path>.lock"), because the file itself is
// replaced atomically and a lock on a replaced inode would protect nothing. Held for the object's life.
class FileLock {
public:
    explicit FileLock(const std::string& devicePath);
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool isLocked() const { return fd >= 0; }

private:
    int fd { -1 };
};
