// A burst of "com.tarvik.dns/PreferencesChanged" posts against a running netwardd over five services
// with "Both": the time from the burst's first post until the daemon is idle again, beside the time of
// one pass in the same run, their ratio, and the daemon's resident memory before and after.
//
// One pass is the time from one post to the daemon's "com.tarvik.dns/DNSChanged", the median of
// several. Idle again is the arrival of the last DNSChanged after the burst, once the daemon has been
// seen waiting in its run loop's poll(2), with no child and no further wake-up, for a quiet second. The
// passes the burst cost are counted from the store's change counter. The device has no DNSCrypt proxy,
// so a pass is the daemon's own work.
//
// usage: flood [POSTS]
#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "DynamicStoreLog.h"
#include "NSDictionary.h"
#include "NotificationRoundTrip.h"
#include "SCDynamicStore.h"
#include "SharedCounter.h"
#include "StringFormat.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Benchmark::Clock;
constexpr int servicesCount = 5;
constexpr int measuredPasses = 9;
constexpr auto quietPeriod = std::chrono::seconds(1);
constexpr auto patience = std::chrono::seconds(600);

struct Observed {
    int dnsChanged { 0 };
    Clock::time_point lastDNSChanged;
};
Observed observed;

void receiveDNSChanged(CFNotificationCenterRef, void*, const std::string&, const void*, const PropertyListDictionary*)
{
    ++observed.dnsChanged;
    observed.lastDNSChanged = Clock::now();
}

void runLoopFor(std::chrono::milliseconds duration)
{
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::chrono::duration<double>(duration).count(), false);
}

std::string procFile(pid_t process, const std::string& name)
{
    std::ifstream file("/proc/" + std::to_string(process) + "/" + name);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return content;
}

long statusField(pid_t process, const std::string& field)
{
    std::string status = procFile(process, "status");
    auto at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + field.size() + 1);
}

// Asleep in poll(2) with no child: the daemon's run loop waits for the next event.
bool waitsInRunLoop(pid_t process)
{
    std::string stat = procFile(process, "stat");
    auto state = stat.rfind(") ");
    std::string children = procFile(process, "task/" + std::to_string(process) + "/children");
    return state != std::string::npos && stat.compare(state + 2, 1, "S") == 0
        && procFile(process, "wchan").find("poll") != std::string::npos && children.find_first_not_of(" \n") == std::string::npos;
}

long contextSwitches(pid_t process)
{
    return statusField(process, "voluntary_ctxt_switches") + statusField(process, "nonvoluntary_ctxt_switches");
}

// Waits until the daemon has waited in its run loop, without a wake-up and without a DNSChanged, for
// the given period.
bool waitUntilIdle(pid_t process, std::chrono::milliseconds period)
{
    auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
        int dnsChanged = observed.dnsChanged;
        long switches = contextSwitches(process);
        if (!waitsInRunLoop(process)) {
            runLoopFor(std::chrono::milliseconds(5));
            continue;
        }
        runLoopFor(period);
        if (waitsInRunLoop(process) && contextSwitches(process) == switches && observed.dnsChanged == dnsChanged)
            return true;
    }
    return false;
}

double userAndSystemSeconds(pid_t process)
{
    std::string stat = procFile(process, "stat");
    auto fields = stat.substr(stat.rfind(") ") + 2);
    long ticks[2] {};
    // utime and stime, the 14th and 15th fields of the line.
    std::sscanf(fields.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &ticks[0], &ticks[1]);
    return double(ticks[0] + ticks[1]) / double(sysconf(_SC_CLK_TCK));
}

// The count of changes every store writer counts up.
std::uint64_t storeGeneration()
{
    auto changes = SharedCounter::map(DeviceRoot::resolve(DynamicStoreLog::changesDevicePath), false, 0644);
    return changes ? changes->value() : 0;
}

PropertyList dns(const std::string& address)
{
    return PropertyListDictionary { { "ServerAddresses", PropertyListArray { address } } };
}

void seedServices()
{
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "bench", nullptr, nullptr);
    for (int service = 0; service < servicesCount; ++service) {
        std::string serviceID = NSStringWithFormat("SERVICE-%d", service);
        std::string interfaceName = service == servicesCount - 1 ? "pdp_ip0" : NSStringWithFormat("en%d", service);
        SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + serviceID + "/IPv4",
                               PropertyListDictionary { { "InterfaceName", interfaceName } });
        SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + serviceID + "/DNS", dns(NSStringWithFormat("10.0.%d.1", service)));
        SCDynamicStoreSetValue(store.get(), "Setup:/Network/Service/" + serviceID + "/DNS", dns("10.0.0.1"));
    }
    SCDynamicStoreSetValue(store.get(), "State:/Network/Global/DNS", dns("10.0.0.1"));
    writeDictionaryToFile({ { "SelectedConnectivity", "Both" }, { "PrimaryDNS", "9.9.9.9" }, { "SecondaryDNS", "1.1.1.1" },
                            { "Domain", "example.org" } },
                          "/var/mobile/Library/Preferences/com.tarvik.dns.plist", true);
}

