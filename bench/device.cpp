// The time from a tap in the pane to the daemon's answer seen by the pane: the console's "tap" of a
// connectivity segment until the pane has received DNSChanged, beside the bare notification round trip
// between two processes measured in the same run.
//
// usage: device [TAPS]
#include "CFRunLoop.h"
#include "Device.h"
#include "DeviceLayout.h"
#include "DeviceRoot.h"
#include "NotificationRoundTrip.h"
#include "UIAutomation.h"
#include "UISegmentedControl.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Taps Wifi and Both in turn; each tap ends when the daemon's DNSChanged has reached this process.
std::optional<std::vector<double>> measureTaps(Device& device, int taps)
{
    auto selections = device.screen().descendantsOfType<UISegmentedControl>();
    if (selections.empty())
        return std::nullopt;
    std::vector<double> samples;
    for (int tap = 0; tap < taps; ++tap) {
        device.takeEvents();
        auto start = Benchmark::Clock::now();
        UIAutomation::tapSegment(*selections.front(), tap % 2 ? 3 : 2);
        bool answered = false;
        auto deadline = start + std::chrono::seconds(10);
        while (!answered && Benchmark::Clock::now() < deadline) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
            for (const auto& event : device.takeEvents())
                answered = answered || event == "posted: com.tarvik.dns/DNSChanged";
        }
        if (!answered)
            return std::nullopt;
        samples.push_back(Benchmark::microsecondsSince(start));
        device.settle(5);
    }
    return samples;
}

} // namespace

int main(int argc, char** argv)
{
    int taps = argc > 1 ? std::atoi(argv[1]) : 100;
    if (taps <= 0) {
        std::fprintf(stderr, "usage: %s [TAPS]\n", argv[0]);
        return 64;
    }
    std::string root = (std::filesystem::temp_directory_path() / "tarvikdns-bench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        std::perror("device: cannot make a temporary device root");
        return 1;
    }
    setenv(DeviceRoot::environmentVariable, root.c_str(), 1);

    // The round trip first, before this process observes anything.
    auto roundTrips = Benchmark::measureNotificationRoundTrips(2000);
    std::optional<std::vector<double>> tapSamples;
    std::string error;
    if (roundTrips && DeviceLayout(DeviceArtifacts::locate()).prepare(root, false, error)) {
        Device device;
        if (device.boot(error))
            tapSamples = measureTaps(device, taps);
        device.shutDown();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (!roundTrips || !tapSamples) {
        std::fprintf(stderr, "device: measurement failed %s\n", error.c_str());
        return 1;
    }
    auto tap = Benchmark::summarize(*tapSamples);
    auto notification = Benchmark::summarize(*roundTrips);
    std::printf("tap to DNSChanged in the pane: median %.1f us, mean %.1f us (%d taps)\n", tap.median, tap.mean, taps);
    std::printf("notification round trip:       median %.1f us, mean %.1f us\n", notification.median, notification.mean);
    std::printf("ratio (median): %.1f\n", tap.median / notification.median);
    return 0;
}
