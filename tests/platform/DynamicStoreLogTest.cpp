// The dynamic store's log as processes of a device share it: records read back whole or not at all,
// records cut short by a killed writer, compaction under readers, and the store of an earlier version.
#include "DynamicStoreLog.h"
#include "NSDictionary.h"
#include "SCDynamicStore.h"
#include "StoreRecord.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

PropertyList everyKindOfValue()
{
    return PropertyListDictionary {
        { "String", "text with \xC3\xBC and \n" },
        { "Empty", "" },
        { "True", true },
        { "False", false },
        { "Integer", std::int64_t { -9007199254740993 } },
        { "Real", 0.1 },
        { "Date", PropertyListDate { 600000000.5 } },
        { "Data", PropertyListData { 0x00, 0xff, 0x10 } },
        { "List", PropertyListArray { "a", PropertyListArray {}, PropertyListDictionary { { "k", 1 } } } },
        { "", PropertyListDictionary {} },
    };
}

TEST(StoreRecordTest, ARecordReadsBackWholeOrNotAtAll)
{
    const StoreRecord records[] = { { "State:/Network/Global/DNS", everyKindOfValue() },
                                    { "Key:/Removed", std::nullopt },
                                    { "", PropertyList(PropertyListArray {}) } };
    std::string log;
    for (const auto& record : records)
        log += record.encoded();

    std::size_t offset = 0;
    for (const auto& expected : records) {
        StoreRecord read;
        ASSERT_EQ(StoreRecord::read(log, offset, read), StoreRecord::Reading::Complete);
        EXPECT_EQ(read.key, expected.key);
        EXPECT_EQ(read.value, expected.value);
    }
    EXPECT_EQ(offset, log.size());

    // Every cut of a record is incomplete, every changed byte makes it invalid: never a wrong record.
    std::string one = records[0].encoded();
    for (std::size_t length = 0; length < one.size(); ++length) {
        std::size_t at = 0;
        StoreRecord read;
        EXPECT_EQ(StoreRecord::read(one.substr(0, length), at, read), StoreRecord::Reading::Incomplete) << length;
        EXPECT_EQ(at, 0u);
    }
    for (std::size_t index = 8; index < one.size(); ++index) {
        std::string changed = one;
        changed[index] = static_cast<char>(changed[index] ^ 0x20);
        std::size_t at = 0;
        StoreRecord read;
        EXPECT_EQ(StoreRecord::read(changed, at, read), StoreRecord::Reading::Invalid) << index;
    }
}

class DynamicStoreLogTest : public testing::Test {
protected:
    std::string logPath() const { return device.path(DynamicStoreLog::devicePath); }
    std::uintmax_t logSize() const { return std::filesystem::file_size(logPath()); }

    void appendToLog(const std::string& bytes) const
    {
        FILE* file = std::fopen(logPath().c_str(), "ab");
        ASSERT_TRUE(file);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }

    TemporaryDevice device;
    std::unique_ptr<SCDynamicStore> store { SCDynamicStoreCreate(kCFAllocatorDefault, "test", nullptr, nullptr) };
};

// A writer killed half way through a record leaves its start behind: readers never take it for data,
// and the next writer cuts it off before it appends.
TEST_F(DynamicStoreLogTest, ARecordCutShortIsNeverReadAndTheNextWriterCutsItOff)
{
    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/A", "first"));
    std::string cutShort = StoreRecord { "Key:/A", PropertyList("never written") }.encoded();
    appendToLog(cutShort.substr(0, cutShort.size() - 3));

    DynamicStoreLog reader;
    EXPECT_EQ(reader.contents(), (PropertyListDictionary { { "Key:/A", "first" } }));

    DynamicStoreLog writer;
    EXPECT_EQ(writer.change("Key:/B", PropertyList("second")), DynamicStoreLog::Change::Made);
    EXPECT_EQ(reader.contents(), (PropertyListDictionary { { "Key:/A", "first" }, { "Key:/B", "second" } }));
    EXPECT_EQ(SCDynamicStoreCopyValue(store.get(), "Key:/B"), PropertyList("second"));
}

// Whatever instant a writer is killed at, the store reads as the changes that were whole, in order,
// and takes the next change.
TEST_F(DynamicStoreLogTest, AWriterKilledAtAnyInstantLeavesAWholeStore)
{
    unsigned seed = std::random_device {}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 20; ++round) {
        const std::string prefix = "Round" + std::to_string(round) + ":/";
        pid_t writer = fork();
        if (writer == 0) {
            DynamicStoreLog log;
            for (std::int64_t count = 0;; ++count)
                log.change(prefix + std::to_string(count % 7), PropertyList(PropertyListDictionary { { "Count", count } }));
        }
        usleep(std::uniform_int_distribution<useconds_t>(100, 5000)(random));
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);

        DynamicStoreLog log;
        PropertyListDictionary written;
        std::int64_t highest = -1;
        for (const auto& [key, value] : log.contents()) {
            if (!key.starts_with(prefix))
                continue;
            const auto* count = value.dictionary() ? value.dictionary()->at("Count").integer() : nullptr;
            ASSERT_TRUE(count) << key;
            EXPECT_EQ(key, prefix + std::to_string(*count % 7));
            highest = std::max(highest, *count);
            written[key] = value;
        }
        // The keys hold the last changes that were whole, up to seven of them.
        PropertyListDictionary expected;
        for (std::int64_t count = std::max<std::int64_t>(0, highest - 6); count <= highest; ++count)
            expected[prefix + std::to_string(count % 7)] = PropertyListDictionary { { "Count", count } };
        EXPECT_EQ(written, expected);
        ASSERT_EQ(log.change(prefix + "After", PropertyList(round)), DynamicStoreLog::Change::Made);
        EXPECT_EQ(DynamicStoreLog().contents().at(prefix + "After"), PropertyList(round));
    }
}

