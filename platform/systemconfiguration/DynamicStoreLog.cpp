#include "DynamicStoreLog.h"

#include "CurrentProcess.h"
#include "DescriptorWrites.h"
#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "StoreRecord.h"

#include <cerrno>
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

// A new log holding the given keys, written aside and renamed over the one at the path: readers see the
// old log or the new one, whole.
bool replaceLog(const std::string& path, const PropertyListDictionary& keys)
{
    std::string content(logHeader);
    for (const auto& [key, value] : keys)
        content += StoreRecord { key, value }.encoded();
    std::string aside = path + ".new";
    int fresh = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool written = fresh >= 0 && writeFullyAt(fresh, content, 0);
    if (fresh >= 0)
        close(fresh);
    if (!written || rename(aside.c_str(), path.c_str()) != 0) {
        unlink(aside.c_str());
        return false;
    }
    return true;
}

} // namespace

DynamicStoreLog::~DynamicStoreLog()
{
    forget();
}

void DynamicStoreLog::forget()
{
    for (int* descriptor : { &logDescriptor, &lockDescriptor }) {
        if (*descriptor >= 0)
            close(*descriptor);
        *descriptor = -1;
    }
    logDevice = 0;
    logInode = 0;
    readEnd = 0;
    logEnd = 0;
    recordCount = 0;
    loaded.clear();
    changes.reset();
    seenChanges.reset();
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

bool DynamicStoreLog::lock(int operation)
{
    if (lockDescriptor < 0) {
        std::string path = DeviceRoot::resolve(lockDevicePath);
        lockDescriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (lockDescriptor < 0 && errno == ENOENT && NSFileManager::defaultManager().createDirectoryAtPath(storeFolder))
            lockDescriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        // An account that may not write the lock file can still lock it.
        if (lockDescriptor < 0 && errno == EACCES)
            lockDescriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (lockDescriptor < 0)
            return false;
    }
    int result;
    do
        result = flock(lockDescriptor, operation);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Opens the log at the store's path when it is another file than the one open (a compaction replaced
// it), reading it from the start.
bool DynamicStoreLog::openLog(bool create)
{
    struct stat status {};
    if (stat(logPath.c_str(), &status) != 0) {
        if (!create) {
            if (logDescriptor >= 0)
                forget();
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
    if (logDescriptor >= 0)
        close(logDescriptor);
    loaded.clear();
    readEnd = 0;
    logEnd = 0;
    recordCount = 0;
    logDescriptor = open(logPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (logDescriptor < 0 && errno == EACCES)
        logDescriptor = open(logPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (logDescriptor < 0 || fstat(logDescriptor, &status) != 0) {
        forget();
        return false;
    }
    logDevice = status.st_dev;
    logInode = status.st_ino;
    return true;
}

// Applies the records appended since the last read. False when the file is no store log.
bool DynamicStoreLog::readNewRecords()
{
    struct stat status {};
    if (fstat(logDescriptor, &status) != 0)
        return false;
    logEnd = status.st_size;
    if (status.st_size <= readEnd)
        return true;
    std::string bytes(static_cast<std::size_t>(status.st_size - readEnd), '\0');
    ssize_t count = pread(logDescriptor, bytes.data(), bytes.size(), readEnd);
    if (count <= 0)
        return true;
    bytes.resize(static_cast<std::size_t>(count));
    std::size_t offset = 0;
    if (readEnd == 0) {
        if (bytes.size() < logHeader.size())
            return std::string_view(bytes) == logHeader.substr(0, bytes.size());
        if (std::string_view(bytes).substr(0, logHeader.size()) != logHeader)
            return false;
        offset = logHeader.size();
    }
    StoreRecord record;
    while (StoreRecord::read(bytes, offset, record) == StoreRecord::Reading::Complete) {
        if (record.value)
            loaded.insert_or_assign(std::move(record.key), std::move(*record.value));
        else
            loaded.erase(record.key);
        ++recordCount;
    }
    readEnd += static_cast<off_t>(offset);
    return true;
}

const PropertyListDictionary& DynamicStoreLog::contents()
{
    if (!prepare())
        return loaded;
    if (!changes)
        changes = SharedCounter::map(DeviceRoot::resolve(changesDevicePath), false, 0644);
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
    struct stat status {};
    if (fstat(logDescriptor, &status) == 0 && status.st_size == readEnd)
        return loaded;
    // Under a shared lock no writer is half way through a record.
    bool locked = lock(LOCK_SH);
    if (!readNewRecords())
        NSLog("SCDynamicStore: %@ is not a store log; it reads as empty", logPath);
    if (locked)
        flock(lockDescriptor, LOCK_UN);
    return loaded;
}

DynamicStoreLog::Change DynamicStoreLog::change(const std::string& key, const std::optional<PropertyList>& value)
{
    if (!prepare())
        return Change::Failed;
    if (!lock(LOCK_EX))
        return Change::Failed;
    // Without the counter, other processes would never look for this change.
    if (!changes)
        changes = SharedCounter::map(DeviceRoot::resolve(changesDevicePath), true, 0644);
    Change outcome = Change::Failed;
    // A log shorter than its header (emptied by another hand: logs are made whole) is no log either.
    bool readable = changes && openLog(true) && readNewRecords() && readEnd >= static_cast<off_t>(logHeader.size());
    if (!readable && logDescriptor >= 0) {
        NSLog("SCDynamicStore: %@ is not a store log; a new one replaces it", logPath);
        unlink(logPath.c_str());
        readable = openLog(true) && readNewRecords();
    }
    if (readable) {
        auto entry = loaded.find(key);
        bool unchanged = value ? (entry != loaded.end() && entry->second == *value) : entry == loaded.end();
        if (unchanged)
            outcome = Change::Unchanged;
        else if (append(key, value))
            outcome = Change::Made;
        if (outcome == Change::Made)
            changes->increment();
        // Under the lock nobody else counts: what is loaded is the store as of this count.
        seenChanges = changes->value();
    }
    flock(lockDescriptor, LOCK_UN);
    return outcome;
}

bool DynamicStoreLog::append(const std::string& key, const std::optional<PropertyList>& value)
{
    // Whatever lies past the last whole record is one cut short by a writer that was killed. The caller
    // has just read the log under the lock, so its end is known.
    if (readEnd < static_cast<off_t>(logHeader.size()) || (logEnd > readEnd && ftruncate(logDescriptor, readEnd) != 0))
        return false;
    std::string record = StoreRecord { key, value }.encoded();
    if (!writeFullyAt(logDescriptor, record, readEnd)) {
        [[maybe_unused]] int cut = ftruncate(logDescriptor, readEnd);
        return false;
    }
    readEnd += static_cast<off_t>(record.size());
    logEnd = readEnd;
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
