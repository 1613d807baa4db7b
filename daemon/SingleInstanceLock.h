#pragma once

#include "FileDescriptor.h"

#include <memory>
#include <string>

// One netwardd per device: two would each take the other's override for the system's value and lose
// the system's DNS for good. A write lock on a device file, held for the daemon's life and let go by
// the kernel when it ends, however it ends. The file belongs to the daemon's account alone and is never
// reached through a link, so no other account can take the lock first.
class SingleInstanceLock {
public:
    // Null when another process holds the lock or the file cannot be used; `problem` then says why,
    // naming the holder's process id.
    static std::unique_ptr<SingleInstanceLock> take(const std::string& devicePath, std::string& problem);

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

private:
    explicit SingleInstanceLock(FileDescriptor file) : lockFile(std::move(file)) { }

    // A POSIX record lock: it names its holder's process, and no child started later inherits it. Any
    // other descriptor of the file closed in this process would let it go, and none is ever opened.
    FileDescriptor lockFile;
};
