// netwardd as its own process on a device seeded with a Wi-Fi service (en0) and a cellular one
// (pdp_ip0), driven only from outside: the preferences file, notifyutil, scutil and launchctl.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "LoopbackNamespace.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
constexpr const char* wifiState = "State:/Network/Service/WIFI-SERVICE/DNS";
constexpr const char* wifiSetup = "Setup:/Network/Service/WIFI-SERVICE/DNS";
constexpr const char* cellularState = "State:/Network/Service/CELL-SERVICE/DNS";
constexpr const char* globalState = "State:/Network/Global/DNS";

class OverrideTest : public testing::Test {
protected:
    OverrideTest()
    {
        seedService("WIFI-SERVICE", "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.1" }));
        seedService("CELL-SERVICE", "pdp_ip0", dnsDictionary({ "10.64.0.1", "10.64.0.2" }), std::nullopt);
        setStoreValue(globalState, dnsDictionary({ "192.168.1.1", "10.64.0.1" }));
        installDNSCryptProxy(device, ProxyProgram::Real);
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record,
                                        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    }

    void startNetwardd()
    {
        netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
        ASSERT_TRUE(waitForNotificationObserver(netwardd->pid()));
        ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 1; })) << "the start-up pass";
    }

    // Saves the preferences as the pane does, announces them, and waits for the daemon's pass.
    void save(const PropertyListDictionary& changes)
    {
        auto preferences = dictionaryWithContentsOfFile(preferencesPath).value_or(PropertyListDictionary {});
        for (const auto& [key, value] : changes)
            preferences[key] = value;
        writeDictionaryToFile(preferences, preferencesPath, true);
        int before = dnsChanged;
        ASSERT_EQ(runProgram(programPath("notifyutil"), { "-p", "com.tarvik.dns/PreferencesChanged" }).status, 0);
        ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    }

    std::string launchctlList() { return runProgram(programPath("launchctl"), { "list" }).output; }

    TemporaryDevice device;
    std::unique_ptr<ChildProcess> netwardd;
    int dnsChanged { 0 };

private:
    static void record(CFNotificationCenterRef, void* observer, const std::string&, const void*, const PropertyListDictionary*)
    {
        ++static_cast<OverrideTest*>(observer)->dnsChanged;
    }
};

PropertyList overrideWith(std::vector<std::string> servers, const std::string& domain = "")
{
    return dnsDictionary(servers, domain);
}

TEST_F(OverrideTest, WifiOverridesTheWifiServiceAloneAndWritesTheResolverFile)
{
    startNetwardd();

    save({ { "SelectedConnectivity", "Wifi" }, { "Domain", "example.org" }, { "PrimaryDNS", "9.9.9.9" }, { "SecondaryDNS", "1.1.1.1" } });

    EXPECT_EQ(storeValue(wifiState), overrideWith({ "9.9.9.9", "1.1.1.1" }, "example.org"));
    EXPECT_EQ(storeValue(wifiSetup), overrideWith({ "9.9.9.9", "1.1.1.1" }, "example.org"));
    EXPECT_EQ(storeValue(cellularState), dnsDictionary({ "10.64.0.1", "10.64.0.2" }));
    EXPECT_EQ(storeValue(globalState), dnsDictionary({ "192.168.1.1", "10.64.0.1" }));
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), "domain home.lan\nnameserver 192.168.1.1\n");

    auto scutil = runProgram(programPath("scutil"), { "--dns" });
    EXPECT_NE(scutil.output.find("nameserver[0] : 9.9.9.9\n  nameserver[1] : 1.1.1.1\n  if_index : 2 (en0)"), std::string::npos)
        << scutil.output;
}

TEST_F(OverrideTest, AForeignChangeOfAWatchedKeyBringsTheOverrideBackOverTheSystemsNewValue)
{
    startNetwardd();
    save({ { "SelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" } });
    int before = dnsChanged;

    auto set = runProgram(programPath("scutil"), { "--set", wifiState }, dnsDictionary({ "172.16.0.1" }).xml());
    ASSERT_EQ(set.status, 0) << set.error;

    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    runLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(dnsChanged, before + 1);
    EXPECT_EQ(storeValue(wifiState), overrideWith({ "9.9.9.9" }));
    // The value the system wrote is the system's now: it is what the resolver file and the removal give.
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), "nameserver 172.16.0.1\n");
    save({ { "SelectedConnectivity", "None" } });
    EXPECT_EQ(storeValue(wifiState), dnsDictionary({ "172.16.0.1" }));
    EXPECT_EQ(storeValue(wifiSetup), dnsDictionary({ "192.168.1.1" }));
}

