#include "NotificationManager.h"

#include "DeviceSeed.h"
#include "NSLog.h"
#include "NotifyPostCapture.h"
#include "PropertyListAssertions.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"
#include "Tools.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

// Sorted by key, the Wi-Fi service comes first in the service list.
const std::string wifiID = "A1-WIFI";
const std::string cellularID = "B2-CELL";

std::string stateKey(const std::string& serviceID) { return "State:/Network/Service/" + serviceID + "/DNS"; }
std::string setupKey(const std::string& serviceID) { return "Setup:/Network/Service/" + serviceID + "/DNS"; }
std::string stateBackupKey(const std::string& serviceID) { return "State:/Network/Service/" + serviceID + "/TarvikDNS"; }
std::string setupBackupKey(const std::string& serviceID) { return "Setup:/Network/Service/" + serviceID + "/TarvikDNS"; }
const std::string globalKey = "State:/Network/Global/DNS";
const std::string globalBackupKey = "State:/Network/Global/TarvikDNS";

const std::string primaryDNS = "208.67.222.222";
const std::string secondaryDNS = "208.67.220.220";
const PropertyList overrideDNS = dnsDictionary({ primaryDNS, secondaryDNS });
const PropertyList foreignDNS = dnsDictionary({ "8.8.8.8" }, "elsewhere.example");
const PropertyList keyWasAbsent = PropertyListDictionary { { "TarvikDNSKeyWasAbsent", true } };

// The DNS keys of the two services and the global DNS state, each one when given.
struct StoreSeed {
    const char* name;
    std::optional<PropertyList> wifiState;
    std::optional<PropertyList> wifiSetup;
    std::optional<PropertyList> cellularState;
    std::optional<PropertyList> cellularSetup;
    std::optional<PropertyList> global;
};

