#include "DeviceCommands.h"

#include "CFNotificationCenter.h"
#include "DNSCryptProxyLog.h"
#include "Device.h"
#include "DeviceLookup.h"
#include "DeviceShell.h"
#include "DeviceState.h"
#include "DnsRecordText.h"
#include "NSString.h"
#include "ScreenText.h"
#include "StatusText.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIButton.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"
#include "UIResponder.h"
#include "UIViewSVGRenderer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

bool show(std::ostream& out, const std::string& text)
{
    out << text;
    if (!text.empty() && text.back() != '\n')
        out << "\n";
    return true;
}

} // namespace

std::optional<DeviceCommands::Line> DeviceCommands::parse(const std::string& line)
{
    std::string text = trimmed(line);
    if (text.empty() || text.front() == '#')
        return std::nullopt;
    return Line { text, wordsOf(text) };
}

std::string DeviceCommands::textAfterWords(const std::string& line, size_t count)
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

const std::vector<std::string>& DeviceCommands::fieldNames()
{
    static const std::vector<std::string> names { "domain", "primary", "secondary" };
    return names;
}

const std::vector<std::string>& DeviceCommands::switchNames()
{
    static const std::vector<std::string> names { "passlock", "dnscrypt" };
    return names;
}

std::string DeviceCommands::orientationChoices()
{
    std::string choices;
    for (const auto& entry : orientationNames)
        choices += std::string(entry.name) + ", ";
    return choices + "or a number 0 to 4";
}

bool DeviceCommands::isOrientation(const std::string& word)
{
    return orientationNamed(lowercase(word)).has_value();
}

DeviceCommands::DeviceCommands(Device& commandedDevice)
    : device(commandedDevice)
{
    addCommands();
}

