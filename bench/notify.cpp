// Round-trip time of a Darwin notification between two processes, against a bare Unix datagram
// ping-pong between two processes, on a device of its own.
//
// usage: notify [ROUND_TRIPS]
#include "DeviceRoot.h"
#include "NotificationRoundTrip.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Benchmark::Clock;
using Benchmark::microsecondsSince;
constexpr int warmUpRoundTrips = 200;

void stopChild(pid_t child)
{
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
}

std::optional<std::vector<double>> measureRawDatagrams(int roundTrips)
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

} // namespace

int main(int argc, char** argv)
{
    int roundTrips = 2000;
    if (argc > 1) {
        roundTrips = std::atoi(argv[1]);
        if (roundTrips <= 0) {
            std::fprintf(stderr, "usage: %s [ROUND_TRIPS]\n", argv[0]);
            return 64;
        }
    }

    std::string root = (std::filesystem::temp_directory_path() / "tarvikdns-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        std::perror("notify: cannot make a temporary device root");
        return 1;
    }
    setenv(DeviceRoot::environmentVariable, root.c_str(), 1);

    auto notifications = Benchmark::measureNotificationRoundTrips(roundTrips);
    auto raw = notifications ? measureRawDatagrams(roundTrips) : std::nullopt;

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (!notifications || !raw) {
        std::fprintf(stderr, "notify: measurement failed\n");
        return 1;
    }

    Benchmark::Summary notification = Benchmark::summarize(*notifications);
    Benchmark::Summary datagram = Benchmark::summarize(*raw);
    std::printf("notification round trip: median %.1f us, mean %.1f us (%d round trips)\n", notification.median,
                notification.mean, roundTrips);
    std::printf("raw datagram round trip: median %.1f us, mean %.1f us\n", datagram.median, datagram.mean);
    std::printf("ratio (median): %.2f\n", notification.median / datagram.median);
    return 0;
}
