#pragma once

#include "FileDescriptor.h"
#include "ObserverTable.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <sys/types.h>
#include <sys/un.h>
#include <vector>

// The processes of a device that observe Darwin notifications, as a poster sees them. Each observing
// process has, in the device folder "/var/run/notifyd", a datagram socket "<pid>.sock" for the names
// posted to it, an observer table "<pid>.names", and a second socket "<pid>.drop" where a poster tells it
// that a post was dropped. A poster lists the folder once, and again only when it changed, so that a post
// costs no file-system work: every process that adds, removes or renames a file there writes a new value
// into the counter "generation" beside them. A poster trusts the counter only where the accounts that may
// change the folder, and they alone, may write it, and only this account or root; elsewhere it looks at
// the folder's change time, which the kernel alone sets, at each post. A listing removes the files of
// processes that are gone.
class NotifyReceivers {
public:
    struct Receiver {
        int processID { 0 };
        // The account the socket belongs to; its table must belong to it too.
        uid_t owner { 0 };
        std::string socketPath; // machine paths
        std::string tablePath;
        sockaddr_un address {};
        sockaddr_un dropAddress {};
        ino_t socketInode { 0 };
        // A datagram socket connected to the receiver's, so that a post looks no path up; not open when
        // it could not be connected.
        FileDescriptor connection;
        // Null for a socket without a usable table: it is sent every name, uncounted.
        std::unique_ptr<ObserverTable> table;
        // When a post to it was last dropped because its queue stayed full.
        std::chrono::steady_clock::time_point droppedAt {};

        // Connects anew, for a receiver whose socket was made again since (its process, or another
        // with the same id). False when nobody reads there, or this account may not post there.
        bool reconnect();
    };

    NotifyReceivers() = default;
    ~NotifyReceivers();

    NotifyReceivers(const NotifyReceivers&) = delete;
    NotifyReceivers& operator=(const NotifyReceivers&) = delete;

    // The receivers on the device folder at this machine path, looked up anew when they changed.
    std::vector<Receiver>& current(const std::string& folder);
    // False when the folder is there but this account may not list it: a post reaches nobody there.
    bool isFolderReadable() const { return folderReadable; }
    // A receiver whose process is gone: its files go.
    void forget(const Receiver& receiver);

    // Tells every poster of the device folder that a file came, went or was replaced there.
    static void announceChange(const std::string& folder);

private:
    bool folderChanged();
    void list();
    void mapGeneration();

    std::string listedFolder;
    std::vector<Receiver> receivers;
    bool listed { false };
    // The folder as listed last; closed when it is not there.
    FileDescriptor heldFolder;
    // The folder's counter, where it is trusted; its value when the folder was listed.
    std::uint64_t* generation { nullptr };
    std::uint64_t listedGeneration { 0 };
    // The folder's change time at the last listing, and whether every later change moves it away from
    // that (a change within the same tick of the clock may not).
    timespec listedChange {};
    bool listedChangeIsPast { false };
    bool folderReadable { true };
};