void DeviceCommands::addCommands()
{
    commands = {
        { "help", "", "help", "lists the commands", false, [this](auto&, auto&, auto& out) { printHelp(out); return true; } },
        { "screen", "", "screen", "shows the pane's screen as text", false,
          [this](auto&, auto&, auto& out) { return show(out, ScreenText(device.screen())); } },
        { "svg", "FILE", "svg screen.svg", "writes the screen as an SVG picture", false,
          [this](auto& words, auto&, auto& out) { return words.size() == 2 ? writeSVG(words[1], out) : fail("give the file to write"); } },
        { "tap", "SEGMENT", "tap Wifi", "taps a connectivity segment: None, 3G, Wifi or Both", true,
          [this](auto& words, auto&, auto&) { return words.size() == 2 ? tapSegment(words[1]) : fail("give one segment: None, 3G, Wifi or Both"); } },
        { "switch", "passlock|dnscrypt", "switch dnscrypt", "flips the Passlock or the DNSCrypt switch", true,
          [this](auto& words, auto&, auto&) { return words.size() == 2 ? flipSwitch(words[1]) : fail("give passlock or dnscrypt"); } },
        { "row", "NUMBER|FULL NAME", "row \"Cisco OpenDNS\"", "taps a resolver in the DNSCrypt list (numbers count from 1)", true,
          [this](auto& words, auto& line, auto&) { return words.size() >= 2 ? tapRow(textAfterWords(line, 1)) : fail("give a row number or a resolver's full name"); } },
        { "contact", "", "contact", "taps \"Contact support\"", true, [this](auto&, auto&, auto&) { return tapContact(); } },
        { "type", "FIELD TEXT", "type primary 9.9.9.9", "types into the domain, primary or secondary field (replacing its text)", true,
          [this](auto& words, auto& line, auto&) { return words.size() >= 2 ? typeInto(words[1], textAfterWords(line, 2)) : fail("give a field (domain, primary, secondary) and the text"); } },
        { "return", "FIELD", "return primary", "presses Return in a DNS field, which saves the settings", true,
          [this](auto& words, auto&, auto&) { return words.size() == 2 ? pressReturn(words[1]) : fail("give a field: domain, primary or secondary"); } },
        { "answer", "BUTTON [TEXT]", "answer OK 1234", "answers the oldest alert: types TEXT into its field, then taps BUTTON (any letter case)", true,
          [this](auto& words, auto&, auto&) { return answerOldestAlert(words); } },
        { "rotate", "ORIENTATION", "rotate landscape", "turns the device: " + orientationChoices(), true,
          [this](auto& words, auto&, auto&) { return words.size() == 2 ? rotate(words[1]) : fail("give " + orientationChoices()); } },
        { "keyboard", "show|hide", "keyboard show", "brings the keyboard up or down", true,
          [this](auto& words, auto&, auto&) {
              if (words.size() == 2 && words[1] == "show")
                  showKeyboard();
              else if (words.size() == 2 && words[1] == "hide")
                  hideKeyboard();
              else
                  return fail("give show or hide");
              return true;
          } },
        { "sbstart", "", "sbstart", "the outside control: starts the override (com.tarvik.dns/SBStart)", true,
          [](auto&, auto&, auto&) { return notify_post(kNotificationSBStart) == 0; } },
        { "sbstop", "", "sbstop", "the outside control: stops the override (com.tarvik.dns/SBStop)", true,
          [](auto&, auto&, auto&) { return notify_post(kNotificationSBStop) == 0; } },
        { "dns", "", "dns", "shows the dynamic store's DNS configuration (scutil --dns)", false,
          [](auto&, auto&, auto& out) { out.flush(); std::fflush(stdout); return device::system("scutil --dns") == 0; } },
        { "prefs", "", "prefs", "shows the preferences file", false,
          [](auto&, auto&, auto& out) {
              std::string text;
              for (const auto& [key, value] : DeviceState::capture().preferences)
                  text += "  " + key + " = " + (value.string() ? "\"" + *value.string() + "\"" : value.description()) + "\n";
              return show(out, text.empty() ? "  (no preferences file)" : text);
          } },
        { "resolv", "", "resolv", "shows /etc/resolv.conf", false,
          [](auto&, auto&, auto& out) { return show(out, DeviceState::capture().resolverFile.value_or("(no /etc/resolv.conf)")); } },
        { "status", "", "status", "shows what is in effect: connectivity, Passlock, DNSCrypt, each service's DNS", false,
          [](auto&, auto&, auto& out) { return show(out, StatusText()); } },
        { "proxy", "", "proxy", "shows the DNSCrypt proxy's state and its log", false,
          [](auto&, auto&, auto& out) {
              std::string text = "DNSCrypt proxy: " + DNSCryptProxyState() + "\n";
              std::string logPath = DNSCryptProxyLog::devicePath();
              if (auto proxyLog = stringWithContentsOfOwnFile(logPath, NSStringEncoding::NSUTF8StringEncoding))
                  text += logPath + ": " + *proxyLog;
              return show(out, text);
          } },
        { "lookup", "NAME [TYPE]", "lookup example.org AAAA",
          "looks NAME up (type A by default) where the phone would now: its primary service's DNS servers", false,
          [this](auto& words, auto&, auto& out) { return lookUp(words, out); } },
        { "wait", "[SECONDS]", "wait 2", "lets the device run for a while (1 second by default)", true,
          [this](auto& words, auto&, auto&) {
              double seconds = words.size() == 2 ? std::atof(words[1].c_str()) : 1;
              return seconds > 0 ? device.runFor(seconds) : fail("give a number of seconds above 0");
          } },
        { "echo", "TEXT", "echo Now the outside stop", "prints the text (for scripts)", false,
          [](auto&, auto& line, auto& out) { return show(out, textAfterWords(line, 1)); } },
        { "quit", "", "quit", "shuts the device down and ends", false, [this](auto&, auto&, auto&) { quit = true; return true; } },
    };
}

void DeviceCommands::printHelp(std::ostream& out) const
{
    out << "Commands (one a line; quotes keep blanks together):\n";
    for (const auto& command : commands) {
        std::string usage = command.name + (command.arguments.empty() ? "" : " " + command.arguments);
        out << "  " << usage << std::string(usage.size() < 28 ? 28 - usage.size() : 1, ' ') << command.purpose << "\n"
            << "  " << std::string(28, ' ') << "e.g. " << command.example << "\n";
    }
}

