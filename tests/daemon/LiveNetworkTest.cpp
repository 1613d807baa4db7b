// The daemon's manager on a network that moves under it: services that come and go while an override is
// in force, and a daemon that ended in the middle of a pass and starts again.
#include "NotificationManager.h"

#include "DeviceSeed.h"
#include "NotifyPostCapture.h"
#include "PropertyListAssertions.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"
#include "Tools.h"

#include <gtest/gtest.h>

namespace {

const std::string wifiID = "A1-WIFI";
const std::string cellularID = "B2-CELL";
const std::string newID = "C3-NEW";

std::string ipv4Key(const std::string& serviceID) { return "State:/Network/Service/" + serviceID + "/IPv4"; }
std::string stateKey(const std::string& serviceID) { return "State:/Network/Service/" + serviceID + "/DNS"; }
std::string setupKey(const std::string& serviceID) { return "Setup:/Network/Service/" + serviceID + "/DNS"; }
std::string stateBackupKey(const std::string& serviceID) { return "State:/Network/Service/" + serviceID + "/TarvikDNS"; }
std::string setupBackupKey(const std::string& serviceID) { return "Setup:/Network/Service/" + serviceID + "/TarvikDNS"; }
const std::string globalKey = "State:/Network/Global/DNS";
const std::string globalBackupKey = "State:/Network/Global/TarvikDNS";

const PropertyList overrideDNS = dnsDictionary({ "9.9.9.9" });

class LiveNetworkTest : public testing::Test {
protected:
    LiveNetworkTest()
    {
        seedService(wifiID, "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.254" }));
        seedService(cellularID, "pdp_ip0", dnsDictionary({ "10.64.0.1" }), std::nullopt);
        setStoreValue(globalKey, dnsDictionary({ "192.168.1.1", "10.64.0.1" }));
        InitPrefs();
        WritePrefs(kPrefSelectedConnectivity, "Both");
        WritePrefs(kPrefPrimaryDNS, "9.9.9.9");
    }

    // Starts the manager as the daemon starts, and waits for its start-up pass.
    void start()
    {
        posts.clear();
        manager = NotificationManager::init();
        ASSERT_TRUE(manager);
        ASSERT_TRUE(settle(1));
    }

    // Waits for the given number of passes since the last start, then gives a further one time to show.
    bool settle(size_t passes)
    {
        bool reached = runLoopUntil([&] { return posts.count(kNotificationDNSChanged) >= passes; });
        runLoopFor(std::chrono::milliseconds(150));
        return reached && posts.count(kNotificationDNSChanged) == passes;
    }

    void applyNone()
    {
        WritePrefs(kPrefSelectedConnectivity, "None");
        manager->PreferencesChanged(nullptr);
    }

    TemporaryDevice device;
    NotifyPostCapture posts;
    std::unique_ptr<NotificationManager> manager;
};

TEST_F(LiveNetworkTest, AServiceThatComesGetsTheOverrideAndOneThatGoesGetsItsOwnValuesBack)
{
    PropertyListDictionary system = storeContents();
    start();
    ASSERT_PRED_FORMAT2(sameValue, storeValue(stateKey(wifiID)), overrideDNS);

    // Wi-Fi of a second network comes up: its DNS keys first, then the service.
    setStoreValue(stateKey(newID), dnsDictionary({ "172.16.0.1" }));
    setStoreValue(setupKey(newID), dnsDictionary({ "172.16.0.2" }));
    setStoreValue(ipv4Key(newID), PropertyListDictionary { { "InterfaceName", "en1" } });
    for (const char* key : { "State:/Network/Service/C3-NEW/DNS", "Setup:/Network/Service/C3-NEW/DNS", "State:/Network/Service/C3-NEW/IPv4" })
        system[key] = *storeValue(key);
    ASSERT_TRUE(settle(2)) << "one pass for the new service";
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateKey(newID)), overrideDNS);
    EXPECT_PRED_FORMAT2(sameValue, storeValue(setupKey(newID)), overrideDNS);
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateBackupKey(newID)), dnsDictionary({ "172.16.0.1" }));

    // The first Wi-Fi goes: the service first, its DNS state a moment later.
    removeStoreValue(ipv4Key(wifiID));
    system.erase(ipv4Key(wifiID));
    ASSERT_TRUE(settle(3));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateKey(wifiID)), system.at(stateKey(wifiID)));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(setupKey(wifiID)), system.at(setupKey(wifiID)));
    EXPECT_FALSE(storeValue(stateBackupKey(wifiID)));
    EXPECT_FALSE(storeValue(setupBackupKey(wifiID)));
    removeStoreValue(stateKey(wifiID));
    system.erase(stateKey(wifiID));
    ASSERT_TRUE(settle(3)) << "a key of a service that is not overridden is not watched";

    // The new one goes the other way round: its DNS state, then the service.
    removeStoreValue(stateKey(newID));
    system.erase(stateKey(newID));
    ASSERT_TRUE(settle(4));
    removeStoreValue(ipv4Key(newID));
    system.erase(ipv4Key(newID));
    ASSERT_TRUE(settle(5));

    applyNone();
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), system);
}

