#include "DynamicStoreLog.h"

#include "CurrentProcess.h"
#include "DescriptorWrites.h"
#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "StoreRecord.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view logHeader = DynamicStoreLog::header;
constexpr const char* storeFolder = "/var/run/configd";
// The whole store as one property list, as earlier versions kept it; taken over by the first write.
constexpr const char* earlierStorePath = "/var/run/configd/store.plist";
constexpr const char* earlierGenerationPath = "/var/run/configd/store.generation";
// Records beyond the live keys that a log may hold before it is compacted: compaction costs a write of
// the whole store, so it comes once per that many changes at most.
constexpr std::size_t compactionSlack = 4096;
// The most read at once past what was read before, whatever size the log has: the largest record fits.
constexpr std::size_t readPiece = StoreRecord::frameSize + StoreRecord::maximumBodySize;
constexpr std::size_t firstPiece = 4096;
constexpr mode_t writableByOthers = S_IWGRP | S_IWOTH;

// Whether no account but this process's and root may change the file or folder: then whatever it holds
// was put there by one of them.
bool trusted(const struct stat& status)
{
    return (status.st_uid == geteuid() || status.st_uid == 0) && (status.st_mode & writableByOthers) == 0;
}

bool trustedFolder(const std::string& machinePath)
{
    struct stat status {};
    return lstat(machinePath.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && trusted(status);
}

// The store's folder, made when missing, writable by its owner alone. False, with a line in the log,
// when another account may change what it holds: such a store is read, never written.
bool prepareFolder()
{
    std::string folder = DeviceRoot::resolve(storeFolder);
    NSFileManager::defaultManager().createDirectoryAtPath(std::filesystem::path(storeFolder).parent_path().string());
    // Made with its mode whatever the umask: every account reads the store, its owner alone writes it.
    if (mkdir(folder.c_str(), 0755) == 0)
        chmod(folder.c_str(), 0755);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        NSLog("SCDynamicStore: %@ is no folder; the store cannot be written", folder);
        return false;
    }
    // A folder of this account's that a wide umask left open to others is made its own again.
    if (status.st_uid == geteuid() && (status.st_mode & writableByOthers) != 0
        && chmod(folder.c_str(), status.st_mode & 07755) == 0)
        status.st_mode &= 07755;
    if (!trusted(status)) {
        NSLog("SCDynamicStore: %@ can be changed by an account other than this one and root; the store is not written",
              folder);
        return false;
    }
    return true;
}

// The counter is mapped only where no account but this process's and root may change it: a counter
// file cut short under its mapping would end the process.
std::unique_ptr<SharedCounter> mapChangeCounter(bool create)
{
    if (!trustedFolder(DeviceRoot::resolve(storeFolder)))
        return nullptr;
    std::string path = DeviceRoot::resolve(DynamicStoreLog::changesDevicePath);
    auto counter = SharedCounter::map(path, create, 0644);
    // In a folder that only this account and root change, the file at the path is the one mapped.
    struct stat status {};
    if (!counter || lstat(path.c_str(), &status) != 0 || !trusted(status))
        return nullptr;
    return counter;
}

// A new log holding the given keys, written aside and renamed over the one at the path: readers see the
// old log or the new one, whole.
bool replaceLog(const std::string& path, const PropertyListDictionary& keys)
{
    std::string content(logHeader);
    for (const auto& [key, value] : keys)
        content += StoreRecord { key, value }.encoded();
    std::string aside = path + ".new";
    int fresh = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    bool written = fresh >= 0 && fchmod(fresh, 0644) == 0 && writeFullyAt(fresh, content, 0);
    if (fresh >= 0)
        close(fresh);
    if (!written || rename(aside.c_str(), path.c_str()) != 0) {
        unlink(aside.c_str());
        return false;
    }
    return true;
}

bool holds(const PropertyList* current, const std::optional<PropertyList>& expected)
{
    if (!expected)
        return !current;
    return current && *current == *expected;
}

} // namespace

