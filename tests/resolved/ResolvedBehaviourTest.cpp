// What resolved-bridge counts on in systemd-resolved (Debian 12's, 252), proven against the real one:
// where the global servers come from, loopback servers, which servers a query reaches, the errors for
// links it will not configure, and which changes its Manager signals. A failure here means the
// machine's resolved behaves otherwise, and the bridge's design with it.
#include "ResolvedMachine.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using ServerEntry = ResolvedBusClient::ServerEntry;

#define START_MACHINE(machine)                                                          \
    if (auto why = ResolvedMachine::unavailableReason(); !why.empty())                  \
        GTEST_SKIP() << why;                                                            \
    std::string startError;                                                             \
    auto machine = ResolvedMachine::start({}, startError);                              \
    ASSERT_TRUE(machine) << startError

bool restart(ResolvedMachine& machine)
{
    machine.stopResolved();
    return machine.startResolved();
}

// Waits until each server has seen the number of queries it is expected to have seen.
void expectQueries(const ResolvedMachine& machine, const std::map<std::string, int>& expected)
{
    auto deadline = std::chrono::steady_clock::now() + 2s;
    for (const auto& [server, count] : expected) {
        while (machine.queriesSeenBy(server) < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(machine.queriesSeenBy(server), count) << server;
    }
}

TEST(ResolvedBehaviourTest, GlobalServersComeFromTheDropInAtStartAndSighupEndsResolved)
{
    START_MACHINE(machine);
    std::string global = machine->startUpstreamDNSServer("203.0.113.100");
    std::string wlanServer = machine->linkServer("wlan0");
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }).ok());
    machine->setGlobalDNS({ global });

    // 252 has no SIGHUP handler: the signal ends it, and nothing on the bus sets the global servers.
    kill(machine->resolvedPid(), SIGHUP);
    EXPECT_EQ(machine->waitForResolvedToEnd(), 128 + SIGHUP);
    EXPECT_TRUE(machine->bus().waitForResolved(false));

    ASSERT_TRUE(machine->startResolved()) << machine->resolvedOutput();
    auto servers = machine->bus().managerDNS();
    ASSERT_TRUE(servers);
    EXPECT_NE(std::find(servers->begin(), servers->end(), ServerEntry { 0, global }), servers->end());
    EXPECT_EQ(machine->readLinkDNS("wlan0"), Strings { wlanServer }) << "a link's settings outlive resolved";
}

TEST(ResolvedBehaviourTest, LoopbackServersServeALinkAndTheGlobalList)
{
    START_MACHINE(machine);
    ASSERT_TRUE(machine->startLoopbackDNSServer("203.0.113.200"));
    int wlan = ResolvedMachine::linkIndex("wlan0");

    auto reply = machine->setLinkDNSAsOtherClient("wlan0", { "127.0.0.1" });
    ASSERT_TRUE(reply.ok()) << reply.errorMessage;
    EXPECT_EQ(machine->readLinkDNS("wlan0"), Strings { "127.0.0.1" });
    // The Manager lists a loopback server under the loopback interface, whichever link set it.
    EXPECT_EQ(machine->bus().managerDNS(), (std::vector<ServerEntry> { { 1, "127.0.0.1" } }));
    EXPECT_EQ(machine->queryStub("link.probe.test"), "203.0.113.200");

    ASSERT_TRUE(machine->bus().revertLink(wlan).ok());
    machine->setGlobalDNS({ "127.0.0.1" });
    ASSERT_TRUE(restart(*machine));
    EXPECT_EQ(machine->bus().managerDNS(), (std::vector<ServerEntry> { { 1, "127.0.0.1" } }));
    EXPECT_EQ(machine->queryStub("global.probe.test"), "203.0.113.200");
    expectQueries(*machine, { { "127.0.0.1", 2 } });
}

TEST(ResolvedBehaviourTest, AQueryReachesEveryDefaultRouteOrOnlyTheLinksRoutingTheRootDomain)
{
    START_MACHINE(machine);
    std::string global = machine->startUpstreamDNSServer("203.0.113.100");
    machine->setGlobalDNS({ global });
    ASSERT_TRUE(restart(*machine));
    std::string wlanServer = machine->linkServer("wlan0");
    std::string wwanServer = machine->linkServer("wwan0");

    // DefaultRoute reads what is in effect: no servers, no; servers, yes; a routing domain, no; "~.", yes.
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), false);
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }, { "~corp.test" }).ok());
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), false);
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }).ok());
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), true);
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer }).ok());

    // Every default route at once, the global servers too; the first answer wins.
    for (int n = 0; n < 5; ++n) {
        auto answer = machine->queryStub("all" + std::to_string(n) + ".probe.test");
        EXPECT_TRUE(answer == "203.0.113.100" || answer == "203.0.113.1" || answer == "203.0.113.2") << answer.value_or("none");
    }
    expectQueries(*machine, { { global, 5 }, { wlanServer, 5 }, { wwanServer, 5 } });

    // A link routing "~." takes every name no other domain routes, from the global servers as well.
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer }, { "~." }).ok());
    EXPECT_EQ(machine->readLinkDefaultRoute("wwan0"), true);
    for (int n = 0; n < 5; ++n)
        EXPECT_EQ(machine->queryStub("root" + std::to_string(n) + ".probe.test"), "203.0.113.2");
    expectQueries(*machine, { { global, 5 }, { wlanServer, 5 }, { wwanServer, 10 } });
}

