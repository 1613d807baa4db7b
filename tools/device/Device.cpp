#include "Device.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "CydiaSubstrate.h"
#include "DeviceRoot.h"
#include "DeviceShell.h"
#include "Launchd.h"
#include "SpringBoard.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"
#include "UIApplication.h"

#include <algorithm>
#include <dlfcn.h>
#include <chrono>
#include <utility>

namespace {

constexpr const char* deviceNotifications[] = {
    kNotificationPreferencesChanged, kNotificationDNSChanged, kNotificationSupportEmailRequest, kNotificationSupportEmail,
    kNotificationShowPasslockView, kNotificationShowPasslockCreateView, kNotificationShowPasslockRemoveView,
    kNotificationPasslockOK, kNotificationPasslockNOK, kNotificationPasslockCancel, kNotificationPasslockRemoveNOK,
    kNotificationSBStart, kNotificationSBStop, kNotificationSBStartOK, kNotificationSBStopOK,
};

// What the device asks netwardd, with what netwardd answers once it has done it.
constexpr std::pair<const char*, const char*> requestsAndAnswers[] = {
    { kNotificationPreferencesChanged, kNotificationDNSChanged },
    { kNotificationSupportEmailRequest, kNotificationSupportEmail },
};

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void recordPost(CFNotificationCenterRef, void* observer, const std::string& name, const void*, const PropertyListDictionary*)
{
    static_cast<Device*>(observer)->notePost(name);
}

} // namespace

Device::Device(DeviceArtifacts hosted)
    : Device()
{
    attachedFrom = std::move(hosted);
}

Device::Device()
{
    for (const char* name : deviceNotifications)
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, recordPost, name, nullptr,
                                        CFNotificationSuspensionBehaviorHold);
    UIApplication::sharedApplication().setAlertShownHandler([this](UIAlertView& alert) {
        std::string buttons;
        for (long index = 0; index < alert.numberOfButtons(); ++index)
            buttons += (index ? ", " : "") + alert.buttonTitleAtIndex(index);
        noteEvent("alert shown: " + alert.title() + " (" + buttons + ")");
    });
    UIApplication::sharedApplication().setOpenURLHandler([this](const std::string& url) {
        noteEvent("opened: " + url);
        return true;
    });
}

Device::~Device()
{
    shutDown();
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this);
    UIApplication::sharedApplication().setAlertShownHandler(nullptr);
    UIApplication::sharedApplication().setOpenURLHandler(nullptr);
}

void Device::noteEvent(const std::string& event)
{
    events.push_back(event);
    lastActivity = now();
}

void Device::notePost(const std::string& name)
{
    lastDelivery[name] = ++deliveries;
    for (const auto& [request, answer] : requestsAndAnswers) {
        if (name == request)
            ++unanswered[request];
        if (name == answer && unanswered[request] > 0)
            --unanswered[request];
    }
    noteEvent("posted: " + name);
}

bool Device::isAnswered(const char* request, const char* answer, double quiet) const
{
    auto entry = unanswered.find(request);
    if (entry == unanswered.end() || entry->second == 0)
        return true;
    auto deliveryOf = [this](const char* name) {
        auto delivery = lastDelivery.find(name);
        return delivery == lastDelivery.end() ? 0L : delivery->second;
    };
    constexpr double coalescedQuietSeconds = 1;
    return deliveryOf(request) < deliveryOf(answer) && quiet >= coalescedQuietSeconds;
}

std::vector<std::string> Device::takeEvents()
{
    std::vector<std::string> taken;
    taken.swap(events);
    return taken;
}

bool Device::runFor(double seconds)
{
    return runUntil(seconds, [] { return false; });
}

bool Device::runUntil(double longestSeconds, const std::function<bool()>& done)
{
    double deadline = now() + longestSeconds;
    while (!done() && now() < deadline) {
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::min(0.05, deadline - now()), true) == kCFRunLoopRunStopped) {
            stopRequested = true;
            return false;
        }
    }
    return true;
}

bool Device::settle(double longestSeconds)
{
    constexpr double quietSeconds = 0.3;
    double deadline = now() + longestSeconds;
    lastActivity = std::max(lastActivity, now());
    while (now() < deadline) {
        if (!runFor(0.05))
            return false;
        double quiet = now() - lastActivity;
        bool answered = std::all_of(std::begin(requestsAndAnswers), std::end(requestsAndAnswers), [&](const auto& pair) {
            return isAnswered(pair.first, pair.second, quiet);
        });
        if (answered && quiet >= quietSeconds)
            break;
    }
    unanswered.clear();
    return true;
}

bool Device::startNetwardd(std::string& error)
{
    const std::string load = std::string("launchctl load ") + DeviceLayout::netwarddListPath;
    if (device::system(load.c_str()) != 0) {
        // A netwardd left from an earlier run of this device is stopped and started again.
        device::system((std::string("launchctl unload ") + DeviceLayout::netwarddListPath).c_str());
        if (device::system(load.c_str()) != 0) {
            error = "launchctl cannot start netwardd";
            return false;
        }
    }
    return true;
}

bool Device::boot(std::string& error)
{
    if (attachedFrom) {
        booted = true;
        return launchSpringBoard(error);
    }
    if (!startNetwardd(error))
        return false;
    booted = true;
    // netwardd announces its start-up with PreferencesChanged and answers it with DNSChanged.
    auto answered = [this] { return lastDelivery.count(kNotificationDNSChanged) != 0; };
    if (!runUntil(15, answered)) {
        error = "told to end while starting";
        return false;
    }
    if (!answered()) {
        error = "netwardd did not answer within 15 seconds";
        return false;
    }

    return launchSpringBoard(error);
}

bool Device::launchSpringBoard(std::string& error)
{
    // SpringBoard: the class exists before its plug-ins load, and they hook its launch.
    SpringBoard::application();
    if (!attachedFrom) {
        MSLoadDynamicLibraries();
    } else if (!dlopen(attachedFrom->dylibPath.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        const char* reason = dlerror();
        error = "SpringBoard cannot load " + attachedFrom->dylibPath + ": " + (reason ? reason : "unknown error");
        return false;
    }
    SpringBoard::finishLaunching();

    std::string bundle = attachedFrom ? attachedFrom->bundleFolder : DeviceRoot::resolve(DeviceLayout::bundlePath);
    if (!settingsHost.openPane(bundle)) {
        error = "the Settings application cannot open " + bundle;
        return false;
    }
    settle();
    return true;
}

void Device::shutDown()
{
    if (!booted)
        return;
    booted = false;
    settingsHost.closePane();
    if (attachedFrom)
        return;
    device::system((std::string("launchctl unload ") + DeviceLayout::netwarddListPath).c_str());
    // The proxy outlives netwardd, as on the device; shutting the device down stops it too.
    auto jobs = Launchd::list();
    bool proxyLoaded = std::any_of(jobs.begin(), jobs.end(), [](const Launchd::Job& job) { return job.label == "com.opendns.DNSCryptProxy"; });
    if (proxyLoaded)
        device::system((std::string("launchctl unload ") + DeviceLayout::proxyListPath).c_str());
}