DynamicStoreLog::~DynamicStoreLog()
{
    forget();
}

void DynamicStoreLog::forget()
{
    closeLog();
    if (lockDescriptor >= 0)
        close(lockDescriptor);
    lockDescriptor = -1;
    changes.reset();
    seenChanges.reset();
}

void DynamicStoreLog::closeLog()
{
    if (logDescriptor >= 0)
        close(logDescriptor);
    logDescriptor = -1;
    logDevice = 0;
    logInode = 0;
    logEnd = 0;
    readAnew();
}

void DynamicStoreLog::readAnew()
{
    loaded.clear();
    lastRecordStart = 0;
    lastRecordFrame.clear();
    readEnd = 0;
    recordCount = 0;
}

// A process that moved to another device, or a child made by fork() that shares its parent's open
// files (and so its locks), starts over with files of its own.
bool DynamicStoreLog::prepare()
{
    std::string current = DeviceRoot::resolve(devicePath);
    if (current != logPath || owner != CurrentProcess::identifier()) {
        forget();
        logPath = current;
        owner = CurrentProcess::identifier();
    }
    return !logPath.empty();
}

bool DynamicStoreLog::openForWriting()
{
    if (lockDescriptor >= 0 && changes)
        return true;
    if (!prepareFolder() || !openLock())
        return false;
    if (!changes)
        changes = mapChangeCounter(true);
    // Without the counter, other processes would never look for a change.
    if (!changes) {
        NSLog("SCDynamicStore: cannot map %@ as its owner alone may change it; the store is not written",
              DeviceRoot::resolve(changesDevicePath));
        return false;
    }
    return true;
}

// Only accounts that may write the store can open its lock file, and so take the lock.
bool DynamicStoreLog::openLock()
{
    if (lockDescriptor >= 0)
        return true;
    std::string path = DeviceRoot::resolve(lockDevicePath);
    int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        NSLog("SCDynamicStore: cannot open %@: %@; the store is not written", path, std::strerror(errno));
        return false;
    }
    struct stat status {};
    bool usable = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    // Earlier versions let every account read it, and so lock it.
    if (usable && (status.st_mode & 077) != 0 && status.st_uid == geteuid() && fchmod(descriptor, 0600) == 0)
        status.st_mode &= ~static_cast<mode_t>(077);
    if (!usable || !trusted(status)) {
        NSLog("SCDynamicStore: %@ is not a file that only this account and root change; the store is not written", path);
        close(descriptor);
        return false;
    }
    lockDescriptor = descriptor;
    return true;
}