void PrintTo(const StoreSeed& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

const StoreSeed everyKey {
    "EveryKey",
    dnsDictionary({ "192.168.1.1" }, "home.lan"),
    dnsDictionary({ "192.168.1.254" }, "setup.home.lan"),
    dnsDictionary({ "10.64.0.1", "10.64.0.2" }),
    dnsDictionary({ "10.64.0.9" }),
    dnsDictionary({ "192.168.1.1", "10.64.0.1" }, "home.lan"),
};

void seedStore(const StoreSeed& seed)
{
    seedService(wifiID, "en0", seed.wifiState, seed.wifiSetup);
    seedService(cellularID, "pdp_ip0", seed.cellularState, seed.cellularSetup);
    if (seed.global)
        setStoreValue(globalKey, *seed.global);
}

// The scope of the global DNS state among the scopes of a pass, which no service identifier can be.
const std::string globalScope = "(global DNS state)";

// One overridden key, its backup, and whether a missing key leaves a record of its absence there.
struct OverriddenKey {
    std::string key;
    std::string backup;
    bool recordsAbsence;
};

std::vector<OverriddenKey> keysOfScope(const std::string& scope)
{
    if (scope == globalScope)
        return { { globalKey, globalBackupKey, true } };
    return { { stateKey(scope), stateBackupKey(scope), true }, { setupKey(scope), setupBackupKey(scope), false } };
}

std::vector<std::string> scopesOf(const std::string& connectivity)
{
    if (connectivity == "Wifi")
        return { wifiID };
    if (connectivity == "3G")
        return { cellularID };
    if (connectivity == "Both")
        return { wifiID, cellularID, globalScope };
    return {};
}

// The store once the override has been applied to the scopes over the store `before`.
PropertyListDictionary withOverride(PropertyListDictionary before, const std::vector<std::string>& scopes,
                                    const PropertyList& override)
{
    PropertyListDictionary after = before;
    for (const auto& scope : scopes) {
        for (const auto& [key, backup, recordsAbsence] : keysOfScope(scope)) {
            if (auto original = before.find(key); original != before.end())
                after[backup] = original->second;
            else if (recordsAbsence)
                after[backup] = keyWasAbsent;
            after[key] = override;
        }
    }
    return after;
}

std::vector<std::string> dnsKeys()
{
    return { stateKey(wifiID), setupKey(wifiID), stateKey(cellularID), setupKey(cellularID), globalKey };
}

Lines keyChangedLines(const NSLogCapture& log)
{
    Lines lines;
    for (const auto& message : log.messages()) {
        if (message.starts_with("Key changed : "))
            lines.push_back(message);
    }
    return lines;
}

// The device is declared first so that the manager, and the dynamic-store connection it owns, go
// before the device does.
class DNSOverrideTest : public testing::Test {
protected:
    // Starts the daemon's manager and waits for the pass it asks for at start-up, so that every later
    // pass is one the test asked for.
    void start()
    {
        manager = NotificationManager::init();
        ASSERT_TRUE(manager);
        ASSERT_TRUE(runLoopUntil([&] { return dnsChangedPosts() == 1; }));
        posts.clear();
    }

    void apply(const std::vector<std::pair<const char*, std::string>>& preferences)
    {
        for (const auto& [key, value] : preferences)
            WritePrefs(key, value);
        manager->PreferencesChanged(nullptr);
    }

    void applyConnectivity(const std::string& connectivity)
    {
        apply({ { kPrefSelectedConnectivity, connectivity }, { kPrefPrimaryDNS, primaryDNS }, { kPrefSecondaryDNS, secondaryDNS } });
    }

    size_t dnsChangedPosts() const { return posts.count(kNotificationDNSChanged); }

    // Waits for the expected number of DNSChanged posts, then lets the loop run on a little so that a
    // further pass would be seen too.
    void settle(size_t expectedPosts)
    {
        EXPECT_TRUE(runLoopUntil([&] { return dnsChangedPosts() >= expectedPosts; }));
        runLoopFor(std::chrono::milliseconds(150));
        EXPECT_EQ(dnsChangedPosts(), expectedPosts);
    }

    std::optional<std::string> resolverFile() const { return device.readFile("/etc/resolv.conf"); }

    TemporaryDevice device;
    // What the manager posts, however its posts coalesce on the way.
    NotifyPostCapture posts;
    std::unique_ptr<NotificationManager> manager;
};

struct ConnectivityCase {
    const char* name;
    std::optional<std::string> connectivity; // null: never written
    std::vector<std::string> overriddenScopes;
    std::optional<std::string> resolverText;
};

void PrintTo(const ConnectivityCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class ConnectivityTest : public DNSOverrideTest, public testing::WithParamInterface<ConnectivityCase> { };

TEST_P(ConnectivityTest, OverridesTheChosenScopesAndKeepsTheSystemsValuesElsewhere)
{
    seedStore(everyKey);
    start();
    const PropertyListDictionary before = storeContents();
    device.writeFile("/etc/resolv.conf", "nameserver 9.9.9.9\n");

    if (GetParam().connectivity)
        WritePrefs(kPrefSelectedConnectivity, *GetParam().connectivity);
    apply({ { kPrefPrimaryDNS, primaryDNS }, { kPrefSecondaryDNS, secondaryDNS } });

    EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, GetParam().overriddenScopes, overrideDNS));
    EXPECT_EQ(resolverFile(), GetParam().resolverText);
    settle(1);

    // The file is replaced whole: nothing is left beside it.
    std::vector<std::string> etc;
    for (const auto& entry : std::filesystem::directory_iterator(device.path("/etc")))
        etc.push_back(entry.path().filename().string());
    EXPECT_EQ(etc, GetParam().resolverText ? Lines { "resolv.conf" } : Lines {});
}

INSTANTIATE_TEST_SUITE_P(
    DNSOverride, ConnectivityTest,
    testing::Values(
        ConnectivityCase { "Cellular", "3G", { cellularID }, "nameserver 10.64.0.1\nnameserver 10.64.0.2\n" },
        ConnectivityCase { "WiFi", "Wifi", { wifiID }, "domain home.lan\nnameserver 192.168.1.1\n" },
        // The global scope comes last: the file lists the saved servers of every service, in service
        // order, and no domain.
        ConnectivityCase { "Both", "Both", { wifiID, cellularID, globalScope },
                           "nameserver 192.168.1.1\nnameserver 10.64.0.1\nnameserver 10.64.0.2\n" },
        ConnectivityCase { "None", "None", {}, std::nullopt },
        ConnectivityCase { "Empty", "", {}, std::nullopt },
        ConnectivityCase { "NeverChosen", std::nullopt, {}, std::nullopt },
        ConnectivityCase { "LowerCase", "wifi", {}, std::nullopt },
        ConnectivityCase { "TrailingBlank", "Both ", {}, std::nullopt },
        ConnectivityCase { "Unknown", "LTE", {}, std::nullopt }),
    [](const testing::TestParamInfo<ConnectivityCase>& testCase) { return std::string(testCase.param.name); });

class WatchingTest : public DNSOverrideTest, public testing::WithParamInterface<const char*> { };

