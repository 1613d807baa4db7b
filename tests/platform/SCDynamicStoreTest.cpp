// The dynamic store within this process and across forked processes of the same device: values, key
// lists, watched keys and the change callbacks delivered through the run loop.
#include "CFRunLoop.h"
#include "SCDynamicStore.h"
#include "TemporaryDevice.h"

#include <chrono>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Changes = std::vector<std::vector<std::string>>;

// A connection with a callback that records every list of changed keys it is given.
struct Watcher {
    std::unique_ptr<SCDynamicStore> store;
    Changes changes;
};

void recordChanges(SCDynamicStoreRef store, const std::vector<std::string>& changedKeys, void* info)
{
    auto* watcher = static_cast<Watcher*>(info);
    EXPECT_EQ(store, watcher->store.get()) << "the callback names the connection it belongs to";
    watcher->changes.push_back(changedKeys);
}

// Waits for a forked child and gives its exit status (-1 when it did not exit normally).
int waitForChild(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

PropertyList nestedValue(const std::string& serverAddress)
{
    return PropertyListDictionary {
        { "ServerAddresses", PropertyListArray { serverAddress, "8.8.4.4" } },
        { "DomainName", "example.org" },
        { "Options", PropertyListDictionary { { "Enabled", true },
                                              { "Order", std::int64_t { 200 } },
                                              { "Weight", 0.5 },
                                              { "Since", PropertyListDate { 600000000.0 } },
                                              { "Token", PropertyListData { 0x00, 0xff, 0x10 } },
                                              { "Empty", PropertyListArray {} } } },
        { "Resolvers", PropertyListArray { PropertyListDictionary { { "Name", "a" } }, PropertyListArray { "b", 1 } } },
    };
}

class SCDynamicStoreTest : public testing::Test {
protected:
    static std::unique_ptr<SCDynamicStore> connect(const std::string& name)
    {
        auto store = SCDynamicStoreCreate(kCFAllocatorDefault, name, nullptr, nullptr);
        EXPECT_TRUE(store) << name;
        return store;
    }

    static void watch(Watcher& watcher, const std::string& name, const std::vector<std::string>& keys)
    {
        SCDynamicStoreContext context;
        context.info = &watcher;
        watcher.store = SCDynamicStoreCreate(kCFAllocatorDefault, name, recordChanges, &context);
        ASSERT_TRUE(watcher.store);
        ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), &keys, nullptr));
        CFRunLoopSourceRef source = SCDynamicStoreCreateRunLoopSource(kCFAllocatorDefault, watcher.store.get(), 0);
        ASSERT_TRUE(source);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    }

    // Changes a key only the marker watches and runs the loop until the marker hears of it. Changes made
    // before, by this process, have then reached every watcher of this process.
    void deliverEverythingChanged()
    {
        if (!marker.store)
            watch(marker, "marker", { markerKey });
        size_t before = marker.changes.size();
        ASSERT_TRUE(SCDynamicStoreSetValue(writer.get(), markerKey, PropertyListDictionary { { "n", ++markerCount } }));
        ASSERT_TRUE(runLoopUntil([&] { return marker.changes.size() > before; }));
        // Whatever became ready in the same turn as the marker has run as well; one more short run
        // lets a callback that is only just due show up too.
        runLoopFor(std::chrono::milliseconds(20));
    }

    void set(const std::string& key, const PropertyList& value)
    {
        ASSERT_TRUE(SCDynamicStoreSetValue(writer.get(), key, value)) << key;
    }

    TemporaryDevice device;
    std::unique_ptr<SCDynamicStore> writer { connect("writer") };
    Watcher marker;
    const std::string markerKey { "Test:/Marker" };
    std::int64_t markerCount { 0 };
};

