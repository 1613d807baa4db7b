#include "ObserverTable.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char tableMagic[8] = { 'T', 'D', 'N', 'S', 'O', 'B', 'S', '2' };
constexpr std::uint32_t smallestCapacity = 256;
// Far beyond any table an owner makes; a larger number is not a table's.
constexpr std::uint32_t largestCapacity = 1U << 22;
constexpr std::size_t patternCount = 8;
constexpr std::size_t patternTextSize = 120;
// How far a poster looks for a name. An owner keeps its table half empty, so that a name is found
// within a few slots; a table that needs more is not trusted to say that a name is not observed.
constexpr std::uint32_t probeLimit = 32;

template<typename Value>
std::atomic_ref<Value> shared(Value& value)
{
    return std::atomic_ref<Value>(value);
}

} // namespace

struct ObserverTable::Pattern {
    std::uint32_t registrations;
    std::uint16_t prefixLength;
    std::uint16_t suffixLength;
    char text[patternTextSize];
};

struct ObserverTable::Header {
    char magic[8];
    std::uint32_t capacity;
    std::uint32_t retired;
    std::uint32_t used;
    // Moves each time the owner has read its socket.
    std::uint32_t round;
    Pattern patterns[patternCount];
};

struct ObserverTable::Slot {
    std::uint64_t hash;
    std::int32_t observers;
    std::int32_t pending;
    // The owner's round when the last counted post was sent: the count holds posts back in it alone.
    std::uint32_t round;
    std::uint32_t reserved;
};

ObserverTable::ObserverTable(int fileDescriptor, Access tableAccess)
    : descriptor(fileDescriptor)
    , access(tableAccess)
{
}

ObserverTable::~ObserverTable()
{
    if (base)
        munmap(base, size);
    if (descriptor >= 0)
        close(descriptor);
}

std::uint64_t ObserverTable::hashOf(std::string_view name)
{
    // FNV-1a, then mixed so that neighbouring names spread over the table; 0 marks a free slot.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char character : name) {
        hash ^= character;
        hash *= 0x100000001b3ULL;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return hash ? hash : 1;
}

ObserverTable::Header& ObserverTable::header() const
{
    return *static_cast<Header*>(base);
}

ObserverTable::Slot* ObserverTable::slots() const
{
    static_assert(sizeof(Header) % alignof(Slot) == 0);
    return reinterpret_cast<Slot*>(static_cast<char*>(base) + sizeof(Header));
}

// The capacity a header states, when a file of this size is a table of it; 0 otherwise.
std::uint32_t ObserverTable::validCapacity(Header& header, std::size_t fileSize)
{
    if (fileSize < sizeof(Header) || std::memcmp(header.magic, tableMagic, sizeof tableMagic) != 0)
        return 0;
    std::uint32_t stated = shared(header.capacity).load(std::memory_order_relaxed);
    if (!std::has_single_bit(stated) || stated > largestCapacity || fileSize != sizeof(Header) + std::size_t { stated } * sizeof(Slot))
        return 0;
    return stated;
}

std::unique_ptr<ObserverTable> ObserverTable::create(const std::string& machinePath)
{
    auto table = createAside(machinePath, smallestCapacity);
    if (!table || !table->placeAt(machinePath))
        return nullptr;
    return table;
}

// Written aside, at the path with ".new" added, so that a poster never finds a table that is half made.
std::unique_ptr<ObserverTable> ObserverTable::createAside(const std::string& machinePath, std::uint32_t capacity)
{
    std::string aside = machinePath + ".new";
    unlink(aside.c_str());
    int fileDescriptor = ::open(aside.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fileDescriptor < 0)
        return nullptr;
    std::unique_ptr<ObserverTable> table(new ObserverTable(fileDescriptor, Access::Owner));
    std::size_t fileSize = sizeof(Header) + std::size_t { capacity } * sizeof(Slot);
    void* mapping = MAP_FAILED;
    // Whatever the umask: every account may read what is observed, this one alone may change it.
    if (fchmod(fileDescriptor, 0644) == 0 && ftruncate(fileDescriptor, static_cast<off_t>(fileSize)) == 0)
        mapping = mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fileDescriptor, 0);
    if (mapping == MAP_FAILED) {
        unlink(aside.c_str());
        return nullptr;
    }
    table->base = mapping;
    table->size = fileSize;
    table->capacity = capacity;
    std::memcpy(table->header().magic, tableMagic, sizeof tableMagic);
    table->header().capacity = capacity;
    table->header().round = 1;
    return table;
}

