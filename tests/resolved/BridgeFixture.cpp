#include "BridgeFixture.h"

#include "CFNotificationCenter.h"
#include "DeviceSeed.h"
#include "Dnsdist.h"
#include "NSDictionary.h"
#include "TarvikDNSShared.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void BridgeFixture::SetUp()
{
    if (auto why = ResolvedMachine::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    std::string error;
    machine = ResolvedMachine::start({}, error);
    ASSERT_TRUE(machine) << error;
    device = std::make_unique<TemporaryDevice>();
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, countDNSChanged, kNotificationDNSChanged,
                                    nullptr, CFNotificationSuspensionBehaviorHold);
}

void BridgeFixture::countDNSChanged(CFNotificationCenterRef, void* fixture, const std::string&, const void*,
                                    const PropertyListDictionary*)
{
    ++static_cast<BridgeFixture*>(fixture)->passesHeard;
}

void BridgeFixture::TearDown()
{
    if (device)
        CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, kNotificationDNSChanged, nullptr);
    netwardd.reset();
    bridge.reset();
    device.reset();
    machine.reset();
}

void BridgeFixture::startBridge()
{
    bridge = std::make_unique<ChildProcess>(programPath("resolved-bridge"), std::vector<std::string> {});
    ASSERT_TRUE(eventually([&] { return serviceOf("wlan0") || serviceOf("wwan0") || !bridge->isRunning(); }))
        << "the bridge publishes the links\n" << bridgeLog();
    ASSERT_TRUE(bridge->isRunning()) << bridgeLog();
}

void BridgeFixture::killBridge()
{
    kill(bridge->pid(), SIGKILL);
    bridge->waitForExit();
    earlierBridgeLogs += bridge->standardError();
    bridge.reset();
}

void BridgeFixture::startNetwardd()
{
    // Its start-up pass ends with DNSChanged: by then it hears every name it observes.
    int before = passesHeard;
    netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
    ASSERT_TRUE(runLoopUntil([&] { return passesHeard > before; }, 10s)) << netwardd->standardError();
}

void BridgeFixture::killNetwardd()
{
    kill(netwardd->pid(), SIGKILL);
    netwardd->waitForExit();
    netwardd.reset();
}

void BridgeFixture::choose(const Choice& choice)
{
    PropertyListDictionary preferences {
        { kPrefSelectedConnectivity, choice.connectivity },
        { kPrefPrimaryDNS, choice.primary },
        { kPrefSecondaryDNS, choice.secondary },
        { kPrefDomain, choice.domain },
        { kPrefDNSCrypt, choice.dnscrypt ? "1" : "" },
        { kPrefDNSCryptServer, choice.dnscrypt ? "test-resolver" : "" },
    };
    ASSERT_TRUE(writeDictionaryToFile(preferences, kPreferencesPath, true));
    ASSERT_EQ(runProgram(programPath("notifyutil"), { "-p", "com.tarvik.dns/PreferencesChanged" }).status, 0);
}

void BridgeFixture::installProxyFor(const Dnsdist& resolver)
{
    installDNSCryptProxy(*device, ProxyProgram::Real);
    std::ifstream shipped(std::string(TARVIKDNS_SOURCE_DIR) + "/tools/dnscrypt-proxy/dnscrypt-resolvers.csv", std::ios::binary);
    std::ostringstream list;
    list << shipped.rdbuf();
    list << "test-resolver,Test Resolver,dnsdist on loopback,Loopback,,https://example.test/,1,no,yes,no,"
         << resolver.dnscryptAddress() << "," << Dnsdist::providerName << "," << resolver.providerKeyText() << ",\r\n";
    device->writeFile("/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv", list.str());
}

std::vector<std::string> BridgeFixture::globalServers() const
{
    std::vector<std::string> servers;
    for (const auto& entry : machine->bus().managerDNS().value_or(std::vector<ResolvedBusClient::ServerEntry> {})) {
        if (entry.ifindex == 0)
            servers.push_back(entry.address);
    }
    return servers;
}

std::optional<std::string> BridgeFixture::serviceOf(const std::string& linkName)
{
    const std::string prefix = "State:/Network/Service/";
    for (const auto& [key, value] : storeContents()) {
        if (key.starts_with(prefix) && key.ends_with("/IPv4") && fieldOf(value, "LinkName") == linkName)
            return key.substr(prefix.size(), key.size() - prefix.size() - 5);
    }
    return std::nullopt;
}

std::string BridgeFixture::ipv4Key(const std::string& serviceID)
{
    return "State:/Network/Service/" + serviceID + "/IPv4";
}

std::optional<PropertyList> BridgeFixture::ipv4Of(const std::string& serviceID)
{
    return storeValue(ipv4Key(serviceID));
}

std::optional<PropertyList> BridgeFixture::dnsOf(const std::string& serviceID)
{
    return storeValue("State:/Network/Service/" + serviceID + "/DNS");
}

std::optional<PropertyList> BridgeFixture::backupOf(const std::string& serviceID)
{
    return storeValue("State:/Network/Service/" + serviceID + "/TarvikDNS");
}

std::string BridgeFixture::fieldOf(const std::optional<PropertyList>& dictionary, const std::string& field)
{
    const auto* fields = dictionary ? dictionary->dictionary() : nullptr;
    const std::string* text = fields ? typedValueFor<std::string>(*fields, field) : nullptr;
    return text ? *text : "";
}

std::vector<std::string> BridgeFixture::serversOf(const std::optional<PropertyList>& dictionary)
{
    const auto* fields = dictionary ? dictionary->dictionary() : nullptr;
    const auto* addresses = fields ? typedValueFor<PropertyListArray>(*fields, "ServerAddresses") : nullptr;
    std::vector<std::string> servers;
    for (const auto& address : addresses ? *addresses : PropertyListArray {}) {
        if (address.string())
            servers.push_back(*address.string());
    }
    return servers;
}

std::string BridgeFixture::bridgeLog() const
{
    return "the bridge's log:\n" + earlierBridgeLogs + (bridge ? bridge->standardError() : std::string());
}
