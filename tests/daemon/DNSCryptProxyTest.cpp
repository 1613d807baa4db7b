#include "NotificationManager.h"

#include "DeviceSeed.h"
#include "DeviceShell.h"
#include "NSDictionary.h"
#include "NSString.h"
#include "NotificationRecorder.h"
#include "PropertyListAssertions.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"
#include "Tools.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

const PropertyListArray packagedArguments { "/usr/sbin/dnscrypt-proxy", "--local-address=127.0.0.1", "--logfile=/tmp/DNSCrypt.log",
                                            "--resolvers-list=/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv" };

PropertyListArray withResolver(PropertyListArray arguments, const std::string& resolverName)
{
    arguments.push_back("--resolver-name=" + resolverName);
    return arguments;
}

std::string proxyLogLine(const std::string& resolverName)
{
    return "dnscrypt-proxy: resolver " + resolverName + " on 127.0.0.1\n";
}

// The device is declared first so that the manager goes before the device does; the device, when it
// goes, stops every proxy process that the test's calls left running.
class DNSCryptProxyTest : public testing::Test {
protected:
    DNSCryptProxyTest()
    {
        installDNSCryptProxy(device);
        installedList = list();
        manager = NotificationManager::init();
        // The pass the manager asks for at start-up runs now, not in the middle of a test.
        EXPECT_TRUE(runLoopUntil([&] { return startUp.count(kNotificationDNSChanged) == 1; }));
    }

    PropertyListDictionary list() const
    {
        auto contents = dictionaryWithContentsOfFile(DNSCryptProxyListPath);
        EXPECT_TRUE(contents);
        return contents.value_or(PropertyListDictionary {});
    }

    void writeList(const PropertyListDictionary& contents) const { writeDictionaryToFile(contents, DNSCryptProxyListPath, true); }

    // The list with RunAtLoad and ProgramArguments as given, everything else as installed.
    PropertyListDictionary installedListWith(bool runAtLoad, const PropertyList& programArguments) const
    {
        PropertyListDictionary contents = installedList;
        contents["RunAtLoad"] = runAtLoad;
        contents["ProgramArguments"] = programArguments;
        return contents;
    }

    std::optional<std::string> proxyLog() const { return device.readFile("/tmp/DNSCrypt.log"); }

    // Starts the proxy from the list as someone other than the daemon would.
    void loadProxyByHand() const
    {
        writeList(installedListWith(true, packagedArguments));
        ASSERT_EQ(device::system("launchctl load /System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist"), 0);
        ASSERT_EQ(runningProxyProcesses(device).size(), 1u);
    }

    void start(const std::string& resolverName = "")
    {
        WritePrefs(kPrefDNSCrypt, "YES");
        WritePrefs(kPrefDNSCryptServer, resolverName);
        manager->HandleDNSCryptDaemon(false);
    }

    TemporaryDevice device;
    NotificationRecorder startUp { kNotificationDNSChanged };
    std::unique_ptr<NotificationManager> manager;
    PropertyListDictionary installedList;
};

TEST_F(DNSCryptProxyTest, StartingWithoutAChosenResolverRunsTheProxyWithOpenDNS)
{
    device.writeFile("/tmp/DNSCrypt.log", proxyLogLine("cisco"));
    ASSERT_FALSE(manager->DNSCryptIsRunning());

    start();

    EXPECT_TRUE(manager->DNSCryptIsRunning());
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(true, withResolver(packagedArguments, "opendns")));
    EXPECT_EQ(runningProxyProcesses(device).size(), 1u);
    // The log is deleted before the start, so it holds the new proxy's line alone.
    EXPECT_TRUE(runLoopUntil([&] { return proxyLog() == proxyLogLine("opendns"); })) << proxyLog().value_or("(no log)");
}

