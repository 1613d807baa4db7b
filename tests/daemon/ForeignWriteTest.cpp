// Writes of another process that land in the middle of a pass, at the instants where the daemon could
// lose or miss one: between a key's backup and its override, right after its override, and between the
// check that a key still holds the daemon's override and the write that restores it. The test stands
// between the daemon and the store, with its own definitions of the store's operations (which hand
// every call on to the store's), and makes the system's write at exactly that instant.
#include "NotificationManager.h"

#include "DeviceSeed.h"
#include "NotifyPostCapture.h"
#include "PropertyListAssertions.h"
#include "SCDynamicStore.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"
#include "Tools.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

const std::string wifiID = "A1-WIFI";
const std::string cellularID = "B2-CELL";
const std::string wifiState = "State:/Network/Service/" + wifiID + "/DNS";
const std::string wifiSetup = "Setup:/Network/Service/" + wifiID + "/DNS";
const std::string globalState = "State:/Network/Global/DNS";

const PropertyList overrideDNS = dnsDictionary({ "208.67.222.222" });
const PropertyList systemsWrite = dnsDictionary({ "172.16.9.9" }, "renewed.lan");

std::string backupKeyOf(const std::string& key)
{
    return key.substr(0, key.rfind('/')) + "/TarvikDNS";
}

enum class Instant { AfterBackup, AfterOverride, AfterRestoreCheck };

// The system's write waiting for its instant; it is made once, then forgotten.
struct PendingWrite {
    Instant instant;
    std::string key;
};
std::optional<PendingWrite> pendingWrite;
int writesLanded = 0;

void landTheSystemsWrite()
{
    std::string key = std::exchange(pendingWrite, std::nullopt)->key;
    setStoreValue(key, systemsWrite);
    ++writesLanded;
}

bool isDue(Instant instant, const std::string& key)
{
    return pendingWrite && pendingWrite->instant == instant && pendingWrite->key == key;
}

template<typename Operation>
Operation* storesOwn(const char* symbol)
{
    auto* operation = reinterpret_cast<Operation*>(dlsym(RTLD_NEXT, symbol));
    if (!operation) {
        std::fprintf(stderr, "ForeignWriteTest: the store has no %s\n", symbol);
        std::abort();
    }
    return operation;
}

} // namespace

