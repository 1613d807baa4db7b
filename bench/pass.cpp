// The time of one full PreferencesChanged pass with "Both" over 1, 10, 100 and 1,000 services, against
// the same count of plain dynamic-store writes in the same run; then the wake-ups of an idle netwardd.
//
// usage: pass [LARGEST_SERVICE_COUNT]
#include "BenchmarkDevice.h"
#include "CFNotificationCenter.h"
#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NotificationManager.h"
#include "NotifyPostCapture.h"
#include "SCDynamicStore.h"
#include "StringFormat.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Every change of the store announces its key.
std::uint64_t storeChanges(const NotifyPostCapture& posts)
{
    auto names = posts.names();
    return static_cast<std::uint64_t>(std::count_if(names.begin(), names.end(), [](const std::string& name) {
        return name.starts_with(SCDynamicStore::notificationPrefix);
    }));
}

PropertyList dns(const std::string& address)
{
    return PropertyListDictionary { { "ServerAddresses", PropertyListArray { address } } };
}

void seedServices(SCDynamicStoreRef store, int count)
{
    for (int service = 0; service < count; ++service) {
        std::string serviceID = NSStringWithFormat("SERVICE-%d", service);
        SCDynamicStoreSetValue(store, "State:/Network/Service/" + serviceID + "/IPv4",
                               PropertyListDictionary { { "InterfaceName", NSStringWithFormat("en%d", service) } });
        SCDynamicStoreSetValue(store, "State:/Network/Service/" + serviceID + "/DNS", dns(NSStringWithFormat("10.0.%d.1", service % 250)));
        SCDynamicStoreSetValue(store, "Setup:/Network/Service/" + serviceID + "/DNS", dns("10.0.0.1"));
    }
    SCDynamicStoreSetValue(store, "State:/Network/Global/DNS", dns("10.0.0.1"));
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct PassCost {
    int serviceCount { 0 };
    double passSeconds { 0 };
    double writesSeconds { 0 };
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median of three passes, each beside as many plain writes as the pass made changes.
PassCost measurePass(int serviceCount)
{
    BenchmarkDevice device;
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "bench", nullptr, nullptr);
    seedServices(store.get(), serviceCount);
    auto manager = NotificationManager::init();
    writeDictionaryToFile({ { "SelectedConnectivity", "Both" }, { "PrimaryDNS", "9.9.9.9" } },
                          "/var/mobile/Library/Preferences/com.tarvik.dns.plist", true);
    manager->PreferencesChanged(nullptr); // the first pass makes the backups; the measured ones remove and apply

    std::vector<double> passes;
    std::vector<double> writes;
    std::uint64_t changes = 0;
    for (int round = 0; round < 3; ++round) {
        NotifyPostCapture posts;
        auto passStart = Clock::now();
        manager->PreferencesChanged(nullptr);
        passes.push_back(secondsSince(passStart));
        changes = storeChanges(posts);

        auto writesStart = Clock::now();
        for (std::uint64_t write = 0; write < changes; ++write)
            SCDynamicStoreSetValue(store.get(), NSStringWithFormat("State:/Network/Service/SERVICE-%d/DNS", int(write % serviceCount)),
                                   dns(NSStringWithFormat("172.16.%d.%d", round, int(write % 250))));
        writes.push_back(secondsSince(writesStart));
    }
    PassCost cost { serviceCount, median(passes), median(writes) };
    std::printf("%5d services: pass %9.2f ms, %6llu plain writes %9.2f ms, ratio %.2f\n", serviceCount, cost.passSeconds * 1000,
                static_cast<unsigned long long>(changes), cost.writesSeconds * 1000, cost.passSeconds / cost.writesSeconds);
    std::fflush(stdout);
    return cost;
}

long contextSwitches(pid_t process)
{
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
            total += std::atol(line.substr(line.find(':') + 1).c_str());
    }
    return total;
}

void measureIdleWakeUps(const std::string& netwardd)
{
    BenchmarkDevice device;
    pid_t daemon = fork();
    if (daemon == 0) {
        execl(netwardd.c_str(), "netwardd", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // start-up and its first pass
    long before = contextSwitches(daemon);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long after = contextSwitches(daemon);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    std::printf("idle netwardd: %ld wake-ups in 5 s\n", after - before);
}

} // namespace

int main(int argc, char* argv[])
{
    int largest = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (largest < 10) {
        std::fprintf(stderr, "usage: %s [LARGEST_SERVICE_COUNT, at least 10]\n", argv[0]);
        return 64;
    }
    std::vector<PassCost> costs;
    for (int serviceCount = 1; serviceCount <= largest; serviceCount *= 10)
        costs.push_back(measurePass(serviceCount));
    std::string folder = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
    measureIdleWakeUps(folder + "/netwardd");

    const PassCost& last = costs.back();
    const PassCost& before = costs[costs.size() - 2];
    std::printf("pass over %d services / over %d: %.2f (goal: at most 12); pass / plain writes over %d: %.2f (goal: at most 3)\n",
                last.serviceCount, before.serviceCount, last.passSeconds / before.passSeconds, last.serviceCount,
                last.passSeconds / last.writesSeconds);
    return 0;
}
