#pragma once

#include "ConsoleInput.h"
#include "Device.h"
#include "DeviceState.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The device's console: commands that do what a person's finger does and show what a person would look
// at. Every command that can change something runs the device until it has settled, then prints what was
// posted, what came up and what changed. What happens on the device from outside the console (a post
// from another terminal, a dialog it brings up, a store change by scutil) is printed when it happens.
// Errors name the command and what was wrong; no error stops the device.
class DeviceConsole {
public:
    DeviceConsole(Device& device, std::ostream& out);

    // Runs the input's lines one at a time, each once the device has settled after the one before,
    // until "quit", the end of the input or a termination signal. Lines of a script (a file, a pipe)
    // are echoed as "> line", and a failed one is noted with its line number; a person's lines at a
    // terminal are typed after the prompt.
    void run(ConsoleInput& input);

    bool quitRequested() const { return quit; }
    // The scripted lines that failed, and where they were: "line 3 of steps.txt", "lines 2 and 7 of
    // standard input".
    size_t failureCount() const { return failures.size(); }
    std::string failedLines() const;
    void printHelp() const;

    static constexpr const char* prompt = "tarvikdns> ";

    // A command line as the console reads it: its text without the blanks around it, and its words
    // (blanks separate them; double quotes keep blanks inside one word). Null for a blank line or a
    // comment.
    struct Line {
        std::string text;
        std::vector<std::string> words;
    };
    static std::optional<Line> parse(const std::string& line);
    // The text of a line after its first `count` words, one pair of surrounding quotes removed.
    static std::string textAfterWords(const std::string& line, size_t count);

private:
    struct Command {
        std::string name;
        std::string arguments;
        std::string example;
        std::string purpose;
        bool changesDevice;
        std::function<bool(const std::vector<std::string>& words, const std::string& rest)> run;
    };

    void addCommands();
    const Command* find(const std::string& name) const;
    bool fail(const std::string& command, const std::string& problem);

    // Runs one line; false when it failed. Blank lines and lines starting with "#" do nothing.
    bool execute(const std::string& line);
    void runLine(const ConsoleInput::Line& line, ConsoleInput& input);
    // Runs the device until a line comes, printing what happens meanwhile.
    void waitForLine(ConsoleInput& input);
    // Prints what happened on the device since the console last looked, if anything did.
    void reportOutsideActivity(ConsoleInput& input);
    void reportChanges(const DeviceState& before);

    bool tapSegment(const std::string& title);
    bool flipSwitch(const std::string& which);
    bool tapRow(const std::string& row);
    bool typeInto(const std::string& field, const std::string& text);
    bool pressReturn(const std::string& field);
    bool answerAlert(const std::vector<std::string>& words);
    bool rotate(const std::string& orientation);
    bool lookUp(const std::vector<std::string>& words);
    bool writeSVG(const std::string& path);

    Device& device;
    std::ostream& out;
    std::vector<Command> commands;
    std::string currentCommand;
    // The script line that runs, for its failure messages; 0 for a person's line.
    long currentLineNumber { 0 };
    bool failureReported { false };
    struct FailedLine {
        std::string input;
        long number;
    };
    std::vector<FailedLine> failures;
    // The device as the console last showed it.
    DeviceState shown;
    bool quit { false };
};
