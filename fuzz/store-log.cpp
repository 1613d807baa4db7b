// The dynamic store's log, as every process of a device reads it and the next writer appends to it:
// whatever the file holds (a record cut short, a broken checksum, bytes that are no records), a reader
// takes the whole records before the first that is not one, and a write keeps them and adds its own.
// When another hand then puts the same bytes back in place of the log, in the same file, a process that
// had read it reads what a new process reads once the next write is made.
// An input starting with "!" is the whole file; any other follows the log's header.
#include "DynamicStoreLog.h"
#include "FuzzCheck.h"
#include "FuzzDevice.h"
#include "StoreRecord.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

constexpr const char* writtenKey = "State:/Network/Service/fuzz/DNS";

void replaceLog(std::string_view bytes)
{
    std::filesystem::path path = FuzzDevice::shared().path(DynamicStoreLog::devicePath);
    std::filesystem::create_directories(path.parent_path());
    // A new file each time, as a compaction would leave it: readers open it anew.
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The same file emptied and written again, as another hand would.
void rewriteInPlace(std::string_view bytes)
{
    std::filesystem::path path = FuzzDevice::shared().path(DynamicStoreLog::devicePath);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Each record read encodes back to the bytes it was read from.
void checkRecordsEncodeAsRead(std::string_view records)
{
    std::size_t offset = 0;
    StoreRecord record;
    while (true) {
        std::size_t start = offset;
        if (StoreRecord::read(records, offset, record) != StoreRecord::Reading::Complete)
            return;
        fuzzCheck(offset > start, "a record read moves past its bytes");
        StoreRecord again;
        std::string encoded = record.encoded();
        std::size_t encodedOffset = 0;
        fuzzCheck(StoreRecord::read(encoded, encodedOffset, again) == StoreRecord::Reading::Complete &&
                      encodedOffset == encoded.size(),
                  "an encoded record reads back whole");
        fuzzCheck(again.encoded() == encoded, "a record reads back as it was encoded");
    }
}

// The store as records, which compare as bytes (a real that is not a number equals nothing, not even
// itself).
std::string encoded(const PropertyListDictionary& store)
{
    std::string records;
    for (const auto& [key, value] : store)
        records += StoreRecord { key, value }.encoded();
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    bool wholeFile = input.starts_with('!');
    std::string file = wholeFile ? std::string(input.substr(1)) : std::string(DynamicStoreLog::header) + std::string(input);
    replaceLog(file);
    if (!wholeFile)
        checkRecordsEncodeAsRead(input);

    DynamicStoreLog longLived;
    PropertyListDictionary before = longLived.contents();

    PropertyList written(PropertyListDictionary { { "ServerAddresses", PropertyList(PropertyListArray { PropertyList("10.0.0.1") }) } });
    DynamicStoreLog writer;
    fuzzCheck(writer.change(writtenKey, written) != DynamicStoreLog::Change::Failed, "a write to any log succeeds");

    PropertyListDictionary after = DynamicStoreLog().contents();
    fuzzCheck(after.contains(writtenKey) && after.at(writtenKey) == written, "a write is read back");
    // A file that is no store log is replaced by a new one; otherwise everything read before is kept.
    if (file.starts_with(DynamicStoreLog::header)) {
        after.erase(writtenKey);
        before.erase(writtenKey);
        fuzzCheck(encoded(after) == encoded(before), "a write keeps every key read before it");
    }
    fuzzCheck(encoded(longLived.contents()) == encoded(DynamicStoreLog().contents()),
              "a process that had read the log reads it as a new one does");

    rewriteInPlace(file);
    PropertyList again(PropertyListDictionary { { "ServerAddresses", PropertyList(PropertyListArray { PropertyList("10.0.0.2") }) } });
    fuzzCheck(writer.change(writtenKey, again) != DynamicStoreLog::Change::Failed,
              "a write to a log put back in place succeeds");
    PropertyListDictionary fresh = DynamicStoreLog().contents();
    fuzzCheck(fresh.contains(writtenKey) && fresh.at(writtenKey) == again,
              "a write to a log put back in place is read back");
    fuzzCheck(encoded(longLived.contents()) == encoded(fresh),
              "a process that had read the log put back reads it as a new one does");
    return 0;
}