// The log is rewritten with the live keys once it has grown well past them; a reader in another process
// that held the old file reads the new one.
TEST_F(DynamicStoreLogTest, AGrownLogIsCompactedUnderItsReaders)
{
    DynamicStoreLog reader;
    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/Kept", "kept"));
    EXPECT_EQ(reader.contents().size(), 1u);

    pid_t writer = fork();
    if (writer == 0) {
        DynamicStoreLog log;
        for (int count = 0; count < 20000; ++count)
            log.change("Key:/" + std::to_string(count % 10), PropertyList(count));
        log.change("Key:/Kept", std::nullopt);
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    PropertyListDictionary expected;
    for (int count = 19990; count < 20000; ++count)
        expected["Key:/" + std::to_string(count % 10)] = count;
    EXPECT_EQ(reader.contents(), expected);
    EXPECT_LT(logSize(), 100'000u) << "20,000 changes of ten keys are not all kept";
    EXPECT_FALSE(std::filesystem::exists(logPath() + ".new"));
}

// A device whose store an earlier version kept as one property list keeps its keys: they read as
// before, and the first change carries them into the log.
TEST_F(DynamicStoreLogTest, TheStoreOfAnEarlierVersionIsCarriedOver)
{
    PropertyListDictionary earlier { { "State:/Network/Service/A/IPv4", PropertyListDictionary { { "InterfaceName", "en0" } } },
                                     { "State:/Network/Global/DNS", PropertyListDictionary { { "ServerAddresses", PropertyListArray { "10.0.0.1" } } } } };
    ASSERT_TRUE(writeDictionaryToFile(earlier, "/var/run/configd/store.plist", true));
    EXPECT_EQ(DynamicStoreLog().contents(), earlier);

    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/New", "new"));
    earlier["Key:/New"] = "new";
    EXPECT_EQ(DynamicStoreLog().contents(), earlier);
    EXPECT_FALSE(device.exists("/var/run/configd/store.plist"));
}

TEST_F(DynamicStoreLogTest, AFileThatIsNoLogReadsAsEmptyAndIsReplacedByTheFirstChange)
{
    device.writeFile(DynamicStoreLog::devicePath, "<plist>not a log</plist>");
    EXPECT_TRUE(DynamicStoreLog().contents().empty());

    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/A", "a"));
    EXPECT_EQ(DynamicStoreLog().contents(), (PropertyListDictionary { { "Key:/A", "a" } }));
}

// Runs the code in a forked process, so that a crash is an answer and not the end of the tests; its exit
// status, or 128 and the signal that ended it.
int inAnotherProcess(const std::function<int()>& code)
{
    pid_t child = fork();
    if (child == 0)
        _exit(code());
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A writer that cannot map the change counter as a file only its owner changes makes no change: other
// processes would never look for it. The log stays as it was, and the writer goes on.
TEST_F(DynamicStoreLogTest, AWriterThatCannotMapTheCounterChangesNothing)
{
    const std::string counterPath = device.path(DynamicStoreLog::changesDevicePath);
    struct Case {
        const char* counter;
        std::function<void()> make;
    };
    const Case cases[] = {
        { "a folder", [&] { std::filesystem::create_directory(counterPath); } },
        { "a link", [&] { std::filesystem::create_symlink(counterPath + ".elsewhere", counterPath); } },
        { "writable by every account", [&] {
             device.writeFile(DynamicStoreLog::changesDevicePath, std::string(8, '\0'));
             std::filesystem::permissions(counterPath, std::filesystem::perms::all);
         } },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.counter);
        for (int key = 0; key < 6; ++key)
            ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/" + std::to_string(key), PropertyList(key)));
        std::filesystem::remove(counterPath);
        test.make();
        auto log = device.readFile(DynamicStoreLog::devicePath);

        int status = inAnotherProcess([] {
            auto writer = SCDynamicStoreCreate(kCFAllocatorDefault, "writer", nullptr, nullptr);
            // Read first, as a process that has been running for a while has.
            if (SCDynamicStoreCopyValue(writer.get(), "Key:/0") != PropertyList(0))
                return 2;
            bool refused = !SCDynamicStoreSetValue(writer.get(), "Key:/New", "new")
                && !SCDynamicStoreRemoveValue(writer.get(), "Key:/0")
                && DynamicStoreLog().change("Key:/1", PropertyList("changed")) == DynamicStoreLog::Change::Failed;
            return refused ? 0 : 1;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log);
        EXPECT_EQ(DynamicStoreLog().contents().size(), 6u);

        std::filesystem::remove_all(counterPath);
        std::filesystem::remove(counterPath + ".elsewhere");
        auto made = inAnotherProcess([] {
            return DynamicStoreLog().change("Key:/New", PropertyList("new")) == DynamicStoreLog::Change::Made ? 0 : 1;
        });
        EXPECT_EQ(made, 0) << "a counter that can be mapped again is made again";
        std::filesystem::remove(logPath());
        std::filesystem::remove(counterPath);
    }
}

// A value whose record no reader would take is refused before anything is written; one just within the
// limit is stored and read back by another process, and changes after both are read by everyone.
TEST_F(DynamicStoreLogTest, AValueLargerThanTheStoreKeepsIsRefused)
{
    const std::string key = "Key:/Large";
    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/Before", "before"));
    // The record's body: a kind, a key length, the key, a value tag, a data length, the data.
    const std::size_t largestData = StoreRecord::maximumBodySize - (1 + 4 + key.size() + 1 + 4);
    auto log = device.readFile(DynamicStoreLog::devicePath);

    EXPECT_FALSE(SCDynamicStoreSetValue(store.get(), key, PropertyListData(largestData + 1, 0x5a)));
    EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log) << "nothing is written";
    EXPECT_FALSE(SCDynamicStoreCopyValue(store.get(), key));

    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), key, PropertyListData(largestData, 0xa5)));
    ASSERT_TRUE(SCDynamicStoreSetValue(store.get(), "Key:/After", "after"));
    EXPECT_EQ(inAnotherProcess([&] {
        DynamicStoreLog reader;
        const auto& contents = reader.contents();
        bool whole = contents.size() == 3 && contents.at(key).data() && contents.at(key).data()->size() == largestData
            && contents.at("Key:/After") == PropertyList("after");
        return whole ? 0 : 1;
    }), 0);
}

