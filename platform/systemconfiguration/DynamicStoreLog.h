#pragma once

#include "PropertyList.h"
#include "SharedCounter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// The dynamic store's data, shared by every process of a device: a log of changes in the device file
// "/var/run/configd/store.log". A change appends one record under an exclusive lock on
// "/var/run/configd/store.lock", so it costs the same however large the store is; every process keeps
// the store in memory and reads only the records appended since it last looked, which a counter that
// every writer counts up, "/var/run/configd/store.changes", tells without a look at the file (a read of
// an unchanged store costs no system call). When the log has grown
// well past what it holds, the writer that notices writes the live keys into a new log and renames it
// over the old one; readers see the new file and read it whole. A log that shrank under a process
// (cut or emptied by another hand) is read anew from its start.
//
// Readers take no lock: a record is framed and checksummed, so one still being written reads as not
// there yet. Writers are the store's owner (the account that made its folder) and root: the folder and
// the counter are writable by their owner alone, the lock file readable by its owner alone, so no other
// account can take the lock, and a write that cannot have it within `lockPatience` fails. The counter
// is mapped only where no account but this process's and root may change it; a writer that cannot map
// it makes no change. A value whose record no reader would take is refused.
//
// A writer killed while appending leaves a record cut short: readers stop before it, and the next writer
// cuts it off before appending. A writer killed while compacting leaves the old log whole.
class DynamicStoreLog {
public:
    static constexpr const char* devicePath = "/var/run/configd/store.log";
    static constexpr const char* lockDevicePath = "/var/run/configd/store.lock";
    static constexpr const char* changesDevicePath = "/var/run/configd/store.changes";
    // The first bytes of every log; a file without them is no store log.
    static constexpr std::string_view header = "TarvikDNS dynamic store log 1\n";
    // The longest a writer waits for the lock: no write holds it that long.
    static constexpr std::chrono::milliseconds lockPatience { 2000 };

    DynamicStoreLog() = default;
    ~DynamicStoreLog();

    DynamicStoreLog(const DynamicStoreLog&) = delete;
    DynamicStoreLog& operator=(const DynamicStoreLog&) = delete;

    // The store as it is now; empty when there is no log yet.
    const PropertyListDictionary& contents();

    enum class Change { Made, Unchanged, Refused, Failed };
    // Sets a key, or removes it when the value is null. Nothing is written when nothing would change.
    Change change(const std::string& key, const std::optional<PropertyList>& value);
    // The same, only while the key holds `expected` (null: while it is absent), as the writers' lock
    // lets this writer see it; Refused when it holds something else.
    Change changeIf(const std::string& key, const std::optional<PropertyList>& value,
                    const std::optional<PropertyList>& expected);

private:
    // `expected` null: whatever the key holds.
    Change write(const std::string& key, const std::optional<PropertyList>& value, const std::optional<PropertyList>* expected);
    Change writeLocked(const std::string& key, const std::optional<PropertyList>& value,
                       const std::optional<PropertyList>* expected, const std::string& record);
    bool prepare();
    void forget();
    void closeLog();
    bool openForWriting();
    bool openLock();
    bool lock();
    bool openLog(bool create);
    bool readNewRecords();
    bool stillThere(std::string_view bytes) const;
    void readAnew();
    bool append(const std::string& key, const std::optional<PropertyList>& value, const std::string& record);
    bool compact();

    std::string logPath; // the machine path of the device's log
    pid_t owner { 0 };
    int logDescriptor { -1 };
    int lockDescriptor { -1 };
    dev_t logDevice { 0 };
    ino_t logInode { 0 };
    // The log up to here has been read; from here on lie records not yet read, or one cut short.
    off_t readEnd { 0 };
    // Where the last whole record read starts (the header, when none was), and its frame.
    off_t lastRecordStart { 0 };
    std::string lastRecordFrame;
    // The log's size when it was last read or written.
    off_t logEnd { 0 };
    std::size_t recordCount { 0 };
    PropertyListDictionary loaded;
    std::unique_ptr<SharedCounter> changes;
    // The count of changes `loaded` holds; null when it is not known.
    std::optional<std::uint64_t> seenChanges;
};