std::optional<PropertyList> SCDynamicStoreCopyValue(SCDynamicStoreRef store, const std::string& key)
{
    static auto* copyValue = storesOwn<decltype(SCDynamicStoreCopyValue)>(
        "_Z23SCDynamicStoreCopyValueP14SCDynamicStoreRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
    auto value = copyValue(store, key);
    if (value == overrideDNS && isDue(Instant::AfterRestoreCheck, key))
        landTheSystemsWrite();
    return value;
}

bool SCDynamicStoreSetValue(SCDynamicStoreRef store, const std::string& key, const PropertyList& value)
{
    static auto* setValue = storesOwn<decltype(SCDynamicStoreSetValue)>(
        "_Z22SCDynamicStoreSetValueP14SCDynamicStoreRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERK12PropertyList");
    bool set = setValue(store, key, value);
    if (pendingWrite && pendingWrite->instant == Instant::AfterBackup && key == backupKeyOf(pendingWrite->key))
        landTheSystemsWrite();
    if (value == overrideDNS && isDue(Instant::AfterOverride, key))
        landTheSystemsWrite();
    return set;
}

bool SCDynamicStoreSetValueIf(SCDynamicStoreRef store, const std::string& key, const PropertyList& value,
                              const std::optional<PropertyList>& expected)
{
    static auto* setValueIf = storesOwn<decltype(SCDynamicStoreSetValueIf)>(
        "_Z24SCDynamicStoreSetValueIfP14SCDynamicStoreRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERK12PropertyListRKSt8optionalIS9_E");
    bool set = setValueIf(store, key, value, expected);
    if (set && value == overrideDNS && isDue(Instant::AfterOverride, key))
        landTheSystemsWrite();
    return set;
}

namespace {

struct ForeignWriteCase {
    const char* name;
    Instant instant;
    std::string key;
};

void PrintTo(const ForeignWriteCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class ForeignWriteTest : public testing::TestWithParam<ForeignWriteCase> {
protected:
    ForeignWriteTest()
    {
        seedService(wifiID, "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.254" }));
        seedService(cellularID, "pdp_ip0", dnsDictionary({ "10.64.0.1" }), std::nullopt);
        setStoreValue(globalState, dnsDictionary({ "192.168.1.1", "10.64.0.1" }));
        writesLanded = 0;
    }

    ~ForeignWriteTest() override { pendingWrite.reset(); }

    void start()
    {
        manager = NotificationManager::init();
        ASSERT_TRUE(manager);
        ASSERT_TRUE(runLoopUntil([&] { return posts.count(kNotificationDNSChanged) == 1; }));
    }

    void apply(const std::string& connectivity)
    {
        WritePrefs(kPrefSelectedConnectivity, connectivity);
        WritePrefs(kPrefPrimaryDNS, "208.67.222.222");
        manager->PreferencesChanged(nullptr);
    }

    // Lets every pass that the system's write brings run, until the store is as expected.
    testing::AssertionResult settlesAt(const PropertyListDictionary& expected)
    {
        bool reached = runLoopUntil([&] { return storeContents() == expected; }, std::chrono::milliseconds(3000));
        runLoopFor(std::chrono::milliseconds(150));
        return sameValue("the store", "the expected store", storeContents(), expected) << (reached ? "" : " (never reached)");
    }

    TemporaryDevice device;
    NotifyPostCapture posts;
    std::unique_ptr<NotificationManager> manager;
};

// The system's write is its value from then on: under the override it is the backup, and "None" puts
// it back; the override stays in force.
TEST_P(ForeignWriteTest, IsNeitherLostNorUnheard)
{
    const auto& [name, instant, key] = GetParam();
    start();
    PropertyListDictionary systemsValues = storeContents();
    systemsValues[key] = systemsWrite;

    if (instant == Instant::AfterRestoreCheck) {
        apply("Both");
        pendingWrite = PendingWrite { instant, key };
        apply("None");
    } else {
        pendingWrite = PendingWrite { instant, key };
        apply("Both");
        PropertyListDictionary overridden = storeContents();
        if (overridden.contains(backupKeyOf(key))) {
            PropertyListDictionary expected = overridden;
            expected[key] = overrideDNS;
            expected[backupKeyOf(key)] = systemsWrite;
            EXPECT_TRUE(settlesAt(expected));
        } else {
            ADD_FAILURE() << "no backup of " << key;
        }
        apply("None");
    }

    EXPECT_EQ(writesLanded, 1) << "the instant came";
    EXPECT_TRUE(settlesAt(systemsValues));
}

INSTANTIATE_TEST_SUITE_P(
    DNSOverride, ForeignWriteTest,
    testing::Values(ForeignWriteCase { "StateAfterBackup", Instant::AfterBackup, wifiState },
                    ForeignWriteCase { "SetupAfterBackup", Instant::AfterBackup, wifiSetup },
                    ForeignWriteCase { "GlobalAfterBackup", Instant::AfterBackup, globalState },
                    ForeignWriteCase { "StateAfterOverride", Instant::AfterOverride, wifiState },
                    ForeignWriteCase { "SetupAfterOverride", Instant::AfterOverride, wifiSetup },
                    ForeignWriteCase { "GlobalAfterOverride", Instant::AfterOverride, globalState },
                    ForeignWriteCase { "StateAfterRestoreCheck", Instant::AfterRestoreCheck, wifiState },
                    ForeignWriteCase { "SetupAfterRestoreCheck", Instant::AfterRestoreCheck, wifiSetup },
                    ForeignWriteCase { "GlobalAfterRestoreCheck", Instant::AfterRestoreCheck, globalState }),
    [](const testing::TestParamInfo<ForeignWriteCase>& testCase) { return std::string(testCase.param.name); });

} // namespace