bool waitForDNSChanged(int before)
{
    auto deadline = Clock::now() + patience;
    while (observed.dnsChanged <= before && Clock::now() < deadline)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
    return observed.dnsChanged > before;
}

struct Flood {
    double onePassSeconds { 0 };
    std::uint64_t changesPerPass { 0 };
    double postingSeconds { 0 };
    double untilIdleSeconds { 0 };
    double cpuSeconds { 0 };
    std::uint64_t passes { 0 };
    long residentBefore { 0 };
    long residentAfter { 0 };
};

std::optional<Flood> measure(pid_t daemon, int posts)
{
    Flood flood;
    if (!waitForDNSChanged(0) || !waitUntilIdle(daemon, std::chrono::milliseconds(200)))
        return std::nullopt;
    std::vector<double> passes;
    for (int pass = 0; pass < measuredPasses; ++pass) {
        int before = observed.dnsChanged;
        std::uint64_t generation = storeGeneration();
        auto start = Clock::now();
        notify_post("com.tarvik.dns/PreferencesChanged");
        if (!waitForDNSChanged(before))
            return std::nullopt;
        passes.push_back(Benchmark::microsecondsSince(start));
        if (!waitUntilIdle(daemon, std::chrono::milliseconds(200)))
            return std::nullopt;
        flood.changesPerPass = storeGeneration() - generation;
    }
    flood.onePassSeconds = Benchmark::summarize(passes).median / 1e6;

    flood.residentBefore = statusField(daemon, "VmRSS");
    double cpuBefore = userAndSystemSeconds(daemon);
    std::uint64_t generation = storeGeneration();
    int before = observed.dnsChanged;
    auto start = Clock::now();
    for (int post = 0; post < posts; ++post)
        notify_post("com.tarvik.dns/PreferencesChanged");
    flood.postingSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!waitForDNSChanged(before) || !waitUntilIdle(daemon, std::chrono::duration_cast<std::chrono::milliseconds>(quietPeriod)))
        return std::nullopt;
    flood.untilIdleSeconds = std::chrono::duration<double>(observed.lastDNSChanged - start).count();
    flood.cpuSeconds = userAndSystemSeconds(daemon) - cpuBefore;
    flood.passes = flood.changesPerPass ? (storeGeneration() - generation) / flood.changesPerPass : 0;
    flood.residentAfter = statusField(daemon, "VmRSS");
    return flood;
}

} // namespace

int main(int argc, char* argv[])
{
    int posts = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (posts <= 0) {
        std::fprintf(stderr, "usage: %s [POSTS]\n", argv[0]);
        return 64;
    }
    std::string root = (std::filesystem::temp_directory_path() / "tarvikdns-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        std::perror("flood: cannot make a temporary device root");
        return 1;
    }
    setenv(DeviceRoot::environmentVariable, root.c_str(), 1);
    seedServices();

    std::string netwardd = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin" / "netwardd";
    pid_t daemon = fork();
    if (daemon == 0) {
        execl(netwardd.c_str(), "netwardd", static_cast<char*>(nullptr));
        _exit(127);
    }
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr, receiveDNSChanged,
                                    "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
    auto flood = measure(daemon, posts);

    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    CFNotificationCenterDarwinReset();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (!flood) {
        std::fprintf(stderr, "flood: netwardd did not answer or did not become idle\n");
        return 1;
    }

    double growthMB = double(flood->residentAfter - flood->residentBefore) / 1024;
    std::printf("one pass over %d services with \"Both\": %.2f ms (median of %d), %llu store changes\n", servicesCount,
                flood->onePassSeconds * 1000, measuredPasses, static_cast<unsigned long long>(flood->changesPerPass));
    std::printf("%d posts in a burst (posted in %.2f ms): idle again after %.2f ms, %llu passes, %.2f s of CPU\n", posts,
                flood->postingSeconds * 1000, flood->untilIdleSeconds * 1000, static_cast<unsigned long long>(flood->passes),
                flood->cpuSeconds);
    std::printf("resident memory: %.2f MB before, %.2f MB after, growth %.2f MB (goal: under 2 MB)\n",
                double(flood->residentBefore) / 1024, double(flood->residentAfter) / 1024, growthMB);
    std::printf("ratio (until idle / one pass): %.2f (goal: at most 3)\n", flood->untilIdleSeconds / flood->onePassSeconds);
    return 0;
}
