// Round-trip time of a Darwin notification between two processes, against a bare Unix datagram
// ping-pong between two processes, on a device of its own.
//
// usage: notify [ROUND_TRIPS]
#include "DeviceRoot.h"
#include "NotificationRoundTrip.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

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
    auto raw = notifications ? Benchmark::measureRawDatagramRoundTrips(roundTrips) : std::nullopt;

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
    std::printf("notification round trip / raw datagram round trip (median): %.2f (goal: at most 1.5)\n",
                notification.median / datagram.median);
    return 0;
}