const DeviceCommands::Command* DeviceCommands::find(const std::string& name) const
{
    for (const auto& command : commands) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

bool DeviceCommands::fail(const std::string& problem)
{
    lastProblem = problem;
    return false;
}

DeviceCommands::Outcome DeviceCommands::run(const std::string& line, std::ostream& out)
{
    auto parsed = parse(line);
    if (!parsed)
        return {};
    lastProblem.clear();
    const auto& words = parsed->words;
    const Command* command = find(lowercase(words.front()));
    if (!command)
        return { words.front(), false, "unknown command; \"help\" lists them", false };
    Outcome outcome { command->name, command->run(words, parsed->text, out), "", command->changesDevice };
    if (!outcome.succeeded)
        outcome.problem = lastProblem.empty() ? "failed" : lastProblem;
    return outcome;
}

bool DeviceCommands::tapSegment(const std::string& title)
{
    auto selections = onScreen<UISegmentedControl>(device.screen());
    if (selections.empty())
        return fail("no connectivity selector on the screen");
    UISegmentedControl& selection = *selections.front();
    for (long segment = 0; segment < selection.numberOfSegments(); ++segment) {
        if (lowercase(selection.titleForSegmentAtIndex(segment)) == lowercase(title))
            return UIAutomation::tapSegment(selection, segment) || fail("the selector does not take touches");
    }
    return fail("no segment \"" + title + "\" (the segments are None, 3G, Wifi and Both)");
}

bool DeviceCommands::flipSwitch(const std::string& which)
{
    auto switches = onScreen<UISwitch>(device.screen());
    const auto& names = switchNames();
    auto position = std::find(names.begin(), names.end(), lowercase(which));
    if (switches.size() < names.size())
        return fail("the extra options are not on the screen");
    if (position == names.end())
        return fail("no switch \"" + which + "\" (there are passlock and dnscrypt)");
    UISwitch& control = *switches[static_cast<size_t>(position - names.begin())];
    return UIAutomation::flipSwitch(control) || fail("the switch does not take touches");
}

bool DeviceCommands::tapRow(const std::string& row)
{
    UITableView* picker = resolverPicker(device.screen());
    if (!picker)
        return fail("the DNSCrypt resolvers are not on the screen (switch DNSCrypt on first)");
    long rows = picker->numberOfRowsInSection(0);
    char* end = nullptr;
    long number = std::strtol(row.c_str(), &end, 10);
    if (end && *end == '\0' && !row.empty()) {
        if (number < 1 || number > rows)
            return fail("no row " + row + " (the list has " + std::to_string(rows) + " rows)");
        return UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(number - 1, 0));
    }
    for (long index = 0; index < rows; ++index) {
        UITableViewCell* cell = picker->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(index, 0));
        std::string title = cell ? cell->textLabel()->text() : "";
        if (title == row || title == "\"" + row + "\"")
            return UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(index, 0));
    }
    return fail("no resolver named \"" + row + "\"");
}

bool DeviceCommands::tapContact()
{
    auto buttons = onScreen<UIButton>(device.screen());
    return (!buttons.empty() && UIAutomation::tapButton(*buttons.front())) || fail("no \"Contact support\" button on the screen");
}

UITextField* DeviceCommands::fieldNamed(const std::string& field)
{
    auto fields = onScreen<UITextField>(device.screen());
    const auto& names = fieldNames();
    auto position = std::find(names.begin(), names.end(), lowercase(field));
    if (position == names.end()) {
        fail("no field \"" + field + "\" (there are domain, primary and secondary)");
        return nullptr;
    }
    if (fields.size() < names.size()) {
        fail("the DNS fields are not on the screen (DNSCrypt is on)");
        return nullptr;
    }
    return fields[static_cast<size_t>(position - names.begin())];
}

namespace {

// The name a list of names gives the view by its place among the screen's views of its type.
template<typename ViewType>
std::optional<std::string> nameByPlace(UIView& screen, const UIView& view, const std::vector<std::string>& names)
{
    auto views = onScreen<ViewType>(screen);
    for (size_t index = 0; index < views.size() && index < names.size(); ++index) {
        if (views[index] == &view)
            return names[index];
    }
    return std::nullopt;
}

// The text without its last character (a UTF-8 sequence).
std::string withoutLastCharacter(std::string text)
{
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80)
        text.pop_back();
    if (!text.empty())
        text.pop_back();
    return text;
}

} // namespace

std::optional<std::string> DeviceCommands::nameOfField(const UIView& view)
{
    return nameByPlace<UITextField>(device.screen(), view, fieldNames());
}

std::optional<std::string> DeviceCommands::nameOfSwitch(const UIView& view)
{
    return nameByPlace<UISwitch>(device.screen(), view, switchNames());
}

UITextField* DeviceCommands::fieldWithKeyboard()
{
    auto* field = dynamic_cast<UITextField*>(UIResponder::firstResponder());
    if (!field || field->isDescendantOfView(&device.screen()))
        return field;
    // A dialog's field counts while the dialog is shown; one answered since is nowhere to type into.
    for (const auto& alert : UIApplication::sharedApplication().visibleAlerts()) {
        for (long index = 0; index < alert->numberOfTextFields(); ++index) {
            if (alert->textFieldAtIndex(index) == field)
                return field;
        }
    }
    return nullptr;
}

bool DeviceCommands::typeKeys(const std::string& text)
{
    UITextField* field = fieldWithKeyboard();
    if (!field)
        return fail("no field has the keyboard: touch one first");
    return UIAutomation::typeText(*field, field->text() + text) || fail("the field does not take touches");
}