// No writer holds the lock for long: one that holds it past the patience is stopped or hung, and the
// write that waits for it fails rather than go on without it.
bool DynamicStoreLog::lock()
{
    auto deadline = std::chrono::steady_clock::now() + lockPatience;
    auto pause = std::chrono::microseconds(50);
    while (flock(lockDescriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            NSLog("SCDynamicStore: cannot lock %@: %@; the change is not made", DeviceRoot::resolve(lockDevicePath),
                  std::strerror(errno));
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            NSLog("SCDynamicStore: %@ was held by another process for %@ seconds; the change is not made",
                  DeviceRoot::resolve(lockDevicePath), std::chrono::duration<double>(lockPatience).count());
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    return true;
}

// Opens the log at the store's path when it is another file than the one open (a compaction replaced
// it), reading it from the start.
bool DynamicStoreLog::openLog(bool create)
{
    struct stat status {};
    if (stat(logPath.c_str(), &status) != 0) {
        if (!create) {
            closeLog();
            return false;
        }
        // The store an earlier version kept as one property list is carried over.
        if (!replaceLog(logPath, dictionaryWithContentsOfFile(earlierStorePath).value_or(PropertyListDictionary {})))
            return false;
        NSFileManager::defaultManager().removeItemAtPath(earlierStorePath);
        NSFileManager::defaultManager().removeItemAtPath(earlierGenerationPath);
        if (stat(logPath.c_str(), &status) != 0)
            return false;
    }
    if (logDescriptor >= 0 && status.st_dev == logDevice && status.st_ino == logInode)
        return true;
    closeLog();
    // Never through a link, and never held up by a file that is no file.
    logDescriptor = open(logPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (logDescriptor < 0 && errno == EACCES)
        logDescriptor = open(logPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (logDescriptor < 0 || fstat(logDescriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        closeLog();
        return false;
    }
    logDevice = status.st_dev;
    logInode = status.st_ino;
    return true;
}

// Applies the records appended since the last read. Each read starts with the last whole record read
// before (the header when none was): when it is no longer there as it was, another hand changed the log
// under this process (cut it, emptied it, wrote over it), which then reads it anew. So a writer appends
// at the end of the records every reader reads. False when the file is no store log.
bool DynamicStoreLog::readNewRecords()
{
    // Most reads find a few records; a larger piece is read only for a larger record.
    std::size_t ahead = firstPiece;
    for (;;) {
        // What was read before, and is read again to be sure it is still there.
        std::size_t known = readEnd == 0 ? 0 : static_cast<std::size_t>(readEnd - lastRecordStart);
        std::size_t wanted = known + ahead;
        auto buffer = std::make_unique_for_overwrite<char[]>(wanted);
        ssize_t count = pread(logDescriptor, buffer.get(), wanted, lastRecordStart);
        if (count < 0)
            return true;
        std::string_view bytes(buffer.get(), static_cast<std::size_t>(count));
        bool toTheEnd = bytes.size() < wanted;
        logEnd = lastRecordStart + count;
        if (readEnd == 0) {
            if (bytes.size() < logHeader.size())
                return bytes == logHeader.substr(0, bytes.size());
            if (bytes.substr(0, logHeader.size()) != logHeader)
                return false;
            readEnd = static_cast<off_t>(logHeader.size());
            known = logHeader.size();
        } else if (bytes.size() < known || !stillThere(bytes.substr(0, known))) {
            readAnew();
            continue;
        }
        std::size_t offset = known;
        std::size_t lastStart = 0;
        StoreRecord record;
        StoreRecord::Reading reading = StoreRecord::Reading::Incomplete;
        for (std::size_t start = offset; (reading = StoreRecord::read(bytes, offset, record)) == StoreRecord::Reading::Complete;
             start = offset) {
            if (record.value)
                loaded.insert_or_assign(std::move(record.key), std::move(*record.value));
            else
                loaded.erase(record.key);
            ++recordCount;
            lastStart = start;
        }
        if (offset > known) {
            lastRecordFrame = std::string(bytes.substr(lastStart, StoreRecord::frameSize));
            readEnd = lastRecordStart + static_cast<off_t>(offset);
            lastRecordStart += static_cast<off_t>(lastStart);
        }
        // What follows is a record cut short at the end of the log, or no record: it is left to the next
        // writer to cut off.
        if (toTheEnd || reading == StoreRecord::Reading::Invalid)
            return true;
        // A record longer than what was read: it is read whole next time.
        if (offset == known)
            ahead = std::min(ahead * 2, readPiece);
    }
}

// Whether the bytes read from where the last whole record read starts are still that record (the
// header, when none was read).
bool DynamicStoreLog::stillThere(std::string_view bytes) const
{
    if (lastRecordFrame.empty())
        return bytes == logHeader;
    return bytes.substr(0, StoreRecord::frameSize) == lastRecordFrame && StoreRecord::isWhole(bytes);
}

const PropertyListDictionary& DynamicStoreLog::contents()
{
    if (!prepare())
        return loaded;
    if (!changes)
        changes = mapChangeCounter(false);
    // Taken before the log is read: a change appended meanwhile moves it on, and is read next time.
    std::optional<std::uint64_t> now = changes ? std::optional(changes->value()) : std::nullopt;
    if (now && now == seenChanges && logDescriptor >= 0)
        return loaded;
    seenChanges.reset();
    if (!openLog(false)) {
        // No log yet: what an earlier version kept, until the first write takes it over.
        loaded = dictionaryWithContentsOfFile(earlierStorePath).value_or(PropertyListDictionary {});
        return loaded;
    }
    seenChanges = now;
    if (!readNewRecords())
        NSLog("SCDynamicStore: %@ is not a store log; it reads as empty", logPath);
    return loaded;
}

DynamicStoreLog::Change DynamicStoreLog::change(const std::string& key, const std::optional<PropertyList>& value)
{
    return write(key, value, nullptr);
}

DynamicStoreLog::Change DynamicStoreLog::changeIf(const std::string& key, const std::optional<PropertyList>& value,
                                                  const std::optional<PropertyList>& expected)
{
    return write(key, value, &expected);
}

DynamicStoreLog::Change DynamicStoreLog::write(const std::string& key, const std::optional<PropertyList>& value,
                                               const std::optional<PropertyList>* expected)
{
    if (!prepare())
        return Change::Failed;
    // Made before the lock is taken, so that it is held for the write alone.
    std::string record = StoreRecord { key, value }.encoded();
    if (record.empty()) {
        NSLog("SCDynamicStore: %@: the value is larger than the store keeps (%@ MiB); it is not stored", key,
              static_cast<int>(StoreRecord::maximumBodySize >> 20));
        return Change::Failed;
    }
    if (!openForWriting() || !lock())
        return Change::Failed;
    Change outcome = writeLocked(key, value, expected, record);
    flock(lockDescriptor, LOCK_UN);
    return outcome;
}

DynamicStoreLog::Change DynamicStoreLog::writeLocked(const std::string& key, const std::optional<PropertyList>& value,
                                                     const std::optional<PropertyList>* expected, const std::string& record)
{
    // A log shorter than its header (emptied by another hand: logs are made whole) is no log either.
    bool readable = openLog(true) && readNewRecords() && readEnd >= static_cast<off_t>(logHeader.size());
    if (!readable && logDescriptor >= 0) {
        NSLog("SCDynamicStore: %@ is not a store log; a new one replaces it", logPath);
        unlink(logPath.c_str());
        readable = openLog(true) && readNewRecords();
    }
    if (!readable)
        return Change::Failed;
    auto entry = loaded.find(key);
    const PropertyList* current = entry == loaded.end() ? nullptr : &entry->second;
    Change outcome = Change::Made;
    if (expected && !holds(current, *expected))
        outcome = Change::Refused;
    else if (holds(current, value))
        outcome = Change::Unchanged;
    else if (!append(key, value, record))
        outcome = Change::Failed;
    if (outcome == Change::Made)
        changes->increment();
    // Under the lock nobody else counts: what is loaded is the store as of this count.
    seenChanges = changes->value();
    return outcome;
}

bool DynamicStoreLog::append(const std::string& key, const std::optional<PropertyList>& value, const std::string& record)
{
    // Whatever lies past the last whole record is one cut short by a writer that was killed. The caller
    // has just read the log under the lock, so its end is known.
    if (readEnd < static_cast<off_t>(logHeader.size()) || (logEnd > readEnd && ftruncate(logDescriptor, readEnd) != 0))
        return false;
    if (!writeFullyAt(logDescriptor, record, readEnd)) {
        [[maybe_unused]] int cut = ftruncate(logDescriptor, readEnd);
        return false;
    }
    lastRecordStart = readEnd;
    readEnd += static_cast<off_t>(record.size());
    logEnd = readEnd;
    lastRecordFrame = record.substr(0, StoreRecord::frameSize);
    ++recordCount;
    if (value)
        loaded.insert_or_assign(key, *value);
    else
        loaded.erase(key);
    if (recordCount > 4 * loaded.size() + compactionSlack && !compact())
        NSLog("SCDynamicStore: cannot compact %@; it goes on growing", logPath);
    return true;
}

// The live keys into a new log, renamed over the old one; the caller holds the exclusive lock.
bool DynamicStoreLog::compact()
{
    return replaceLog(logPath, loaded) && openLog(false) && readNewRecords();
}
