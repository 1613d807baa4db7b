#include "DevicePage.h"

#include "CFRunLoop.h"
#include "Device.h"
#include "DeviceCommands.h"
#include "JsonString.h"
#include "PageEvents.h"
#include "StatusText.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"
#include "UIViewSVGRenderer.h"

namespace {

// A frame of the screen: a change shows on the page within one.
constexpr double frameSeconds = 1.0 / 60;

std::string answerJson(const std::string& step, bool succeeded, const std::string& problem)
{
    std::string json = "{\"step\":" + (step.empty() ? std::string("null") : JsonString(step));
    json += std::string(",\"succeeded\":") + (succeeded ? "true" : "false");
    if (!problem.empty())
        json += ",\"problem\":" + JsonString(problem);
    return json + "}";
}

std::string feedJson(const DeviceFeed::Entry& entry)
{
    using Origin = DeviceFeed::Entry::Origin;
    const char* origin = entry.origin == Origin::Console ? "console" : entry.origin == Origin::Page ? "page" : "outside";
    std::string json = std::string("{\"origin\":\"") + origin + "\",\"step\":" + JsonString(entry.step);
    json += ",\"problem\":" + JsonString(entry.problem) + ",\"lines\":[";
    for (size_t index = 0; index < entry.lines.size(); ++index)
        json += (index ? "," : "") + JsonString(entry.lines[index]);
    return json + "]}";
}

std::shared_ptr<UIAlertView> shownAlert(const UIAlertView* alert)
{
    for (const auto& shown : UIApplication::sharedApplication().visibleAlerts()) {
        if (shown.get() == alert)
            return shown;
    }
    return nullptr;
}

// The SVG element alone: the page holds it inline.
std::string withoutXmlDeclaration(const std::string& picture)
{
    if (!picture.starts_with("<?xml"))
        return picture;
    size_t end = picture.find("?>");
    return end == std::string::npos ? picture : picture.substr(picture.find_first_not_of("\n", end + 2));
}

} // namespace

DevicePage::DevicePage(Device& pageDevice, DeviceCommands& deviceCommands, DeviceFeed& deviceFeed, PageEvents& pageEvents)
    : device(pageDevice)
    , commands(deviceCommands)
    , feed(deviceFeed)
    , events(pageEvents)
{
    feedListener = feed.addListener([this](const DeviceFeed::Entry& entry) { publish(entry); });
    screenWatch = CFRunLoopTimer::create(frameSeconds, frameSeconds, [this] {
        if (events.openPages() > 0)
            publishScreen();
    });
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), screenWatch, kCFRunLoopDefaultMode);
    publishScreen();
    publishStatus();
}

DevicePage::~DevicePage()
{
    screenWatch->invalidate();
    feed.removeListener(feedListener);
    for (auto& left : pending)
        left.answer({ 503, answerJson("", false, "the device is shutting down") });
}

void DevicePage::queue(Step step, AnswerHandler answer)
{
    if (freshDevice) {
        answer({ 503, answerJson("", false, "a fresh device is starting") });
        return;
    }
    pending.push_back({ std::move(step), std::move(answer) });
}

void DevicePage::runStep()
{
    Pending next = std::move(pending.front());
    pending.pop_front();
    const Step& step = next.step;
    if (step.kind == Step::Kind::FreshDevice) {
        freshDevice = FreshDevice { step.text, step.version };
        next.answer({ 202, answerJson("a fresh " + step.text + " on system " + step.version, true, "") });
        return;
    }
    Done done = step.kind == Step::Kind::Touch ? touch(step.point)
        : step.kind == Step::Kind::Type        ? type(step.text)
        : step.kind == Step::Kind::Key         ? pressKey(step.text)
                                               : rotate(step.text);
    // The page sees what the step did at once; what it brings about follows in the feed.
    publishScreen();
    std::string problem = done.succeeded ? "" : commands.problem();
    next.answer({ done.succeeded ? 200 : 409, answerJson(done.step, done.succeeded, problem) });
    if (done.nothingTouched)
        return;
    if (done.changesDevice)
        device.settle();
    // Typing is no news unless something came of it.
    if (!done.changesDevice && done.succeeded && !device.hasEvents())
        return;
    DeviceFeed::Entry entry { DeviceFeed::Entry::Origin::Page, done.step, done.succeeded ? "" : problem, {} };
    feed.publish(entry);
}