TEST_F(SCDynamicStoreTest, ValuesRoundTripAndRemoveReportsWhetherAKeyWasThere)
{
    const std::string key = "State:/Network/Global/DNS";
    EXPECT_FALSE(SCDynamicStoreCopyValue(writer.get(), key)) << "a fresh device holds nothing";

    set(key, nestedValue("1.1.1.1"));
    EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), key), nestedValue("1.1.1.1"));

    set(key, nestedValue("9.9.9.9"));
    EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), key), nestedValue("9.9.9.9")) << "a set replaces the value";

    set("State:/Network/Global/IPv4", PropertyListDictionary { { "PrimaryInterface", "en0" } });
    EXPECT_TRUE(SCDynamicStoreRemoveValue(writer.get(), key));
    EXPECT_FALSE(SCDynamicStoreCopyValue(writer.get(), key));
    EXPECT_FALSE(SCDynamicStoreRemoveValue(writer.get(), key)) << "the key is no longer there";
    EXPECT_FALSE(SCDynamicStoreRemoveValue(writer.get(), "State:/Never/Set"));
    EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), "State:/Network/Global/IPv4"),
              PropertyList(PropertyListDictionary { { "PrimaryInterface", "en0" } }))
        << "removing one key keeps the others";

    EXPECT_FALSE(SCDynamicStoreSetValue(writer.get(), "", nestedValue("1.1.1.1"))) << "a value needs a key";
    EXPECT_FALSE(SCDynamicStoreSetValue(nullptr, key, nestedValue("1.1.1.1")));
    EXPECT_FALSE(SCDynamicStoreCopyValue(nullptr, "State:/Network/Global/IPv4"));
    EXPECT_FALSE(SCDynamicStoreRemoveValue(nullptr, "State:/Network/Global/IPv4"));
    EXPECT_FALSE(SCDynamicStoreCopyKeyList(nullptr, ".*"));
}

TEST_F(SCDynamicStoreTest, KeyListMatchesWholeKeysInSortedOrder)
{
    for (const char* key : { "State:/Network/Service/B/IPv4", "State:/Network/Service/A/IPv4x",
                             "XState:/Network/Service/A/IPv4", "State:/Network/Service/A/IPv4",
                             "Setup:/Network/Service/A/DNS", "State:/Network/Service/A/DNS" })
        set(key, PropertyListDictionary { { "Key", key } });

    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "State:/Network/Service/.*/IPv4"),
              (std::vector<std::string> { "State:/Network/Service/A/IPv4", "State:/Network/Service/B/IPv4" }));
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), ".*"),
              (std::vector<std::string> { "Setup:/Network/Service/A/DNS", "State:/Network/Service/A/DNS",
                                          "State:/Network/Service/A/IPv4", "State:/Network/Service/A/IPv4x",
                                          "State:/Network/Service/B/IPv4", "XState:/Network/Service/A/IPv4" }));
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "Setup:.*|State:.*/DNS"),
              (std::vector<std::string> { "Setup:/Network/Service/A/DNS", "State:/Network/Service/A/DNS" }))
        << "every alternative is anchored to the whole key";
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "State:/Network/Service/A"), std::vector<std::string> {})
        << "a prefix of keys matches none of them";
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "Network/Service/B/IPv4"), std::vector<std::string> {})
        << "nor does a part of a key";
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "State:/Network/Service/[^/]+/DNS"),
              (std::vector<std::string> { "State:/Network/Service/A/DNS" }));

    ASSERT_TRUE(SCDynamicStoreRemoveValue(writer.get(), "State:/Network/Service/A/IPv4"));
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "State:/Network/Service/.*/IPv4"),
              (std::vector<std::string> { "State:/Network/Service/B/IPv4" }))
        << "only keys that hold a value are listed";
}

TEST_F(SCDynamicStoreTest, PatternsThatDoNotCompileGiveNoList)
{
    set("State:/Network/Global/DNS", nestedValue("1.1.1.1"));
    for (const char* pattern : { "[", "State:/(Network", "State:/Network/Global/DNS)|(.*", "x)|(State:.*" })
        EXPECT_FALSE(SCDynamicStoreCopyKeyList(writer.get(), pattern)) << pattern;
    EXPECT_EQ(SCDynamicStoreCopyKeyList(writer.get(), "nothing"), std::vector<std::string> {})
        << "a pattern that matches nothing gives an empty list, not none";
}

TEST_F(SCDynamicStoreTest, ConnectionsOfOneProcessSeeEachOthersChanges)
{
    auto other = connect("other");
    ASSERT_TRUE(other);
    set("State:/Network/Global/DNS", nestedValue("1.1.1.1"));
    EXPECT_EQ(SCDynamicStoreCopyValue(other.get(), "State:/Network/Global/DNS"), nestedValue("1.1.1.1"));

    ASSERT_TRUE(SCDynamicStoreSetValue(other.get(), "State:/Network/Global/DNS", nestedValue("2.2.2.2")));
    EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), "State:/Network/Global/DNS"), nestedValue("2.2.2.2"));

    ASSERT_TRUE(SCDynamicStoreRemoveValue(other.get(), "State:/Network/Global/DNS"));
    EXPECT_FALSE(SCDynamicStoreCopyValue(writer.get(), "State:/Network/Global/DNS"));
}