TEST_F(OverrideTest, BothWithDNSCryptStartsTheProxyWithTheChosenResolver)
{
    // DNSCrypt on: the proxy binds 127.0.0.1:53 and asks a public resolver.
    LoopbackNamespace network;
    if (!network.isEntered())
        GTEST_SKIP() << network.problem();

    startNetwardd();

    save({ { "SelectedConnectivity", "Both" }, { "DNSCrypt", "YES" }, { "DNSCryptServer", "cisco" } });

    for (const char* key : { wifiState, wifiSetup, cellularState, globalState })
        EXPECT_EQ(storeValue(key), overrideWith({ "127.0.0.1" })) << key;
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), "nameserver 10.64.0.1\nnameserver 10.64.0.2\nnameserver 192.168.1.1\n");
    EXPECT_EQ(runningProxyProcesses(device).size(), 1u);
    // The proxy writes its first line once it runs, a moment after launchctl has started it.
    const std::regex firstLine("^\\[[-0-9: ]+\\] Using resolver cisco at 208\\.67\\.220\\.220:443 "
                               "\\(provider 2\\.dnscrypt-cert\\.opendns\\.com\\) on 127\\.0\\.0\\.1:53\n");
    EXPECT_TRUE(runLoopUntil([&] { return std::regex_search(device.readFile("/tmp/DNSCrypt.log").value_or(""), firstLine); }))
        << device.readFile("/tmp/DNSCrypt.log").value_or("(no log)");
    EXPECT_NE(launchctlList().find("\t0\tcom.opendns.DNSCryptProxy"), std::string::npos);
}

TEST_F(OverrideTest, NoneRestoresTheStoreByteForByteAndStopsTheProxy)
{
    // DNSCrypt on: the proxy binds 127.0.0.1:53 and asks a public resolver.
    LoopbackNamespace network;
    if (!network.isEntered())
        GTEST_SKIP() << network.problem();

    removeStoreValue(wifiSetup);
    setStoreValue("State:/Network/Service/VPN-SERVICE/IPv4", PropertyListDictionary { { "InterfaceName", "utun0" } });
    startNetwardd();
    const PropertyListDictionary before = storeContents();
    const auto storeFileBefore = device.readFile("/var/run/configd/store.plist");

    save({ { "SelectedConnectivity", "Both" }, { "DNSCrypt", "YES" } });
    ASSERT_EQ(storeValue("State:/Network/Service/VPN-SERVICE/DNS"), overrideWith({ "127.0.0.1" }));
    save({ { "SelectedConnectivity", "None" } });

    EXPECT_EQ(storeContents(), before);
    EXPECT_EQ(device.readFile("/var/run/configd/store.plist"), storeFileBefore);
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_EQ(launchctlList(), "PID\tStatus\tLabel\n");
}

TEST_F(OverrideTest, AKilledDaemonStartedAgainStillRestoresTheStore)
{
    // DNSCrypt on: the proxy binds 127.0.0.1:53 and asks a public resolver.
    LoopbackNamespace network;
    if (!network.isEntered())
        GTEST_SKIP() << network.problem();

    startNetwardd();
    const PropertyListDictionary before = storeContents();
    save({ { "SelectedConnectivity", "Both" }, { "DNSCrypt", "YES" }, { "DNSCryptServer", "cisco" } });
    ASSERT_EQ(runningProxyProcesses(device).size(), 1u);

    kill(netwardd->pid(), SIGKILL);
    ASSERT_EQ(netwardd->waitForExit(), 128 + SIGKILL);
    dnsChanged = 0;
    startNetwardd();
    save({ { "SelectedConnectivity", "None" } });

    EXPECT_EQ(storeContents(), before);
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

} // namespace
