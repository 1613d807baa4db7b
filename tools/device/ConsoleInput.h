#pragma once

#include "CFRunLoopSource.h"
#include "TerminalLineEditor.h"

#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

// Where the console's lines come from: a file of steps read whole, or standard input read through the
// run loop as it comes (a pipe, a file, or a person at a terminal). Reading only gathers lines, numbered
// from 1 as in a file; the console takes them one at a time, so a line never runs inside another.
class ConsoleInput {
public:
    struct Line {
        long number { 0 };
        std::string text;
        // A person's line, already on the screen after the prompt.
        bool shown { false };
    };

    // The lines of a file; null, with the reason, when it cannot be read.
    static std::unique_ptr<ConsoleInput> fromFile(const std::string& path, std::string& error);
    // Standard input, read on the current run loop while the object lives; when standard input and
    // output are a terminal, edited after the prompt by a TerminalLineEditor that writes to `out`.
    static std::unique_ptr<ConsoleInput> fromStandardInput(std::ostream& out, const std::string& prompt);

    ~ConsoleInput();

    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;

    // The next gathered line, if one is there.
    std::optional<Line> nextLine();
    bool hasLine() const { return !lines.empty(); }
    // No line is left and none will come.
    bool isFinished() const { return ended && lines.empty(); }

    // The name that failures are reported under ("steps.txt", "standard input").
    const std::string& name() const { return inputName; }
    // A person typing at a terminal; otherwise the lines are a script.
    TerminalLineEditor* terminal() const { return editor.get(); }

private:
    explicit ConsoleInput(std::string name);

    void receive(std::string_view bytes);
    void receiveEnd();
    void readStandardInput();
    void addLine(std::string text, bool shown);

    std::string inputName;
    std::deque<Line> lines;
    long linesGathered { 0 };
    // Bytes of a line whose end has not come yet, and how far they were searched for it.
    std::string partial;
    size_t searchedUpTo { 0 };
    bool ended { false };
    CFRunLoopSourceRef source;
    std::unique_ptr<TerminalLineEditor> editor;
};
