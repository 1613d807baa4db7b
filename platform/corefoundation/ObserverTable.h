#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

// What one observing process listens for, published in a small file beside its socket: the names it
// observes (by a 64-bit hash), the name patterns it observes (a literal prefix and suffix), and, per
// observed name, how many posts of it are on their way to the process and not yet taken in. A poster
// sends a name only to the processes that want it, and not at all while one post of it is still on its
// way there: posts of one name coalesce.
//
// Who writes what: the file is writable by its owner's account alone. The owner adds and removes names;
// posters of the same account count their posts in and out. A poster maps a table only when no account
// but its own or root can change it; any other table it reads anew at each post, trusting none of its
// fields, and sends there uncounted. A count holds posts back only until the owner has next read its
// socket, so that a count nobody takes back costs one datagram more, never a post. When the table fills,
// the owner writes a larger one aside, fills it, renames it into place and marks the old one retired, so
// that posters holding the old one open the new one.
class ObserverTable {
public:
    ~ObserverTable();

    ObserverTable(const ObserverTable&) = delete;
    ObserverTable& operator=(const ObserverTable&) = delete;

    // The owner's table at a machine path, made anew (replacing whatever was there). Null on failure.
    static std::unique_ptr<ObserverTable> create(const std::string& machinePath);
    // A poster's view of the table of a process whose socket belongs to the account `owner`. Null when
    // there is none, it is not one, or another account made it.
    static std::unique_ptr<ObserverTable> open(const std::string& machinePath, uid_t owner);

    static std::uint64_t hashOf(std::string_view name);

    // Owner: a registration for a name, or for every name with a prefix and a suffix, more or less.
    // False when the table could not take it (it is then full and must be replaced).
    bool addName(std::uint64_t hash);
    void removeName(std::uint64_t hash);
    bool addPattern(std::string_view prefix, std::string_view suffix);
    void removePattern(std::string_view prefix, std::string_view suffix);
    // Owner: the socket has just been read. A count made before holds no post back any more: the posts
    // it stands for have been taken in, or are sent again at the cost of a datagram.
    void endRound();
    // Owner: a post of the name that was counted on its way has been taken in.
    void takeIn(std::uint64_t hash);
    // Owner: a table with room for what this one holds and more, filled, then put at the same path;
    // this one is retired.
    std::unique_ptr<ObserverTable> replaceWithLarger(const std::string& machinePath);
    // Owner: this table is no longer read; posters holding it look for the one at its path again.
    void retire();

    // Poster: reads anew a table that is not mapped; call it before the questions below at each post.
    void look();
    // Poster: whether a post must go to this process, and whether it is counted on its way.
    enum class Interest { None, Counted, Coalesced, Uncounted };
    Interest interestIn(std::string_view name, std::uint64_t hash) const;
    // Poster: the owner's reading round, taken before a counted post is sent and given to countSent.
    std::uint32_t round() const;
    void countSent(std::uint64_t hash, std::uint32_t round);
    bool isRetired() const;
    // The file's identity: a table made anew at the same path, by a process with the same id after the
    // first one died, is another file.
    bool isFileAt(const std::string& machinePath) const;

private:
    struct Header;
    struct Pattern;
    struct Slot;
    // Owner: its own table. Counting: mapped for writing, by a poster of the owner's account. Reading:
    // mapped for reading, a table of root's. Copying: read anew at each post, anybody else's.
    enum class Access { Owner, Counting, Reading, Copying };

    ObserverTable(int fileDescriptor, Access access);
    static std::unique_ptr<ObserverTable> createAside(const std::string& machinePath, std::uint32_t capacity);
    static std::unique_ptr<ObserverTable> map(int fileDescriptor, Access access, std::size_t fileSize);
    bool placeAt(const std::string& machinePath);

    static std::uint32_t validCapacity(Header& header, std::size_t fileSize);
    static bool patternMatches(Pattern& pattern, std::string_view name);

    Header& header() const;
    Slot* slots() const;
    Slot* find(std::uint64_t hash, std::uint32_t limit, bool* stoppedShort) const;
    Interest interestOfSlot(Slot& slot, std::uint32_t currentRound) const;
    Interest interestOfCopy(std::string_view name, std::uint64_t hash) const;
    std::uint32_t usedSlots() const;

    int descriptor { -1 };
    Access access { Access::Owner };
    void* base { nullptr };
    std::size_t size { 0 };
    // Checked against the file's size when mapped; the field in the file is not read again.
    std::uint32_t capacity { 0 };
    // Copying: the header as read by the last look, and whether it was a table's.
    std::unique_ptr<Header> copiedHeader;
    std::uint32_t copiedCapacity { 0 };
};