// A key changed by someone else is noticed only when it is overridden. The change brings a whole new
// pass: what the system wrote, or its removal, is the system's value from then on, backed up under the
// override, and removing the override gives the system's latest values back.
TEST_P(WatchingTest, AForeignChangeOfAnOverriddenKeyBecomesTheSystemsValue)
{
    seedStore(everyKey);
    start();
    const std::string connectivity = GetParam();
    PropertyListDictionary systemValues = storeContents();
    applyConnectivity(connectivity);
    settle(1);

    std::vector<OverriddenKey> watched;
    for (const auto& scope : scopesOf(connectivity)) {
        for (const auto& overridden : keysOfScope(scope))
            watched.push_back(overridden);
    }
    NSLogCapture log;

    // Keys that are not overridden first; then an overridden one, whose report comes after theirs.
    for (const auto& key : dnsKeys()) {
        if (std::none_of(watched.begin(), watched.end(), [&](const OverriddenKey& overridden) { return overridden.key == key; })) {
            setStoreValue(key, foreignDNS);
            systemValues[key] = foreignDNS;
        }
    }
    setStoreValue(watched.front().key, foreignDNS);
    systemValues[watched.front().key] = foreignDNS;
    size_t passes = 2;
    settle(passes);
    EXPECT_EQ(keyChangedLines(log), Lines { "Key changed : " + watched.front().key });

    // Each overridden key rewritten, then removed, by the system, one change at a time.
    int round = 0;
    for (const auto& changed : watched) {
        for (bool removed : { false, true }) {
            SCOPED_TRACE(changed.key + (removed ? " removed" : " rewritten"));
            log.clear();
            PropertyList systemValue = dnsDictionary({ "172.16.0." + std::to_string(++round) });
            if (removed) {
                removeStoreValue(changed.key);
                systemValues.erase(changed.key);
            } else {
                setStoreValue(changed.key, systemValue);
                systemValues[changed.key] = systemValue;
            }
            settle(++passes);
            EXPECT_EQ(keyChangedLines(log), Lines { "Key changed : " + changed.key });
            for (const auto& overridden : watched) {
                EXPECT_PRED_FORMAT2(sameValue, storeValue(overridden.key), overrideDNS) << overridden.key;
                auto system = systemValues.find(overridden.key);
                std::optional<PropertyList> backup;
                if (system != systemValues.end())
                    backup = system->second;
                else if (overridden.recordsAbsence)
                    backup = keyWasAbsent;
                EXPECT_PRED_FORMAT2(sameValue, storeValue(overridden.backup), backup) << overridden.backup;
            }
        }
        // Back to a value of the system's own for the next key's round.
        setStoreValue(changed.key, foreignDNS);
        systemValues[changed.key] = foreignDNS;
        settle(++passes);
    }

    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), systemValues);
}

INSTANTIATE_TEST_SUITE_P(DNSOverride, WatchingTest, testing::Values("Wifi", "3G", "Both"));

TEST_F(DNSOverrideTest, NothingIsWatchedOnceTheOverrideIsRemoved)
{
    seedStore(everyKey);
    start();
    applyConnectivity("Both");
    applyConnectivity("None");
    settle(2);
    NSLogCapture log;

    for (const auto& key : dnsKeys())
        setStoreValue(key, foreignDNS);
    runLoopFor(std::chrono::milliseconds(300));

    EXPECT_TRUE(keyChangedLines(log).empty());
    EXPECT_EQ(dnsChangedPosts(), 2u);
}

TEST_F(DNSOverrideTest, CellularWithoutACellularServiceAppliesNothingButStillAnnounces)
{
    seedService(wifiID, "en0", everyKey.wifiState, everyKey.wifiSetup);
    seedService("C3-ETH", "en1", dnsDictionary({ "172.16.0.1" }), std::nullopt);
    setStoreValue(globalKey, *everyKey.global);
    start();
    const PropertyListDictionary before = storeContents();

    applyConnectivity("3G");

    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
    EXPECT_FALSE(resolverFile());
    settle(1);

    NSLogCapture log;
    for (const auto& key : { stateKey(wifiID), setupKey(wifiID), stateKey("C3-ETH"), globalKey })
        setStoreValue(key, foreignDNS);
    runLoopFor(std::chrono::milliseconds(300));
    EXPECT_TRUE(keyChangedLines(log).empty());
    EXPECT_EQ(dnsChangedPosts(), 1u);
}

