#pragma once

#include "Device.h"
#include "DeviceState.h"

#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The device's console: commands that do what a person's finger does and show what a person would look
// at. Every command that can change something runs the device until it is quiet, then prints what was
// posted, what came up and what changed. Errors name the command and what was wrong; no error stops
// the device.
class DeviceConsole {
public:
    DeviceConsole(Device& device, std::ostream& out);

    // Runs one command line; false when it failed. Blank lines and lines starting with "#" do nothing.
    bool execute(const std::string& line);
    // Runs every line of a script, echoing each as "> line"; the number of lines that failed.
    int runScript(std::istream& script);
    // Reads commands from standard input as they come, with a prompt, until "quit", the end of the
    // input, or a termination signal.
    void runInteractive();

    bool quitRequested() const { return quit; }
    void printHelp() const;

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
    void reportChanges(const DeviceState& before);

    bool tapSegment(const std::string& title);
    bool flipSwitch(const std::string& which);
    bool tapRow(const std::string& row);
    bool typeInto(const std::string& field, const std::string& text);
    bool pressReturn(const std::string& field);
    bool answerAlert(const std::vector<std::string>& words);
    bool rotate(const std::string& orientation);
    bool writeSVG(const std::string& path);

    Device& device;
    std::ostream& out;
    std::vector<Command> commands;
    std::string currentCommand;
    bool quit { false };
};