TEST(ResolvedBehaviourTest, UnknownLinksAndLoopbackAreRefusedByName)
{
    START_MACHINE(machine);
    const ResolvedBusClient& bus = machine->bus();
    const std::string noSuchLink = "org.freedesktop.resolve1.NoSuchLink";
    const std::string linkBusy = "org.freedesktop.resolve1.LinkBusy";
    struct Case {
        const char* what;
        ResolvedBusClient::Reply reply;
        std::string errorName;
        std::string errorMessage;
    } cases[] = {
        { "SetLinkDNS unknown", bus.setLinkDNS(9999, { "10.1.0.1" }), noSuchLink, "Link 9999 not known" },
        { "SetLinkDomains unknown", bus.setLinkDomains(9999, { "a.test" }), noSuchLink, "Link 9999 not known" },
        { "RevertLink unknown", bus.revertLink(9999), noSuchLink, "Link 9999 not known" },
        { "GetLink unknown", bus.getLink(9999), noSuchLink, "Link 9999 not known" },
        { "SetLinkDNS lo", bus.setLinkDNS(1, { "10.1.0.1" }), linkBusy, "Link lo is loopback device." },
        { "SetLinkDefaultRoute lo", bus.setLinkDefaultRoute(1, true), linkBusy, "Link lo is loopback device." },
        { "RevertLink lo", bus.revertLink(1), linkBusy, "Link lo is loopback device." },
        { "GetLink lo", bus.getLink(1), "", "" },
    };
    for (const auto& call : cases) {
        EXPECT_EQ(call.reply.errorName, call.errorName) << call.what;
        EXPECT_EQ(call.reply.errorMessage, call.errorMessage) << call.what;
    }

    int wlan = ResolvedMachine::linkIndex("wlan0");
    auto begin = std::chrono::steady_clock::now();
    for (int n = 0; n < 200; ++n)
        ASSERT_TRUE(bus.getLink(wlan).ok());
    auto roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin) / 200;
    RecordProperty("GetLinkMicroseconds", static_cast<int>(roundTrip.count()));
    EXPECT_LT(roundTrip, 5ms) << "one GetLink round trip";
}

TEST(ResolvedBehaviourTest, TheManagerSignalsChangedServersAndNothingElse)
{
    START_MACHINE(machine);
    ChildProcess monitor(ResolvedMachine::busctlPath(),
                         { "monitor", "--match", "type='signal',sender='org.freedesktop.resolve1',member='PropertiesChanged'" });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (monitor.standardError().find("Monitoring") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    auto signalsSoFar = [&] {
        std::this_thread::sleep_for(300ms);
        std::string output = monitor.standardOutput();
        int count = 0;
        for (auto at = output.find("STRING \"DNS\""); at != std::string::npos; at = output.find("STRING \"DNS\"", at + 1))
            ++count;
        return count;
    };
    const ResolvedBusClient& bus = machine->bus();
    int wlan = ResolvedMachine::linkIndex("wlan0");

    ASSERT_TRUE(bus.setLinkDNS(wlan, { "10.1.0.1" }).ok());
    EXPECT_EQ(signalsSoFar(), 1) << "new servers";
    ASSERT_TRUE(bus.setLinkDNS(wlan, { "10.1.0.1" }).ok());
    EXPECT_EQ(signalsSoFar(), 1) << "the same servers again";
    ASSERT_TRUE(bus.setLinkDomains(wlan, { "a.test" }).ok());
    ASSERT_TRUE(bus.setLinkDefaultRoute(wlan, false).ok());
    EXPECT_EQ(signalsSoFar(), 1) << "domains and default route";
    ASSERT_TRUE(bus.revertLink(wlan).ok());
    EXPECT_EQ(signalsSoFar(), 2) << "reverted";
    ASSERT_TRUE(bus.setLinkDNS(ResolvedMachine::linkIndex("wwan0"), { "10.2.0.1" }).ok());
    EXPECT_EQ(signalsSoFar(), 3);
    ASSERT_TRUE(machine->deleteLink("wwan0"));
    EXPECT_EQ(signalsSoFar(), 3) << "a link with servers deleted";
    EXPECT_EQ(bus.managerDNS(), std::vector<ServerEntry> {});
}

} // namespace
