#include "SCUtil.h"

#include "DeviceSeed.h"
#include "NSLog.h"
#include "NotificationRecorder.h"
#include "PropertyListAssertions.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

const std::string wifiState = "State:/Network/Service/B-WIFI/DNS";
const std::string wifiSetup = "Setup:/Network/Service/B-WIFI/DNS";
const std::string wifiBackup = "State:/Network/Service/B-WIFI/TarvikDNS";
const std::string globalState = "State:/Network/Global/DNS";

const PropertyList systemDNS = dnsDictionary({ "192.168.1.1" }, "home.lan");
const PropertyList overrideDNS = dnsDictionary({ "208.67.222.222", "208.67.220.220" });
const PropertyList foreignDNS = dnsDictionary({ "8.8.8.8" });

PropertyList ipv4State(const PropertyList& interfaceName)
{
    return PropertyListDictionary { { "InterfaceName", interfaceName }, { "Addresses", PropertyListArray { "10.0.0.2" } } };
}

std::string ipv4Key(const std::string& serviceID)
{
    return "State:/Network/Service/" + serviceID + "/IPv4";
}

void clearStore()
{
    for (const auto& [key, value] : storeContents())
        removeStoreValue(key);
}

// The device is declared first so that the connection goes before the device does.
class SCUtilTest : public testing::Test {
protected:
    // Waits until the recorder has seen `expected` posts of PreferencesChanged, then lets the loop run
    // on a little so that an unexpected further post would be seen too.
    void settle(size_t expected)
    {
        EXPECT_TRUE(runLoopUntil([&] { return recorder.count(kNotificationPreferencesChanged) >= expected; }));
        runLoopFor(std::chrono::milliseconds(150));
    }

    TemporaryDevice device;
    NotificationRecorder recorder { kNotificationPreferencesChanged };
    NSLogCapture log;
    std::unique_ptr<SCUtil> scutil = SCUtil::init();
};

TEST_F(SCUtilTest, StartsWithNothingWatched)
{
    ASSERT_TRUE(scutil);
    EXPECT_TRUE(scutil->WatchedKeys().empty());
}

struct CellularCase {
    const char* name;
    std::vector<std::pair<std::string, PropertyList>> ipv4States; // in the order they are stored
    std::string expected;
};

