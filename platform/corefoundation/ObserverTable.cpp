#include "ObserverTable.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char tableMagic[8] = { 'T', 'D', 'N', 'S', 'O', 'B', 'S', '1' };
constexpr std::uint32_t smallestCapacity = 256;
constexpr std::size_t patternCount = 8;
constexpr std::size_t patternTextSize = 120;

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
    std::uint32_t reserved;
    Pattern patterns[patternCount];
};

struct ObserverTable::Slot {
    std::uint64_t hash;
    std::int32_t observers;
    std::int32_t pending;
};

ObserverTable::ObserverTable(int fileDescriptor, void* mapping, std::size_t mappingSize)
    : descriptor(fileDescriptor)
    , base(mapping)
    , size(mappingSize)
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

std::unique_ptr<ObserverTable> ObserverTable::create(const std::string& machinePath)
{
    return createWithCapacity(machinePath, smallestCapacity);
}

std::unique_ptr<ObserverTable> ObserverTable::createWithCapacity(const std::string& machinePath, std::uint32_t capacity)
{
    // Written aside and renamed into place, so that a poster never maps a table that is half made.
    std::string aside = machinePath + ".new";
    unlink(aside.c_str());
    int fileDescriptor = ::open(aside.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fileDescriptor < 0)
        return nullptr;
    // Every account that posts counts its posts in the table.
    fchmod(fileDescriptor, 0666);
    std::size_t mappingSize = sizeof(Header) + std::size_t { capacity } * sizeof(Slot);
    void* mapping = MAP_FAILED;
    if (ftruncate(fileDescriptor, static_cast<off_t>(mappingSize)) == 0)
        mapping = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fileDescriptor, 0);
    if (mapping == MAP_FAILED) {
        close(fileDescriptor);
        unlink(aside.c_str());
        return nullptr;
    }
    std::unique_ptr<ObserverTable> table(new ObserverTable(fileDescriptor, mapping, mappingSize));
    std::memcpy(table->header().magic, tableMagic, sizeof tableMagic);
    table->header().capacity = capacity;
    if (rename(aside.c_str(), machinePath.c_str()) != 0) {
        unlink(aside.c_str());
        return nullptr;
    }
    return table;
}

std::unique_ptr<ObserverTable> ObserverTable::open(const std::string& machinePath)
{
    int fileDescriptor = ::open(machinePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fileDescriptor < 0)
        return nullptr;
    struct stat status {};
    if (fstat(fileDescriptor, &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::size_t>(status.st_size) < sizeof(Header)) {
        close(fileDescriptor);
        return nullptr;
    }
    std::size_t mappingSize = static_cast<std::size_t>(status.st_size);
    void* mapping = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fileDescriptor, 0);
    if (mapping == MAP_FAILED) {
        close(fileDescriptor);
        return nullptr;
    }
    std::unique_ptr<ObserverTable> table(new ObserverTable(fileDescriptor, mapping, mappingSize));
    std::uint32_t capacity = table->header().capacity;
    bool wellFormed = std::memcmp(table->header().magic, tableMagic, sizeof tableMagic) == 0 && std::has_single_bit(capacity)
        && mappingSize == sizeof(Header) + std::size_t { capacity } * sizeof(Slot);
    return wellFormed ? std::move(table) : nullptr;
}

ObserverTable::Slot* ObserverTable::find(std::uint64_t hash) const
{
    std::uint32_t mask = header().capacity - 1;
    for (std::uint32_t probe = 0, index = static_cast<std::uint32_t>(hash) & mask; probe <= mask; ++probe, index = (index + 1) & mask) {
        Slot& slot = slots()[index];
        std::uint64_t held = shared(slot.hash).load(std::memory_order_acquire);
        if (held == hash)
            return &slot;
        if (held == 0)
            return nullptr;
    }
    return nullptr;
}

std::uint32_t ObserverTable::usedSlots() const
{
    return shared(header().used).load(std::memory_order_relaxed);
}