DevicePage::Done DevicePage::touch(CGPoint point)
{
    std::vector<UITouchTarget> targets;
    device.settings().renderScreen(&targets);
    const UITouchTarget* target = UIViewSVGRenderer::targetAt(targets, point);
    if (!target)
        return nothingThere();
    using Kind = UITouchTarget::Kind;
    switch (target->kind) {
    case Kind::Segment: {
        auto* control = static_cast<const UISegmentedControl*>(target->view);
        std::string title = control->titleForSegmentAtIndex(target->index);
        return { "tap " + title, true, commands.tapSegment(title) };
    }
    case Kind::Row: {
        // Only the resolver list's rows answer a touch; the others hold controls of their own.
        if (!target->table->isScrollEnabled())
            return nothingThere();
        std::string number = std::to_string(target->indexPath.row + 1);
        return { "row " + number, true, commands.tapRow(number) };
    }
    case Kind::Control:
        if (auto name = commands.nameOfSwitch(*target->view))
            return { "switch " + *name, true, commands.flipSwitch(*name) };
        if (auto name = commands.nameOfField(*target->view))
            return { "touch " + *name, false, commands.touchField(*name) };
        if (dynamic_cast<const UIButton*>(target->view))
            return { "contact", true, commands.tapContact() };
        return nothingThere();
    case Kind::AlertButton: {
        auto alert = shownAlert(target->alert);
        if (!alert)
            return nothingThere();
        std::string step = "answer " + alert->buttonTitleAtIndex(target->index);
        return { step, true, commands.answerAlert(*alert, target->index) };
    }
    case Kind::AlertField: {
        auto alert = shownAlert(target->alert);
        UITextField* field = alert ? alert->textFieldAtIndex(target->index) : nullptr;
        if (!field)
            return nothingThere();
        // A touch puts the caret in the dialog's field; its text stays.
        return { "touch the dialog's field", false, UIAutomation::typeText(*field, field->text()) };
    }
    case Kind::AlertBackdrop:
        return nothingThere();
    }
    return nothingThere();
}

DevicePage::Done DevicePage::type(const std::string& text)
{
    UITextField* field = commands.fieldWithKeyboard();
    bool succeeded = commands.typeKeys(text);
    std::optional<std::string> name = field ? commands.nameOfField(*field) : std::nullopt;
    // A dialog's field may hold a password: the feed does not show what is typed there.
    std::string step = name ? "type " + *name + " " + field->text() : "type into the dialog's field";
    return { step, false, succeeded };
}

DevicePage::Done DevicePage::pressKey(const std::string& key)
{
    UITextField* field = commands.fieldWithKeyboard();
    std::optional<std::string> name = field ? commands.nameOfField(*field) : std::nullopt;
    if (key == "Backspace") {
        bool succeeded = commands.deleteBackward();
        return { name ? "type " + *name + " " + field->text() : "delete in the dialog's field", false, succeeded };
    }
    return { name ? "return " + *name : "Return in the dialog's field", true, commands.pressReturnKey() };
}

DevicePage::Done DevicePage::rotate(const std::string& orientation)
{
    return { "rotate " + orientation, true, commands.rotate(orientation) };
}

void DevicePage::publish(const DeviceFeed::Entry& entry)
{
    events.addFeedEntry(feedJson(entry));
    publishScreen();
    publishStatus();
}

void DevicePage::publishStatus()
{
    std::string status = JsonString(StatusText());
    if (status == sentStatus)
        return;
    sentStatus = status;
    events.setStatus(status);
}

void DevicePage::publishScreen()
{
    std::string screen = screenJson();
    if (screen == sentScreen)
        return;
    sentScreen = screen;
    events.setScreen(screen);
}

std::string DevicePage::screenJson() const
{
    const CGSize& size = device.screen().frame().size;
    UITextField* field = commands.fieldWithKeyboard();
    std::optional<std::string> name = field ? commands.nameOfField(*field) : std::nullopt;
    std::string typingInto = !field ? "null" : JsonString(name ? *name : "the dialog's field");
    PSListController* pane = device.settings().pane();
    return "{\"svg\":" + JsonString(withoutXmlDeclaration(device.settings().renderScreen())) + ",\"width\":"
        + std::to_string(static_cast<int>(size.width)) + ",\"height\":" + std::to_string(static_cast<int>(size.height))
        + ",\"model\":" + JsonString(UIDevice::currentDevice().model()) + ",\"version\":"
        + JsonString(UIDevice::currentDevice().systemVersion()) + ",\"orientation\":"
        + std::to_string(pane ? pane->interfaceOrientation() : 1) + ",\"keyboard\":" + (commands.isKeyboardShown() ? "true" : "false")
        + ",\"typingInto\":" + typingInto + "}";
}