// Another hand cuts the log short, empties it or puts another in its place: a process that had read it
// reads it anew, its next write lands at the log's real end, and every process reads that write.
TEST_F(DynamicStoreLogTest, ALogCutOrReplacedByAnotherHandIsReadAnew)
{
    struct Case {
        const char* change;
        std::function<void(const std::vector<std::uintmax_t>& ends)> make;
        PropertyListDictionary after; // the store then, without the write that follows
    };
    const PropertyList one("one");
    const PropertyList two("two");
    const PropertyList three("three");
    auto cutTo = [&](std::uintmax_t size) { std::filesystem::resize_file(logPath(), size); };
    const Case cases[] = {
        { "cut after the first record", [&](const auto& ends) { cutTo(ends[0]); }, { { "Key:/1", one } } },
        { "cut inside the second record", [&](const auto& ends) { cutTo(ends[1] - 5); }, { { "Key:/1", one } } },
        { "cut to its header", [&](const auto&) { cutTo(DynamicStoreLog::header.size()); }, {} },
        { "emptied", [&](const auto&) { cutTo(0); }, {} },
        { "cut, then written past where it was read", [&](const auto& ends) {
             cutTo(ends[0]);
             ASSERT_EQ(DynamicStoreLog().change("Key:/Long", PropertyList(std::string(100, 'x'))), DynamicStoreLog::Change::Made);
         }, { { "Key:/1", one }, { "Key:/Long", std::string(100, 'x') } } },
        { "replaced", [&](const auto&) {
             std::string other = std::string(DynamicStoreLog::header) + StoreRecord { "Key:/Other", PropertyList(1) }.encoded();
             device.writeFile(std::string(DynamicStoreLog::devicePath) + ".other", other);
             std::filesystem::rename(logPath() + ".other", logPath());
         }, { { "Key:/Other", PropertyList(1) } } },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.change);
        std::filesystem::remove(logPath());
        DynamicStoreLog writer;
        DynamicStoreLog reader;
        std::vector<std::uintmax_t> ends;
        for (const auto& [key, value] : { std::pair { "Key:/1", one }, { "Key:/2", two }, { "Key:/3", three } }) {
            ASSERT_EQ(writer.change(key, value), DynamicStoreLog::Change::Made);
            ends.push_back(logSize());
        }
        ASSERT_EQ(reader.contents().size(), 3u);
        test.make(ends);

        ASSERT_EQ(writer.change("Key:/4", PropertyList("four")), DynamicStoreLog::Change::Made);
        PropertyListDictionary expected = test.after;
        expected["Key:/4"] = "four";
        EXPECT_EQ(DynamicStoreLog().contents(), expected) << "a process that reads the log for the first time";
        EXPECT_EQ(reader.contents(), expected) << "a process that had read it before";
        EXPECT_EQ(writer.contents(), expected);
        ASSERT_EQ(DynamicStoreLog().change("Key:/5", PropertyList("five")), DynamicStoreLog::Change::Made);
        expected["Key:/5"] = "five";
        EXPECT_EQ(writer.contents(), expected) << "the writer reads the writes of others after it";
        EXPECT_EQ(reader.contents(), expected);
    }
}

} // namespace
