#include "TerminalLineEditor.h"

#include <unistd.h>

namespace {

constexpr char controlD = 0x04;
constexpr char backspace = 0x08;
constexpr char controlL = 0x0c;
constexpr char controlU = 0x15;
constexpr char controlW = 0x17;
constexpr char escapeKey = 0x1b;
constexpr char deleteKey = 0x7f;

// Removes the last character, with all its UTF-8 bytes.
void eraseLastCharacter(std::string& text)
{
    while (!text.empty()) {
        bool continuation = (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80;
        text.pop_back();
        if (!continuation)
            return;
    }
}

void eraseLastWord(std::string& text)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    while (!text.empty() && text.back() != ' ')
        text.pop_back();
}

} // namespace

TerminalLineEditor::TerminalLineEditor(int terminalDescriptor, std::ostream& output, std::string prompt)
    : terminal(terminalDescriptor)
    , out(output)
    , promptText(std::move(prompt))
{
    termios settings {};
    if (tcgetattr(terminal, &settings) != 0)
        return;
    savedSettings = settings;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(terminal, TCSANOW, &settings);
}

TerminalLineEditor::~TerminalLineEditor()
{
    hidePrompt();
    if (savedSettings)
        tcsetattr(terminal, TCSANOW, &*savedSettings);
}

bool TerminalLineEditor::receive(std::string_view typed, std::vector<Line>& lines)
{
    for (char character : typed) {
        if (character == controlD && line.empty() && !escape)
            return true;
        key(character, lines);
    }
    out.flush();
    return false;
}

void TerminalLineEditor::key(char character, std::vector<Line>& lines)
{
    if (escape) {
        // ESC [ ... final, or ESC O final: the final byte is a letter or "~".
        escape->push_back(character);
        bool introducer = escape->size() == 1 && (character == '[' || character == 'O');
        bool parameter = escape->size() > 1 && ((character >= '0' && character <= '9') || character == ';');
        if (!introducer && !parameter) {
            escapeSequenceEnded(character);
            escape.reset();
        }
        return;
    }
    switch (character) {
    case '\n':
    case '\r':
        lines.push_back({ line, promptShown });
        if (!line.empty() && (history.empty() || history.back() != line))
            history.push_back(line);
        historyPosition = history.size();
        if (promptShown)
            out << "\n";
        promptShown = false;
        line.clear();
        return;
    case backspace:
    case deleteKey:
        if (line.empty())
            return;
        eraseLastCharacter(line);
        if (promptShown)
            out << "\b \b";
        return;
    case controlU:
        replaceLine("");
        return;
    case controlW: {
        std::string shorter = line;
        eraseLastWord(shorter);
        replaceLine(shorter);
        return;
    }
    case controlL:
        redraw();
        return;
    case escapeKey:
        escape = std::string();
        return;
    }
    if (static_cast<unsigned char>(character) < 0x20)
        return;
    line.push_back(character);
    if (promptShown)
        out << character;
}

void TerminalLineEditor::escapeSequenceEnded(char final)
{
    if (final == 'A' && historyPosition > 0) {
        replaceLine(history[--historyPosition]);
        return;
    }
    if (final == 'B' && historyPosition < history.size()) {
        ++historyPosition;
        replaceLine(historyPosition < history.size() ? history[historyPosition] : "");
    }
}

void TerminalLineEditor::replaceLine(const std::string& text)
{
    line = text;
    redraw();
}

void TerminalLineEditor::redraw()
{
    if (!promptShown)
        return;
    out << "\r\033[K" << promptText << line;
    out.flush();
}

void TerminalLineEditor::showPrompt()
{
    if (promptShown)
        return;
    promptShown = true;
    redraw();
}

void TerminalLineEditor::hidePrompt()
{
    if (!promptShown)
        return;
    promptShown = false;
    out << "\r\033[K";
    out.flush();
}