TEST_F(SCDynamicStoreTest, ChangesOfAnotherProcessAreNeverServedStale)
{
    const std::string key = "State:/Network/Service/A/DNS";
    set(key, PropertyListDictionary { { "Round", std::int64_t { 0 } } });
    set("State:/Network/Service/Gone/DNS", nestedValue("1.1.1.1"));
    // Several rounds of equal size, one right after the other: neither the file's size nor its time
    // tells them apart.
    for (std::int64_t round = 1; round <= 4; ++round) {
        // Read first, so that whatever this process keeps of the store is filled.
        ASSERT_EQ(SCDynamicStoreCopyValue(writer.get(), key),
                  PropertyList(PropertyListDictionary { { "Round", round - 1 } }));
        ASSERT_TRUE(SCDynamicStoreCopyKeyList(writer.get(), ".*"));

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool done = SCDynamicStoreSetValue(writer.get(), key, PropertyListDictionary { { "Round", round } })
                        && SCDynamicStoreSetValue(writer.get(), "State:/Network/Service/Round" + std::to_string(round),
                                                  nestedValue("2.2.2.2"));
            if (round == 1)
                done = done && SCDynamicStoreRemoveValue(writer.get(), "State:/Network/Service/Gone/DNS");
            _exit(done ? 0 : 1);
        }
        ASSERT_EQ(waitForChild(child), 0);

        EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), key), PropertyList(PropertyListDictionary { { "Round", round } }))
            << "round " << round;
        auto keys = SCDynamicStoreCopyKeyList(writer.get(), "State:/Network/Service/.*").value_or(std::vector<std::string> {});
        EXPECT_NE(std::find(keys.begin(), keys.end(), "State:/Network/Service/Round" + std::to_string(round)), keys.end())
            << "round " << round;
        EXPECT_EQ(std::find(keys.begin(), keys.end(), "State:/Network/Service/Gone/DNS"), keys.end()) << "round " << round;
    }
}

TEST_F(SCDynamicStoreTest, WritersInThreeProcessesAtOnceLoseNothing)
{
    constexpr int writers = 3;
    constexpr int writesEach = 50;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int writerNumber = 0; writerNumber < writers; ++writerNumber) {
        pid_t child = fork();
        if (child == 0) {
            close(gate[1]);
            char ignored;
            // Every writer starts when the gate closes, so that their changes overlap.
            [[maybe_unused]] auto opened = read(gate[0], &ignored, 1);
            bool done = true;
            for (int write = 0; write < writesEach; ++write) {
                std::string key = "Test:/Writer/" + std::to_string(writerNumber) + "/" + std::to_string(write);
                done = SCDynamicStoreSetValue(writer.get(), key, PropertyListDictionary { { "Write", write } }) && done;
            }
            _exit(done ? 0 : 1);
        }
        if (child > 0)
            children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    ASSERT_EQ(children.size(), static_cast<size_t>(writers)) << "fork failed";
    for (pid_t child : children)
        EXPECT_EQ(waitForChild(child), 0);

    auto keys = SCDynamicStoreCopyKeyList(writer.get(), "Test:/Writer/.*");
    ASSERT_TRUE(keys);
    EXPECT_EQ(keys->size(), static_cast<size_t>(writers * writesEach));
    for (int writerNumber = 0; writerNumber < writers; ++writerNumber) {
        for (int write = 0; write < writesEach; ++write) {
            std::string key = "Test:/Writer/" + std::to_string(writerNumber) + "/" + std::to_string(write);
            EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), key),
                      PropertyList(PropertyListDictionary { { "Write", write } }))
                << key;
        }
    }
}

TEST_F(SCDynamicStoreTest, WatcherIsToldOfSetsAndRemovesByAnotherConnection)
{
    const std::string key = "State:/Network/Global/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { key });

    set(key, nestedValue("1.1.1.1"));
    EXPECT_TRUE(watcher.changes.empty()) << "the callback runs on the run loop, never inside the change";
    ASSERT_TRUE(runLoopUntil([&] { return !watcher.changes.empty(); }));
    EXPECT_EQ(watcher.changes, (Changes { { key } }));

    ASSERT_TRUE(SCDynamicStoreRemoveValue(writer.get(), key));
    ASSERT_TRUE(runLoopUntil([&] { return watcher.changes.size() >= 2; }));
    EXPECT_EQ(watcher.changes, (Changes { { key }, { key } }));

    EXPECT_FALSE(SCDynamicStoreRemoveValue(writer.get(), key));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes.size(), 2u) << "removing a key that is not there changes nothing";
}