void PrintTo(const CellularCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class CellularServiceTest : public SCUtilTest, public testing::WithParamInterface<CellularCase> { };

TEST_P(CellularServiceTest, GetWAN_PSID)
{
    for (const auto& [serviceID, state] : GetParam().ipv4States)
        setStoreValue(ipv4Key(serviceID), state);

    EXPECT_EQ(scutil->GetWAN_PSID(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    SCUtil, CellularServiceTest,
    testing::Values(
        CellularCase { "NoServiceAtAll", {}, "" },
        CellularCase { "OnlyWiFi", { { "B-WIFI", ipv4State("en0") } }, "" },
        CellularCase { "OneCellularBesideWiFi", { { "B-WIFI", ipv4State("en0") }, { "A-CELL", ipv4State("pdp_ip0") } }, "A-CELL" },
        // The store lists keys in sorted order, whatever the order they were stored in.
        CellularCase { "TwoCellularTheLaterInListOrderWins",
                       { { "Z-CELL", ipv4State("pdp_ip0") }, { "M-WIFI", ipv4State("en0") }, { "A-CELL", ipv4State("pdp_ip0") } },
                       "Z-CELL" },
        CellularCase { "InterfaceNameThatIsANumberIsSkipped",
                       { { "A-CELL", ipv4State("pdp_ip0") }, { "B-ODD", ipv4State(0) } },
                       "A-CELL" },
        CellularCase { "InterfaceNameThatIsAListIsSkipped",
                       { { "A-CELL", ipv4State("pdp_ip0") }, { "B-ODD", ipv4State(PropertyListArray { "pdp_ip0" }) } },
                       "A-CELL" },
        CellularCase { "IPv4StateThatIsNoDictionaryIsSkipped",
                       { { "A-CELL", ipv4State("pdp_ip0") }, { "B-ODD", "pdp_ip0" }, { "C-ODD", PropertyListArray { "pdp_ip0" } } },
                       "A-CELL" },
        CellularCase { "IPv4StateWithoutInterfaceName",
                       { { "A-CELL", PropertyListDictionary { { "Addresses", PropertyListArray { "10.0.0.2" } } } } },
                       "" },
        CellularCase { "InterfaceNameComparedExactly",
                       { { "A", ipv4State("PDP_IP0") }, { "B", ipv4State("pdp_ip0 ") }, { "C", ipv4State("pdp_ip01") }, { "D", ipv4State("pdp_ip") } },
                       "" }),
    [](const testing::TestParamInfo<CellularCase>& testCase) { return std::string(testCase.param.name); });

TEST_F(SCUtilTest, Get_PSIDsTakesTheFourthComponentOfEveryIPv4StateKeyInListOrder)
{
    EXPECT_EQ(scutil->Get_PSIDs(), std::vector<std::string> {}) << "an empty store lists no service, and is no failure";

    setStoreValue("State:/Network/Service/B-WIFI/IPv4", ipv4State("en0"));
    setStoreValue("State:/Network/Service/A-CELL/IPv4", ipv4State("pdp_ip0"));
    setStoreValue("State:/Network/Service//IPv4", ipv4State("en1"));
    setStoreValue("State:/Network/Service/C-VPN/utun/IPv4", ipv4State("utun0"));
    // Keys that are no service's IPv4 state.
    setStoreValue("State:/Network/Service/D-DNS/DNS", systemDNS);
    setStoreValue("Setup:/Network/Service/E-SETUP/IPv4", ipv4State("en0"));
    setStoreValue("State:/Network/Service/F-MORE/IPv4/Extra", ipv4State("en0"));
    setStoreValue("State:/Network/Global/IPv4", PropertyListDictionary { { "PrimaryService", "B-WIFI" } });

    EXPECT_EQ(scutil->Get_PSIDs(), (std::vector<std::string> { "A-CELL", "B-WIFI", "C-VPN" }));
}

TEST_F(SCUtilTest, ReadingAKey)
{
    setStoreValue(wifiState, systemDNS);

    EXPECT_PRED_FORMAT2(sameValue, scutil->DictionaryFromKeyName(wifiState), systemDNS);
    EXPECT_TRUE(scutil->KeyExists(wifiState));
    EXPECT_PRED_FORMAT2(sameValue, scutil->DictionaryFromKeyName(wifiSetup), std::nullopt);
    EXPECT_FALSE(scutil->KeyExists(wifiSetup));

    removeStoreValue(wifiState);
    EXPECT_FALSE(scutil->KeyExists(wifiState)) << "a key removed by another connection reads as absent";
}

TEST_F(SCUtilTest, CopyingMovingAndDeletingKeys)
{
    using Transfer = void (SCUtil::*)(const std::string&, const std::string&);
    const std::string absentKey = "State:/Network/Service/C-GONE/DNS";
    const PropertyList oldBackup = dnsDictionary({ "10.0.0.1" });
    const PropertyListDictionary initial { { wifiState, systemDNS }, { wifiBackup, oldBackup } };

    struct Case {
        const char* description;
        Transfer operation;
        std::string source;
        std::string destination;
        PropertyListDictionary expected;
    };
    const Case cases[] = {
        { "copy from an absent key leaves the destination as it was", &SCUtil::CopyKeyFrom, absentKey, wifiBackup, initial },
        { "copy over an existing destination", &SCUtil::CopyKeyFrom, wifiState, wifiBackup,
          { { wifiState, systemDNS }, { wifiBackup, systemDNS } } },
        { "copy to a new key", &SCUtil::CopyKeyFrom, wifiState, absentKey,
          { { wifiState, systemDNS }, { wifiBackup, oldBackup }, { absentKey, systemDNS } } },
        { "move from an absent key writes and deletes nothing", &SCUtil::MoveKeyFrom, absentKey, wifiBackup, initial },
        { "move over an existing destination", &SCUtil::MoveKeyFrom, wifiBackup, wifiState, { { wifiState, oldBackup } } },
        { "move to a new key", &SCUtil::MoveKeyFrom, wifiState, absentKey, { { wifiBackup, oldBackup }, { absentKey, systemDNS } } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        clearStore();
        for (const auto& [key, value] : initial)
            setStoreValue(key, value);

        (scutil.get()->*testCase.operation)(testCase.source, testCase.destination);

        EXPECT_PRED_FORMAT2(sameValue, storeContents(), testCase.expected);
        EXPECT_TRUE(scutil->WatchedKeys().empty()) << "copies and moves are never watched";
    }

    clearStore();
    setStoreValue(wifiState, systemDNS);
    scutil->DeleteKey(absentKey);
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), (PropertyListDictionary { { wifiState, systemDNS } }));
    scutil->DeleteKey(wifiState);
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), PropertyListDictionary {});
}

