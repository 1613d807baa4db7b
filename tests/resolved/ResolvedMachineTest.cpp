// The harness that runs the real systemd-resolved for resolved-bridge's tests: its links, another
// client's settings read back from resolved, the stub answering through a link's own server, and
// resolved killed and started again while links come and go.
#include "ResolvedMachine.h"

#include <gtest/gtest.h>

namespace {

using Strings = std::vector<std::string>;

std::unique_ptr<ResolvedMachine> startMachine()
{
    std::string error;
    auto machine = ResolvedMachine::start({}, error);
    EXPECT_TRUE(machine) << error;
    return machine;
}

TEST(ResolvedMachineTest, AnotherClientSetsALinkAndTheStubAsksItsServer)
{
    if (auto why = ResolvedMachine::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    auto machine = startMachine();
    ASSERT_TRUE(machine);

    for (const char* link : { "wlan0", "wwan0" }) {
        SCOPED_TRACE(link);
        EXPECT_NE(ResolvedMachine::linkIndex(link), 0);
        EXPECT_EQ(machine->readLinkDNS(link), Strings {});
        EXPECT_EQ(machine->readLinkDefaultRoute(link), false);
    }
    EXPECT_FALSE(machine->queryStub(ResolvedMachine::probeName, std::chrono::milliseconds(1500)))
        << "no link has a server yet";

    std::string wlanServer = machine->linkServer("wlan0");
    auto reply = machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }, { "home.test" });
    ASSERT_TRUE(reply.ok()) << reply.errorName << ": " << reply.errorMessage;
    EXPECT_EQ(machine->readLinkDNS("wlan0"), Strings { wlanServer });
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings { "home.test" });
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), true);
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings {});

    EXPECT_EQ(machine->queryStub(ResolvedMachine::probeName), machine->linkServerAnswer("wlan0"));
    EXPECT_GT(machine->queriesSeenBy(wlanServer), 0);
    EXPECT_EQ(machine->queriesSeenBy(machine->linkServer("wwan0")), 0);

    // A routing-only domain takes the link off the default route: it then gets only its domain's names.
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }, { "~corp.test" }).ok());
    EXPECT_EQ(machine->readLinkDomains("wlan0"), Strings { "~corp.test" });
    EXPECT_EQ(machine->readLinkDefaultRoute("wlan0"), false);
    auto status = machine->resolvectl({ "status", "wlan0" });
    EXPECT_NE(status.output.find("DNS Servers: " + wlanServer), std::string::npos) << status.output << status.error;
}

TEST(ResolvedMachineTest, ResolvedKilledAndStartedAgainWhileLinksComeAndGo)
{
    if (auto why = ResolvedMachine::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    auto machine = startMachine();
    ASSERT_TRUE(machine);
    std::string wwanServer = machine->linkServer("wwan0");
    ASSERT_TRUE(machine->setLinkDNSAsOtherClient("wwan0", { wwanServer }).ok());

    int killed = machine->resolvedPid();
    machine->killResolved();
    EXPECT_FALSE(machine->bus().resolvedIsOnBus());
    EXPECT_FALSE(machine->readLinkDNS("wwan0"));
    ASSERT_TRUE(machine->startResolved()) << machine->resolvedOutput();
    EXPECT_NE(machine->resolvedPid(), killed);
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings { wwanServer }) << "kept in resolved's state files";
    EXPECT_EQ(machine->queryStub(ResolvedMachine::probeName), machine->linkServerAnswer("wwan0"));

    int before = ResolvedMachine::linkIndex("wwan0");
    ASSERT_TRUE(machine->deleteLink("wwan0"));
    EXPECT_EQ(ResolvedMachine::linkIndex("wwan0"), 0);
    EXPECT_FALSE(machine->bus().getLink(before).ok());
    ASSERT_TRUE(machine->addLink("wwan0"));
    EXPECT_NE(ResolvedMachine::linkIndex("wwan0"), before);
    EXPECT_EQ(machine->linkServer("wwan0"), wwanServer);
    EXPECT_EQ(machine->readLinkDNS("wwan0"), Strings {}) << "a new link has no settings";

    machine->stopResolved();
    EXPECT_FALSE(machine->resolvedIsRunning());
}

} // namespace