TEST_F(DNSOverrideTest, WiFiWithoutACellularServiceOverridesEveryServiceAndTheLastOneWritesTheFile)
{
    seedService(wifiID, "en0", everyKey.wifiState, everyKey.wifiSetup);
    seedService("C3-ETH", "en1", dnsDictionary({ "172.16.0.1" }, "office.lan"), std::nullopt);
    start();
    const PropertyListDictionary before = storeContents();

    applyConnectivity("Wifi");

    EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, { wifiID, "C3-ETH" }, overrideDNS));
    EXPECT_EQ(resolverFile(), "domain office.lan\nnameserver 172.16.0.1\n");
}

class RestoreTest : public DNSOverrideTest, public testing::WithParamInterface<std::tuple<StoreSeed, const char*>> { };

// Whatever the store held before, applying twice is applying once, and removing the override gives
// back exactly what was there before, key for key.
TEST_P(RestoreTest, ASecondPassChangesNothingAndRemovalRestoresTheStoreExactly)
{
    const auto& [seed, connectivity] = GetParam();
    seedStore(seed);
    start();
    const PropertyListDictionary before = storeContents();

    applyConnectivity(connectivity);
    const PropertyListDictionary afterFirst = storeContents();
    EXPECT_PRED_FORMAT2(sameValue, afterFirst, withOverride(before, scopesOf(connectivity), overrideDNS));

    applyConnectivity(connectivity);
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), afterFirst);

    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
    EXPECT_FALSE(resolverFile());
    settle(3);
}

const StoreSeed storeSeeds[] = {
    everyKey,
    { "WiFiWithoutDNSState", std::nullopt, everyKey.wifiSetup, everyKey.cellularState, everyKey.cellularSetup, everyKey.global },
    { "WiFiWithoutDNSSetup", everyKey.wifiState, std::nullopt, everyKey.cellularState, everyKey.cellularSetup, everyKey.global },
    { "CellularWithoutAnyDNS", everyKey.wifiState, everyKey.wifiSetup, std::nullopt, std::nullopt, everyKey.global },
    { "WithoutGlobalDNS", everyKey.wifiState, everyKey.wifiSetup, everyKey.cellularState, everyKey.cellularSetup, std::nullopt },
    { "WithoutAnyDNS", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt },
};

INSTANTIATE_TEST_SUITE_P(DNSOverride, RestoreTest, testing::Combine(testing::ValuesIn(storeSeeds), testing::Values("Wifi", "3G", "Both")),
                         [](const testing::TestParamInfo<std::tuple<StoreSeed, const char*>>& testCase) {
                             return std::string(std::get<0>(testCase.param).name) + "_" + std::get<1>(testCase.param);
                         });

TEST_F(DNSOverrideTest, TheOverrideIsBuiltFromThePreferences)
{
    seedStore(everyKey);
    start();
    const PropertyListDictionary before = storeContents();

    struct Case {
        const char* description;
        std::string domain;
        std::string primary;
        std::string secondary;
        std::string dnsCrypt;
        PropertyList expected;
    };
    const Case cases[] = {
        { "domain and both servers", "opendns.lan", primaryDNS, secondaryDNS, "",
          PropertyListDictionary { { "DomainName", "opendns.lan" }, { "ServerAddresses", PropertyListArray { primaryDNS, secondaryDNS } } } },
        { "primary only", "", primaryDNS, "", "", PropertyListDictionary { { "ServerAddresses", PropertyListArray { primaryDNS } } } },
        { "secondary only", "", "", secondaryDNS, "", PropertyListDictionary { { "ServerAddresses", PropertyListArray { secondaryDNS } } } },
        { "no server", "", "", "", "", PropertyListDictionary { { "ServerAddresses", PropertyListArray {} } } },
        { "a domain and no server", "corp.lan", "", "", "",
          PropertyListDictionary { { "DomainName", "corp.lan" }, { "ServerAddresses", PropertyListArray {} } } },
        { "DNSCrypt points at the local proxy alone", "opendns.lan", primaryDNS, secondaryDNS, "YES",
          PropertyListDictionary { { "ServerAddresses", PropertyListArray { "127.0.0.1" } } } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        apply({ { kPrefSelectedConnectivity, "Both" }, { kPrefDomain, testCase.domain }, { kPrefPrimaryDNS, testCase.primary },
                { kPrefSecondaryDNS, testCase.secondary }, { kPrefDNSCrypt, testCase.dnsCrypt } });

        EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, scopesOf("Both"), testCase.expected));
    }
}

