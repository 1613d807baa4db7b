// The cost of one dynamic-store write and one read as the store grows: 1, 10, 100 and 1,000 network
// services in the store (three keys each), beside a raw Unix datagram round trip between two processes
// measured in the same run. Each write changes a service's DNS state, which another process watches, as
// netwardd watches the keys it wrote; each read copies that key's value.
//
// usage: store [WRITES]
#include "BenchmarkDevice.h"
#include "CFRunLoop.h"
#include "NotificationRoundTrip.h"
#include "SCDynamicStore.h"
#include "StringFormat.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* watchedKey = "State:/Network/Service/SERVICE-0/DNS";

PropertyList dns(const std::string& address)
{
    return PropertyListDictionary { { "ServerAddresses", PropertyListArray { address } }, { "DomainName", "bench.lan" } };
}

void seedServices(SCDynamicStoreRef store, int count)
{
    for (int service = 0; service < count; ++service) {
        std::string serviceID = NSStringWithFormat("SERVICE-%d", service);
        SCDynamicStoreSetValue(store, "State:/Network/Service/" + serviceID + "/IPv4",
                               PropertyListDictionary { { "InterfaceName", NSStringWithFormat("en%d", service) } });
        SCDynamicStoreSetValue(store, "State:/Network/Service/" + serviceID + "/DNS", dns("10.0.0.1"));
        SCDynamicStoreSetValue(store, "Setup:/Network/Service/" + serviceID + "/DNS", dns("10.0.0.1"));
    }
}

void ignoreChanges(SCDynamicStoreRef, const std::vector<std::string>&, void*) { }

// A process that watches the written key and takes its change reports in, until it is terminated.
pid_t startWatcher()
{
    pid_t watcher = fork();
    if (watcher != 0)
        return watcher;
    std::signal(SIGTERM, [](int) { _exit(0); });
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "watcher", ignoreChanges, nullptr);
    std::vector<std::string> keys { watchedKey };
    SCDynamicStoreSetNotificationKeys(store.get(), &keys, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), SCDynamicStoreCreateRunLoopSource(kCFAllocatorDefault, store.get(), 0),
                       kCFRunLoopCommonModes);
    CFRunLoopRun();
    _exit(1);
}

struct Costs {
    double writeMicroseconds { 0 };
    double readMicroseconds { 0 };
};

Costs measure(int serviceCount, int writes)
{
    BenchmarkDevice device;
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "bench", nullptr, nullptr);
    seedServices(store.get(), serviceCount);
    pid_t watcher = startWatcher();
    usleep(200'000); // the watcher's connection is up

    std::vector<double> writeSamples;
    std::vector<double> readSamples;
    for (int write = 0; write < writes; ++write) {
        PropertyList value = dns(NSStringWithFormat("172.16.%d.%d", (write / 250) % 250, write % 250));
        auto start = Benchmark::Clock::now();
        SCDynamicStoreSetValue(store.get(), watchedKey, value);
        writeSamples.push_back(Benchmark::microsecondsSince(start));

        start = Benchmark::Clock::now();
        auto read = SCDynamicStoreCopyValue(store.get(), watchedKey);
        readSamples.push_back(Benchmark::microsecondsSince(start));
        if (!read || !(*read == value)) {
            std::fprintf(stderr, "store: a read did not give the value written\n");
            std::exit(1);
        }
    }
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);
    return { Benchmark::summarize(writeSamples).median, Benchmark::summarize(readSamples).median };
}

} // namespace

int main(int argc, char** argv)
{
    int writes = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (writes <= 0) {
        std::fprintf(stderr, "usage: %s [WRITES]\n", argv[0]);
        return 64;
    }
    auto raw = Benchmark::measureRawDatagramRoundTrips(2000);
    if (!raw) {
        std::fprintf(stderr, "store: the raw round trip could not be measured\n");
        return 1;
    }
    double rawMicroseconds = Benchmark::summarize(*raw).median;
    std::printf("raw datagram round trip: median %.1f us\n", rawMicroseconds);
    std::printf("services   write (median)   / raw   read (median)   / raw\n");
    std::vector<Costs> costs;
    for (int serviceCount : { 1, 10, 100, 1000 }) {
        costs.push_back(measure(serviceCount, writes));
        std::printf("%8d   %9.1f us   %6.2f   %9.1f us   %6.2f\n", serviceCount, costs.back().writeMicroseconds,
                    costs.back().writeMicroseconds / rawMicroseconds, costs.back().readMicroseconds,
                    costs.back().readMicroseconds / rawMicroseconds);
        std::fflush(stdout);
    }
    double flatness = costs.back().writeMicroseconds / costs.front().writeMicroseconds;
    std::printf("write with 1,000 services / with 1: %.2f (goal: at most 1.5)\n", flatness);
    std::printf("write with 1 service / raw datagram round trip: %.2f (goal: at most 3)\n",
                costs.front().writeMicroseconds / rawMicroseconds);
    return 0;
}
