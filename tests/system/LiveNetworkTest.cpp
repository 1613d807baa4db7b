// netwardd as its own process on a network that moves under it: a seeded random sequence of what a
// phone's system does (services join and drop, their DNS keys are rewritten and removed, the global DNS
// state changes), of the user's saves, and of kills of netwardd in the middle of a pass, each followed
// by a restart. After every step has settled, the dynamic store, the preferences, /etc/resolv.conf and
// the proxy are compared with a model of what the system last wrote and what the settings select.
//
// Most of the system's changes are made one at a time, each once netwardd has settled. Besides, a
// foreign writer aims at the middle of every pass a step starts: right after the daemon's first change
// of a DNS key or of its backup in that pass, or at a random instant within it, it writes or removes
// the key as the system would. No such write may be lost (under the override, it is the backup; without,
// the key's value) or unheard (the override is back in force over it).
//
// Seeds and length come from TARVIKDNS_LIVE_NETWORK_SEEDS ("7", or "1,5,20-60") and
// TARVIKDNS_LIVE_NETWORK_STEPS, the writes aimed at each pass from TARVIKDNS_LIVE_NETWORK_AIMED_WRITES
// (1); run the test program itself with them, for instance
//   TARVIKDNS_LIVE_NETWORK_SEEDS=1-100 build/tests/system/system_tests --gtest_filter='Seeds/LiveNetwork*'
// A kill or an aimed write falls after a random delay, so a rerun repeats a seed's steps, not always
// their instants.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "LiveNetworkModel.h"
#include "LoopbackNamespace.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
const std::vector<std::string> servicePool { "SERVICE-1", "SERVICE-2", "SERVICE-3", "SERVICE-4", "SERVICE-5" };
const std::vector<std::string> interfaceNames { "en0", "en1", "pdp_ip0", "pdp_ip0", "utun0" };
// Bounds the waiting only; a step normally settles in a fraction of a second.
constexpr auto patience = 30s;

std::vector<unsigned> liveNetworkSeeds()
{
    const char* listed = std::getenv("TARVIKDNS_LIVE_NETWORK_SEEDS");
    if (!listed)
        return { 1, 2, 3, 4 };
    std::vector<unsigned> seeds;
    std::stringstream list(listed);
    for (std::string item; std::getline(list, item, ',');) {
        auto dash = item.find('-');
        unsigned first = static_cast<unsigned>(std::stoul(item.substr(0, dash)));
        unsigned last = dash == std::string::npos ? first : static_cast<unsigned>(std::stoul(item.substr(dash + 1)));
        for (unsigned seed = first; seed <= last; ++seed)
            seeds.push_back(seed);
    }
    return seeds;
}

std::size_t liveNetworkSteps()
{
    const char* steps = std::getenv("TARVIKDNS_LIVE_NETWORK_STEPS");
    return steps ? std::stoul(steps) : 50;
}

int aimedWritesPerPass()
{
    const char* writes = std::getenv("TARVIKDNS_LIVE_NETWORK_AIMED_WRITES");
    return writes ? std::stoi(writes) : 1;
}

std::string backupKeyOf(const std::string& key)
{
    return key.substr(0, key.rfind('/')) + "/TarvikDNS";
}

std::string oneLine(const std::string& text)
{
    std::string line;
    for (char character : text) {
        if (character == '\n')
            continue;
        if (character != ' ' || (!line.empty() && line.back() != ' '))
            line += character;
    }
    return line;
}

// One step: a change the system makes to one key of the dynamic store, or a save of the user's settings
// announced as the pane announces it.
struct Step {
    enum class Kind { SetKey, RemoveKey, Save };
    Kind kind { Kind::Save };
    std::string key;
    PropertyList value;
    OverrideSettings settings;

    std::string description() const
    {
        switch (kind) {
        case Kind::SetKey:
            return "set " + key + " = " + oneLine(value.description());
        case Kind::RemoveKey:
            return "remove " + key;
        case Kind::Save:
            return "save " + settings.description() + " and post PreferencesChanged";
        }
        return "";
    }
};

Step setKey(const std::string& key, const PropertyList& value) { return { Step::Kind::SetKey, key, value, {} }; }
Step removeKey(const std::string& key) { return { Step::Kind::RemoveKey, key, {}, {} }; }

