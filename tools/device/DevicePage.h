#pragma once

#include "CFRunLoopTimer.h"
#include "DeviceFeed.h"
#include "StepSource.h"
#include "UIGeometry.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>

class Device;
class DeviceCommands;
class PageEvents;

// The device's page on the main run loop's side. The steps the page asks for (a touch at a point of the
// screen, typed text, a key, a turn, a fresh device) wait here for the step loop, which runs them one at
// a time with the console's, through the same commands. What the page shows goes to PageEvents as it
// changes: the screen within a frame of any change, whatever made it; the feed's entries, whoever's step
// they follow; and the status after each.
class DevicePage : public StepSource {
public:
    DevicePage(Device& device, DeviceCommands& commands, DeviceFeed& feed, PageEvents& events);
    ~DevicePage() override;

    DevicePage(const DevicePage&) = delete;
    DevicePage& operator=(const DevicePage&) = delete;

    struct Step {
        enum class Kind { Touch, Type, Key, Rotate, FreshDevice };
        Kind kind { Kind::Touch };
        CGPoint point;
        // The text typed, the key ("Return", "Backspace"), the orientation, or the fresh device's model.
        std::string text;
        // The fresh device's system version.
        std::string version;
    };
    // The HTTP status and the JSON body that answer a step.
    struct Answer {
        int status { 200 };
        std::string body;
    };
    using AnswerHandler = std::function<void(const Answer&)>;

    // Queues a step; `answer` is called on the main run loop once it ran, or once it never will.
    void queue(Step step, AnswerHandler answer);

    bool hasStep() const override { return !pending.empty(); }
    void runStep() override;
    bool isFinished() const override { return false; }
    // A fresh device was asked for: the program starts over.
    bool endsRun() const override { return freshDevice.has_value(); }

    struct FreshDevice {
        std::string model;
        std::string version;
    };
    const std::optional<FreshDevice>& freshDeviceAsked() const { return freshDevice; }

    // Sends the screen when it differs from the one sent last.
    void publishScreen();

private:
    struct Pending {
        Step step;
        AnswerHandler answer;
    };
    // What a step did: its console line for the feed, whether it changed the device, and how it went.
    struct Done {
        std::string step;
        bool changesDevice { false };
        bool succeeded { true };
        bool nothingTouched { false };
    };
    // A touch where nothing takes one: it does nothing and tells nothing.
    static Done nothingThere() { return { "", false, true, true }; }

    Done touch(CGPoint point);
    Done type(const std::string& text);
    Done pressKey(const std::string& key);
    Done rotate(const std::string& orientation);
    void publish(const DeviceFeed::Entry& entry);
    void publishStatus();
    std::string screenJson() const;

    Device& device;
    DeviceCommands& commands;
    DeviceFeed& feed;
    PageEvents& events;
    std::deque<Pending> pending;
    std::optional<FreshDevice> freshDevice;
    std::string sentScreen;
    std::string sentStatus;
    CFRunLoopTimerRef screenWatch;
    int feedListener { 0 };
};
