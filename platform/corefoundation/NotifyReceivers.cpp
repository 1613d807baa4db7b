#include "NotifyReceivers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* socketSuffix = ".sock";
constexpr const char* tableSuffix = ".names";
constexpr const char* generationFileName = "generation";

} // namespace

NotifyReceivers::~NotifyReceivers() = default;

// Every account that observes moves the counter.
void NotifyReceivers::announceChange(const std::string& folder)
{
    if (auto counter = SharedCounter::map(folder + "/" + generationFileName, true, 0666))
        counter->increment();
}

void NotifyReceivers::mapGeneration()
{
    if (!generationCounter)
        generationCounter = SharedCounter::map(listedFolder + "/" + generationFileName, false, 0666);
}

std::uint64_t NotifyReceivers::generation() const
{
    return generationCounter ? generationCounter->value() : 0;
}

std::vector<NotifyReceivers::Receiver>& NotifyReceivers::current(const std::string& folder)
{
    if (folder != listedFolder) {
        generationCounter.reset();
        receivers.clear();
        listedFolder = folder;
        listed = false;
    }
    mapGeneration();
    // Without a counter nobody has observed on this device yet; the folder is looked at each time.
    if (!listed || !generationCounter || generation() != listedGeneration)
        list();
    for (auto& receiver : receivers) {
        if (receiver.table && receiver.table->isRetired())
            receiver.table = ObserverTable::open(receiver.tablePath);
    }
    return receivers;
}

void NotifyReceivers::list()
{
    // The counter is read first: a change made while the folder is read moves it again.
    listedGeneration = generation();
    listed = true;
    std::vector<Receiver> found;
    DIR* directory = opendir(listedFolder.c_str());
    while (dirent* entry = directory ? readdir(directory) : nullptr) {
        std::string_view name = entry->d_name;
        if (!name.ends_with(socketSuffix) || name.size() == std::strlen(socketSuffix))
            continue;
        Receiver receiver;
        std::string stem(name.substr(0, name.size() - std::strlen(socketSuffix)));
        receiver.processID = std::atoi(stem.c_str());
        // A process that is gone is found here, not only when a post it wanted cannot reach it.
        if (receiver.processID > 0 && kill(receiver.processID, 0) != 0 && errno == ESRCH) {
            unlink((listedFolder + "/" + std::string(name)).c_str());
            unlink((listedFolder + "/" + stem + tableSuffix).c_str());
            continue;
        }
        receiver.socketPath = listedFolder + "/" + std::string(name);
        receiver.tablePath = listedFolder + "/" + stem + tableSuffix;
        struct stat status {};
        if (receiver.socketPath.size() >= sizeof(receiver.address.sun_path) || lstat(receiver.socketPath.c_str(), &status) != 0)
            continue;
        receiver.address.sun_family = AF_UNIX;
        std::memcpy(receiver.address.sun_path, receiver.socketPath.c_str(), receiver.socketPath.size() + 1);
        receiver.socketInode = status.st_ino;
        // A receiver already known keeps its connection and its mapped table, unless it was made again.
        auto known = std::find_if(receivers.begin(), receivers.end(), [&](const Receiver& other) {
            return other.socketPath == receiver.socketPath && other.socketInode == receiver.socketInode;
        });
        if (known != receivers.end()) {
            receiver.connection = std::move(known->connection);
            if (known->table && !known->table->isRetired())
                receiver.table = std::move(known->table);
        }
        if (!receiver.connection.isOpen())
            receiver.reconnect();
        if (!receiver.table)
            receiver.table = ObserverTable::open(receiver.tablePath);
        found.push_back(std::move(receiver));
    }
    if (directory)
        closedir(directory);
    // In order of path, so that every poster reaches the receivers in the same order.
    std::sort(found.begin(), found.end(), [](const Receiver& a, const Receiver& b) { return a.socketPath < b.socketPath; });
    receivers = std::move(found);
}

void NotifyReceivers::forget(const Receiver& receiver)
{
    unlink(receiver.socketPath.c_str());
    unlink(receiver.tablePath.c_str());
    announceChange(listedFolder);
}

bool NotifyReceivers::Receiver::reconnect()
{
    connection.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connection.isOpen() && connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    connection.reset();
    return false;
}
