// An observer table's bytes, as a poster finds them beside another process's socket, and what they
// become while the poster holds the table. Whatever the file holds, a poster neither crashes nor reads
// outside it; a table that others may write is read anew at each post and never counted in, and one
// that is not a table has every name sent.
//
// The first byte chooses how the file may be written: by its account alone (the poster maps it; it then
// changes in place, as the only account that may write it could change it) or by every account (the
// poster reads it anew; it then changes to anything, its size too). The next two bytes give the length
// of the file's first bytes (least significant first); the rest is what the file holds afterwards.
#include "FuzzCheck.h"
#include "FuzzDevice.h"
#include "ObserverTable.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view tableMagic = "TDNSOBS2";
constexpr const char* askedNames[] = { "observed", "SCDynamicStore:State:/Network/Service/A/IPv4",
                                       "com.tarvik.dns/PreferencesChanged", "x" };

std::string tablePath()
{
    std::string folder = FuzzDevice::shared().path("/var/run/notifyd");
    std::filesystem::create_directories(folder);
    return folder + "/1.names";
}

void writeFile(const std::string& path, std::string_view bytes, mode_t mode)
{
    unlink(path.c_str());
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    fuzzCheck(descriptor >= 0, "the fuzz device takes the table");
    fchmod(descriptor, mode);
    fuzzCheck(write(descriptor, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "the table is written");
    close(descriptor);
}

// Writes over the file's bytes without changing its size.
void changeInPlace(const std::string& path, std::string_view bytes)
{
    int descriptor = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat status {};
    if (descriptor >= 0 && fstat(descriptor, &status) == 0) {
        std::size_t length = std::min(bytes.size(), static_cast<std::size_t>(status.st_size));
        fuzzCheck(pwrite(descriptor, bytes.data(), length, 0) == static_cast<ssize_t>(length), "the table is changed");
    }
    if (descriptor >= 0)
        close(descriptor);
}

bool hasTableMagic(const std::string& path)
{
    char magic[tableMagic.size()] {};
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool read = descriptor >= 0 && ::read(descriptor, magic, sizeof magic) == static_cast<ssize_t>(sizeof magic);
    if (descriptor >= 0)
        close(descriptor);
    return read && std::string_view(magic, sizeof magic) == tableMagic;
}

// Every question a poster asks at a post, as a poster asks it.
void post(ObserverTable& table, bool othersMayWrite, bool isTable)
{
    table.look();
    for (const char* name : askedNames) {
        std::uint64_t hash = ObserverTable::hashOf(name);
        auto interest = table.interestIn(name, hash);
        if (othersMayWrite)
            fuzzCheck(interest == ObserverTable::Interest::None || interest == ObserverTable::Interest::Uncounted,
                      "a table others may write is neither counted in nor trusted to hold posts back");
        if (othersMayWrite && !isTable)
            fuzzCheck(interest == ObserverTable::Interest::Uncounted, "a file that is no table has every name sent");
        if (interest == ObserverTable::Interest::Counted)
            table.countSent(hash, table.round());
    }
    table.isRetired();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    bool othersMayWrite = data[0] % 2 == 1;
    std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
    std::size_t firstLength = std::min<std::size_t>(rest.size(), data[1] | static_cast<std::size_t>(data[2]) << 8);
    std::string_view first = rest.substr(0, firstLength);
    std::string_view then = rest.substr(firstLength);

    std::string path = tablePath();
    writeFile(path, first, othersMayWrite ? 0666 : 0644);
    auto table = ObserverTable::open(path, geteuid());
    if (othersMayWrite)
        fuzzCheck(table != nullptr, "a file of the socket's account is read, whatever it holds");
    if (!table)
        return 0;
    post(*table, othersMayWrite, hasTableMagic(path));

    if (othersMayWrite) {
        fuzzCheck(truncate(path.c_str(), 0) == 0, "the table is emptied");
        int descriptor = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        fuzzCheck(descriptor >= 0 && write(descriptor, then.data(), then.size()) == static_cast<ssize_t>(then.size()),
                  "the table is rewritten");
        close(descriptor);
    } else {
        changeInPlace(path, then);
    }
    post(*table, othersMayWrite, hasTableMagic(path));
    return 0;
}