TEST_F(SCUtilTest, WritingNothingChangesNothingAndWatchesNothing)
{
    const std::string sentinel = "State:/Network/Service/Z-SENTINEL/DNS";
    setStoreValue(wifiState, systemDNS);

    scutil->WriteDict(std::nullopt, wifiState, true);
    scutil->WriteDict(std::nullopt, wifiSetup, true);
    scutil->WriteDict(std::nullopt, wifiSetup);

    EXPECT_PRED_FORMAT2(sameValue, storeContents(), (PropertyListDictionary { { wifiState, systemDNS } }));
    EXPECT_TRUE(scutil->WatchedKeys().empty());

    // A change of the key is not reported; a later change of a watched key, posted after it, is.
    scutil->WriteDict(overrideDNS, sentinel, true);
    setStoreValue(wifiState, foreignDNS);
    setStoreValue(sentinel, foreignDNS);
    settle(1);
    EXPECT_EQ(log.messages(), Lines { "Key changed : " + sentinel });
    EXPECT_EQ(recorder.count(kNotificationPreferencesChanged), 1u);
}

TEST_F(SCUtilTest, WritingWithoutWatchingStoresTheValueOnly)
{
    scutil->WriteDict(overrideDNS, wifiState);

    EXPECT_PRED_FORMAT2(sameValue, storeValue(wifiState), overrideDNS);
    EXPECT_TRUE(scutil->WatchedKeys().empty());
}

TEST_F(SCUtilTest, AKeyWrittenTwiceWithWatchingIsListedTwiceAndRecordsTheSecondValue)
{
    scutil->WriteDict(systemDNS, wifiState, true);
    scutil->WriteDict(overrideDNS, wifiSetup, true);
    scutil->WriteDict(overrideDNS, wifiState, true);

    EXPECT_EQ(scutil->WatchedKeys(), (std::vector<std::string> { wifiState, wifiSetup, wifiState }));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(wifiState), overrideDNS);

    // Measured against the second value the key has not changed; against the first it would have.
    scutil->notificationOfChangedKeys({ wifiState });
    runLoopFor(std::chrono::milliseconds(150));
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(recorder.received.empty());
}

TEST_F(SCUtilTest, AReportedKeyHoldingWhatWasWrittenIsNoChange)
{
    scutil->WriteDict(overrideDNS, wifiState, true);
    scutil->WriteDict(overrideDNS, globalState, true);

    scutil->notificationOfChangedKeys({ wifiState, globalState });
    runLoopFor(std::chrono::milliseconds(150));

    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(recorder.received.empty());
}

