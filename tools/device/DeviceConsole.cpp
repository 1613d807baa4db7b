#include "DeviceConsole.h"

#include "Device.h"

namespace {

// A line or word as long as a screen line at most; longer ones end in "..." and their length.
std::string shortened(const std::string& text)
{
    constexpr size_t longest = 100;
    if (text.size() <= longest)
        return text;
    return text.substr(0, longest) + "... (" + std::to_string(text.size()) + " characters)";
}

std::string trimmed(const std::string& text)
{
    auto start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

} // namespace

DeviceConsole::DeviceConsole(Device& consoleDevice, DeviceCommands& deviceCommands, DeviceFeed& deviceFeed, std::ostream& output)
    : device(consoleDevice)
    , commands(deviceCommands)
    , feed(deviceFeed)
    , out(output)
{
    feedListener = feed.addListener([this](const DeviceFeed::Entry& entry) { print(entry); });
}

DeviceConsole::~DeviceConsole()
{
    feed.removeListener(feedListener);
}

void DeviceConsole::setInput(ConsoleInput& lines)
{
    input = &lines;
}

void DeviceConsole::willWait()
{
    if (TerminalLineEditor* terminal = input ? input->terminal() : nullptr)
        terminal->showPrompt();
}

void DeviceConsole::finish()
{
    if (TerminalLineEditor* terminal = input ? input->terminal() : nullptr)
        terminal->hidePrompt();
    out.flush();
}

void DeviceConsole::runStep()
{
    if (auto line = input->nextLine())
        runLine(*line);
}

void DeviceConsole::runLine(const ConsoleInput::Line& line)
{
    std::string text = trimmed(line.text);
    TerminalLineEditor* terminal = input->terminal();
    // A line typed while a step ran is shown after a prompt when its turn comes.
    if (terminal && !line.shown && !text.empty())
        out << prompt << text << "\n";
    if (text.empty() || text.front() == '#')
        return;
    if (!terminal)
        out << "> " << shortened(text) << "\n";
    DeviceCommands::Outcome outcome = commands.run(text, out);
    if (!outcome.succeeded) {
        if (!terminal)
            out << "line " << line.number << ": ";
        out << shortened(outcome.command) << ": " << outcome.problem << "\n";
        if (!terminal)
            failures.push_back({ input->name(), line.number });
    }
    if (outcome.changesDevice) {
        device.settle();
        feed.publish({ DeviceFeed::Entry::Origin::Console, text, outcome.succeeded ? "" : outcome.command + ": " + outcome.problem, {} });
    }
    out.flush();
}

void DeviceConsole::print(const DeviceFeed::Entry& entry)
{
    using Origin = DeviceFeed::Entry::Origin;
    if (entry.origin == Origin::Console) {
        for (const auto& line : entry.lines)
            out << "  " << line << "\n";
        return;
    }
    TerminalLineEditor* terminal = input ? input->terminal() : nullptr;
    bool promptWasShown = terminal && terminal->isPromptShown();
    if (terminal)
        terminal->hidePrompt();
    if (entry.origin == Origin::Outside)
        out << "(from outside)\n";
    else
        out << "(from the page) " << entry.step << "\n" << (entry.problem.empty() ? "" : "  " + entry.problem + "\n");
    for (const auto& line : entry.lines)
        out << "  " << line << "\n";
    if (promptWasShown)
        terminal->showPrompt();
    out.flush();
}

std::string DeviceConsole::failedLines() const
{
    // Consecutive failures of one input share its name: "lines 2, 4 and 5 of standard input".
    std::string text;
    for (size_t first = 0; first < failures.size();) {
        size_t last = first;
        while (last + 1 < failures.size() && failures[last + 1].input == failures[first].input)
            ++last;
        std::string numbers;
        for (size_t index = first; index <= last; ++index)
            numbers += (index == first ? "" : index == last ? " and " : ", ") + std::to_string(failures[index].number);
        text += (text.empty() ? "" : "; ") + std::string(last > first ? "lines " : "line ") + numbers + " of " + failures[first].input;
        first = last + 1;
    }
    return text;
}
