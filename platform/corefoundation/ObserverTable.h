#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// What one observing process listens for, published in a small file that every poster of the device
// maps: the names it observes (by a 64-bit hash), the name patterns it observes (a literal prefix and
// suffix), and, per observed name, how many posts of it are on their way to the process and not yet
// taken in. A poster sends a name only to the processes that want it, and not at all while one post of
// it is still on its way there: posts of one name coalesce.
//
// The owner alone adds and removes names; posters only count their posts in and out. When the table
// fills, the owner writes a larger one in its place and marks the old one retired, so that posters
// holding it map the new one.
class ObserverTable {
public:
    ~ObserverTable();

    ObserverTable(const ObserverTable&) = delete;
    ObserverTable& operator=(const ObserverTable&) = delete;

    // The owner's table at a machine path, made anew (replacing whatever was there). Null on failure.
    static std::unique_ptr<ObserverTable> create(const std::string& machinePath);
    // A poster's view of another process's table. Null when there is none, or it is not one.
    static std::unique_ptr<ObserverTable> open(const std::string& machinePath);

    static std::uint64_t hashOf(std::string_view name);

    // Owner: a registration for a name, or for every name with a prefix and a suffix, more or less.
    // False when the table could not take it (it is then full and must be replaced).
    bool addName(std::uint64_t hash);
    void removeName(std::uint64_t hash);
    bool addPattern(std::string_view prefix, std::string_view suffix);
    void removePattern(std::string_view prefix, std::string_view suffix);
    // Owner: a post of the name that was counted on its way has been taken in.
    void takeIn(std::uint64_t hash);
    // Owner: a table with room for what this one holds and more, at the same path; this one is retired.
    std::unique_ptr<ObserverTable> replaceWithLarger(const std::string& machinePath);

    // Poster: whether a post must go to this process, and whether it is counted on its way.
    enum class Interest { None, Counted, Coalesced, Uncounted };
    Interest interestIn(std::string_view name, std::uint64_t hash) const;
    void countSent(std::uint64_t hash);
    bool isRetired() const;

private:
    struct Header;
    struct Pattern;
    struct Slot;

    ObserverTable(int fileDescriptor, void* mapping, std::size_t mappingSize);
    static std::unique_ptr<ObserverTable> createWithCapacity(const std::string& machinePath, std::uint32_t capacity);

    Header& header() const;
    Slot* slots() const;
    Slot* find(std::uint64_t hash) const;
    std::uint32_t usedSlots() const;

    int descriptor { -1 };
    void* base { nullptr };
    std::size_t size { 0 };
};