TEST_F(SCUtilTest, SeveralChangedKeysAreLoggedEachAndAnnouncedOnce)
{
    const std::string unchanged = "Setup:/Network/Service/A-CELL/DNS";
    for (const auto& key : { wifiState, wifiSetup, globalState, unchanged })
        scutil->WriteDict(overrideDNS, key, true);
    setStoreValue(wifiState, foreignDNS);
    removeStoreValue(wifiSetup);
    setStoreValue(globalState, dnsDictionary({ "208.67.222.222" }));
    // Let the reports of these changes pass first, so that only the call below is measured.
    ASSERT_TRUE(runLoopUntil([&] { return log.messages().size() == 3; }));
    settle(1);
    log.clear();
    recorder.received.clear();

    scutil->notificationOfChangedKeys({ globalState, unchanged, wifiState, wifiSetup });

    EXPECT_EQ(log.messages(), (Lines { "Key changed : " + globalState, "Key changed : " + wifiState, "Key changed : " + wifiSetup }));
    settle(1);
    EXPECT_EQ(recorder.received, Lines { kNotificationPreferencesChanged });
}

TEST_F(SCUtilTest, AReportedKeyWithoutARecordCountsAsChanged)
{
    scutil->WriteDict(overrideDNS, wifiState, true);
    scutil->removeAllObservers();
    EXPECT_TRUE(scutil->WatchedKeys().empty());

    scutil->notificationOfChangedKeys({ wifiState });

    EXPECT_EQ(log.messages(), Lines { "Key changed : " + wifiState });
    settle(1);
    EXPECT_EQ(recorder.received, Lines { kNotificationPreferencesChanged });
}

TEST_F(SCUtilTest, AWatchedKeyChangedByAnotherConnectionIsAnnounced)
{
    struct Case {
        const char* description;
        void (*change)(const std::string& key);
    };
    const Case cases[] = {
        { "set to another value", [](const std::string& key) { setStoreValue(key, foreignDNS); } },
        { "removed", [](const std::string& key) { removeStoreValue(key); } },
    };
    size_t posts = 0;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        log.clear();
        scutil->removeAllObservers();
        scutil->WriteDict(overrideDNS, wifiState, true);

        testCase.change(wifiState);

        settle(++posts);
        EXPECT_EQ(log.messages(), Lines { "Key changed : " + wifiState });
        EXPECT_EQ(recorder.count(kNotificationPreferencesChanged), posts);
    }
}

TEST_F(SCUtilTest, ItsOwnWatchedWritesAreNotAnnounced)
{
    const std::string sentinel = "State:/Network/Service/Z-SENTINEL/DNS";
    scutil->WriteDict(overrideDNS, sentinel, true);
    scutil->WriteDict(systemDNS, wifiState, true);
    scutil->WriteDict(overrideDNS, wifiState, true);
    scutil->WriteDict(overrideDNS, globalState, true);

    // Reports arrive in the order of the changes: once the sentinel's is in, the writes above have been
    // reported too.
    setStoreValue(sentinel, foreignDNS);
    settle(1);

    EXPECT_EQ(log.messages(), Lines { "Key changed : " + sentinel });
    EXPECT_EQ(recorder.received, Lines { kNotificationPreferencesChanged });
}

TEST_F(SCUtilTest, NothingIsAnnouncedOnceTheObserversAreRemoved)
{
    scutil->WriteDict(overrideDNS, wifiState, true);
    scutil->removeAllObservers();
    setStoreValue(wifiState, foreignDNS);

    runLoopFor(std::chrono::milliseconds(200));

    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(recorder.received.empty());
}

TEST_F(SCUtilTest, NothingReachesAConnectionThatIsGone)
{
    scutil->WriteDict(overrideDNS, wifiState, true);
    scutil.reset();
    setStoreValue(wifiState, foreignDNS);

    runLoopFor(std::chrono::milliseconds(200));

    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(recorder.received.empty());
    EXPECT_PRED_FORMAT2(sameValue, storeValue(wifiState), foreignDNS);
}

} // namespace