TEST_F(DNSCryptProxyTest, StartingRewritesTheArgumentsKeepingAllButEarlierResolverChoices)
{
    const PropertyList nestedList = PropertyListArray { "--resolver-name=cisco" };
    const PropertyList nestedDictionary = PropertyListDictionary { { "--resolver-name=", "cisco" } };
    struct Case {
        const char* description;
        std::optional<PropertyList> programArguments; // null: the list has none
        std::string resolverName;
        PropertyListArray expected;
    };
    const Case cases[] = {
        { "every earlier choice goes, the others keep their order",
          PropertyListArray { "/usr/sbin/dnscrypt-proxy", "--resolver-name=cisco", "--local-address=127.0.0.1", "--resolver-name=",
                              "--logfile=/tmp/DNSCrypt.log", "--resolver-name=opendns" },
          "dnscrypt.eu-nl",
          { "/usr/sbin/dnscrypt-proxy", "--local-address=127.0.0.1", "--logfile=/tmp/DNSCrypt.log", "--resolver-name=dnscrypt.eu-nl" } },
        { "short entries and entries beginning otherwise stay",
          PropertyListArray { "/usr/sbin/dnscrypt-proxy", "--resolver-name", "--resolver-nam=", "-R", "", "x--resolver-name=cisco",
                              "--Resolver-Name=cisco", " --resolver-name=cisco", "--resolvers-list=/tmp/resolvers.csv" },
          "",
          { "/usr/sbin/dnscrypt-proxy", "--resolver-name", "--resolver-nam=", "-R", "", "x--resolver-name=cisco", "--Resolver-Name=cisco",
            " --resolver-name=cisco", "--resolvers-list=/tmp/resolvers.csv", "--resolver-name=opendns" } },
        { "entries that are not text stay where they are",
          PropertyListArray { "/usr/sbin/dnscrypt-proxy", 53, "--resolver-name=cisco", true, nestedList, nestedDictionary },
          "cisco",
          { "/usr/sbin/dnscrypt-proxy", 53, true, nestedList, nestedDictionary, "--resolver-name=cisco" } },
        { "arguments that are no list count as none", PropertyList("/usr/sbin/dnscrypt-proxy --resolver-name=cisco"), "",
          { "--resolver-name=opendns" } },
        { "no arguments", std::nullopt, "cisco", { "--resolver-name=cisco" } },
        { "an empty list", PropertyListArray {}, "", { "--resolver-name=opendns" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        PropertyListDictionary contents = installedList;
        contents["KeepAlive"] = PropertyListDictionary { { "SuccessfulExit", false } };
        contents.erase("ProgramArguments");
        if (testCase.programArguments)
            contents["ProgramArguments"] = *testCase.programArguments;
        writeList(contents);

        start(testCase.resolverName);

        contents["RunAtLoad"] = true;
        contents["ProgramArguments"] = testCase.expected;
        EXPECT_PRED_FORMAT2(sameValue, list(), contents);
        EXPECT_TRUE(manager->DNSCryptIsRunning());
    }
}

TEST_F(DNSCryptProxyTest, EveryStartStopsTheRunningProxyAndStartsItWithTheNewResolver)
{
    start("cisco");
    ASSERT_TRUE(runLoopUntil([&] { return proxyLog() == proxyLogLine("cisco"); }));
    const auto first = runningProxyProcesses(device);
    ASSERT_EQ(first.size(), 1u);

    start("dnscrypt.eu-nl");

    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(true, withResolver(packagedArguments, "dnscrypt.eu-nl")));
    const auto second = runningProxyProcesses(device);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second, first);
    EXPECT_TRUE(runLoopUntil([&] { return proxyLog() == proxyLogLine("dnscrypt.eu-nl"); })) << proxyLog().value_or("(no log)");

    start("dnscrypt.eu-nl");
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(true, withResolver(packagedArguments, "dnscrypt.eu-nl")));
    EXPECT_NE(runningProxyProcesses(device), second) << "the same resolver is started anew too";
    EXPECT_EQ(runningProxyProcesses(device).size(), 1u);
}

