#pragma once

#include "DeviceState.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

class Device;

// The one feed of what happens on a device, for everyone who shows it (the console, the page): after a
// step, and whenever something happens from outside, what was posted, the dialogs that came up and were
// answered, the turns, and what changed in the preferences, the dynamic store, "/etc/resolv.conf" and the
// proxy since the feed last told.
class DeviceFeed {
public:
    struct Entry {
        enum class Origin { Console, Page, Outside };
        Origin origin { Origin::Outside };
        // The step as a console line ("tap Wifi"); empty for what came from outside.
        std::string step;
        // Why the step failed ("tap: no segment \"Never\" ..."); empty when it did not.
        std::string problem;
        // "posted: com.tarvik.dns/DNSChanged", "changed: preferences SelectedConnectivity: ...".
        std::vector<std::string> lines;
    };
    using Listener = std::function<void(const Entry&)>;

    // What the device did while it started is not news.
    explicit DeviceFeed(Device& device);

    // A listener is told of every entry from now on, until it is removed by the number this gives.
    int addListener(Listener listener);
    void removeListener(int listener);

    // Adds what happened since the last entry to this one and hands it to every listener.
    void publish(Entry entry);
    // Something happened that no entry told yet.
    bool hasNews() const;
    // Tells what happened from outside, once the device has settled; nothing when nothing happened.
    void publishOutsideNews();

private:
    Device& device;
    // The device as the feed last told it.
    DeviceState told;
    std::vector<std::pair<int, Listener>> listeners;
    int lastListener { 0 };
};