TEST_F(SCDynamicStoreTest, WatcherIsToldOfAChangeMadeByAnotherProcess)
{
    const std::string key = "State:/Network/Service/A/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { key });

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(SCDynamicStoreSetValue(writer.get(), key, nestedValue("3.3.3.3")) ? 0 : 1);
    ASSERT_EQ(waitForChild(child), 0);

    ASSERT_TRUE(runLoopUntil([&] { return !watcher.changes.empty(); }));
    EXPECT_EQ(watcher.changes, (Changes { { key } }));
    EXPECT_EQ(SCDynamicStoreCopyValue(watcher.store.get(), key), nestedValue("3.3.3.3"));
}

TEST_F(SCDynamicStoreTest, ChangesBeforeTheRunLoopRunsComeInOneCallbackWithEachKeyOnce)
{
    const std::string first = "State:/Network/Service/A/DNS";
    const std::string second = "State:/Network/Service/B/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { first, second });

    set(first, nestedValue("1.1.1.1"));
    set(second, nestedValue("1.1.1.1"));
    set(first, nestedValue("2.2.2.2"));
    ASSERT_TRUE(SCDynamicStoreRemoveValue(writer.get(), first));
    set(first, nestedValue("3.3.3.3"));
    set(second, nestedValue("3.3.3.3"));

    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, (Changes { { first, second } })) << "in the order the keys first changed";

    set(second, nestedValue("4.4.4.4"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, (Changes { { first, second }, { second } })) << "a later change is a new callback";
}

TEST_F(SCDynamicStoreTest, KeysThatAreNotWatchedAreNeverReported)
{
    const std::string key = "State:/Network/Service/A/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { key });

    for (const char* other : { "State:/Network/Service/A/DNSx", "State:/Network/Service/A", "Setup:/Network/Service/A/DNS",
                               "state:/network/service/a/dns", "State:/Network/Service/./DNS" })
        set(other, nestedValue("1.1.1.1"));
    ASSERT_TRUE(SCDynamicStoreRemoveValue(writer.get(), "State:/Network/Service/A"));
    deliverEverythingChanged();

    EXPECT_EQ(watcher.changes, Changes {});
}

TEST_F(SCDynamicStoreTest, ConnectionIsToldOfItsOwnChangeOfAWatchedKey)
{
    const std::string key = "State:/Network/Global/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { key });

    ASSERT_TRUE(SCDynamicStoreSetValue(watcher.store.get(), key, nestedValue("1.1.1.1")));
    ASSERT_TRUE(runLoopUntil([&] { return !watcher.changes.empty(); }));
    EXPECT_EQ(watcher.changes, (Changes { { key } }));
}

TEST_F(SCDynamicStoreTest, EveryWatcherOfAKeyIsToldOnce)
{
    const std::string key = "State:/Network/Global/DNS";
    Watcher first;
    Watcher second;
    watch(first, "first", { key, key });
    watch(second, "second", { key });

    set(key, nestedValue("1.1.1.1"));
    deliverEverythingChanged();
    EXPECT_EQ(first.changes, (Changes { { key } })) << "a key listed twice is still one watch";
    EXPECT_EQ(second.changes, (Changes { { key } }));
}

TEST_F(SCDynamicStoreTest, SettingNotificationKeysReplacesTheEarlierList)
{
    const std::string first = "State:/Network/Service/A/DNS";
    const std::string second = "State:/Network/Service/B/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { first });
    auto watchOnly = [&](const std::vector<std::string>& keys) {
        ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), &keys, nullptr));
    };
    int round = 0;
    auto changeBoth = [&] {
        ++round;
        set(first, PropertyListDictionary { { "Round", round } });
        set(second, PropertyListDictionary { { "Round", round } });
        deliverEverythingChanged();
    };

    watchOnly({ first, second });
    changeBoth();
    EXPECT_EQ(watcher.changes, (Changes { { first, second } })) << "a key added to the list";

    watchOnly({ second });
    changeBoth();
    EXPECT_EQ(watcher.changes, (Changes { { first, second }, { second } })) << "a key left out of the list";

    ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), nullptr, nullptr));
    changeBoth();
    EXPECT_EQ(watcher.changes, (Changes { { first, second }, { second } })) << "no keys: nothing is watched";

    watchOnly({ first });
    changeBoth();
    EXPECT_EQ(watcher.changes, (Changes { { first, second }, { second }, { first } })) << "a key watched again";
}

