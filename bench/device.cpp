// The time from a tap in the pane to the daemon's answer seen by the pane: the console's "tap" of a
// connectivity segment until the pane has received DNSChanged, beside the bare notification round trip
// between two processes measured in the same run. Also how much of a tap the daemon's pass spent on the
// service manager: the commands it gave ("launchctl load" and "launchctl unload" lines that reached the
// device log while each tap waited for its answer), each timed here, in the same run, on the same
// device and through the same shell call that the daemon makes.
//
// usage: device [TAPS]
#include "CFRunLoop.h"
#include "Device.h"
#include "DeviceLayout.h"
#include "DeviceRoot.h"
#include "DeviceShell.h"
#include "NotificationRoundTrip.h"
#include "UIAutomation.h"
#include "UISegmentedControl.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* proxyListPath = "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist";

struct ServiceManagerCommands {
    int loads { 0 };
    int unloads { 0 };
};

struct TapMeasurements {
    std::vector<double> samples;
    ServiceManagerCommands commands;
};

std::uintmax_t deviceLogSize()
{
    std::error_code missing;
    auto size = std::filesystem::file_size(DeviceRoot::resolve("/var/log/system.log"), missing);
    return missing ? 0 : size;
}

// The service manager's commands logged in the device log from the given offset on.
ServiceManagerCommands commandsLoggedSince(std::uintmax_t offset)
{
    ServiceManagerCommands commands;
    std::ifstream log(DeviceRoot::resolve("/var/log/system.log"));
    log.seekg(static_cast<std::streamoff>(offset));
    for (std::string line; std::getline(log, line);) {
        if (line.ends_with(std::string("] launchctl load ") + proxyListPath))
            ++commands.loads;
        if (line.ends_with(std::string("] launchctl unload ") + proxyListPath))
            ++commands.unloads;
    }
    return commands;
}

// Taps Wifi and Both in turn; each tap ends when the daemon's DNSChanged has reached this process.
std::optional<TapMeasurements> measureTaps(Device& device, int taps)
{
    auto selections = device.screen().descendantsOfType<UISegmentedControl>();
    if (selections.empty())
        return std::nullopt;
    TapMeasurements measured;
    for (int tap = 0; tap < taps; ++tap) {
        device.takeEvents();
        auto logOffset = deviceLogSize();
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
        measured.samples.push_back(Benchmark::microsecondsSince(start));
        auto commands = commandsLoggedSince(logOffset);
        measured.commands.loads += commands.loads;
        measured.commands.unloads += commands.unloads;
        device.settle(5);
    }
    return measured;
}

double timedCommand(const std::string& command)
{
    auto start = Benchmark::Clock::now();
    device::system(command.c_str());
    return Benchmark::microsecondsSince(start);
}

// The daemon's commands, given here as the daemon gives them: the stop in the state the taps left the
// proxy in, and, when the taps started the proxy, a start (each followed by an untimed stop). Whatever
// forks (a start; every command where launchctl runs as a process) forks this process, larger than
// the daemon, and so costs somewhat more here than in the daemon.
struct CommandTimes {
    Benchmark::Summary unload;
    Benchmark::Summary load;
};

CommandTimes timeServiceManagerCommands(const ServiceManagerCommands& given, int repeats)
{
    // What the commands say goes where the daemon's standard error goes: nowhere.
    std::fflush(stderr);
    int standardError = dup(STDERR_FILENO);
    int nullDevice = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nullDevice, STDERR_FILENO);
    close(nullDevice);

    const std::string unload = std::string("launchctl unload ") + proxyListPath;
    const std::string load = std::string("launchctl load ") + proxyListPath;
    std::vector<double> unloads;
    std::vector<double> loads;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        unloads.push_back(timedCommand(unload));
        if (given.loads > 0) {
            loads.push_back(timedCommand(load));
            device::system(unload.c_str());
        }
    }
    dup2(standardError, STDERR_FILENO);
    close(standardError);
    CommandTimes times { Benchmark::summarize(unloads), {} };
    if (!loads.empty())
        times.load = Benchmark::summarize(loads);
    return times;
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
    std::optional<TapMeasurements> tapMeasurements;
    CommandTimes commandTimes;
    std::string error;
    if (roundTrips && DeviceLayout(DeviceArtifacts::locate()).prepare(root, false, error)) {
        Device device;
        if (device.boot(error))
            tapMeasurements = measureTaps(device, taps);
        if (tapMeasurements)
            commandTimes = timeServiceManagerCommands(tapMeasurements->commands, 200);
        device.shutDown();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (!roundTrips || !tapMeasurements) {
        std::fprintf(stderr, "device: measurement failed %s\n", error.c_str());
        return 1;
    }
    auto tap = Benchmark::summarize(tapMeasurements->samples);
    auto notification = Benchmark::summarize(*roundTrips);
    const auto& commands = tapMeasurements->commands;
    double serviceManager = (commands.unloads * commandTimes.unload.median + commands.loads * commandTimes.load.median) / taps;
    std::printf("tap to DNSChanged in the pane: median %.1f us, mean %.1f us (%d taps)\n", tap.median, tap.mean, taps);
    std::printf("notification round trip:       median %.1f us, mean %.1f us\n", notification.median, notification.mean);
    std::printf("service manager in the pass:   %.2f stops and %.2f starts a tap, median %.1f us a stop",
                static_cast<double>(commands.unloads) / taps, static_cast<double>(commands.loads) / taps,
                commandTimes.unload.median);
    if (commands.loads > 0)
        std::printf(", %.1f us a start", commandTimes.load.median);
    std::printf(": %.1f us, %.1f%% of the tap\n", serviceManager, 100 * serviceManager / tap.median);
    std::printf("ratio (median): %.1f (goal: at most 40)\n", tap.median / notification.median);
    return 0;
}