TEST_F(DNSCryptProxyTest, StoppingKeepsTheArgumentsAndEndsTheProxy)
{
    start("cisco");
    ASSERT_EQ(runningProxyProcesses(device).size(), 1u);

    manager->HandleDNSCryptDaemon(true);

    EXPECT_FALSE(manager->DNSCryptIsRunning());
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(false, withResolver(packagedArguments, "cisco")));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(DNSCryptProxyTest, StoppingEndsAProxyTheDaemonDidNotStart)
{
    WritePrefs(kPrefDNSCrypt, "YES");
    loadProxyByHand();
    ASSERT_FALSE(manager->DNSCryptIsRunning());

    manager->HandleDNSCryptDaemon(true);

    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(false, packagedArguments));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_FALSE(manager->DNSCryptIsRunning());
}

TEST_F(DNSCryptProxyTest, WithDNSCryptOffAProxyTheDaemonDidNotStartIsLeftAlone)
{
    loadProxyByHand();
    const auto listBytes = device.readFile(DNSCryptProxyListPath);
    const auto running = runningProxyProcesses(device);

    // DNSCrypt never chosen, then switched off.
    for (bool written : { false, true }) {
        SCOPED_TRACE(written);
        if (written)
            WritePrefs(kPrefDNSCrypt, "");
        manager->HandleDNSCryptDaemon(false);

        EXPECT_EQ(device.readFile(DNSCryptProxyListPath), listBytes);
        EXPECT_EQ(runningProxyProcesses(device), running);
        EXPECT_FALSE(manager->DNSCryptIsRunning());
    }
}

TEST_F(DNSCryptProxyTest, WithDNSCryptTurnedOffAProxyTheDaemonStartedIsStopped)
{
    start("cisco");
    ASSERT_EQ(runningProxyProcesses(device).size(), 1u);
    WritePrefs(kPrefDNSCrypt, "");

    manager->HandleDNSCryptDaemon(false);

    EXPECT_FALSE(manager->DNSCryptIsRunning());
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(false, withResolver(packagedArguments, "cisco")));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(DNSCryptProxyTest, WithoutTheListNothingHappens)
{
    ASSERT_TRUE(device.exists(DNSCryptProxyListPath));
    std::filesystem::remove(device.path(DNSCryptProxyListPath));
    device.writeFile("/tmp/DNSCrypt.log", proxyLogLine("cisco"));
    WritePrefs(kPrefDNSCrypt, "YES");

    for (bool stop : { false, true, false }) {
        SCOPED_TRACE(stop);
        manager->HandleDNSCryptDaemon(stop);

        EXPECT_FALSE(manager->DNSCryptIsRunning());
        EXPECT_FALSE(device.exists(DNSCryptProxyListPath));
        EXPECT_TRUE(runningProxyProcesses(device).empty());
        EXPECT_EQ(proxyLog(), proxyLogLine("cisco"));
    }
}

TEST_F(DNSCryptProxyTest, WithoutTheListARunningProxyIsNeitherStoppedNorRestarted)
{
    start("cisco");
    ASSERT_TRUE(runLoopUntil([&] { return proxyLog() == proxyLogLine("cisco"); }));
    const auto running = runningProxyProcesses(device);
    ASSERT_EQ(running.size(), 1u);
    std::filesystem::remove(device.path(DNSCryptProxyListPath));

    for (bool stop : { true, false }) {
        SCOPED_TRACE(stop);
        manager->HandleDNSCryptDaemon(stop);

        EXPECT_TRUE(manager->DNSCryptIsRunning());
        EXPECT_EQ(runningProxyProcesses(device), running);
        EXPECT_FALSE(device.exists(DNSCryptProxyListPath));
        EXPECT_EQ(proxyLog(), proxyLogLine("cisco"));
    }
}

