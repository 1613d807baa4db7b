#include "DeviceConsole.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DNSCryptProxyLog.h"
#include "DeviceLookup.h"
#include "DeviceShell.h"
#include "DnsRecordText.h"
#include "ScreenText.h"
#include "StatusText.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIViewSVGRenderer.h"
#include "UIButton.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"
#include "NSString.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

// Words separated by blanks; double quotes keep blanks inside one word.
std::vector<std::string> wordsOf(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char character : line) {
        if (character == '"') {
            quoted = !quoted;
            inWord = true;
            continue;
        }
        if (!quoted && (character == ' ' || character == '\t')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        word += character;
        inWord = true;
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string trimmed(const std::string& text)
{
    auto start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

} // namespace

std::string DeviceConsole::textAfterWords(const std::string& line, size_t count)
{
    std::string rest = trimmed(line);
    for (size_t word = 0; word < count; ++word) {
        bool quoted = false;
        size_t index = 0;
        for (; index < rest.size(); ++index) {
            if (rest[index] == '"')
                quoted = !quoted;
            else if (!quoted && (rest[index] == ' ' || rest[index] == '\t'))
                break;
        }
        rest = trimmed(rest.substr(index));
    }
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
        rest = rest.substr(1, rest.size() - 2);
    return rest;
}

namespace {

// A line or word as long as a screen line at most; longer ones end in "..." and their length.
std::string shortened(const std::string& text)
{
    constexpr size_t longest = 100;
    if (text.size() <= longest)
        return text;
    return text.substr(0, longest) + "... (" + std::to_string(text.size()) + " characters)";
}

std::string lowercase(std::string text)
{
    for (char& character : text)
        character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    return text;
}

template<typename ViewType>
std::vector<ViewType*> onScreen(UIView& screen)
{
    return screen.descendantsOfType<ViewType>();
}

UITableView* resolverPicker(UIView& screen)
{
    for (auto* table : onScreen<UITableView>(screen)) {
        if (table->isScrollEnabled())
            return table;
    }
    return nullptr;
}

// The words `rotate` takes, with the interface orientation each stands for; a number 0 to 4 is taken too.
struct OrientationName {
    const char* name;
    UIInterfaceOrientation orientation;
};
constexpr OrientationName orientationNames[] = {
    { "portrait", 1 }, { "upside-down", 2 }, { "landscape", 3 }, { "landscape-right", 3 }, { "landscape-left", 4 },
};

std::string orientationChoices()
{
    std::string choices;
    for (const auto& entry : orientationNames)
        choices += std::string(entry.name) + ", ";
    return choices + "or a number 0 to 4";
}

std::optional<UIInterfaceOrientation> orientationNamed(const std::string& word)
{
    for (const auto& entry : orientationNames) {
        if (word == entry.name)
            return entry.orientation;
    }
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '4')
        return word[0] - '0';
    return std::nullopt;
}

// The last name of an orientation in the table ("landscape-right" for 3), or its number.
std::string nameOfOrientation(UIInterfaceOrientation orientation)
{
    std::string name = std::to_string(orientation);
    for (const auto& entry : orientationNames) {
        if (entry.orientation == orientation)
            name = entry.name;
    }
    return name;
}

std::string pointsText(double points)
{
    std::ostringstream text;
    text << points;
    return text.str();
}

std::vector<CGRect> framesUnder(UIView& view)
{
    std::vector<CGRect> frames;
    for (auto* descendant : view.descendantsOfType<UIView>())
        frames.push_back(descendant->frame());
    return frames;
}

// How many views have another frame after than before; a view that came or went counts too.
size_t framesThatDiffer(const std::vector<CGRect>& before, const std::vector<CGRect>& after)
{
    size_t common = std::min(before.size(), after.size());
    size_t differing = std::max(before.size(), after.size()) - common;
    for (size_t index = 0; index < common; ++index)
        differing += before[index] != after[index] ? 1 : 0;
    return differing;
}

} // namespace

std::optional<DeviceConsole::Line> DeviceConsole::parse(const std::string& line)
{
    std::string text = trimmed(line);
    if (text.empty() || text.front() == '#')
        return std::nullopt;
    return Line { text, wordsOf(text) };
}

DeviceConsole::DeviceConsole(Device& consoleDevice, std::ostream& output)
    : device(consoleDevice)
    , out(output)
{
    addCommands();
    // What the device did while it started is not news.
    device.takeEvents();
    shown = DeviceState::capture();
}

void DeviceConsole::addCommands()
{
    auto show = [this](const std::string& text) {
        out << text;
        if (!text.empty() && text.back() != '\n')
            out << "\n";
        return true;
    };
    commands = {
        { "help", "", "help", "lists the commands", false, [this](auto&, auto&) { printHelp(); return true; } },
        { "screen", "", "screen", "shows the pane's screen as text", false,
          [this, show](auto&, auto&) { return show(ScreenText(device.screen())); } },
        { "svg", "FILE", "svg screen.svg", "writes the screen as an SVG picture", false,
          [this](auto& words, auto&) { return words.size() == 2 ? writeSVG(words[1]) : fail("svg", "give the file to write"); } },
        { "tap", "SEGMENT", "tap Wifi", "taps a connectivity segment: None, 3G, Wifi or Both", true,
          [this](auto& words, auto&) { return words.size() == 2 ? tapSegment(words[1]) : fail("tap", "give one segment: None, 3G, Wifi or Both"); } },
        { "switch", "passlock|dnscrypt", "switch dnscrypt", "flips the Passlock or the DNSCrypt switch", true,
          [this](auto& words, auto&) { return words.size() == 2 ? flipSwitch(words[1]) : fail("switch", "give passlock or dnscrypt"); } },
        { "row", "NUMBER|FULL NAME", "row \"Cisco OpenDNS\"", "taps a resolver in the DNSCrypt list (numbers count from 1)", true,
          [this](auto& words, auto& line) { return words.size() >= 2 ? tapRow(textAfterWords(line, 1)) : fail("row", "give a row number or a resolver's full name"); } },
        { "contact", "", "contact", "taps \"Contact support\"", true,
          [this](auto&, auto&) {
              auto buttons = onScreen<UIButton>(device.screen());
              return !buttons.empty() && UIAutomation::tapButton(*buttons.front()) ? true : fail("contact", "no \"Contact support\" button on the screen");
          } },
        { "type", "FIELD TEXT", "type primary 9.9.9.9", "types into the domain, primary or secondary field (replacing its text)", true,
          [this](auto& words, auto& line) { return words.size() >= 2 ? typeInto(words[1], textAfterWords(line, 2)) : fail("type", "give a field (domain, primary, secondary) and the text"); } },
        { "return", "FIELD", "return primary", "presses Return in a DNS field, which saves the settings", true,
          [this](auto& words, auto&) { return words.size() == 2 ? pressReturn(words[1]) : fail("return", "give a field: domain, primary or secondary"); } },
        { "answer", "BUTTON [TEXT]", "answer OK 1234", "answers the oldest alert: types TEXT into its field, then taps BUTTON (any letter case)", true,
          [this](auto& words, auto&) { return answerAlert(words); } },
        { "rotate", "ORIENTATION", "rotate landscape", "turns the device: " + orientationChoices(), true,
          [this](auto& words, auto&) { return words.size() == 2 ? rotate(words[1]) : fail("rotate", "give " + orientationChoices()); } },
        { "keyboard", "show|hide", "keyboard show", "brings the keyboard up or down", true,
          [this](auto& words, auto&) {
              if (words.size() == 2 && words[1] == "show")
                  UIAutomation::showKeyboard();
              else if (words.size() == 2 && words[1] == "hide")
                  UIAutomation::hideKeyboard();
              else
                  return fail("keyboard", "give show or hide");
              return true;
          } },
        { "sbstart", "", "sbstart", "the outside control: starts the override (com.tarvik.dns/SBStart)", true,
          [](auto&, auto&) { return notify_post(kNotificationSBStart) == 0; } },
        { "sbstop", "", "sbstop", "the outside control: stops the override (com.tarvik.dns/SBStop)", true,
          [](auto&, auto&) { return notify_post(kNotificationSBStop) == 0; } },
        { "dns", "", "dns", "shows the dynamic store's DNS configuration (scutil --dns)", false,
          [this](auto&, auto&) { out.flush(); std::fflush(stdout); return device::system("scutil --dns") == 0; } },
        { "prefs", "", "prefs", "shows the preferences file", false,
          [this, show](auto&, auto&) {
              std::string text;
              for (const auto& [key, value] : DeviceState::capture().preferences)
                  text += "  " + key + " = " + (value.string() ? "\"" + *value.string() + "\"" : value.description()) + "\n";
              return show(text.empty() ? "  (no preferences file)" : text);
          } },
        { "resolv", "", "resolv", "shows /etc/resolv.conf", false,
          [this, show](auto&, auto&) { return show(DeviceState::capture().resolverFile.value_or("(no /etc/resolv.conf)")); } },
        { "status", "", "status", "shows what is in effect: connectivity, Passlock, DNSCrypt, each service's DNS", false,
          [show](auto&, auto&) { return show(StatusText()); } },
        { "proxy", "", "proxy", "shows the DNSCrypt proxy's state and its log", false,
          [show](auto&, auto&) {
              std::string text = "DNSCrypt proxy: " + DNSCryptProxyState() + "\n";
              std::string logPath = DNSCryptProxyLog::devicePath();
              if (auto proxyLog = stringWithContentsOfOwnFile(logPath, NSStringEncoding::NSUTF8StringEncoding))
                  text += logPath + ": " + *proxyLog;
              return show(text);
          } },
        { "lookup", "NAME [TYPE]", "lookup example.org AAAA",
          "looks NAME up (type A by default) where the phone would now: its primary service's DNS servers", false,
          [this](auto& words, auto&) { return lookUp(words); } },
        { "wait", "[SECONDS]", "wait 2", "lets the device run for a while (1 second by default)", true,
          [this](auto& words, auto&) {
              double seconds = words.size() == 2 ? std::atof(words[1].c_str()) : 1;
              return seconds > 0 ? device.runFor(seconds) : fail("wait", "give a number of seconds above 0");
          } },
        { "echo", "TEXT", "echo Now the outside stop", "prints the text (for scripts)", false,
          [show](auto&, auto& line) { return show(textAfterWords(line, 1)); } },
        { "quit", "", "quit", "shuts the device down and ends", false, [this](auto&, auto&) { quit = true; return true; } },
    };
}

void DeviceConsole::printHelp() const
{
    out << "Commands (one a line; quotes keep blanks together):\n";
    for (const auto& command : commands) {
        std::string usage = command.name + (command.arguments.empty() ? "" : " " + command.arguments);
        out << "  " << usage << std::string(usage.size() < 28 ? 28 - usage.size() : 1, ' ') << command.purpose << "\n"
            << "  " << std::string(28, ' ') << "e.g. " << command.example << "\n";
    }
}

const DeviceConsole::Command* DeviceConsole::find(const std::string& name) const
{
    for (const auto& command : commands) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

bool DeviceConsole::fail(const std::string& command, const std::string& problem)
{
    if (currentLineNumber)
        out << "line " << currentLineNumber << ": ";
    out << command << ": " << problem << "\n";
    failureReported = true;
    return false;
}

bool DeviceConsole::execute(const std::string& line)
{
    auto parsed = parse(line);
    if (!parsed)
        return true;
    const std::string& text = parsed->text;
    const auto& words = parsed->words;
    const Command* command = find(lowercase(words.front()));
    if (!command)
        return fail(shortened(words.front()), "unknown command; \"help\" lists them");
    currentCommand = command->name;
    bool succeeded = command->run(words, text);
    if (command->changesDevice) {
        device.settle();
        reportChanges(shown);
    }
    out.flush();
    return succeeded;
}

void DeviceConsole::reportChanges(const DeviceState& before)
{
    for (const auto& event : device.takeEvents())
        out << "  " << event << "\n";
    DeviceState now = DeviceState::capture();
    for (const auto& change : now.changesSince(before))
        out << "  changed: " << change << "\n";
    shown = std::move(now);
}

void DeviceConsole::run(ConsoleInput& input)
{
    while (!quit && !device.wasToldToEnd()) {
        if (auto line = input.nextLine()) {
            runLine(*line, input);
            continue;
        }
        if (input.isFinished())
            break;
        waitForLine(input);
    }
    if (TerminalLineEditor* terminal = input.terminal())
        terminal->hidePrompt();
    out.flush();
}

void DeviceConsole::runLine(const ConsoleInput::Line& line, ConsoleInput& input)
{
    std::string text = trimmed(line.text);
    TerminalLineEditor* terminal = input.terminal();
    // A line typed while a command ran is shown after a prompt when its turn comes.
    if (terminal && !line.shown && !text.empty())
        out << prompt << text << "\n";
    if (text.empty() || text.front() == '#')
        return;
    reportOutsideActivity(input);
    if (!terminal)
        out << "> " << shortened(text) << "\n";
    currentLineNumber = terminal ? 0 : line.number;
    failureReported = false;
    bool succeeded = execute(text);
    if (!succeeded && !failureReported)
        fail(currentCommand, "failed");
    if (!succeeded && !terminal)
        failures.push_back({ input.name(), line.number });
    currentLineNumber = 0;
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

void DeviceConsole::waitForLine(ConsoleInput& input)
{
    // What has no notification of its own (a file, a process, a store key nobody announces) is looked
    // at this often while the console waits.
    constexpr double lookEverySeconds = 0.5;
    if (TerminalLineEditor* terminal = input.terminal())
        terminal->showPrompt();
    device.runUntil(lookEverySeconds, [&] { return input.hasLine() || input.isFinished() || device.hasEvents(); });
    if (!input.hasLine())
        reportOutsideActivity(input);
}

void DeviceConsole::reportOutsideActivity(ConsoleInput& input)
{
    if (!device.hasEvents() && DeviceState::capture().changesSince(shown).empty())
        return;
    device.settle();
    TerminalLineEditor* terminal = input.terminal();
    bool promptWasShown = terminal && terminal->isPromptShown();
    if (terminal)
        terminal->hidePrompt();
    out << "(from outside)\n";
    reportChanges(shown);
    if (promptWasShown)
        terminal->showPrompt();
    out.flush();
}

bool DeviceConsole::tapSegment(const std::string& title)
{
    auto selections = onScreen<UISegmentedControl>(device.screen());
    if (selections.empty())
        return fail("tap", "no connectivity selector on the screen");
    UISegmentedControl& selection = *selections.front();
    for (long segment = 0; segment < selection.numberOfSegments(); ++segment) {
        if (lowercase(selection.titleForSegmentAtIndex(segment)) == lowercase(title))
            return UIAutomation::tapSegment(selection, segment) || fail("tap", "the selector does not take touches");
    }
    return fail("tap", "no segment \"" + title + "\" (the segments are None, 3G, Wifi and Both)");
}

bool DeviceConsole::flipSwitch(const std::string& which)
{
    auto switches = onScreen<UISwitch>(device.screen());
    std::string name = lowercase(which);
    if (switches.size() < 2)
        return fail("switch", "the extra options are not on the screen");
    if (name != "passlock" && name != "dnscrypt")
        return fail("switch", "no switch \"" + which + "\" (there are passlock and dnscrypt)");
    UISwitch& control = *switches[name == "passlock" ? 0 : 1];
    return UIAutomation::flipSwitch(control) || fail("switch", "the switch does not take touches");
}

bool DeviceConsole::tapRow(const std::string& row)
{
    UITableView* picker = resolverPicker(device.screen());
    if (!picker)
        return fail("row", "the DNSCrypt resolvers are not on the screen (switch DNSCrypt on first)");
    long rows = picker->numberOfRowsInSection(0);
    char* end = nullptr;
    long number = std::strtol(row.c_str(), &end, 10);
    if (end && *end == '\0' && !row.empty()) {
        if (number < 1 || number > rows)
            return fail("row", "no row " + row + " (the list has " + std::to_string(rows) + " rows)");
        return UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(number - 1, 0));
    }
    for (long index = 0; index < rows; ++index) {
        UITableViewCell* cell = picker->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(index, 0));
        std::string title = cell ? cell->textLabel()->text() : "";
        if (title == row || title == "\"" + row + "\"")
            return UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(index, 0));
    }
    return fail("row", "no resolver named \"" + row + "\"");
}

