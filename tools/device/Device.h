#pragma once

#include "DeviceLayout.h"
#include "PSSettingsHost.h"

#include <memory>
#include <string>
#include <vector>

// A running device: netwardd started through launchctl as a process of its own, and the Settings
// application with the pane and SpringBoard with its plug-ins hosted in this process, on its run loop.
// It watches the device's notifications and alerts so that a console can tell what happened.
class Device {
public:
    Device();
    ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Starts netwardd and waits for its first pass, launches SpringBoard and opens the pane.
    bool boot(std::string& error);
    // Closes the pane, stops netwardd and the DNSCrypt proxy: no process of the device is left.
    void shutDown();

    PSSettingsHost& settings() { return settingsHost; }
    UIView& screen() { return *settingsHost.screen(); }

    // Runs the run loop until the device is quiet: every PreferencesChanged answered by the daemon's
    // DNSChanged, every support request by its report, and nothing posted for a moment. False when
    // the program was told to end meanwhile.
    bool settle(double longestSeconds = 15);
    // Runs the run loop for the given time.
    bool runFor(double seconds);

    // What the device posted and showed since the last call.
    std::vector<std::string> takeEvents();
    // Notes a line for takeEvents (the device's observers use it).
    void noteEvent(const std::string& event);
    void countPost(const std::string& name);

    bool wasToldToEnd() const { return stopRequested; }

private:
    bool startNetwardd(std::string& error);

    PSSettingsHost settingsHost;
    std::vector<std::string> events;
    std::vector<std::string> posts;
    double lastActivity { 0 };
    bool booted { false };
    bool stopRequested { false };
};