// What the kernel says of a process: whether it sleeps in poll(2) (its run loop waiting) with no child
// of its own, and how often it has been switched out so far.
struct ProcessActivity {
    bool waitsInRunLoop { false };
    long contextSwitches { -1 };

    static ProcessActivity of(int processID)
    {
        const std::string folder = "/proc/" + std::to_string(processID);
        ProcessActivity activity;
        std::string stat, wchan, children;
        std::getline(std::ifstream(folder + "/stat"), stat);
        std::getline(std::ifstream(folder + "/wchan"), wchan);
        std::getline(std::ifstream(folder + "/task/" + std::to_string(processID) + "/children"), children);
        auto state = stat.rfind(") ");
        // A kernel that does not tell where a process sleeps leaves the state and the switches to judge.
        bool inPoll = wchan.empty() || wchan == "0" || wchan.find("poll") != std::string::npos;
        activity.waitsInRunLoop = state != std::string::npos && stat.compare(state + 2, 1, "S") == 0 && inPoll
            && children.find_first_not_of(' ') == std::string::npos;
        std::ifstream status(folder + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                activity.contextSwitches += std::stol(line.substr(line.find(':') + 1));
        }
        return activity;
    }
};

class LiveNetworkTest : public testing::TestWithParam<unsigned> {
protected:
    LiveNetworkTest()
    {
        installDNSCryptProxy(device, ProxyProgram::Real);
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, countDNSChanged,
                                        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    }

    ~LiveNetworkTest() override
    {
        netwardd.reset();
        runProgram(programPath("launchctl"), { "unload", DNSCryptProxyListPath });
    }

    // The settings switch DNSCrypt on now and then: the proxy binds 127.0.0.1:53 and asks a public resolver.
    void SetUp() override
    {
        if (!loopback.isEntered())
            GTEST_SKIP() << loopback.problem();
    }

    bool chance(double probability) { return std::bernoulli_distribution(probability)(random); }
    int number(int first, int last) { return std::uniform_int_distribution<int>(first, last)(random); }
    template<typename T> T pick(const std::vector<T>& items) { return items[static_cast<std::size_t>(number(0, int(items.size()) - 1))]; }

    PropertyList systemDNS()
    {
        PropertyListArray servers;
        for (int server = number(1, 2); server > 0; --server) {
            std::string octet = std::to_string(number(0, 255));
            servers.push_back(pick<std::string>({ "192.168." + octet + ".1", "10." + octet + ".0.1", "172.16." + octet + ".53" }));
        }
        PropertyListDictionary dns { { "ServerAddresses", servers } };
        if (chance(0.5))
            dns["DomainName"] = pick<std::string>({ "home.lan", "corp.example", "" });
        return dns;
    }

    PropertyList ipv4State(const std::string& interfaceName)
    {
        return PropertyListDictionary { { "InterfaceName", interfaceName },
                                        { "Addresses", PropertyListArray { "10.0." + std::to_string(number(0, 255)) + ".2" } } };
    }

    OverrideSettings randomSettings()
    {
        OverrideSettings settings;
        settings.connectivity = pick<std::string>({ "None", "3G", "Wifi", "Both" });
        settings.primaryDNS = pick<std::string>({ "", "9.9.9.9", "1.1.1.1", "208.67.222.222" });
        settings.secondaryDNS = pick<std::string>({ "", "149.112.112.112", "8.8.8.8" });
        settings.domain = pick<std::string>({ "", "example.org" });
        settings.dnsCrypt = chance(0.25);
        return settings;
    }

