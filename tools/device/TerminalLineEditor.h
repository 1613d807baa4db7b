#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <termios.h>
#include <vector>

// The line a person types on a terminal. The terminal stops echoing and editing lines by itself (its
// settings come back when the editor goes); the editor keeps the line being typed, shows it after the
// prompt, and puts prompt and line aside while something else is printed, then draws them again, so
// that output from the device never breaks the line being typed.
//
// Keys: printable text; Backspace; Ctrl-U (the whole line) and Ctrl-W (the last word); Up and Down
// (earlier lines); Return; Ctrl-D on an empty line ends the input. Ctrl-C stays the terminal's.
class TerminalLineEditor {
public:
    TerminalLineEditor(int terminal, std::ostream& out, std::string prompt);
    ~TerminalLineEditor();

    TerminalLineEditor(const TerminalLineEditor&) = delete;
    TerminalLineEditor& operator=(const TerminalLineEditor&) = delete;

    struct Line {
        std::string text;
        // Typed at the prompt, so already on the screen after it.
        bool shown { false };
    };

    // Takes what was typed; completed lines go to `lines`. True when Ctrl-D ended the input.
    bool receive(std::string_view typed, std::vector<Line>& lines);

    // Draws the prompt and the line being typed, unless they are on the screen.
    void showPrompt();
    // Takes prompt and line off the screen, so that other text can be printed where they were.
    void hidePrompt();
    bool isPromptShown() const { return promptShown; }
    const std::string& prompt() const { return promptText; }

private:
    void key(char character, std::vector<Line>& lines);
    void escapeSequenceEnded(char final);
    void replaceLine(const std::string& text);
    void redraw();

    int terminal { -1 };
    std::ostream& out;
    std::string promptText;
    std::optional<termios> savedSettings;
    std::string line;
    bool promptShown { false };
    // An escape sequence (arrow keys and the like) being read: the bytes after ESC so far.
    std::optional<std::string> escape;
    std::vector<std::string> history;
    size_t historyPosition { 0 };
};
