// The dynamic store's log as processes of a device share it: records read back whole or not at all,
// records cut short by a killed writer, compaction under readers, and the store of an earlier version.
#include "DynamicStoreLog.h"
#include "NSDictionary.h"
#include "SCDynamicStore.h"
#include "StoreRecord.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <filesystem>
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

} // namespace