bool DeviceCommands::deleteBackward()
{
    UITextField* field = fieldWithKeyboard();
    if (!field)
        return fail("no field has the keyboard: touch one first");
    return UIAutomation::typeText(*field, withoutLastCharacter(field->text())) || fail("the field does not take touches");
}

bool DeviceCommands::pressReturnKey()
{
    UITextField* field = fieldWithKeyboard();
    if (!field)
        return fail("no field has the keyboard: touch one first");
    if (!UIAutomation::pressReturn(*field))
        return fail("the field does not take touches");
    if (keyboardShown && !fieldWithKeyboard())
        hideKeyboard();
    return true;
}

bool DeviceCommands::touchField(const std::string& field)
{
    UITextField* target = fieldNamed(field);
    if (!target)
        return false;
    // A touch puts the caret in the field; its text stays.
    if (!UIAutomation::typeText(*target, target->text()))
        return fail("the field does not take touches");
    if (!keyboardShown)
        showKeyboard();
    return true;
}

bool DeviceCommands::typeInto(const std::string& field, const std::string& text)
{
    UITextField* target = fieldNamed(field);
    return target && (UIAutomation::typeText(*target, text) || fail("the field does not take touches"));
}

bool DeviceCommands::pressReturn(const std::string& field)
{
    UITextField* target = fieldNamed(field);
    return target && (UIAutomation::pressReturn(*target) || fail("the field does not take touches"));
}

bool DeviceCommands::answerOldestAlert(const std::vector<std::string>& words)
{
    const auto& alerts = UIApplication::sharedApplication().visibleAlerts();
    if (alerts.empty())
        return fail("no alert is shown");
    if (words.size() < 2)
        return fail("give the button to tap, and the text to type if the alert asks for one");
    std::shared_ptr<UIAlertView> alert = alerts.front();
    std::string buttons;
    long button = -1;
    for (long index = 0; index < alert->numberOfButtons(); ++index) {
        buttons += (index ? ", " : "") + alert->buttonTitleAtIndex(index);
        if (button < 0 && lowercase(alert->buttonTitleAtIndex(index)) == lowercase(words[1]))
            button = index;
    }
    if (button < 0)
        return fail("the alert \"" + alert->title() + "\" has no button \"" + words[1] + "\" (it has " + buttons + ")");
    std::optional<std::string> text;
    for (size_t word = 2; word < words.size(); ++word)
        text = (text ? *text + " " : "") + words[word];
    return answerAlert(*alert, button, text);
}

bool DeviceCommands::answerAlert(UIAlertView& alert, long button, const std::optional<std::string>& text)
{
    UITextField* field = alert.textFieldAtIndex(0);
    if (text && !field)
        return fail("the alert \"" + alert.title() + "\" has no field to type into");
    if (text)
        UIAutomation::typeText(*field, *text);
    device.noteEvent("alert answered: " + alert.title() + " (" + alert.buttonTitleAtIndex(button) + ")");
    return UIAutomation::tapAlertButton(alert, button) || fail("the alert does not take touches");
}

bool DeviceCommands::rotate(const std::string& word)
{
    auto orientation = orientationNamed(lowercase(word));
    if (!orientation)
        return fail("no orientation \"" + word + "\" (give " + orientationChoices() + ")");
    PSListController* pane = device.settings().pane();
    if (!pane)
        return fail("the pane is not open");
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

void DeviceCommands::showKeyboard()
{
    keyboardShown = true;
    UIAutomation::showKeyboard();
}

void DeviceCommands::hideKeyboard()
{
    keyboardShown = false;
    UIAutomation::hideKeyboard();
}

bool DeviceCommands::lookUp(const std::vector<std::string>& words, std::ostream& out)
{
    if (words.size() < 2 || words.size() > 3)
        return fail("give a name, and a type if not A (lookup example.org AAAA)");
    auto type = DnsRecordText::typeNamed(words.size() == 3 ? words[2] : "A");
    if (!type)
        return fail("no DNS type \"" + words[2] + "\" (A, AAAA, CNAME, MX, NS, PTR, SOA, SRV, TXT, ANY or TYPE99)");
    std::string problem;
    if (!DeviceLookup(words[1], *type).run(out, problem))
        return fail(problem);
    return true;
}

bool DeviceCommands::writeSVG(const std::string& path, std::ostream& out)
{
    std::string picture = UIViewSVGRenderer(UIColor::colorWithRed(0.94, 0.94, 0.96, 1))
                              .render(device.screen(), UIApplication::sharedApplication().visibleAlerts());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!(file << picture))
        return fail("cannot write " + path);
    out << "wrote " << path << "\n";
    return true;
}