    // The next few steps of the live network: one event of the system, which may touch several keys,
    // or a save of the user's.
    std::vector<Step> nextSteps()
    {
        auto listed = model.listedServices();
        std::vector<std::string> unlisted;
        std::copy_if(servicePool.begin(), servicePool.end(), std::back_inserter(unlisted),
                     [&](const std::string& service) { return std::find(listed.begin(), listed.end(), service) == listed.end(); });
        std::vector<std::string> dnsKeys;
        for (const auto& service : servicePool) {
            for (const auto& key : { dnsStateKey(service), dnsSetupKey(service) }) {
                if (model.systemValue(key))
                    dnsKeys.push_back(key);
            }
        }

        int event = number(0, 99);
        std::vector<Step> steps;
        if (event < 15 && !unlisted.empty()) {
            // A service joins: its IPv4 state and DNS keys appear, in any order.
            std::string service = pick(unlisted);
            steps.push_back(setKey(ipv4Key(service), ipv4State(pick(interfaceNames))));
            if (chance(0.8))
                steps.push_back(setKey(dnsStateKey(service), systemDNS()));
            if (chance(0.6))
                steps.push_back(setKey(dnsSetupKey(service), systemDNS()));
        } else if (event < 28 && !listed.empty()) {
            // A service drops: its IPv4 state and DNS state go, in any order; its setup may stay.
            std::string service = pick(listed);
            steps.push_back(removeKey(ipv4Key(service)));
            if (model.systemValue(dnsStateKey(service)))
                steps.push_back(removeKey(dnsStateKey(service)));
            if (model.systemValue(dnsSetupKey(service)) && chance(0.5))
                steps.push_back(removeKey(dnsSetupKey(service)));
        } else if (event < 36 && !listed.empty()) {
            // A service moves to another interface, in or out of the cellular role.
            std::string service = pick(listed);
            auto current = model.systemValue(ipv4Key(service));
            PropertyList moved = ipv4State(pick(interfaceNames));
            while (moved.dictionary()->at("InterfaceName") == current->dictionary()->at("InterfaceName"))
                moved = ipv4State(pick(interfaceNames));
            steps.push_back(setKey(ipv4Key(service), moved));
        } else if (event < 46 && !dnsKeys.empty()) {
            steps.push_back(removeKey(pick(dnsKeys)));
        } else if (event < 64) {
            // A DHCP renewal or a new network on a service, listed or not.
            std::string service = chance(0.75) && !listed.empty() ? pick(listed) : pick(servicePool);
            std::string key = chance(0.6) ? dnsStateKey(service) : dnsSetupKey(service);
            PropertyList renewed = systemDNS();
            while (model.systemValue(key) == renewed)
                renewed = systemDNS();
            steps.push_back(setKey(key, renewed));
        } else if (event < 76) {
            if (model.systemValue(globalDNSKey) && chance(0.35))
                steps.push_back(removeKey(globalDNSKey));
            else
                steps.push_back(setKey(globalDNSKey, systemDNS()));
        } else {
            Step save;
            save.settings = randomSettings();
            steps.push_back(save);
        }
        std::shuffle(steps.begin(), steps.end(), random);
        return steps;
    }

    bool startsAPass(const Step& step) const
    {
        if (step.kind == Step::Kind::Save)
            return true;
        if (step.kind == Step::Kind::SetKey && model.systemValue(step.key) == step.value)
            return false;
        return model.watches(step.key);
    }

    void perform(const Step& step)
    {
        switch (step.kind) {
        case Step::Kind::SetKey:
            setStoreValue(step.key, step.value);
            model.set(step.key, step.value);
            return;
        case Step::Kind::RemoveKey:
            removeStoreValue(step.key);
            model.remove(step.key);
            return;
        case Step::Kind::Save:
            writeDictionaryToFile(step.settings.preferences(), preferencesPath, true);
            model.settings = step.settings;
            notify_post("com.tarvik.dns/PreferencesChanged");
            return;
        }
    }

    // How long after a step to kill the daemon: anywhere within about one pass. Drawn apart from the
    // steps, whose sequence must not depend on how long passes took.
    std::chrono::microseconds killDelay()
    {
        return std::chrono::microseconds(std::uniform_int_distribution<int>(0, int(killDelayBound().count()))(instants));
    }

    std::chrono::microseconds killDelayBound() const
    {
        double passMilliseconds = 30;
        if (!passTimes.empty()) {
            std::vector<double> recent(passTimes.end() - std::min<std::ptrdiff_t>(20, std::ssize(passTimes)), passTimes.end());
            std::nth_element(recent.begin(), recent.begin() + std::ssize(recent) / 2, recent.end());
            passMilliseconds = recent[recent.size() / 2];
        }
        return std::chrono::microseconds(int(passMilliseconds * 1500));
    }