struct ResolverCase {
    const char* name;
    std::optional<PropertyList> wifiState;
    std::optional<std::string> expected;
};

void PrintTo(const ResolverCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class ResolverFileTest : public DNSOverrideTest, public testing::WithParamInterface<ResolverCase> { };

// The file describes the service's DNS as it was before the override; values of the wrong type are
// left out, and a text that is not plain ASCII is not written.
TEST_P(ResolverFileTest, DescribesTheServicesOwnDNS)
{
    seedService(wifiID, "en0", GetParam().wifiState, everyKey.wifiSetup);
    seedService(cellularID, "pdp_ip0", everyKey.cellularState, everyKey.cellularSetup);
    start();
    const PropertyListDictionary before = storeContents();
    device.writeFile("/etc/resolv.conf", "nameserver 9.9.9.9\n");

    applyConnectivity("Wifi");

    EXPECT_EQ(resolverFile(), GetParam().expected);
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, { wifiID }, overrideDNS));

    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
}

INSTANTIATE_TEST_SUITE_P(
    DNSOverride, ResolverFileTest,
    testing::Values(
        ResolverCase { "DomainAndServer", dnsDictionary({ "192.168.1.1" }, "home.lan"), "domain home.lan\nnameserver 192.168.1.1\n" },
        ResolverCase { "ServersInOrder", dnsDictionary({ "192.168.1.2", "192.168.1.1" }),
                       "nameserver 192.168.1.2\nnameserver 192.168.1.1\n" },
        ResolverCase { "EmptyDomainName",
                       PropertyListDictionary { { "DomainName", "" }, { "ServerAddresses", PropertyListArray { "192.168.1.1" } } },
                       "nameserver 192.168.1.1\n" },
        ResolverCase { "DomainOnly", PropertyListDictionary { { "DomainName", "home.lan" } }, "domain home.lan\n" },
        ResolverCase { "EmptyDictionary", PropertyListDictionary {}, std::nullopt },
        ResolverCase { "NoServerAndNoDomain", dnsDictionary({}), std::nullopt },
        ResolverCase { "NoDNSState", std::nullopt, std::nullopt },
        ResolverCase { "ServerAddressesThatIsAString",
                       PropertyListDictionary { { "DomainName", "home.lan" }, { "ServerAddresses", "192.168.1.1" } }, "domain home.lan\n" },
        ResolverCase { "ServerAddressesThatIsAStringAlone", PropertyListDictionary { { "ServerAddresses", "192.168.1.1" } }, std::nullopt },
        ResolverCase { "ServerAddressesHoldingOtherValues",
                       PropertyListDictionary { { "ServerAddresses", PropertyListArray { "192.168.1.1", 53, PropertyListDictionary {},
                                                                                         PropertyListArray { "10.0.0.1" }, "192.168.1.2" } } },
                       "nameserver 192.168.1.1\nnameserver 192.168.1.2\n" },
        ResolverCase { "DomainNameThatIsANumber",
                       PropertyListDictionary { { "DomainName", 7 }, { "ServerAddresses", PropertyListArray { "192.168.1.1" } } },
                       "nameserver 192.168.1.1\n" },
        ResolverCase { "StateThatIsAString", PropertyList("192.168.1.1"), std::nullopt },
        ResolverCase { "StateThatIsAList", PropertyList(PropertyListArray { "192.168.1.1" }), std::nullopt },
        // What is no DNS name or no IP address would be lines of its own; each is left out.
        ResolverCase { "NotASCII", dnsDictionary({ "192.168.1.1" }, "h\xC3\xB4me.lan"), "nameserver 192.168.1.1\n" },
        ResolverCase { "LinesInTheDomain",
                       dnsDictionary({ "192.168.1.1" }, "home.lan\nnameserver 203.0.113.66\noptions ndots:15"),
                       "nameserver 192.168.1.1\n" },
        ResolverCase { "LinesInAServer",
                       dnsDictionary({ "203.0.113.66\noptions ndots:15", "192.168.1.1", "192.168.1.2 ", "fe80::1", "::ffff:10.0.0.1" },
                                     "home.lan"),
                       "domain home.lan\nnameserver 192.168.1.1\nnameserver fe80::1\nnameserver ::ffff:10.0.0.1\n" },
        ResolverCase { "NothingUsable", dnsDictionary({ "ns1.example.net" }, "home lan"), std::nullopt }),
    [](const testing::TestParamInfo<ResolverCase>& testCase) { return std::string(testCase.param.name); });