// A service's interface that turns cellular moves it out of "Wifi"'s scope.
TEST_F(LiveNetworkTest, AServiceThatBecomesCellularLeavesTheWifiScope)
{
    WritePrefs(kPrefSelectedConnectivity, "Wifi");
    PropertyListDictionary system = storeContents();
    start();
    ASSERT_PRED_FORMAT2(sameValue, storeValue(stateKey(wifiID)), overrideDNS);

    removeStoreValue(ipv4Key(cellularID));
    setStoreValue(ipv4Key(wifiID), PropertyListDictionary { { "InterfaceName", "pdp_ip0" } });
    system.erase(ipv4Key(cellularID));
    system[ipv4Key(wifiID)] = PropertyListDictionary { { "InterfaceName", "pdp_ip0" } };
    ASSERT_TRUE(settle(2));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateKey(wifiID)), system.at(stateKey(wifiID)));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateKey(cellularID)), system.at(stateKey(cellularID)));
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), system);
}

// What a daemon ended at one step of a pass leaves behind: the store with the override in force, then
// some keys already back to the system's values (and some backups gone), as the steps of applying and
// of removing leave them in turn. A daemon started again finishes the work: "None" then leaves exactly
// the system's values and no backup.
struct CutShortPass {
    const char* name;
    std::vector<std::string> systemKeysBack;
    std::vector<std::string> backupsGone;
};

void PrintTo(const CutShortPass& pass, std::ostream* stream)
{
    *stream << pass.name;
}

class CutShortPassTest : public LiveNetworkTest, public testing::WithParamInterface<CutShortPass> { };

TEST_P(CutShortPassTest, ADaemonStartedAgainLeavesTheSystemsValuesAndNoBackup)
{
    removeStoreValue(setupKey(cellularID));
    removeStoreValue(stateKey(cellularID));
    const PropertyListDictionary system = storeContents();
    start();
    ASSERT_PRED_FORMAT2(sameValue, storeValue(globalKey), overrideDNS);

    manager.reset();
    for (const auto& key : GetParam().systemKeysBack) {
        if (auto value = system.find(key); value != system.end())
            setStoreValue(key, value->second);
        else
            removeStoreValue(key);
    }
    for (const auto& key : GetParam().backupsGone)
        removeStoreValue(key);
    start();
    applyNone();

    EXPECT_PRED_FORMAT2(sameValue, storeContents(), system);
}

// The Wi-Fi service has both keys, the cellular one neither; the global state exists.
INSTANTIATE_TEST_SUITE_P(
    LiveNetwork, CutShortPassTest,
    testing::Values(
        CutShortPass { "StateBackedUp", { stateKey(wifiID), setupKey(wifiID) }, { setupBackupKey(wifiID) } },
        CutShortPass { "BothBackedUp", { stateKey(wifiID), setupKey(wifiID) }, {} },
        CutShortPass { "StateWritten", { setupKey(wifiID) }, {} },
        CutShortPass { "SetupRestoredAndItsBackupGone", { setupKey(wifiID) }, { setupBackupKey(wifiID) } },
        CutShortPass { "AbsentStateBackedUp", { stateKey(cellularID), setupKey(cellularID) }, {} },
        CutShortPass { "AbsentSetupDeleted", { setupKey(cellularID) }, {} },
        CutShortPass { "GlobalBackedUp", { globalKey }, {} },
        CutShortPass { "EverythingBackButTheBackups", { stateKey(wifiID), setupKey(wifiID), stateKey(cellularID), setupKey(cellularID), globalKey }, {} },
        // As an earlier daemon that restored the state key first could leave it.
        CutShortPass { "ALoneSetupBackup", { stateKey(wifiID), stateKey(cellularID), setupKey(cellularID), globalKey },
                       { stateBackupKey(wifiID), stateBackupKey(cellularID), globalBackupKey } }),
    [](const testing::TestParamInfo<CutShortPass>& pass) { return std::string(pass.param.name); });

// The system's own change made while no daemon ran is the system's value too.
TEST_F(LiveNetworkTest, AChangeMadeWhileTheDaemonWasDownIsKept)
{
    PropertyListDictionary system = storeContents();
    start();
    manager.reset();
    setStoreValue(stateKey(wifiID), dnsDictionary({ "10.20.0.1" }));
    removeStoreValue(setupKey(wifiID));
    system[stateKey(wifiID)] = dnsDictionary({ "10.20.0.1" });
    system.erase(setupKey(wifiID));

    start();
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateBackupKey(wifiID)), dnsDictionary({ "10.20.0.1" }));
    applyNone();
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), system);
}

} // namespace