// A pattern watches every key it matches as a whole, those written later included, beside the keys;
// one that does not compile changes nothing.
TEST_F(SCDynamicStoreTest, PatternsWatchEveryKeyTheyMatchAsAWhole)
{
    const std::string global = "State:/Network/Global/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { global });

    std::vector<std::string> keys { global };
    for (const std::vector<std::string>& wrong : { std::vector<std::string> { "[" }, { "State:/Network/Service/.*/IPv4", "x)|(.*" } }) {
        EXPECT_FALSE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), &keys, &wrong));
        set("State:/Network/Service/A/IPv4", nestedValue("0.0.0." + std::to_string(wrong.size())));
        deliverEverythingChanged();
        EXPECT_EQ(watcher.changes, Changes {}) << wrong.back();
    }
    EXPECT_FALSE(SCDynamicStoreSetNotificationKeys(nullptr, &keys, nullptr));

    std::vector<std::string> patterns { "State:/Network/Service/.*/IPv4", "Setup:/Network/Service/[AB]/DNS" };
    ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), &keys, &patterns));
    for (const char* key : { "State:/Network/Service/A/IPv4", "State:/Network/Service/A/IPv4/More", "State:/Network/Service/B/IPv6",
                             "Setup:/Network/Service/B/DNS", "Setup:/Network/Service/C/DNS", "XState:/Network/Service/A/IPv4",
                             "State:/Network/Global/DNS", "State:/Network/Service/NEW/IPv4" })
        set(key, nestedValue("1.1.1.1"));
    ASSERT_TRUE(SCDynamicStoreRemoveValue(writer.get(), "State:/Network/Service/A/IPv4"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, (Changes { { "State:/Network/Service/A/IPv4", "Setup:/Network/Service/B/DNS", global,
                                            "State:/Network/Service/NEW/IPv4" } }));

    std::vector<std::string> noPatterns;
    ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), &keys, &noPatterns)) << "an empty pattern list is no pattern";
    set("State:/Network/Service/NEW/IPv4", nestedValue("2.2.2.2"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes.size(), 1u);

    ASSERT_TRUE(SCDynamicStoreSetNotificationKeys(watcher.store.get(), nullptr, &patterns)) << "patterns without keys";
    set("State:/Network/Service/NEW/IPv4", nestedValue("3.3.3.3"));
    set(global, nestedValue("3.3.3.3"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes.back(), (std::vector<std::string> { "State:/Network/Service/NEW/IPv4" }));
}

TEST_F(SCDynamicStoreTest, SettingAnEqualValueReportsNothing)
{
    const std::string key = "State:/Network/Global/DNS";
    set(key, nestedValue("1.1.1.1"));
    Watcher watcher;
    watch(watcher, "watcher", { key });

    set(key, nestedValue("1.1.1.1"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, Changes {});

    set(key, nestedValue("1.1.1.2"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, (Changes { { key } }));
}

TEST_F(SCDynamicStoreTest, ConnectionGoneWithAChangePendingIsNeverCalled)
{
    const std::string key = "State:/Network/Global/DNS";
    Watcher watcher;
    watch(watcher, "watcher", { key });
    set(key, nestedValue("1.1.1.1"));
    // One turn takes the notification in; the callback could only run on a later turn.
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, true);
    ASSERT_EQ(watcher.changes, Changes {});

    watcher.store.reset();
    set(key, nestedValue("2.2.2.2"));
    deliverEverythingChanged();
    EXPECT_EQ(watcher.changes, Changes {});
}

// A conditional change is made only while the key holds what the caller expects; either way the caller
// learns whether it was, and watchers hear of it only when it was.
TEST_F(SCDynamicStoreTest, ConditionalChangesAreMadeOnlyWhileTheKeyHoldsTheExpectedValue)
{
    const std::string key = "State:/Network/Service/A/DNS";
    const PropertyList a = nestedValue("1.1.1.1");
    const PropertyList b = nestedValue("2.2.2.2");
    enum class Call { SetIf, RemoveIf };
    struct Case {
        std::optional<PropertyList> before;
        Call call;
        std::optional<PropertyList> value; // what SetIf sets
        std::optional<PropertyList> expected;
        bool answer;
        std::optional<PropertyList> after;
    };
    const Case cases[] = {
        { std::nullopt, Call::SetIf, a, std::nullopt, true, a },
        { a, Call::SetIf, b, std::nullopt, false, a },
        { a, Call::SetIf, b, a, true, b },
        { a, Call::SetIf, b, b, false, a },
        { std::nullopt, Call::SetIf, b, a, false, std::nullopt },
        { a, Call::SetIf, a, a, true, a },
        { a, Call::RemoveIf, std::nullopt, a, true, std::nullopt },
        { a, Call::RemoveIf, std::nullopt, b, false, a },
        { std::nullopt, Call::RemoveIf, std::nullopt, a, false, std::nullopt },
    };
    Watcher watcher;
    watch(watcher, "watcher", { key });
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        const Case& test = cases[index];
        if (test.before)
            set(key, *test.before);
        else
            SCDynamicStoreRemoveValue(writer.get(), key);
        deliverEverythingChanged();
        watcher.changes.clear();

        bool answer = test.call == Call::SetIf ? SCDynamicStoreSetValueIf(writer.get(), key, *test.value, test.expected)
                                               : SCDynamicStoreRemoveValueIf(writer.get(), key, *test.expected);
        EXPECT_EQ(answer, test.answer) << "case " << index;
        EXPECT_EQ(SCDynamicStoreCopyValue(writer.get(), key), test.after) << "case " << index;
        deliverEverythingChanged();
        Changes heard = test.before == test.after ? Changes {} : Changes { { key } };
        EXPECT_EQ(watcher.changes, heard) << "case " << index;
    }
    EXPECT_FALSE(SCDynamicStoreSetValueIf(writer.get(), "", a, std::nullopt));
    EXPECT_FALSE(SCDynamicStoreSetValueIf(nullptr, key, a, std::nullopt));
    EXPECT_FALSE(SCDynamicStoreRemoveValueIf(nullptr, key, a));
}

// Processes that count a key up by conditional sets, each reading the key and setting the next count
// only while it still holds the one read, lose no count however their writes interleave; of those that
// then remove the final count at once, exactly one does.
TEST_F(SCDynamicStoreTest, ConditionalChangesOfRacingProcessesLoseNothing)
{
    constexpr int processes = 4;
    constexpr int countsEach = 250;
    const std::string key = "Test:/Counted";
    auto count = [](std::int64_t value) { return PropertyList(PropertyListDictionary { { "Count", value } }); };
    set(key, count(0));
    int gate[2];
    int results[2];
    ASSERT_EQ(pipe(gate), 0);
    ASSERT_EQ(pipe(results), 0);
    std::vector<pid_t> children;
    for (int process = 0; process < processes; ++process) {
        pid_t child = fork();
        if (child == 0) {
            close(gate[1]);
            close(results[0]);
            char ignored;
            [[maybe_unused]] auto opened = read(gate[0], &ignored, 1);
            auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "counter", nullptr, nullptr);
            int refused = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            for (int counted = 0; counted < countsEach;) {
                if (std::chrono::steady_clock::now() > deadline)
                    _exit(3);
                auto current = SCDynamicStoreCopyValue(store.get(), key);
                const std::int64_t* value = current ? current->dictionary()->at("Count").integer() : nullptr;
                if (!value)
                    _exit(2);
                if (SCDynamicStoreSetValueIf(store.get(), key, count(*value + 1), current))
                    ++counted;
                else
                    ++refused;
            }
            // Every process removes the final count as soon as it is there.
            while (SCDynamicStoreCopyValue(store.get(), key) != count(processes * countsEach)) {
                if (!SCDynamicStoreCopyValue(store.get(), key) || std::chrono::steady_clock::now() > deadline)
                    break;
            }
            char removed = SCDynamicStoreRemoveValueIf(store.get(), key, count(processes * countsEach)) ? 1 : 0;
            [[maybe_unused]] auto told = write(results[1], &removed, 1);
            _exit(refused > 0 ? 0 : 1);
        }
        if (child > 0)
            children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    close(results[1]);
    ASSERT_EQ(children.size(), static_cast<std::size_t>(processes)) << "fork failed";
    int interleaved = 0;
    for (pid_t child : children) {
        int status = waitForChild(child);
        EXPECT_TRUE(status == 0 || status == 1) << status;
        interleaved += status == 0;
    }
    int removals = 0;
    char removed = 0;
    while (read(results[0], &removed, 1) == 1)
        removals += removed;
    close(results[0]);
    EXPECT_EQ(removals, 1) << "exactly one process removes the final count";
    EXPECT_FALSE(SCDynamicStoreCopyValue(writer.get(), key));
    // Not a condition of the store, only of this test's strength: how many processes found the key
    // changed under them.
    std::cout << interleaved << " of " << processes << " processes had a conditional set refused\n";
}

} // namespace
