#include "NotifyReceivers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* socketSuffix = ".sock";
constexpr const char* tableSuffix = ".names";
constexpr const char* dropSuffix = ".drop";
// What an observing process makes in the folder, the table it writes aside included.
constexpr std::string_view fileSuffixes[] = { ".sock", ".names", ".names.new", ".drop" };

// The process an entry of the folder belongs to, when it is one of the files an observing process makes
// there; 0 for anything else.
int processOfEntry(std::string_view name)
{
    std::size_t dot = name.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot > 9)
        return 0;
    std::string_view stem = name.substr(0, dot);
    if (std::find(std::begin(fileSuffixes), std::end(fileSuffixes), name.substr(dot)) == std::end(fileSuffixes)
        || !std::all_of(stem.begin(), stem.end(), [](unsigned char character) { return std::isdigit(character); }))
        return 0;
    return std::atoi(std::string(stem).c_str());
}

bool isGone(int processID)
{
    return kill(processID, 0) != 0 && errno == ESRCH;
}

bool fillAddress(sockaddr_un& address, const std::string& machinePath)
{
    if (machinePath.size() >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, machinePath.c_str(), machinePath.size() + 1);
    return true;
}

std::chrono::nanoseconds sinceEpoch(const timespec& time)
{
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

// Whether every change to the folder from `now` on stamps it with a change time other than `changed`.
// The kernel stamps with its coarse clock, which moves a tick at a time; some file systems keep whole
// seconds only, or hundredths.
bool isWellPast(const timespec& changed, const timespec& now)
{
    std::chrono::nanoseconds margin { 0 };
    if (changed.tv_nsec == 0)
        margin = std::chrono::seconds(2);
    else if (changed.tv_nsec % 1000000 == 0)
        margin = std::chrono::milliseconds(20);
    return sinceEpoch(changed) + margin < sinceEpoch(now);
}

constexpr const char* generationFileName = "generation";

// A value no poster has seen: whoever writes one at the same moment writes another.
std::uint64_t freshGeneration()
{
    static std::atomic<std::uint64_t> written { 0 };
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t value = static_cast<std::uint64_t>(getpid()) << 40 ^ static_cast<std::uint64_t>(now.tv_sec) << 30
        ^ static_cast<std::uint64_t>(now.tv_nsec) ^ ++written << 52;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// The counter belongs to the folder's owner, so that every account that may change the folder may write
// it: that owner, and root.
int createGeneration(const std::string& folder, const std::string& path)
{
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return errno == EEXIST ? open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    fchmod(descriptor, 0644);
    struct stat folderStatus {};
    if (stat(folder.c_str(), &folderStatus) == 0 && folderStatus.st_uid != geteuid())
        [[maybe_unused]] int ignored = fchown(descriptor, folderStatus.st_uid, static_cast<gid_t>(-1));
    return descriptor;
}

// Whether the counter moves at every change of the folder (everybody who may change the folder may
// write it, and nobody else), and may be mapped (its writers are this account or root, who would not
// cut it short under this process).
bool isTrustedGeneration(const struct stat& folder, const struct stat& counter)
{
    constexpr mode_t othersWrite = S_IWGRP | S_IWOTH;
    return S_ISREG(counter.st_mode) && counter.st_size >= static_cast<off_t>(sizeof(std::uint64_t))
        && counter.st_uid == folder.st_uid && (counter.st_uid == geteuid() || counter.st_uid == 0)
        && (folder.st_mode & othersWrite) == 0 && (counter.st_mode & othersWrite) == 0;
}

} // namespace

NotifyReceivers::~NotifyReceivers()
{
    if (generation)
        munmap(generation, sizeof(std::uint64_t));
}

void NotifyReceivers::announceChange(const std::string& folder)
{
    std::string path = folder + "/" + generationFileName;
    FileDescriptor counter(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!counter.isOpen() && errno == ENOENT)
        counter.reset(createGeneration(folder, path));
    struct stat status {};
    if (!counter.isOpen() || fstat(counter.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    // One that an earlier version made writable by every account, made trustworthy again.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && status.st_uid == geteuid())
        fchmod(counter.get(), 0644);
    std::uint64_t value = freshGeneration();
    [[maybe_unused]] auto written = pwrite(counter.get(), &value, sizeof value, 0);
}

std::vector<NotifyReceivers::Receiver>& NotifyReceivers::current(const std::string& folder)
{
    if (folder != listedFolder) {
        receivers.clear();
        listedFolder = folder;
        listed = false;
        heldFolder.reset();
    }
    if (folderChanged())
        list();
    for (auto& receiver : receivers) {
        if (!receiver.table)
            continue;
        receiver.table->look();
        if (receiver.table->isRetired())
            receiver.table = ObserverTable::open(receiver.tablePath, receiver.owner);
    }
    return receivers;
}

// Every receiver that comes, goes or replaces its table adds, removes or renames a file in the folder,
// which moves the counter where it is trusted, and the folder's change time, which no account can set.
bool NotifyReceivers::folderChanged()
{
    if (generation)
        return !listed || std::atomic_ref<std::uint64_t>(*generation).load(std::memory_order_acquire) != listedGeneration;
    // The clock before the folder: a change made after this moment is stamped no earlier.
    timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    // A folder removed or renamed away has its change time moved too.
    struct stat status {};
    if (!heldFolder.isOpen() || fstat(heldFolder.get(), &status) != 0)
        return true;
    if (listed && listedChangeIsPast && status.st_ctim.tv_sec == listedChange.tv_sec && status.st_ctim.tv_nsec == listedChange.tv_nsec)
        return false;
    listedChange = status.st_ctim;
    listedChangeIsPast = isWellPast(status.st_ctim, now);
    return true;
}

void NotifyReceivers::list()
{
    listed = true;
    heldFolder.reset(open(listedFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // The counter before the folder: a change made while the folder is read moves it again.
    mapGeneration();
    if (generation)
        listedGeneration = std::atomic_ref<std::uint64_t>(*generation).load(std::memory_order_acquire);
    DIR* directory = opendir(listedFolder.c_str());
    folderReadable = directory || errno != EACCES;
    std::vector<std::string> sockets;
    std::map<int, bool> gone;
    bool removedAny = false;
    while (dirent* entry = directory ? readdir(directory) : nullptr) {
        std::string name = entry->d_name;
        int processID = processOfEntry(name);
        if (processID <= 0)
            continue;
        auto known = gone.find(processID);
        if (known == gone.end())
            known = gone.emplace(processID, isGone(processID)).first;
        // A process that is gone is found here, not only when a post it wanted cannot reach it; so is
        // a table it did not finish.
        if (known->second)
            removedAny |= unlink((listedFolder + "/" + name).c_str()) == 0;
        else if (name.ends_with(socketSuffix))
            sockets.push_back(name);
    }
    if (directory)
        closedir(directory);
    if (removedAny)
        announceChange(listedFolder);

    std::vector<Receiver> found;
    for (const auto& name : sockets) {
        Receiver receiver;
        std::string stem = name.substr(0, name.size() - std::strlen(socketSuffix));
        receiver.processID = std::atoi(stem.c_str());
        receiver.socketPath = listedFolder + "/" + name;
        receiver.tablePath = listedFolder + "/" + stem + tableSuffix;
        struct stat status {};
        if (!fillAddress(receiver.address, receiver.socketPath) || !fillAddress(receiver.dropAddress, listedFolder + "/" + stem + dropSuffix)
            || lstat(receiver.socketPath.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode))
            continue;
        receiver.owner = status.st_uid;
        receiver.socketInode = status.st_ino;
        // A receiver already known keeps its connection and its table, unless they were made again (a
        // process with the same id binds at the same path; its table is another file).
        auto known = std::find_if(receivers.begin(), receivers.end(), [&](const Receiver& other) {
            return other.socketPath == receiver.socketPath && other.socketInode == receiver.socketInode;
        });
        if (known != receivers.end()) {
            receiver.connection = std::move(known->connection);
            receiver.droppedAt = known->droppedAt;
            if (known->table && !known->table->isRetired() && known->table->isFileAt(receiver.tablePath))
                receiver.table = std::move(known->table);
        }
        if (!receiver.connection.isOpen())
            receiver.reconnect();
        if (!receiver.table)
            receiver.table = ObserverTable::open(receiver.tablePath, receiver.owner);
        found.push_back(std::move(receiver));
    }
    // In order of path, so that every poster reaches the receivers in the same order.
    std::sort(found.begin(), found.end(), [](const Receiver& a, const Receiver& b) { return a.socketPath < b.socketPath; });
    receivers = std::move(found);
}

void NotifyReceivers::mapGeneration()
{
    if (generation)
        munmap(generation, sizeof(std::uint64_t));
    generation = nullptr;
    struct stat folderStatus {};
    struct stat counterStatus {};
    if (!heldFolder.isOpen() || fstat(heldFolder.get(), &folderStatus) != 0)
        return;
    FileDescriptor counter(openat(heldFolder.get(), generationFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!counter.isOpen() || fstat(counter.get(), &counterStatus) != 0 || !isTrustedGeneration(folderStatus, counterStatus))
        return;
    void* mapping = mmap(nullptr, sizeof(std::uint64_t), PROT_READ, MAP_SHARED, counter.get(), 0);
    if (mapping != MAP_FAILED)
        generation = static_cast<std::uint64_t*>(mapping);
}

void NotifyReceivers::forget(const Receiver& receiver)
{
    unlink(receiver.socketPath.c_str());
    unlink(receiver.tablePath.c_str());
    unlink(receiver.dropAddress.sun_path);
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
