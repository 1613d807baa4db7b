#include "NotificationRoundTrip.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <numeric>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace Benchmark {

namespace {

constexpr int warmUpRoundTrips = 200;
constexpr double replyPatienceSeconds = 5;

void stopChild(pid_t child)
{
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
}

void answerPing(CFNotificationCenterRef, void*, const std::string&, const void*, const PropertyListDictionary*)
{
    notify_post("bench.pong");
}

bool pongArrived = false;

void receivePong(CFNotificationCenterRef, void*, const std::string&, const void*, const PropertyListDictionary*)
{
    pongArrived = true;
    CFRunLoopStop(CFRunLoopGetCurrent());
}

bool pingAndWaitForPong()
{
    pongArrived = false;
    notify_post("bench.ping");
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(replyPatienceSeconds));
    while (!pongArrived && Clock::now() < deadline)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, replyPatienceSeconds, true);
    return pongArrived;
}

// The child observes pings and answers each with a pong until it is terminated; the parent waits for
// each pong before the next ping.
} // namespace

Summary summarize(std::vector<double> microseconds)
{
    std::sort(microseconds.begin(), microseconds.end());
    size_t count = microseconds.size();
    Summary summary;
    summary.median = count % 2 ? microseconds[count / 2] : (microseconds[count / 2 - 1] + microseconds[count / 2]) / 2;
    summary.mean = std::accumulate(microseconds.begin(), microseconds.end(), 0.0) / double(count);
    return summary;
}

double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::optional<std::vector<double>> measureNotificationRoundTrips(int roundTrips)
{
    // Forked before this process touches its run loop or notification center, so that the child
    // starts with neither.
    pid_t child = fork();
    if (child < 0)
        return std::nullopt;
    if (child == 0) {
        std::signal(SIGTERM, [](int) { _exit(0); });
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr, answerPing,
                                        "bench.ping", nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
        CFRunLoopRun();
        _exit(1);
    }

    std::string childSocket = DeviceRoot::resolve(CFNotificationCenterSocketPath(child));
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr, receivePong, "bench.pong",
                                    nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
    struct stat status {};
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (lstat(childSocket.c_str(), &status) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<double> samples;
    bool answered = true;
    for (int index = 0; index < warmUpRoundTrips && answered; ++index)
        answered = pingAndWaitForPong();
    for (int index = 0; index < roundTrips && answered; ++index) {
        auto start = Clock::now();
        answered = pingAndWaitForPong();
        samples.push_back(microsecondsSince(start));
    }
    stopChild(child);
    CFNotificationCenterDarwinReset();
    if (!answered) {
        std::fprintf(stderr, "notify: the observing process stopped answering\n");
        return std::nullopt;
    }
    return samples;
}

std::optional<std::vector<double>> measureRawDatagramRoundTrips(int roundTrips)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
        return std::nullopt;
    pid_t child = fork();
    if (child < 0)
        return std::nullopt;
    if (child == 0) {
        close(pair[0]);
        char byte;
        while (recv(pair[1], &byte, 1, 0) == 1) {
            if (send(pair[1], &byte, 1, 0) != 1)
                break;
        }
        _exit(0);
    }
    close(pair[1]);

    std::vector<double> samples;
    bool answered = true;
    for (int index = 0; index < warmUpRoundTrips + roundTrips && answered; ++index) {
        char byte = 'p';
        auto start = Clock::now();
        answered = send(pair[0], &byte, 1, 0) == 1 && recv(pair[0], &byte, 1, 0) == 1;
        if (index >= warmUpRoundTrips)
            samples.push_back(microsecondsSince(start));
    }
    close(pair[0]);
    stopChild(child);
    if (!answered)
        return std::nullopt;
    return samples;
}

} // namespace Benchmark
