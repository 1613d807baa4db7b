#pragma once

#include "FileDescriptor.h"
#include "ObserverTable.h"
#include "SharedCounter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <sys/un.h>
#include <vector>

// The processes of a device that observe Darwin notifications, as a poster sees them. Each observing
// process has a datagram socket "<pid>.sock" and an observer table "<pid>.names" in the device folder
// "/var/run/notifyd"; a shared counter there, "generation", moves whenever one of them comes, goes or
// is replaced. A poster lists the folder once and again only when the counter has moved, so a post
// costs no file-system work.
class NotifyReceivers {
public:
    struct Receiver {
        int processID { 0 };
        std::string socketPath; // machine paths
        std::string tablePath;
        sockaddr_un address {};
        ino_t socketInode { 0 };
        // A datagram socket connected to the receiver's, so that a post looks no path up; not open when
        // it could not be connected.
        FileDescriptor connection;
        // Null for a socket without a readable table: it is sent every name, uncounted.
        std::unique_ptr<ObserverTable> table;

        // Connects anew, for a receiver whose socket was made again since (its process, or another
        // with the same id). False when nobody reads there.
        bool reconnect();
    };

    NotifyReceivers() = default;
    ~NotifyReceivers();

    NotifyReceivers(const NotifyReceivers&) = delete;
    NotifyReceivers& operator=(const NotifyReceivers&) = delete;

    // The receivers on the device folder at this machine path, looked up anew when they changed.
    std::vector<Receiver>& current(const std::string& folder);
    // A receiver whose process is gone: its files go, and every poster looks again.
    void forget(const Receiver& receiver);

    // Tells every poster of the device folder that a receiver came, went or replaced its table.
    static void announceChange(const std::string& folder);

private:
    void mapGeneration();
    std::uint64_t generation() const;
    void list();

    std::string listedFolder;
    std::vector<Receiver> receivers;
    std::uint64_t listedGeneration { 0 };
    bool listed { false };
    std::unique_ptr<SharedCounter> generationCounter;
};
