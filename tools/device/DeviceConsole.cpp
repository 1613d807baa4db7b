#include "DeviceConsole.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceShell.h"
#include "ScreenText.h"
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

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

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
        { "answer", "BUTTON [TEXT]", "answer OK 1234", "answers the oldest alert: types TEXT into its field, then taps BUTTON", true,
          [this](auto& words, auto&) { return answerAlert(words); } },
        { "rotate", "ORIENTATION", "rotate landscape", "turns the device: portrait, upside-down, landscape, or 0 to 4", true,
          [this](auto& words, auto&) { return words.size() == 2 ? rotate(words[1]) : fail("rotate", "give portrait, upside-down, landscape or a number 0 to 4"); } },
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
        { "proxy", "", "proxy", "shows the DNSCrypt proxy's state and its log", false,
          [this, show](auto&, auto&) {
              auto log = DeviceState::capture();
              std::string text = "DNSCrypt proxy: " + log.proxy + "\n";
              if (auto proxyLog = stringWithContentsOfFile("/tmp/DNSCrypt.log", NSStringEncoding::NSUTF8StringEncoding))
                  text += "/tmp/DNSCrypt.log: " + *proxyLog;
              return show(text);
          } },
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
    out << command << ": " << problem << "\n";
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
    if (!command) {
        out << words.front() << ": unknown command; \"help\" lists them\n";
        return false;
    }
    currentCommand = command->name;
    DeviceState before = command->changesDevice ? DeviceState::capture() : DeviceState {};
    device.takeEvents();
    bool succeeded = command->run(words, text);
    if (command->changesDevice) {
        device.settle();
        reportChanges(before);
    }
    out.flush();
    return succeeded;
}

void DeviceConsole::reportChanges(const DeviceState& before)
{
    for (const auto& event : device.takeEvents())
        out << "  " << event << "\n";
    for (const auto& change : DeviceState::capture().changesSince(before))
        out << "  changed: " << change << "\n";
}

int DeviceConsole::runScript(std::istream& script)
{
    int failures = 0;
    for (std::string line; !quit && !device.wasToldToEnd() && std::getline(script, line);) {
        std::string text = trimmed(line);
        if (text.empty() || text.front() == '#')
            continue;
        out << "> " << text << "\n";
        if (!execute(text))
            ++failures;
    }
    return failures;
}

void DeviceConsole::runInteractive()
{
    bool terminal = isatty(STDIN_FILENO);
    auto prompt = [&] {
        if (terminal) {
            out << "tarvikdns> ";
            out.flush();
        }
    };
    std::string pending;
    bool inputEnded = false;
    // Standard input is read as it comes, so that the device keeps running while the console waits.
    auto input = CFRunLoopSource::create(STDIN_FILENO, [&] {
        char buffer[4096];
        ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            return;
        if (length <= 0) {
            inputEnded = true;
            CFRunLoopStop(CFRunLoopGetCurrent());
            return;
        }
        pending.append(buffer, static_cast<size_t>(length));
        for (auto end = pending.find('\n'); end != std::string::npos && !quit; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!terminal && !trimmed(line).empty())
                out << "> " << trimmed(line) << "\n";
            execute(line);
            if (!quit)
                prompt();
        }
        if (quit)
            CFRunLoopStop(CFRunLoopGetCurrent());
    });
    CFRunLoopAddSource(CFRunLoopGetCurrent(), input, kCFRunLoopDefaultMode);
    prompt();
    while (!quit && !inputEnded && !device.wasToldToEnd()) {
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e9, false) == kCFRunLoopRunStopped && !quit && !inputEnded)
            break;
    }
    CFRunLoopRemoveSource(CFRunLoopGetCurrent(), input, kCFRunLoopDefaultMode);
    if (terminal && inputEnded)
        out << "\n";
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
    if (words.size() >= 3) {
        UITextField* field = alert->textFieldAtIndex(0);
        if (!field)
            return fail("answer", "the alert \"" + alert->title() + "\" has no field to type into");
        std::string text;
        for (size_t word = 2; word < words.size(); ++word)
            text += (word > 2 ? " " : "") + words[word];
        UIAutomation::typeText(*field, text);
    }
    if (UIAutomation::tapAlertButton(*alert, words[1]))
        return true;
    std::string buttons;
    for (long index = 0; index < alert->numberOfButtons(); ++index)
        buttons += (index ? ", " : "") + alert->buttonTitleAtIndex(index);
    return fail("answer", "the alert \"" + alert->title() + "\" has no button \"" + words[1] + "\" (it has " + buttons + ")");
}

bool DeviceConsole::rotate(const std::string& orientation)
{
    const std::vector<std::pair<std::string, UIInterfaceOrientation>> names {
        { "portrait", 1 }, { "upside-down", 2 }, { "landscape", 3 }, { "landscape-right", 4 },
        { "0", 0 }, { "1", 1 }, { "2", 2 }, { "3", 3 }, { "4", 4 },
    };
    for (const auto& [name, value] : names) {
        if (lowercase(orientation) == name) {
            device.settings().rotateTo(value);
            return true;
        }
    }
    return fail("rotate", "no orientation \"" + orientation + "\" (portrait, upside-down, landscape, landscape-right, or 0 to 4)");
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
