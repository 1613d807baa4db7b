#pragma once

#include "ConsoleInput.h"
#include "DeviceCommands.h"
#include "DeviceFeed.h"
#include "StepSource.h"

#include <ostream>
#include <string>
#include <vector>

class Device;

// The device's console: command lines, each run once the device has settled after the one before, with
// what the feed tells after each printed under it. What the feed tells of other steps is printed too:
// what happened from outside (a post from another terminal, a dialog it brings up, a store change by
// scutil) under "(from outside)", and the page's steps under "(from the page)". Errors name the command
// and what was wrong; no error stops the device.
class DeviceConsole : public StepSource {
public:
    DeviceConsole(Device& device, DeviceCommands& commands, DeviceFeed& feed, std::ostream& out);
    ~DeviceConsole() override;

    DeviceConsole(const DeviceConsole&) = delete;
    DeviceConsole& operator=(const DeviceConsole&) = delete;

    // The lines to run next. Lines of a script (a file, a pipe) are echoed as "> line", and a failed one
    // is noted with its line number; a person's lines at a terminal are typed after the prompt.
    void setInput(ConsoleInput& input);

    bool hasStep() const override { return input && input->hasLine(); }
    void runStep() override;
    bool isFinished() const override { return !input || input->isFinished(); }
    bool endsRun() const override { return commands.quitRequested(); }
    void willWait() override;

    // Takes the prompt off the terminal: the console is done with it.
    void finish();

    bool quitRequested() const { return commands.quitRequested(); }
    // The scripted lines that failed, and where they were: "line 3 of steps.txt", "lines 2 and 7 of
    // standard input".
    size_t failureCount() const { return failures.size(); }
    std::string failedLines() const;

    static constexpr const char* prompt = "tarvikdns> ";

private:
    void runLine(const ConsoleInput::Line& line);
    void print(const DeviceFeed::Entry& entry);

    Device& device;
    DeviceCommands& commands;
    DeviceFeed& feed;
    std::ostream& out;
    ConsoleInput* input { nullptr };
    int feedListener { 0 };
    struct FailedLine {
        std::string input;
        long number;
    };
    std::vector<FailedLine> failures;
};
