// Seeded runs of what happens to a machine's DNS while TarvikDNS overrides it: another client rewriting
// links as NetworkManager would, links going away and coming back, the pane changing the choice, and
// the bridge, netwardd and resolved killed and started again. After each step, what resolved itself
// holds for every link must become what a model of the machine says, within a few seconds.
//
// CTest runs a few seeds; more, or a failing one again, from the test program (each run is the first
// process of namespaces of its own):
//   TARVIKDNS_BRIDGE_SEEDS=1-50 TARVIKDNS_BRIDGE_STEPS=30 tests/support/run-in-private-namespaces
//       build/tests/resolved/resolved_bridge_tests --gtest_filter='Seeds/BridgeSeedsTest.*'
#include "BridgeFixture.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// What another client last set on a link: what resolved holds for it when no override covers it.
struct LinkModel {
    Strings servers;
    Strings domains;
};

std::string joined(const Strings& items)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return "[" + text + "]";
}

std::vector<int> seedsToRun()
{
    const char* range = std::getenv("TARVIKDNS_BRIDGE_SEEDS");
    if (!range)
        return { 1, 2, 3 };
    int first = std::atoi(range);
    const char* dash = std::strchr(range, '-');
    int last = dash ? std::atoi(dash + 1) : first;
    std::vector<int> seeds;
    for (int seed = first; seed <= last; ++seed)
        seeds.push_back(seed);
    return seeds;
}

int stepsToRun()
{
    const char* steps = std::getenv("TARVIKDNS_BRIDGE_STEPS");
    return steps ? std::atoi(steps) : 16;
}

class BridgeSeedsTest : public BridgeFixture, public testing::WithParamInterface<int> {
protected:
    template<typename Item>
    Item pick(const std::vector<Item>& items)
    {
        return items[std::uniform_int_distribution<std::size_t>(0, items.size() - 1)(random)];
    }

    bool chance(double probability) { return std::bernoulli_distribution(probability)(random); }

    bool covers(const std::string& link) const
    {
        return choice.connectivity == "Both" || (choice.connectivity == "Wifi" && link == "wlan0")
            || (choice.connectivity == "3G" && link == "wwan0");
    }

    // What resolved must hold for the link now.
    LinkModel expected(const std::string& link) const
    {
        if (!covers(link))
            return links.at(link);
        LinkModel overridden { { choice.primary }, {} };
        if (!choice.domain.empty())
            overridden.domains.push_back(choice.domain);
        if (choice.connectivity == "Both")
            overridden.domains.push_back("~.");
        return overridden;
    }

    std::string mismatches() const
    {
        std::string text;
        for (const auto& [link, model] : links) {
            auto wanted = expected(link);
            auto servers = machine->readLinkDNS(link).value_or(Strings { "(unknown link)" });
            auto domains = machine->readLinkDomains(link).value_or(Strings {});
            if (servers != wanted.servers || domains != wanted.domains)
                text += link + " holds " + joined(servers) + " " + joined(domains) + ", expected " + joined(wanted.servers) + " "
                    + joined(wanted.domains) + "\n";
        }
        return text;
    }

    std::string otherClientSets()
    {
        std::string link = pick(Strings { "wlan0", "wwan0" });
        LinkModel set { { pick(systemServers) }, {} };
        if (chance(0.4))
            set.servers.push_back(pick(systemServers));
        if (set.servers.size() == 2 && set.servers[0] == set.servers[1])
            set.servers.pop_back();
        if (chance(0.6))
            set.domains.push_back(pick(Strings { "home.test", "office.test", "~corp.test" }));
        EXPECT_TRUE(machine->setLinkDNSAsOtherClient(link, set.servers, set.domains).ok());
        links[link] = set;
        return "another client sets " + link + " to " + joined(set.servers) + " " + joined(set.domains);
    }

    std::string chooseAnew()
    {
        choice = { pick(Strings { "None", "3G", "Wifi", "Both" }), pick(overrideServers), "", chance(0.3) ? "override.test" : "" };
        choose(choice);
        return "choose " + choice.connectivity + " with " + choice.primary + (choice.domain.empty() ? "" : " and " + choice.domain);
    }

    std::string linkMadeAgain()
    {
        std::string link = pick(Strings { "wlan0", "wwan0" });
        EXPECT_TRUE(machine->deleteLink(link));
        EXPECT_TRUE(machine->addLink(link));
        links[link] = {};
        return link + " deleted and made again";
    }

    std::string step()
    {
        switch (std::discrete_distribution<int>({ 4, 3, 1, 1, 1, 1 })(random)) {
        case 0:
            return otherClientSets();
        case 1:
            return chooseAnew();
        case 2:
            return linkMadeAgain();
        case 3:
            killBridge();
            startBridge();
            return "the bridge killed and started again";
        case 4:
            killNetwardd();
            startNetwardd();
            return "netwardd killed and started again";
        default:
            machine->killResolved();
            EXPECT_TRUE(machine->startResolved()) << machine->resolvedOutput();
            return "systemd-resolved killed and started again";
        }
    }

    std::mt19937 random;
    Choice choice;
    std::map<std::string, LinkModel> links { { "wlan0", {} }, { "wwan0", {} } };
    Strings systemServers;
    Strings overrideServers;
};

TEST_P(BridgeSeedsTest, ResolvedHoldsWhatTheModelSaysAfterEveryStep)
{
    int seed = GetParam();
    random.seed(seed);
    std::cout << "seed " << seed << "\n";
    systemServers = { wlanServer(), wwanServer(), machine->startUpstreamDNSServer("198.51.100.250") };
    overrideServers = { machine->startUpstreamDNSServer("198.51.100.251"), machine->startUpstreamDNSServer("198.51.100.252") };
    startBridge();
    startNetwardd();

    std::string history;
    int steps = stepsToRun();
    for (int index = 1; index <= steps + 1; ++index) {
        std::string done;
        if (index <= steps) {
            done = step();
        } else {
            choice = {};
            choose(choice);
            done = "choose None at the end";
        }
        history += "  " + std::to_string(index) + ". " + done + "\n";
        bool converged = eventually([&] { return mismatches().empty(); }, 6s);
        ASSERT_TRUE(converged) << "seed " << seed << ", after step " << index << ":\n"
                               << mismatches() << "steps:\n" << history << bridgeLog();
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BridgeSeedsTest, testing::ValuesIn(seedsToRun()));

} // namespace