bool ObserverTable::placeAt(const std::string& machinePath)
{
    std::string aside = machinePath + ".new";
    if (rename(aside.c_str(), machinePath.c_str()) == 0)
        return true;
    unlink(aside.c_str());
    return false;
}

std::unique_ptr<ObserverTable> ObserverTable::open(const std::string& machinePath, uid_t owner)
{
    // Without following a link, or waiting for a writer should it be a pipe.
    int fileDescriptor = ::open(machinePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fileDescriptor < 0)
        return nullptr;
    struct stat status {};
    if (fstat(fileDescriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != owner) {
        close(fileDescriptor);
        return nullptr;
    }
    uid_t self = geteuid();
    bool changedOnlyByTrusted = (status.st_uid == self || status.st_uid == 0) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (!changedOnlyByTrusted) {
        std::unique_ptr<ObserverTable> table(new ObserverTable(fileDescriptor, Access::Copying));
        table->look();
        return table;
    }
    if (status.st_uid == self) {
        // This account's own: opened again for counting, if it is still the same file.
        int writable = ::open(machinePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat again {};
        if (writable >= 0 && fstat(writable, &again) == 0 && again.st_dev == status.st_dev && again.st_ino == status.st_ino) {
            close(fileDescriptor);
            return map(writable, Access::Counting, static_cast<std::size_t>(again.st_size));
        }
        if (writable >= 0)
            close(writable);
    }
    return map(fileDescriptor, Access::Reading, static_cast<std::size_t>(status.st_size));
}

std::unique_ptr<ObserverTable> ObserverTable::map(int fileDescriptor, Access access, std::size_t fileSize)
{
    std::unique_ptr<ObserverTable> table(new ObserverTable(fileDescriptor, access));
    if (fileSize < sizeof(Header) || fileSize > sizeof(Header) + std::size_t { largestCapacity } * sizeof(Slot))
        return nullptr;
    int protection = access == Access::Reading ? PROT_READ : PROT_READ | PROT_WRITE;
    void* mapping = mmap(nullptr, fileSize, protection, MAP_SHARED, fileDescriptor, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    table->base = mapping;
    table->size = fileSize;
    table->capacity = validCapacity(table->header(), fileSize);
    return table->capacity ? std::move(table) : nullptr;
}

ObserverTable::Slot* ObserverTable::find(std::uint64_t hash, std::uint32_t limit, bool* stoppedShort) const
{
    std::uint32_t mask = capacity - 1;
    std::uint32_t index = static_cast<std::uint32_t>(hash) & mask;
    for (std::uint32_t probe = 0; probe < std::min(limit, capacity); ++probe, index = (index + 1) & mask) {
        Slot& slot = slots()[index];
        std::uint64_t held = shared(slot.hash).load(std::memory_order_acquire);
        if (held == hash)
            return &slot;
        if (held == 0)
            return nullptr;
    }
    if (stoppedShort)
        *stoppedShort = limit < capacity;
    return nullptr;
}

std::uint32_t ObserverTable::usedSlots() const
{
    return shared(header().used).load(std::memory_order_relaxed);
}

bool ObserverTable::addName(std::uint64_t hash)
{
    if (Slot* slot = find(hash, capacity, nullptr)) {
        shared(slot->observers).fetch_add(1, std::memory_order_release);
        return true;
    }
    // Half full is full: probes stay short for the posters.
    if (2 * (usedSlots() + 1) > capacity)
        return false;
    std::uint32_t mask = capacity - 1;
    for (std::uint32_t index = static_cast<std::uint32_t>(hash) & mask;; index = (index + 1) & mask) {
        Slot& slot = slots()[index];
        if (shared(slot.hash).load(std::memory_order_relaxed) != 0)
            continue;
        shared(slot.observers).store(1, std::memory_order_relaxed);
        shared(slot.pending).store(0, std::memory_order_relaxed);
        shared(slot.round).store(0, std::memory_order_relaxed);
        shared(slot.hash).store(hash, std::memory_order_release);
        shared(header().used).fetch_add(1, std::memory_order_relaxed);
        return true;
    }
}

void ObserverTable::removeName(std::uint64_t hash)
{
    // The slot stays, holding the name for a later observer; a replacement leaves it behind.
    if (Slot* slot = find(hash, capacity, nullptr); slot && shared(slot->observers).load(std::memory_order_relaxed) > 0)
        shared(slot->observers).fetch_sub(1, std::memory_order_release);
}

namespace {

bool holds(const char* text, std::size_t prefixLength, std::size_t suffixLength, std::string_view prefix, std::string_view suffix)
{
    return prefixLength == prefix.size() && suffixLength == suffix.size() && std::memcmp(text, prefix.data(), prefix.size()) == 0
        && std::memcmp(text + prefix.size(), suffix.data(), suffix.size()) == 0;
}

} // namespace

bool ObserverTable::addPattern(std::string_view prefix, std::string_view suffix)
{
    if (prefix.size() + suffix.size() > patternTextSize)
        return false;
    Pattern* free = nullptr;
    for (Pattern& pattern : header().patterns) {
        std::uint32_t registrations = shared(pattern.registrations).load(std::memory_order_relaxed);
        if (registrations > 0 && holds(pattern.text, pattern.prefixLength, pattern.suffixLength, prefix, suffix)) {
            shared(pattern.registrations).fetch_add(1, std::memory_order_release);
            return true;
        }
        if (registrations == 0 && !free)
            free = &pattern;
    }
    if (!free)
        return false;
    free->prefixLength = static_cast<std::uint16_t>(prefix.size());
    free->suffixLength = static_cast<std::uint16_t>(suffix.size());
    std::memcpy(free->text, prefix.data(), prefix.size());
    std::memcpy(free->text + prefix.size(), suffix.data(), suffix.size());
    shared(free->registrations).store(1, std::memory_order_release);
    return true;
}

void ObserverTable::removePattern(std::string_view prefix, std::string_view suffix)
{
    for (Pattern& pattern : header().patterns) {
        if (shared(pattern.registrations).load(std::memory_order_relaxed) > 0
            && holds(pattern.text, pattern.prefixLength, pattern.suffixLength, prefix, suffix)) {
            shared(pattern.registrations).fetch_sub(1, std::memory_order_release);
            return;
        }
    }
}

void ObserverTable::endRound()
{
    shared(header().round).fetch_add(1, std::memory_order_acq_rel);
}

void ObserverTable::takeIn(std::uint64_t hash)
{
    // A poster counts its post once it is sent, so the count may dip below zero for a moment; a poster
    // that ended between the two leaves it below zero for good, which costs coalescing, never a post.
    if (Slot* slot = find(hash, capacity, nullptr))
        shared(slot->pending).fetch_sub(1, std::memory_order_acq_rel);
}

std::unique_ptr<ObserverTable> ObserverTable::replaceWithLarger(const std::string& machinePath)
{
    std::uint32_t live = 0;
    for (std::uint32_t index = 0; index < capacity; ++index) {
        if (shared(slots()[index].observers).load(std::memory_order_relaxed) > 0)
            ++live;
    }
    std::uint32_t largerCapacity = std::max(smallestCapacity, std::bit_ceil(4 * (live + 1)));
    if (largerCapacity > largestCapacity)
        return nullptr;
    auto larger = createAside(machinePath, largerCapacity);
    if (!larger)
        return nullptr;
    for (std::uint32_t index = 0; index < capacity; ++index) {
        Slot& slot = slots()[index];
        std::int32_t observers = shared(slot.observers).load(std::memory_order_relaxed);
        if (observers <= 0 || !larger->addName(slot.hash))
            continue;
        // The posts counted here are taken in against the new table.
        Slot* moved = larger->find(slot.hash, larger->capacity, nullptr);
        moved->observers = observers;
        moved->pending = shared(slot.pending).load(std::memory_order_acquire);
    }
    for (Pattern& pattern : header().patterns) {
        std::size_t prefixLength = pattern.prefixLength;
        std::size_t suffixLength = pattern.suffixLength;
        if (prefixLength + suffixLength > patternTextSize)
            continue;
        std::string_view text(pattern.text, prefixLength + suffixLength);
        for (std::uint32_t count = shared(pattern.registrations).load(std::memory_order_relaxed); count > 0; --count)
            larger->addPattern(text.substr(0, prefixLength), text.substr(prefixLength));
    }
    // Only a whole table takes this one's place: a poster that opens it finds every name in it.
    if (!larger->placeAt(machinePath))
        return nullptr;
    retire();
    return larger;
}

void ObserverTable::retire()
{
    shared(header().retired).store(1, std::memory_order_release);
}

void ObserverTable::look()
{
    if (access != Access::Copying)
        return;
    copiedCapacity = 0;
    if (!copiedHeader)
        copiedHeader = std::make_unique<Header>();
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || status.st_size < 0
        || pread(descriptor, copiedHeader.get(), sizeof(Header), 0) != static_cast<ssize_t>(sizeof(Header)))
        return;
    copiedCapacity = validCapacity(*copiedHeader, static_cast<std::size_t>(status.st_size));
}

// A pattern whose lengths do not fit its text matches every name: a broken table costs datagrams, not
// posts. The lengths are read once, so that a table changing meanwhile cannot stretch them.
bool ObserverTable::patternMatches(Pattern& pattern, std::string_view name)
{
    if (shared(pattern.registrations).load(std::memory_order_acquire) == 0)
        return false;
    std::size_t prefixLength = shared(pattern.prefixLength).load(std::memory_order_relaxed);
    std::size_t suffixLength = shared(pattern.suffixLength).load(std::memory_order_relaxed);
    if (prefixLength + suffixLength > patternTextSize)
        return true;
    char text[patternTextSize];
    std::memcpy(text, pattern.text, sizeof text);
    std::string_view prefix(text, prefixLength);
    std::string_view suffix(text + prefixLength, suffixLength);
    return name.size() >= prefixLength + suffixLength && name.starts_with(prefix) && name.ends_with(suffix);
}

ObserverTable::Interest ObserverTable::interestOfSlot(Slot& slot, std::uint32_t currentRound) const
{
    if (shared(slot.observers).load(std::memory_order_acquire) <= 0)
        return Interest::None;
    // Only a count made since the owner last read its socket stands for a post on its way: the owner
    // delivers what it has read only after the round ends.
    if (access != Access::Copying && shared(slot.pending).load(std::memory_order_acquire) > 0
        && shared(slot.round).load(std::memory_order_acquire) == currentRound)
        return Interest::Coalesced;
    return access == Access::Counting ? Interest::Counted : Interest::Uncounted;
}

ObserverTable::Interest ObserverTable::interestIn(std::string_view name, std::uint64_t hash) const
{
    if (access == Access::Copying)
        return interestOfCopy(name, hash);
    bool stoppedShort = false;
    if (Slot* slot = find(hash, probeLimit, &stoppedShort)) {
        if (Interest interest = interestOfSlot(*slot, round()); interest != Interest::None)
            return interest;
    }
    for (Pattern& pattern : header().patterns) {
        if (patternMatches(pattern, name))
            return Interest::Uncounted;
    }
    return stoppedShort ? Interest::Uncounted : Interest::None;
}

// The slots are read one by one where the name would be, each checked against what the file still
// holds: the file may shrink or change between two reads.
ObserverTable::Interest ObserverTable::interestOfCopy(std::string_view name, std::uint64_t hash) const
{
    if (copiedCapacity == 0)
        return Interest::Uncounted;
    std::uint32_t mask = copiedCapacity - 1;
    std::uint32_t index = static_cast<std::uint32_t>(hash) & mask;
    bool found = false;
    for (std::uint32_t probe = 0; probe < std::min(probeLimit, copiedCapacity) && !found; ++probe, index = (index + 1) & mask) {
        Slot slot {};
        auto offset = static_cast<off_t>(sizeof(Header) + std::size_t { index } * sizeof(Slot));
        if (pread(descriptor, &slot, sizeof slot, offset) != static_cast<ssize_t>(sizeof slot))
            return Interest::Uncounted;
        if (slot.hash == hash && interestOfSlot(slot, 0) != Interest::None)
            return Interest::Uncounted;
        found = slot.hash == hash || slot.hash == 0;
    }
    for (Pattern& pattern : copiedHeader->patterns) {
        if (patternMatches(pattern, name))
            return Interest::Uncounted;
    }
    return found || copiedCapacity <= probeLimit ? Interest::None : Interest::Uncounted;
}

std::uint32_t ObserverTable::round() const
{
    if (access == Access::Copying)
        return 0;
    return shared(header().round).load(std::memory_order_acquire);
}

void ObserverTable::countSent(std::uint64_t hash, std::uint32_t sentInRound)
{
    if (access != Access::Counting)
        return;
    if (Slot* slot = find(hash, probeLimit, nullptr)) {
        shared(slot->round).store(sentInRound, std::memory_order_release);
        shared(slot->pending).fetch_add(1, std::memory_order_acq_rel);
    }
}

bool ObserverTable::isFileAt(const std::string& machinePath) const
{
    struct stat held {};
    struct stat named {};
    return fstat(descriptor, &held) == 0 && lstat(machinePath.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

bool ObserverTable::isRetired() const
{
    if (access == Access::Copying)
        return copiedCapacity != 0 && copiedHeader->retired != 0;
    return shared(header().retired).load(std::memory_order_acquire) != 0;
}
