#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class Device;
class UIAlertView;
class UITextField;
class UIView;

// The commands a person gives a device, typed at the console or clicked on the page: what a finger does
// on the screen (a segment, a switch, a row, a button, a field, a dialog's button), turning the device,
// the keyboard, the outside control, and what a person looks at (the screen, the status, the
// preferences, the store, a lookup). A command that fails says why in problem(); none stops the device.
// Commands only act: letting the device settle and telling what changed is the feed's part.
class DeviceCommands {
public:
    explicit DeviceCommands(Device& device);

    // A command line: its text without the blanks around it, and its words (blanks separate them;
    // double quotes keep blanks inside one word). Null for a blank line or a comment.
    struct Line {
        std::string text;
        std::vector<std::string> words;
    };
    static std::optional<Line> parse(const std::string& line);
    // The text of a line after its first `count` words, one pair of surrounding quotes removed.
    static std::string textAfterWords(const std::string& line, size_t count);

    // What running a line came to. `command` is the command's name, or the unknown first word.
    struct Outcome {
        std::string command;
        bool succeeded { true };
        // Why it failed, as "no segment \"Never\" (...)"; "failed" when the command gave no reason.
        std::string problem;
        // The command may have changed the device: it is let settle, and what changed is reported.
        bool changesDevice { false };
    };
    // Runs one command line; what the command shows goes to `out`. Blank lines and comments do nothing.
    Outcome run(const std::string& line, std::ostream& out);
    void printHelp(std::ostream& out) const;
    bool quitRequested() const { return quit; }

    // The names the commands give the DNS fields and the switches, in the order the screen shows them.
    static const std::vector<std::string>& fieldNames();
    static const std::vector<std::string>& switchNames();

    // What a finger does, each by the names a person uses; false, with problem(), when it cannot.
    bool tapSegment(const std::string& title);
    bool flipSwitch(const std::string& which);
    // A row number counted from 1, or a resolver's full name.
    bool tapRow(const std::string& row);
    bool tapContact();
    // Touches a DNS field: it takes the keyboard, which comes up if it was down.
    bool touchField(const std::string& field);
    // Replaces a DNS field's text.
    bool typeInto(const std::string& field, const std::string& text);
    bool pressReturn(const std::string& field);
    // Taps a button of a shown alert; with `text`, types it into the alert's field first.
    bool answerAlert(UIAlertView& alert, long button, const std::optional<std::string>& text = std::nullopt);
    bool rotate(const std::string& orientation);
    void showKeyboard();
    void hideKeyboard();
    bool isKeyboardShown() const { return keyboardShown; }

    // The keyboard's keys, into the field that has the keyboard (a DNS field or a dialog's): text, the
    // delete key, and Return, after which the keyboard goes down when no field has it any more.
    bool typeKeys(const std::string& text);
    bool deleteBackward();
    bool pressReturnKey();
    // The field that has the keyboard: a DNS field of the screen, or a field of a shown dialog; null when
    // none of them has it.
    UITextField* fieldWithKeyboard();

    // The name of a DNS field or a switch of the screen; null for any other view.
    std::optional<std::string> nameOfField(const UIView& view);
    std::optional<std::string> nameOfSwitch(const UIView& view);

    const std::string& problem() const { return lastProblem; }

    // The words `rotate` takes, for help and for the page.
    static std::string orientationChoices();
    static bool isOrientation(const std::string& word);

private:
    struct Command {
        std::string name;
        std::string arguments;
        std::string example;
        std::string purpose;
        bool changesDevice;
        std::function<bool(const std::vector<std::string>& words, const std::string& line, std::ostream& out)> run;
    };

    void addCommands();
    const Command* find(const std::string& name) const;
    bool fail(const std::string& problem);
    UITextField* fieldNamed(const std::string& field);

    bool answerOldestAlert(const std::vector<std::string>& words);
    bool lookUp(const std::vector<std::string>& words, std::ostream& out);
    bool writeSVG(const std::string& path, std::ostream& out);

    Device& device;
    std::vector<Command> commands;
    std::string lastProblem;
    bool keyboardShown { false };
    bool quit { false };
};