bool DeviceConsole::typeInto(const std::string& field, const std::string& text)
{
    auto fields = onScreen<UITextField>(device.screen());
    const std::vector<std::string> names { "domain", "primary", "secondary" };
    auto position = std::find(names.begin(), names.end(), lowercase(field));
    if (position == names.end())
        return fail(currentCommand, "no field \"" + field + "\" (there are domain, primary and secondary)");
    if (fields.size() < 3)
        return fail(currentCommand, "the DNS fields are not on the screen (DNSCrypt is on)");
    UITextField& target = *fields[static_cast<size_t>(position - names.begin())];
    if (currentCommand == "return")
        return UIAutomation::pressReturn(target) || fail("return", "the field does not take touches");
    return UIAutomation::typeText(target, text) || fail("type", "the field does not take touches");
}

bool DeviceConsole::pressReturn(const std::string& field)
{
    return typeInto(field, "");
}

bool DeviceConsole::answerAlert(const std::vector<std::string>& words)
{
    const auto& alerts = UIApplication::sharedApplication().visibleAlerts();
    if (alerts.empty())
        return fail("answer", "no alert is shown");
    if (words.size() < 2)
        return fail("answer", "give the button to tap, and the text to type if the alert asks for one");
    std::shared_ptr<UIAlertView> alert = alerts.front();
    std::string buttons;
    long button = -1;
    for (long index = 0; index < alert->numberOfButtons(); ++index) {
        buttons += (index ? ", " : "") + alert->buttonTitleAtIndex(index);
        if (button < 0 && lowercase(alert->buttonTitleAtIndex(index)) == lowercase(words[1]))
            button = index;
    }
    if (button < 0)
        return fail("answer", "the alert \"" + alert->title() + "\" has no button \"" + words[1] + "\" (it has " + buttons + ")");
    UITextField* field = alert->textFieldAtIndex(0);
    if (words.size() >= 3 && !field)
        return fail("answer", "the alert \"" + alert->title() + "\" has no field to type into");
    if (words.size() >= 3) {
        std::string text;
        for (size_t word = 2; word < words.size(); ++word)
            text += (word > 2 ? " " : "") + words[word];
        UIAutomation::typeText(*field, text);
    }
    device.noteEvent("alert answered: " + alert->title() + " (" + alert->buttonTitleAtIndex(button) + ")");
    return UIAutomation::tapAlertButton(*alert, button) || fail("answer", "the alert does not take touches");
}