TEST_F(DNSCryptProxyTest, AnUnreadableListIsLeftAsItIsButTheCommandsStillRun)
{
    loadProxyByHand();
    device.writeFile(DNSCryptProxyListPath, "not a property list");
    device.writeFile("/tmp/DNSCrypt.log", proxyLogLine("cisco"));

    start("cisco");

    EXPECT_TRUE(manager->DNSCryptIsRunning());
    EXPECT_EQ(device.readFile(DNSCryptProxyListPath), "not a property list");
    EXPECT_TRUE(runningProxyProcesses(device).empty()) << "the proxy started by hand is stopped, and nothing can be loaded";
    EXPECT_FALSE(proxyLog());

    manager->HandleDNSCryptDaemon(true);
    EXPECT_FALSE(manager->DNSCryptIsRunning());
    EXPECT_EQ(device.readFile(DNSCryptProxyListPath), "not a property list");
}

class DNSCryptOverrideTest : public DNSCryptProxyTest {
protected:
    void SetUp() override
    {
        seedService("A1-WIFI", "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.1" }));
        seedService("B2-CELL", "pdp_ip0", dnsDictionary({ "10.64.0.1" }), std::nullopt);
        setStoreValue("State:/Network/Global/DNS", dnsDictionary({ "192.168.1.1", "10.64.0.1" }));
        WritePrefs(kPrefDNSCrypt, "YES");
        WritePrefs(kPrefDNSCryptServer, "cisco");
        WritePrefs(kPrefPrimaryDNS, "208.67.222.222");
    }

    void applyConnectivity(const std::string& connectivity)
    {
        WritePrefs(kPrefSelectedConnectivity, connectivity);
        manager->PreferencesChanged(nullptr);
    }
};

TEST_F(DNSCryptOverrideTest, BothRunsOneProxyAndNoneLeavesNone)
{
    const PropertyListDictionary before = storeContents();
    const PropertyList local = dnsDictionary({ "127.0.0.1" });

    applyConnectivity("Both");

    for (const char* key : { "State:/Network/Service/A1-WIFI/DNS", "Setup:/Network/Service/A1-WIFI/DNS", "State:/Network/Service/B2-CELL/DNS",
                             "Setup:/Network/Service/B2-CELL/DNS", "State:/Network/Global/DNS" })
        EXPECT_PRED_FORMAT2(sameValue, storeValue(key), local) << key;
    EXPECT_TRUE(manager->DNSCryptIsRunning());
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(true, withResolver(packagedArguments, "cisco")));
    EXPECT_EQ(runningProxyProcesses(device).size(), 1u);
    EXPECT_TRUE(runLoopUntil([&] { return proxyLog() == proxyLogLine("cisco"); })) << proxyLog().value_or("(no log)");

    applyConnectivity("None");

    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_FALSE(manager->DNSCryptIsRunning());
    EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(false, withResolver(packagedArguments, "cisco")));
    EXPECT_PRED_FORMAT2(sameValue, storeContents(), before);
}

TEST_F(DNSCryptOverrideTest, APassThatAppliesNothingLeavesTheProxyStopped)
{
    removeStoreValue("State:/Network/Service/B2-CELL/IPv4"); // no cellular service
    for (const char* connectivity : { "3G", "None", "LTE" }) {
        SCOPED_TRACE(connectivity);
        applyConnectivity("Wifi");
        ASSERT_EQ(runningProxyProcesses(device).size(), 1u);

        applyConnectivity(connectivity);

        EXPECT_TRUE(runningProxyProcesses(device).empty());
        EXPECT_FALSE(manager->DNSCryptIsRunning());
        EXPECT_PRED_FORMAT2(sameValue, list(), installedListWith(false, withResolver(packagedArguments, "cisco")));
        EXPECT_PRED_FORMAT2(sameValue, storeValue("State:/Network/Service/A1-WIFI/DNS"), dnsDictionary({ "192.168.1.1" }, "home.lan"));
    }
}

} // namespace
