// notifyutil: posts Darwin notifications, or waits for one, on the device named by TARVIKDNS_DEVICE_ROOT.
#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "TerminationSignals.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int usageStatus = 64;

int usage()
{
    std::fputs("usage: notifyutil -p NAME...\n"
               "       notifyutil -1 NAME [-t SECONDS]\n"
               "  -p NAME...   post each name, in order; exit 1 when an observer refused one or missed it\n"
               "  -1 NAME      wait for one post of NAME and print it; -t gives up after SECONDS (exit 1)\n",
               stderr);
    return usageStatus;
}

const char* reasonOf(std::uint32_t status)
{
    if (status == NOTIFY_STATUS_INVALID_NAME)
        return "not a name that can be posted";
    if (status == NOTIFY_STATUS_NOT_AUTHORIZED)
        return "an observer does not take posts from this account";
    return "it could not be sent to every observer";
}

int post(const std::vector<std::string>& names)
{
    int status = 0;
    for (const auto& name : names) {
        if (std::uint32_t posted = notify_post(name.c_str()); posted != NOTIFY_STATUS_OK) {
            std::fprintf(stderr, "notifyutil: cannot post \"%s\": %s\n", name.c_str(), reasonOf(posted));
            status = 1;
        }
    }
    return status;
}

std::optional<std::string> received;

void receiveOne(CFNotificationCenterRef center, void* observer, const std::string& name, const void*,
                const PropertyListDictionary*)
{
    if (received)
        return;
    received = name;
    CFNotificationCenterRemoveEveryObserver(center, observer);
    CFRunLoopStop(CFRunLoopGetCurrent());
}

int waitForOne(const std::string& name, std::optional<double> timeoutSeconds)
{
    CFRunLoopStopOnTerminationSignals(CFRunLoopGetCurrent());
    static int observer;
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &observer, receiveOne, name, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    if (timeoutSeconds)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, *timeoutSeconds, false);
    else
        CFRunLoopRun();

    if (received) {
        std::printf("%s\n", received->c_str());
        std::fflush(stdout);
        return 0;
    }
    if (timeoutSeconds)
        std::fprintf(stderr, "notifyutil: no post of \"%s\" within %g seconds\n", name.c_str(), *timeoutSeconds);
    else
        std::fprintf(stderr, "notifyutil: stopped before a post of \"%s\" arrived\n", name.c_str());
    return 1;
}

std::optional<double> parseSeconds(const std::string& text)
{
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0)
        return std::nullopt;
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    DeviceRoot::requireOrExit("notifyutil");

    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() >= 2 && arguments[0] == "-p")
        return post({ arguments.begin() + 1, arguments.end() });

    if ((arguments.size() == 2 || arguments.size() == 4) && arguments[0] == "-1" && !arguments[1].empty()) {
        std::optional<double> timeoutSeconds;
        if (arguments.size() == 4) {
            if (arguments[2] != "-t")
                return usage();
            timeoutSeconds = parseSeconds(arguments[3]);
            if (!timeoutSeconds)
                return usage();
        }
        return waitForOne(arguments[1], timeoutSeconds);
    }
    return usage();
}