TEST_F(DNSOverrideTest, BothListsOnlyStringServersOfEveryServiceWhateverElseTheyHold)
{
    seedService(wifiID, "en0", PropertyListDictionary { { "ServerAddresses", PropertyListArray { 1, "192.168.1.1" } } }, std::nullopt);
    seedService(cellularID, "pdp_ip0", PropertyListDictionary { { "ServerAddresses", "10.64.0.1" } }, std::nullopt);
    seedService("C3-ETH", "en1", PropertyList("not a dictionary"), std::nullopt);
    seedService("D4-VPN", "utun0", dnsDictionary({ "172.16.0.1" }, "vpn.lan"), std::nullopt);
    start();
    const PropertyListDictionary before = storeContents();

    applyConnectivity("Both");

    EXPECT_EQ(resolverFile(), "nameserver 192.168.1.1\nnameserver 172.16.0.1\n");
    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
}

// The service list names a service once per IPv4 state key that it has.
TEST_F(DNSOverrideTest, AServiceListedTwiceIsOverriddenOnceAndRestoredExactly)
{
    seedStore(everyKey);
    setStoreValue("State:/Network/Service/" + wifiID + "/utun/IPv4", PropertyListDictionary { { "InterfaceName", "utun0" } });
    start();
    const PropertyListDictionary before = storeContents();

    for (const char* connectivity : { "Wifi", "Both" }) {
        SCOPED_TRACE(connectivity);
        applyConnectivity(connectivity);
        EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, scopesOf(connectivity), overrideDNS));

        applyConnectivity("None");
        EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
    }
}

// The global DNS state is a scope of its own, never a service identifier: a service that the system
// names "Global" is overridden and restored like any other, and only "Both" touches the global state.
TEST_F(DNSOverrideTest, AServiceNamedGlobalIsAServiceLikeAnyOther)
{
    seedStore(everyKey);
    seedService("Global", "en2", dnsDictionary({ "172.16.0.1" }), dnsDictionary({ "172.16.0.2" }));
    start();
    const PropertyListDictionary before = storeContents();

    applyConnectivity("Wifi");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, { wifiID, "Global" }, overrideDNS));
    EXPECT_PRED_FORMAT2(sameValue, storeValue(globalKey), everyKey.global) << "\"Wifi\" leaves the global DNS state alone";
    EXPECT_EQ(resolverFile(), "nameserver 172.16.0.1\n");
    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);

    for (int pass = 0; pass < 2; ++pass) {
        applyConnectivity("Both");
        EXPECT_PRED_FORMAT2(sameValue, storeContents(), withOverride(before, { wifiID, cellularID, "Global", globalScope }, overrideDNS));
        EXPECT_EQ(resolverFile(), "nameserver 192.168.1.1\nnameserver 10.64.0.1\nnameserver 10.64.0.2\nnameserver 172.16.0.1\n");
    }
    applyConnectivity("None");
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before) << "the global DNS state is the system's again";
}

// A DNS key of the system's and the settings a person typed alike: what is no DNS name or no IP
// address becomes no line of the resolver file and no part of the override, and says so once.
TEST_F(DNSOverrideTest, WhatIsNoNameOrAddressIsLeftOutWithALogLineEach)
{
    seedService(wifiID, "en0", dnsDictionary({ "10.0.0.1\noptions ndots:15", "192.168.1.1" }, "home.lan\nnameserver 203.0.113.66"),
                std::nullopt);
    start();
    NSLogCapture log;

    apply({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefDomain, "corp.lan\tsearch evil.example" }, { kPrefPrimaryDNS, "9.9.9.9 " },
            { kPrefSecondaryDNS, secondaryDNS } });

    EXPECT_EQ(resolverFile(), "nameserver 192.168.1.1\n");
    EXPECT_PRED_FORMAT2(sameValue, storeValue(stateKey(wifiID)), dnsDictionary({ secondaryDNS }));
    Lines leftOut;
    for (const auto& message : log.messages()) {
        if (message.find("left out") != std::string::npos)
            leftOut.push_back(message);
    }
    EXPECT_EQ(leftOut, (Lines { "The override's domain \"corp.lan\\x09search evil.example\" is no DNS name; left out",
                                "The override's server \"9.9.9.9 \" is no IP address; left out",
                                "/etc/resolv.conf: the domain \"home.lan\\nnameserver 203.0.113.66\" is no DNS name; left out",
                                "/etc/resolv.conf: the server \"10.0.0.1\\noptions ndots:15\" is no IP address; left out" }));
}

} // namespace