    // A step, with now and then a kill of the daemon during the pass it starts, and a restart; the
    // restart's own pass may be cut short again.
    testing::AssertionResult run(const Step& step)
    {
        bool passes = startsAPass(step);
        int before = receivedDNSChanged();
        OverrideSettings previous = model.settings;
        auto began = Clock::now();
        perform(step);
        ++stepsDone;
        history.push_back(step.description());
        aimedKeys.clear();
        auto aiming = Clock::now();
        for (int write = 0; passes && write < aimedWritesPerPass(); ++write)
            aimAtThePass(previous);
        // The time spent aiming is no part of a pass's: it would stretch the aims and kills that follow.
        began += Clock::now() - aiming;
        if (passes && chance(0.2)) {
            do {
                auto delay = killDelay();
                std::this_thread::sleep_for(delay);
                bool busy = !ProcessActivity::of(netwardd->pid()).waitsInRunLoop;
                kill(netwardd->pid(), SIGKILL);
                if (netwardd->waitForExit() != 128 + SIGKILL)
                    return testing::AssertionFailure() << "netwardd did not end on SIGKILL";
                history.push_back("  SIGKILL of netwardd " + std::to_string(delay.count()) + " us later" + (busy ? " (busy)" : " (idle)")
                                  + ", and a restart");
                ++kills;
                killsOfABusyDaemon += busy;
                // The service manager starts the job again once whatever the killed one ran has ended.
                if (!runLoopUntil([&] { return onlyTheProxyRuns(); }, patience))
                    return testing::AssertionFailure() << "the killed daemon's commands did not end";
                if (!dictionaryWithContentsOfFile(DNSCryptProxyListPath))
                    return testing::AssertionFailure() << "the kill left the DNSCrypt proxy's launch-daemon list \""
                                                       << device.readFile(DNSCryptProxyListPath).value_or("(absent)") << "\"";
                before = receivedDNSChanged();
                began = Clock::now();
                startNetwardd();
            } while (chance(0.3));
        }
        return settle(before, passes, began);
    }

    // A write of the system's to a DNS key that the pass under way overrides or restores, made right
    // after the daemon's first change of that key or of its backup in that pass, or at a random instant
    // within about one pass (the aim bounded by two passes' time).
    void aimAtThePass(const OverrideSettings& previous)
    {
        LiveNetworkModel before = model;
        before.settings = previous;
        std::vector<std::string> keys;
        for (const auto& service : model.listedServices()) {
            for (const auto& key : { dnsStateKey(service), dnsSetupKey(service) }) {
                if (model.isOverridden(key) || before.isOverridden(key))
                    keys.push_back(key);
            }
        }
        if (model.overridesGlobal() || before.overridesGlobal())
            keys.push_back(globalDNSKey);
        if (keys.empty())
            return;
        std::string key = pick(keys);
        int aim = number(0, 2);
        if (aim == 2) {
            std::this_thread::sleep_for(killDelay());
        } else {
            std::string watched = aim == 0 ? key : backupKeyOf(key);
            auto was = storeValue(watched);
            auto deadline = Clock::now() + std::min<std::chrono::microseconds>(2 * killDelayBound(), 200ms);
            while (storeValue(watched) == was && Clock::now() < deadline)
                std::this_thread::yield();
        }
        PropertyList renewed = systemDNS();
        while (model.systemValue(key) == renewed)
            renewed = systemDNS();
        Step write = model.systemValue(key) && chance(0.25) ? removeKey(key) : setKey(key, renewed);
        perform(write);
        bool busy = !ProcessActivity::of(netwardd->pid()).waitsInRunLoop;
        ++aimedWrites;
        aimedAtABusyDaemon += busy;
        aimedKeys.push_back(key);
        const char* aims[] = { "right after the daemon changed the key", "right after the daemon changed its backup", "at random" };
        history.push_back("  aimed " + std::string(aims[aim]) + ": " + write.description() + (busy ? " (busy)" : " (idle)"));
    }

