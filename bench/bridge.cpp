// How fast resolved-bridge and netwardd keep a machine's DNS: the time from another client's rewrite of
// a link until resolved holds the override again, and from a tap of "None" until every link holds the
// system's values again, each beside one D-Bus round trip to resolved (GetLink) measured in the same
// run. Runs the real systemd-resolved in namespaces of its own (as the tests do), so it must be started
// as their first process:
//
//   tests/support/run-in-private-namespaces build/bench/bridge [ROUNDS]
#include "ChildProcess.h"
#include "NotificationRoundTrip.h"
#include "ResolvedMachine.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"

#include "CFNotificationCenter.h"
#include "NSDictionary.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
using Benchmark::Clock;

void choose(const std::string& connectivity, const std::string& server)
{
    PropertyListDictionary preferences { { kPrefSelectedConnectivity, connectivity }, { kPrefPrimaryDNS, server } };
    writeDictionaryToFile(preferences, kPreferencesPath, true);
    notify_post(kNotificationPreferencesChanged);
}

// Microseconds until the condition holds, asking resolved as fast as it answers; negative when it did
// not within the time-out.
double microsecondsUntil(const std::function<bool()>& condition, double timeoutSeconds = 10)
{
    auto start = Clock::now();
    while (!condition()) {
        if (Benchmark::microsecondsSince(start) > timeoutSeconds * 1e6)
            return -1;
    }
    return Benchmark::microsecondsSince(start);
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: %s [ROUNDS]\n", argv[0]);
        return 64;
    }
    if (auto why = ResolvedMachine::unavailableReason(); !why.empty()) {
        std::fprintf(stderr, "bridge: %s\n", why.c_str());
        return 1;
    }
    std::string error;
    auto machine = ResolvedMachine::start({}, error);
    if (!machine) {
        std::fprintf(stderr, "bridge: %s\n", error.c_str());
        return 1;
    }
    TemporaryDevice device;
    std::string wlanServer = machine->linkServer("wlan0");
    std::string wwanServer = machine->linkServer("wwan0");
    std::string renewedServer = machine->startUpstreamDNSServer("198.51.100.90");
    std::string overrideServer = machine->startUpstreamDNSServer("198.51.100.91");
    machine->setLinkDNSAsOtherClient("wlan0", { wlanServer }, { "home.test" });
    machine->setLinkDNSAsOtherClient("wwan0", { wwanServer });
    ChildProcess bridge(programPath("resolved-bridge"), {});
    ChildProcess netwardd(programPath("netwardd"), {});
    int wlan0 = ResolvedMachine::linkIndex("wlan0");
    auto holds = [&](const char* link, const std::string& server) { return machine->readLinkDNS(link) == Strings { server }; };
    // A post before netwardd observes its names is lost: the first choice is made until it is heard.
    for (int attempt = 0; attempt < 20; ++attempt) {
        choose("Wifi", overrideServer);
        if (microsecondsUntil([&] { return holds("wlan0", overrideServer); }, 0.5) >= 0)
            break;
    }
    std::vector<double> rewrites;
    std::vector<double> restores;
    std::vector<double> roundTrips;
    for (int round = 0; round < rounds; ++round) {
        choose("Wifi", overrideServer);
        if (microsecondsUntil([&] { return holds("wlan0", overrideServer); }) < 0)
            break;
        // Another client's rewrite, alternating between two servers so that each is a change.
        std::string system = round % 2 ? wlanServer : renewedServer;
        auto rewritten = Clock::now();
        machine->bus().setLinkDNS(wlan0, { system });
        double settled = microsecondsUntil([&] { return holds("wlan0", overrideServer) && !holds("wwan0", overrideServer); });
        if (settled < 0)
            break;
        rewrites.push_back(Benchmark::microsecondsSince(rewritten));

        auto tapped = Clock::now();
        choose("None", "");
        if (microsecondsUntil([&] { return holds("wlan0", system) && holds("wwan0", wwanServer); }) < 0)
            break;
        restores.push_back(Benchmark::microsecondsSince(tapped));

        for (int call = 0; call < 50; ++call) {
            auto asked = Clock::now();
            machine->bus().getLink(wlan0);
            roundTrips.push_back(Benchmark::microsecondsSince(asked));
        }
    }
    if (static_cast<int>(rewrites.size()) != rounds || static_cast<int>(restores.size()) != rounds) {
        std::fprintf(stderr, "bridge: a round did not settle within 10 s\n%s", bridge.standardError().c_str());
        return 1;
    }

    auto rewrite = Benchmark::summarize(rewrites);
    auto restore = Benchmark::summarize(restores);
    auto roundTrip = Benchmark::summarize(roundTrips);
    std::printf("GetLink round trip:                 median %8.1f us (%zu calls)\n", roundTrip.median, roundTrips.size());
    std::printf("rewrite until the override is back: median %8.1f us, ratio %.0f round trips (goal <= 25; %d rounds)\n",
                rewrite.median, rewrite.median / roundTrip.median, rounds);
    std::printf("\"None\" until every link is back:   median %8.1f us, ratio %.0f round trips (goal <= 25; %d rounds)\n",
                restore.median, restore.median / roundTrip.median, rounds);
    return 0;
}
