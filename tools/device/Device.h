#pragma once

#include "DeviceLayout.h"
#include "PSSettingsHost.h"

#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

// A running device: netwardd started through launchctl as a process of its own, and the Settings
// application with the pane and SpringBoard with its plug-ins hosted in this process, on its run loop.
// It watches the device's notifications and alerts so that a console can tell what happened.
class Device {
public:
    // A device laid out by the device program, whose netwardd it starts and stops.
    Device();
    // A device that runs on its own, as a machine's with its services (netwardd under systemd): the pane
    // and the extension come from `hosted`, not from the device, and nothing of the device is started,
    // stopped or laid out.
    explicit Device(DeviceArtifacts hosted);
    ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Starts netwardd and waits for its first pass (unless attached), launches SpringBoard and opens the
    // pane.
    bool boot(std::string& error);
    // Closes the pane, stops netwardd and the DNSCrypt proxy: no process of the device is left.
    void shutDown();

    PSSettingsHost& settings() { return settingsHost; }
    UIView& screen() { return *settingsHost.screen(); }

    // Runs the run loop until the device is quiet: every PreferencesChanged answered by the daemon's
    // DNSChanged, every support request by its report, and nothing posted or shown for a moment. Posts
    // of one name coalesce while they wait for an observer, so a request can be left without an answer
    // of its own; once the last answer came after the last request, a longer quiet moment settles it.
    // False when the program was told to end meanwhile.
    bool settle(double longestSeconds = 15);
    // Runs the run loop for the given time.
    bool runFor(double seconds);
    // Runs the run loop until `done` answers true (asked after every event) or the time has passed.
    bool runUntil(double longestSeconds, const std::function<bool()>& done);

    // What the device posted and showed since the last call.
    std::vector<std::string> takeEvents();
    bool hasEvents() const { return !events.empty(); }
    // Notes a line for takeEvents (the device's observers use it).
    void noteEvent(const std::string& event);
    void notePost(const std::string& name);

    bool wasToldToEnd() const { return stopRequested; }

private:
    bool startNetwardd(std::string& error);
    bool launchSpringBoard(std::string& error);
    // True when every request has had an answer delivered after it, or, for requests that coalesced,
    // when the last answer came after the last request and the device has been quiet for `quiet`.
    bool isAnswered(const char* request, const char* answer, double quiet) const;

    PSSettingsHost settingsHost;
    std::vector<std::string> events;
    // The order in which each name was last delivered here, counted from 1.
    std::map<std::string, long> lastDelivery;
    long deliveries { 0 };
    // Requests delivered since the device last settled that no answer has matched yet.
    std::map<std::string, int> unanswered;
    double lastActivity { 0 };
    bool booted { false };
    std::optional<DeviceArtifacts> attachedFrom;
    bool stopRequested { false };
};