    // What became of the writes aimed at the last step's passes, when the store is not as expected: a
    // write lost (neither the key nor its backup holds the system's value) or unheard (the key holds it
    // where the override belongs).
    std::string aimedWriteFates()
    {
        std::string fates;
        for (const auto& key : std::set<std::string>(aimedKeys.begin(), aimedKeys.end())) {
            auto seen = storeValue(key);
            if (model.isOverridden(key) && seen == model.systemValue(key) && seen != model.settings.overrideDictionary()) {
                ++unheardWrites;
                fates += "\n  unheard: " + key;
            } else if (model.isOverridden(key) ? !model.backupFault(backupKeyOf(key), storeValue(backupKeyOf(key))).empty()
                                               : seen != model.systemValue(key)) {
                ++lostWrites;
                fates += "\n  lost: " + key;
            }
        }
        return fates;
    }

    void startNetwardd()
    {
        netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
    }

    bool onlyTheProxyRuns()
    {
        auto proxies = runningProxyProcesses(device);
        auto running = device.runningProcesses();
        return std::all_of(running.begin(), running.end(), [&](int processID) {
            return std::find(proxies.begin(), proxies.end(), processID) != proxies.end();
        });
    }

    // Takes in what has arrived, so that a DNSChanged of an earlier pass is not taken for a later one.
    int receivedDNSChanged()
    {
        runLoopFor(1ms);
        return dnsChanged;
    }

    // Settled: the pass the step starts (if any) has posted "com.tarvik.dns/DNSChanged", and the daemon
    // waits in its run loop with nothing to do, twice over a short look. Then what another process sees
    // must be what the model expects; until it is, the daemon is given time (bounded) to get there.
    testing::AssertionResult settle(int dnsChangedBefore, bool passes, Clock::time_point began)
    {
        if (passes) {
            if (!runLoopUntil([&] { return dnsChanged > dnsChangedBefore; }, patience))
                return testing::AssertionFailure() << "no pass ended after the step";
            passTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
            ++passesSeen;
        }
        std::vector<std::string> faults { "netwardd never waited idle in its run loop" };
        bool settled = runLoopUntil([&] {
            if (!daemonIsIdle())
                return false;
            faults = mismatches();
            return faults.empty();
        }, patience);
        if (settled)
            return testing::AssertionSuccess();
        auto failure = testing::AssertionFailure();
        for (const auto& fault : faults)
            failure << "\n  " << fault;
        return failure << aimedWriteFates();
    }

    bool daemonIsIdle()
    {
        auto first = ProcessActivity::of(netwardd->pid());
        if (!first.waitsInRunLoop)
            return false;
        runLoopFor(20ms);
        auto second = ProcessActivity::of(netwardd->pid());
        return second.waitsInRunLoop && second.contextSwitches == first.contextSwitches;
    }

    // What another process finds that differs from the model: every key of the store and every key the
    // model knows, the resolver file, the proxy and the preferences.
    std::vector<std::string> mismatches()
    {
        std::vector<std::string> faults;
        PropertyListDictionary store = storeContents();
        std::set<std::string> keys;
        for (const auto& [key, value] : store)
            keys.insert(key);
        for (const auto& [key, value] : model.system)
            keys.insert(key);
        for (const auto& service : model.overriddenServices()) {
            for (const auto& key : { dnsStateKey(service), dnsSetupKey(service) })
                keys.insert({ key, backupKeyOf(key) });
        }
        if (model.overridesGlobal())
            keys.insert({ globalDNSKey, backupKeyOf(globalDNSKey) });
        for (const auto& key : keys) {
            auto stored = store.find(key);
            std::optional<PropertyList> seen = stored == store.end() ? std::nullopt : std::optional(stored->second);
            if (!LiveNetworkModel::backedUpKey(key).empty()) {
                if (std::string fault = model.backupFault(key, seen); !fault.empty())
                    faults.push_back(key + ": " + fault);
                continue;
            }
            if (auto expected = model.expectedValue(key); seen != expected)
                faults.push_back(key + ": expected " + describe(expected) + ", seen " + describe(seen));
        }
        auto resolverFile = device.readFile("/etc/resolv.conf");
        if (resolverFile != model.expectedResolverFile())
            faults.push_back("/etc/resolv.conf: expected \"" + model.expectedResolverFile().value_or("(absent)") + "\", seen \""
                             + resolverFile.value_or("(absent)") + "\"");
        std::size_t proxies = runningProxyProcesses(device).size();
        if (proxies != (model.expectsProxy() ? 1u : 0u))
            faults.push_back("DNSCrypt proxy processes: expected " + std::string(model.expectsProxy() ? "1" : "0") + ", seen "
                             + std::to_string(proxies));
        if (dictionaryWithContentsOfFile(preferencesPath) != model.settings.preferences())
            faults.push_back("the preferences are not those saved last");
        return faults;
    }

