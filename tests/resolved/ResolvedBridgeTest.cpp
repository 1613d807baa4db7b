// resolved-bridge and netwardd on a device whose network is a machine's own: the real systemd-resolved
// with links "wlan0" and "wwan0" (ResolvedMachine). What counts is what resolved itself holds and whom
// its stub asks, read over the bus and from the DNS servers, never from the bridge.
#include "BridgeFixture.h"

#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "Dnsdist.h"
#include "TemporaryDevice.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// How soon resolved holds the override again after another client's rewrite.
constexpr auto rewriteBound = 2s;

class ResolvedBridgeTest : public BridgeFixture { };

TEST_F(ResolvedBridgeTest, WifiOverridesWlan0KeepsItAgainstAnotherClientAndNoneGivesBackItsNewestSetting)
{
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer() }, { "home.test" }).ok());
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer() }).ok());
    startBridge();
    startNetwardd();

    // The links as the phone's services, the cellular one under the phone's cellular interface name.
    auto wlan = serviceOf("wlan0");
    auto wwan = serviceOf("wwan0");
    ASSERT_TRUE(wlan && wwan);
    EXPECT_EQ(fieldOf(ipv4Of(*wlan), "InterfaceName"), "wlan0");
    EXPECT_EQ(fieldOf(ipv4Of(*wwan), "InterfaceName"), "pdp_ip0");
    EXPECT_EQ(fieldOf(ipv4Of(*wwan), "LinkName"), "wwan0");
    EXPECT_EQ(serversOf(dnsOf(*wlan)), Strings { wlanServer() });
    EXPECT_EQ(fieldOf(dnsOf(*wlan), "DomainName"), "home.test");

    std::string overrideServer = machine->startUpstreamDNSServer("198.51.100.200");
    ASSERT_FALSE(overrideServer.empty());
    choose({ "Wifi", overrideServer, "", "test" });
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; }))
        << bridgeLog();
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings { "test" });
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings { wwanServer() });
    EXPECT_EQ(machine->queryStub("one.probe.test"), "198.51.100.200") << "the override's server answers";

    // A renewal that brings another server, pushed as NetworkManager pushes it.
    std::string renewedServer = machine->startUpstreamDNSServer("198.51.100.201");
    auto rewritten = std::chrono::steady_clock::now();
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { renewedServer }, { "office.test" }).ok());
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; }, rewriteBound))
        << bridgeLog();
    std::cout << "override back in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - rewritten).count()
              << " ms after another client's rewrite\n";
    EXPECT_TRUE(eventually([&] { return serversOf(backupOf(*wlan)) == Strings { renewedServer }; }))
        << "netwardd's backup holds the system's newest value";

    choose({ "None" });
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { renewedServer }; })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings { "office.test" });
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings { wwanServer() });
    int renewedBefore = machine->queriesSeenBy(renewedServer);
    EXPECT_TRUE(machine->queryStub("two.probe.test"));
    EXPECT_GT(machine->queriesSeenBy(renewedServer), renewedBefore) << "wlan0's own server is asked again";
}

TEST_F(ResolvedBridgeTest, ThreeGTouchesOnlyWwan0AndBothLetsNoLookupReachAnotherServer)
{
    std::string globalServer = machine->startUpstreamDNSServer("198.51.100.210");
    machine->setGlobalDNS({ globalServer });
    machine->stopResolved();
    ASSERT_TRUE(machine->startResolved()) << machine->resolvedOutput();
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer() }).ok());
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer() }, { "~carrier.test" }).ok());
    startBridge();
    startNetwardd();

    std::string overrideServer = machine->startUpstreamDNSServer("198.51.100.211");
    choose({ "3G", overrideServer });
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wwan0") == Strings { overrideServer }; })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDNS("wlan0"), Strings { wlanServer() });
    EXPECT_EQ(globalServers(), Strings { globalServer });

    // resolved.conf's global servers stay, but every overridden link takes every name ahead of them.
    choose({ "Both", overrideServer });
    EXPECT_TRUE(eventually([&] {
        return machine->readLinkDNS("wlan0") == Strings { overrideServer } && machine->readLinkDomains("wlan0") == Strings { "~." };
    })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings { overrideServer });
    EXPECT_EQ(machine->readLinkDomains("wwan0"), Strings { "~." });
    EXPECT_EQ(globalServers(), Strings { globalServer });
    std::map<std::string, int> before;
    for (const auto& server : { wlanServer(), wwanServer(), globalServer })
        before[server] = machine->queriesSeenBy(server);
    int overrideBefore = machine->queriesSeenBy(overrideServer);
    for (int lookup = 0; lookup < 8; ++lookup)
        EXPECT_EQ(machine->queryStub("n" + std::to_string(lookup) + ".probe.test"), "198.51.100.211");
    EXPECT_EQ(machine->queryStub("x.carrier.test"), std::nullopt) << "the carrier's own domain is the override's too";
    for (const auto& [server, count] : before)
        EXPECT_EQ(machine->queriesSeenBy(server), count) << server << " was asked under \"Both\"";
    EXPECT_GE(machine->queriesSeenBy(overrideServer), overrideBefore + 8);

    choose({ "None" });
    EXPECT_TRUE(eventually([&] {
        return machine->readLinkDNS("wlan0") == Strings { wlanServer() } && machine->readLinkDNS("wwan0") == Strings { wwanServer() };
    })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings {});
    EXPECT_EQ(machine->readLinkDomains("wwan0"), Strings { "~carrier.test" });
    EXPECT_EQ(machine->readLinkDefaultRoute("wwan0"), false);
}