bool DeviceConsole::rotate(const std::string& word)
{
    auto orientation = orientationNamed(lowercase(word));
    if (!orientation)
        return fail("rotate", "no orientation \"" + word + "\" (give " + orientationChoices() + ")");
    PSListController* pane = device.settings().pane();
    if (!pane)
        return fail("rotate", "the pane is not open");
    UIInterfaceOrientation previous = pane->interfaceOrientation();
    auto framesBefore = framesUnder(*pane->view());
    device.settings().rotateTo(*orientation);
    auto framesAfter = framesUnder(*pane->view());
    size_t moved = framesThatDiffer(framesBefore, framesAfter);
    const CGSize& screen = device.screen().frame().size;
    device.noteEvent("rotated: " + nameOfOrientation(previous) + " -> " + nameOfOrientation(*orientation) + "; the screen is "
                     + pointsText(screen.width) + " by " + pointsText(screen.height) + " points; "
                     + (moved ? std::to_string(moved) + " of the pane's " + std::to_string(framesAfter.size()) + " views moved"
                              : std::string("the pane's views stay where they were")));
    return true;
}

bool DeviceConsole::lookUp(const std::vector<std::string>& words)
{
    if (words.size() < 2 || words.size() > 3)
        return fail("lookup", "give a name, and a type if not A (lookup example.org AAAA)");
    auto type = DnsRecordText::typeNamed(words.size() == 3 ? words[2] : "A");
    if (!type)
        return fail("lookup", "no DNS type \"" + words[2] + "\" (A, AAAA, CNAME, MX, NS, PTR, SOA, SRV, TXT, ANY or TYPE99)");
    std::string problem;
    if (!DeviceLookup(words[1], *type).run(out, problem))
        return fail("lookup", problem);
    return true;
}

bool DeviceConsole::writeSVG(const std::string& path)
{
    std::string picture = UIViewSVGRenderer(UIColor::colorWithRed(0.94, 0.94, 0.96, 1))
                              .render(device.screen(), UIApplication::sharedApplication().visibleAlerts());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!(file << picture))
        return fail("svg", "cannot write " + path);
    out << "wrote " << path << "\n";
    return true;
}