    // The steps so far and the end of the device log, to find what went wrong.
    std::string report() const
    {
        std::string text = "\npass times (ms):";
        for (double time : passTimes)
            text += " " + std::to_string(int(time));
        text += "\nsteps (rerun: TARVIKDNS_LIVE_NETWORK_SEEDS=" + std::to_string(GetParam())
            + " TARVIKDNS_LIVE_NETWORK_STEPS=" + std::to_string(liveNetworkSteps()) + "):\n";
        for (std::size_t index = 0; index < history.size(); ++index)
            text += "  " + std::to_string(index) + ". " + history[index] + "\n";
        std::vector<std::string> log;
        std::ifstream file(device.path("/var/log/system.log"));
        for (std::string line; std::getline(file, line);)
            log.push_back(line);
        text += "end of the device log:\n";
        for (std::size_t index = log.size() > 15 ? log.size() - 15 : 0; index < log.size(); ++index)
            text += "  " + log[index] + "\n";
        return text;
    }

    TemporaryDevice device;
    LoopbackNamespace loopback;
    std::mt19937 random { GetParam() };
    std::mt19937 instants { GetParam() };
    LiveNetworkModel model;
    std::unique_ptr<ChildProcess> netwardd;
    int dnsChanged { 0 };
    std::vector<std::string> history;
    std::vector<double> passTimes;
    std::size_t stepsDone { 0 };
    int passesSeen { 0 };
    int kills { 0 };
    int killsOfABusyDaemon { 0 };
    std::vector<std::string> aimedKeys;
    int aimedWrites { 0 };
    int aimedAtABusyDaemon { 0 };
    int lostWrites { 0 };
    int unheardWrites { 0 };

private:
    static void countDNSChanged(CFNotificationCenterRef, void* observer, const std::string&, const void*,
                                const PropertyListDictionary*)
    {
        ++static_cast<LiveNetworkTest*>(observer)->dnsChanged;
    }
};

TEST_P(LiveNetworkTest, TheOverrideFollowsTheNetworkAndNoneLeavesTheSystemsValues)
{
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    // A Wi-Fi service, up to two more of any kind, and most often a global DNS state.
    std::vector<Step> network { setKey(ipv4Key(servicePool[0]), ipv4State("en0")), setKey(dnsStateKey(servicePool[0]), systemDNS()),
                                setKey(dnsSetupKey(servicePool[0]), systemDNS()) };
    for (int service = number(1, 3); service < 3; ++service) {
        network.push_back(setKey(ipv4Key(servicePool[std::size_t(service)]), ipv4State(pick(interfaceNames))));
        if (chance(0.8))
            network.push_back(setKey(dnsStateKey(servicePool[std::size_t(service)]), systemDNS()));
    }
    if (chance(0.8))
        network.push_back(setKey(globalDNSKey, systemDNS()));
    for (const auto& step : network)
        perform(step);
    writeDictionaryToFile(model.settings.preferences(), preferencesPath, true);

    int before = receivedDNSChanged();
    startNetwardd();
    ASSERT_TRUE(settle(before, true, Clock::now())) << "the start-up pass" << report();

    while (stepsDone < liveNetworkSteps()) {
        for (const auto& step : nextSteps())
            ASSERT_TRUE(run(step)) << report();
    }
    Step none;
    none.settings = randomSettings();
    none.settings.connectivity = "None";
    ASSERT_TRUE(run(none)) << "the final \"None\"" << report();

    std::cout << "[ seed " << GetParam() << " ] " << stepsDone << " steps, " << passesSeen << " passes, " << kills
              << " kills (" << killsOfABusyDaemon << " in the middle of a pass), " << aimedWrites << " aimed writes ("
              << aimedAtABusyDaemon << " found the daemon busy), " << lostWrites << " lost, " << unheardWrites << " unheard";
    std::cout << "\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, LiveNetworkTest, testing::ValuesIn(liveNetworkSeeds()),
                         [](const testing::TestParamInfo<unsigned>& seed) { return "Seed" + std::to_string(seed.param); });

} // namespace
