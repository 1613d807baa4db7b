#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "ResolvedBridge.h"
#include "RootOnlyDevice.h"
#include "SingleInstanceLock.h"
#include "TerminationSignals.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* usage =
    "usage: resolved-bridge [--look-interval SECONDS]\n"
    "\n"
    "Makes the machine's links the services of the device named by TARVIKDNS_DEVICE_ROOT, and their DNS\n"
    "in the device's dynamic store the DNS of systemd-resolved, both ways, until SIGTERM or SIGINT.\n"
    "\n"
    "  --look-interval SECONDS  how often resolved is asked for what it does not announce (default 1)\n";

bool parseOptions(int argc, char** argv, ResolvedBridge::Options& options)
{
    for (int index = 1; index < argc; ++index) {
        std::string_view argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "resolved-bridge: unknown option or missing value: %s\n%s", argv[index], usage);
            return false;
        }
        std::string_view value = argv[++index];
        double seconds = 0;
        auto parsed = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (argument == "--look-interval" && parsed.ec == std::errc() && parsed.ptr == value.data() + value.size()
            && seconds >= 0.05 && seconds <= 3600) {
            options.lookInterval = seconds;
            continue;
        }
        std::fprintf(stderr, "resolved-bridge: bad option %s %s\n%s", argv[index - 1], argv[index], usage);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    ResolvedBridge::Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    DeviceRoot::requireOrExit("resolved-bridge");
    if (auto writable = RootOnlyDevice::foreignWritable(); !writable.empty()) {
        NSLog("resolved-bridge: refusing to run: %@, so another account could steer the machine's DNS", writable);
        return 1;
    }
    std::string problem;
    auto instanceLock = SingleInstanceLock::take("/var/run/resolved-bridge.lock", problem);
    if (!instanceLock) {
        NSLog("resolved-bridge: %@; this one ends", problem);
        return 1;
    }
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);
    auto bridge = ResolvedBridge::start(options, problem);
    if (!bridge) {
        NSLog("resolved-bridge: %@", problem);
        return 1;
    }
    NSLog("resolved-bridge: running");
    CFRunLoopRun();
    bool failed = bridge->hasLostBus();
    bridge.reset();
    return failed ? 1 : 0;
}