// A link that never had anything set over the bus gets nothing set again: RevertLink, not an empty list.
TEST_F(ResolvedBridgeTest, ALinkDeletedAndMadeAgainIsOverriddenAgainAndALinkWithNothingSetIsRevertedExactly)
{
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer() }).ok());
    startBridge();
    startNetwardd();
    std::string overrideServer = machine->startUpstreamDNSServer("198.51.100.220");
    choose({ "Wifi", overrideServer });
    ASSERT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; })) << bridgeLog();
    auto service = serviceOf("wlan0");
    ASSERT_TRUE(service);

    ASSERT_TRUE(machine->deleteLink("wlan0"));
    EXPECT_TRUE(eventually([&] { return !storeValue(ipv4Key(*service)); })) << "the service goes with its link";
    ASSERT_TRUE(machine->addLink("wlan0"));
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; })) << bridgeLog();
    EXPECT_EQ(serviceOf("wlan0"), service) << "the same service for a link of the same name";

    choose({ "None" });
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings {}; })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), false) << "nothing set: the state of a fresh link";
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings { wwanServer() });
}

TEST_F(ResolvedBridgeTest, TheBridgeNetwarddAndResolvedKilledAndStartedAgainLoseNothing)
{
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer() }, { "home.test" }).ok());
    startBridge();
    startNetwardd();
    std::string overrideServer = machine->startUpstreamDNSServer("198.51.100.230");
    choose({ "Wifi", overrideServer });
    ASSERT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; })) << bridgeLog();

    // Killed while another client rewrites the link: the rewrite is the system's when it starts again.
    killBridge();
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wwanServer() }, { "renewed.test" }).ok());
    startBridge();
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; })) << bridgeLog();

    killNetwardd();
    startNetwardd();
    machine->killResolved();
    ASSERT_TRUE(machine->startResolved()) << machine->resolvedOutput();
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { overrideServer }; })) << bridgeLog();

    killBridge();
    choose({ "None" });
    startBridge();
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { wwanServer() }; })) << bridgeLog();
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings { "renewed.test" });
}

TEST_F(ResolvedBridgeTest, DNSCryptAnswersTheStubThroughTheRealProxy)
{
    if (!Dnsdist::isInstalled())
        GTEST_SKIP() << "this test runs dnsdist as the DNSCrypt resolver: install Debian's dnsdist";
    std::string error;
    auto resolver = Dnsdist::start({}, error);
    ASSERT_TRUE(resolver) << error;
    installProxyFor(*resolver);
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer() }).ok());
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer() }).ok());
    startBridge();
    startNetwardd();

    Choice encrypted { "Both" };
    encrypted.dnscrypt = true;
    choose(encrypted);
    EXPECT_TRUE(eventually([&] {
        return machine->readLinkDNS("wlan0") == Strings { "127.0.0.1" } && machine->readLinkDNS("wwan0") == Strings { "127.0.0.1" };
    })) << bridgeLog();
    EXPECT_TRUE(eventually([&] { return machine->queryStub("encrypted.probe.test", 1s) == Dnsdist::spoofedIPv4; }, 10s))
        << "the stub's answer comes from dnsdist through the proxy\n"
        << device->readFile("/tmp/DNSCrypt.log").value_or("(no proxy log)");
    auto queries = resolver->dnscryptQueries();
    ASSERT_TRUE(queries);
    EXPECT_GT(queries->udp + queries->tcp, 1u);

    choose({ "None" });
    EXPECT_TRUE(eventually([&] { return machine->readLinkDNS("wlan0") == Strings { wlanServer() }; })) << bridgeLog();
}

TEST(ResolvedBridgeRefusalTest, ADeviceThatAnotherAccountCanWriteIsRefusedSayingWhich)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "gives a device file to another account: needs root";
    TemporaryDevice device;
    device.writeFile("/var/run/configd/store.log", "");
    ASSERT_EQ(chown(device.path("/var/run/configd/store.log").c_str(), 65534, 65534), 0);
    auto refused = runProgram(programPath("resolved-bridge"), {});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.error.find(device.path("/var/run/configd/store.log") + " belongs to the account "), std::string::npos)
        << refused.error;

    ASSERT_EQ(chown(device.path("/var/run/configd/store.log").c_str(), 0, 0), 0);
    std::filesystem::create_directories(device.path("/var/mobile/Library/Preferences"));
    std::filesystem::permissions(device.path("/var/mobile/Library/Preferences"), std::filesystem::perms(0777));
    refused = runProgram(programPath("resolved-bridge"), {});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.error.find(device.path("/var/mobile/Library/Preferences") + " is writable by every account"),
              std::string::npos)
        << refused.error;
}

} // namespace
