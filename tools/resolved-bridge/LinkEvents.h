#pragma once

#include "FileDescriptor.h"

#include <memory>
#include <string>

// The kernel's announcements of links and their IPv4 addresses coming and going (rtnetlink). They only
// say that the machine's links should be looked at again: what changed is read from the kernel then.
class LinkEvents {
public:
    // Null when the kernel's announcements cannot be heard; `problem` says why.
    static std::unique_ptr<LinkEvents> open(std::string& problem);

    int fileDescriptor() const { return socket.get(); }
    // Reads every announcement waiting; true when there was at least one.
    bool drain();

private:
    explicit LinkEvents(FileDescriptor netlinkSocket) : socket(std::move(netlinkSocket)) { }

    FileDescriptor socket;
};
