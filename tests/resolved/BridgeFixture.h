#pragma once

#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "PropertyList.h"
#include "ResolvedMachine.h"
#include "TemporaryDevice.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Dnsdist;

// What the pane saves: the connectivity, the servers and domain, or DNSCrypt with a resolver.
struct Choice {
    std::string connectivity { "None" };
    std::string primary {};
    std::string secondary {};
    std::string domain {};
    bool dnscrypt { false };
};

// A machine with systemd-resolved and the links "wlan0" and "wwan0", a device on it, and the bridge and
// netwardd on that device as processes of their own, started and killed by the test.
class BridgeFixture : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void startBridge();
    void killBridge();
    void startNetwardd();
    void killNetwardd();
    // Saves the choice in the preferences file and tells netwardd, as the pane does.
    void choose(const Choice& choice);
    // The real DNSCrypt proxy on the device, with dnsdist as the resolver "test-resolver" of its list.
    void installProxyFor(const Dnsdist& resolver);

    std::string wlanServer() const { return machine->linkServer("wlan0"); }
    std::string wwanServer() const { return machine->linkServer("wwan0"); }
    // resolved's global servers (from resolved.conf and its drop-ins).
    std::vector<std::string> globalServers() const;

    // The service the bridge made for a link (the IPv4 key naming it), and its keys.
    static std::optional<std::string> serviceOf(const std::string& linkName);
    static std::string ipv4Key(const std::string& serviceID);
    static std::optional<PropertyList> ipv4Of(const std::string& serviceID);
    static std::optional<PropertyList> dnsOf(const std::string& serviceID);
    // netwardd's backup of the service's DNS state.
    static std::optional<PropertyList> backupOf(const std::string& serviceID);
    static std::string fieldOf(const std::optional<PropertyList>& dictionary, const std::string& field);
    static std::vector<std::string> serversOf(const std::optional<PropertyList>& dictionary);

    std::string bridgeLog() const;

    static void countDNSChanged(CFNotificationCenterRef center, void* fixture, const std::string& name, const void* object,
                                const PropertyListDictionary* userInfo);
    int passesHeard { 0 };

    std::unique_ptr<ResolvedMachine> machine;
    std::unique_ptr<TemporaryDevice> device;
    std::unique_ptr<ChildProcess> bridge;
    std::unique_ptr<ChildProcess> netwardd;
    // What the bridges killed so far printed, for a failure's message.
    std::string earlierBridgeLogs;
};

// Polls until the condition holds or the time-out passes; the condition's last answer.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));