bool ObserverTable::addName(std::uint64_t hash)
{
    if (Slot* slot = find(hash)) {
        shared(slot->observers).fetch_add(1, std::memory_order_release);
        return true;
    }
    // Half full is full: probes stay short for the posters.
    std::uint32_t capacity = header().capacity;
    if (2 * (usedSlots() + 1) > capacity)
        return false;
    std::uint32_t mask = capacity - 1;
    for (std::uint32_t index = static_cast<std::uint32_t>(hash) & mask;; index = (index + 1) & mask) {
        Slot& slot = slots()[index];
        if (shared(slot.hash).load(std::memory_order_relaxed) != 0)
            continue;
        shared(slot.observers).store(1, std::memory_order_relaxed);
        shared(slot.pending).store(0, std::memory_order_relaxed);
        shared(slot.hash).store(hash, std::memory_order_release);
        shared(header().used).fetch_add(1, std::memory_order_relaxed);
        return true;
    }
}

void ObserverTable::removeName(std::uint64_t hash)
{
    // The slot stays, holding the name for a later observer; a replacement leaves it behind.
    if (Slot* slot = find(hash); slot && shared(slot->observers).load(std::memory_order_relaxed) > 0)
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

void ObserverTable::takeIn(std::uint64_t hash)
{
    // A poster counts its post once it is sent, so the count may dip below zero for a moment; a poster
    // that ended between the two leaves it below zero for good, which costs coalescing, never a post.
    if (Slot* slot = find(hash))
        shared(slot->pending).fetch_sub(1, std::memory_order_acq_rel);
}

std::unique_ptr<ObserverTable> ObserverTable::replaceWithLarger(const std::string& machinePath)
{
    std::uint32_t live = 0;
    for (std::uint32_t index = 0; index < header().capacity; ++index) {
        if (shared(slots()[index].observers).load(std::memory_order_relaxed) > 0)
            ++live;
    }
    std::uint32_t capacity = std::max(smallestCapacity, std::bit_ceil(4 * (live + 1)));
    auto larger = createWithCapacity(machinePath, capacity);
    if (!larger)
        return nullptr;
    for (std::uint32_t index = 0; index < header().capacity; ++index) {
        const Slot& slot = slots()[index];
        for (std::int32_t count = shared(slot.observers).load(std::memory_order_relaxed); count > 0; --count)
            larger->addName(slot.hash);
    }
    for (const Pattern& pattern : header().patterns) {
        std::string_view text(pattern.text, pattern.prefixLength + pattern.suffixLength);
        for (std::uint32_t count = shared(pattern.registrations).load(std::memory_order_relaxed); count > 0; --count)
            larger->addPattern(text.substr(0, pattern.prefixLength), text.substr(pattern.prefixLength));
    }
    // Posters holding this table look again once they see it retired.
    shared(header().retired).store(1, std::memory_order_release);
    return larger;
}

ObserverTable::Interest ObserverTable::interestIn(std::string_view name, std::uint64_t hash) const
{
    if (Slot* slot = find(hash); slot && shared(slot->observers).load(std::memory_order_acquire) > 0) {
        if (shared(slot->pending).load(std::memory_order_acquire) > 0)
            return Interest::Coalesced;
        return Interest::Counted;
    }
    for (Pattern& pattern : header().patterns) {
        if (shared(pattern.registrations).load(std::memory_order_acquire) == 0)
            continue;
        std::string_view prefix(pattern.text, pattern.prefixLength);
        std::string_view suffix(pattern.text + pattern.prefixLength, pattern.suffixLength);
        if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix))
            return Interest::Uncounted;
    }
    return Interest::None;
}

void ObserverTable::countSent(std::uint64_t hash)
{
    if (Slot* slot = find(hash))
        shared(slot->pending).fetch_add(1, std::memory_order_acq_rel);
}

bool ObserverTable::isRetired() const
{
    return shared(header().retired).load(std::memory_order_acquire) != 0;
}
