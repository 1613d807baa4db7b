#pragma once

// The pane's screen seen through the view tree that the Settings host shows, as a person sees it: the
// controls are told apart by what they show, not by the pane's own fields.
#include "NSDictionary.h"
#include "TemporaryDevice.h"
#include "UIApplication.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UIResponder.h"
#include "UIScrollView.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"
#include "UITextView.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace ScreenViews {

// A frame written "(x, y, width, height)", so that a mismatch reads plainly.
inline std::string frameText(CGRect rect)
{
    std::ostringstream text;
    text << "(" << rect.origin.x << ", " << rect.origin.y << ", " << rect.size.width << ", " << rect.size.height << ")";
    return text.str();
}

inline constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
inline constexpr const char* DNSChanged = "com.tarvik.dns/DNSChanged";

// A device of that model and version for the application, with nothing shown and nobody typing.
inline void useDevice(const std::string& model, const std::string& systemVersion)
{
    UIApplication::sharedApplication().reset();
    if (auto* responder = UIResponder::firstResponder())
        responder->resignFirstResponder();
    UIDevice::currentDevice().setModel(model);
    UIDevice::currentDevice().setSystemVersion(systemVersion);
}

// The view that holds the whole screen (the phone's scroll view, the tablet's plain view), given the
// view the pane was built into.
inline UIView* screenView(const UIView& paneView)
{
    if (paneView.subviews().size() != 1)
        return nullptr;
    return paneView.subviews().front().get();
}

template<typename ViewType>
ViewType* firstOfType(UIView& view)
{
    auto found = view.descendantsOfType<ViewType>();
    return found.empty() ? nullptr : found.front();
}

// The table a container holds as its only subview.
inline UITableView* tableIn(const UIView& container)
{
    if (container.subviews().size() != 1)
        return nullptr;
    return dynamic_cast<UITableView*>(container.subviews().front().get());
}

// What a child of the screen view is, by what it shows: `label "TEXT"`, "selector", `button "TITLE"`,
// or, for a plain view holding a table, "DNS settings area" (text fields), "extra area" (switches) or
// "resolver area" (neither).
inline std::string describe(UIView& view)
{
    if (auto* label = dynamic_cast<UITextView*>(&view))
        return "label \"" + label->text() + "\"";
    if (dynamic_cast<UISegmentedControl*>(&view))
        return "selector";
    if (auto* button = dynamic_cast<UIButton*>(&view))
        return "button \"" + button->titleForState(UIControlStateNormal) + "\"";
    if (!tableIn(view))
        return "view";
    if (!view.descendantsOfType<UITextField>().empty())
        return "DNS settings area";
    if (!view.descendantsOfType<UISwitch>().empty())
        return "extra area";
    return "resolver area";
}

inline std::vector<std::string> describeChildren(const UIView& view)
{
    std::vector<std::string> descriptions;
    for (const auto& child : view.subviews())
        descriptions.push_back(describe(*child));
    return descriptions;
}

// The child of the screen view that the description names, or null.
inline UIView* child(const UIView& view, const std::string& description)
{
    for (const auto& candidate : view.subviews()) {
        if (describe(*candidate) == description)
            return candidate.get();
    }
    return nullptr;
}

// The title of each row of a table, in order.
inline std::vector<std::string> rowTitles(const UITableView& table)
{
    std::vector<std::string> titles;
    for (long row = 0; row < table.numberOfRowsInSection(0); ++row)
        titles.push_back(table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, 0))->textLabel()->text());
    return titles;
}

// The accessory control of the row with that title.
template<typename ControlType>
ControlType* controlInRow(const UITableView& table, const std::string& title)
{
    for (long row = 0; row < table.numberOfRowsInSection(0); ++row) {
        UITableViewCell* cell = table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, 0));
        if (cell->textLabel()->text() == title && cell->accessoryView())
            return firstOfType<ControlType>(*cell->accessoryView());
    }
    return nullptr;
}

inline std::optional<std::string> preference(const std::string& key)
{
    auto preferences = dictionaryWithContentsOfFile(preferencesPath);
    if (!preferences)
        return std::nullopt;
    auto found = preferences->find(key);
    if (found == preferences->end() || !found->second.string())
        return std::nullopt;
    return *found->second.string();
}

// Changes one key of the preferences file, as the daemon or SpringBoard would.
inline void setPreference(const std::string& key, const std::string& value)
{
    auto preferences = dictionaryWithContentsOfFile(preferencesPath).value_or(PropertyListDictionary {});
    preferences[key] = value;
    ASSERT_TRUE(writeDictionaryToFile(preferences, preferencesPath, true));
}

// The text of the first text element after the group of that class in an SVG picture; empty when
// there is none.
inline std::string textOfGroup(const std::string& svg, const std::string& className)
{
    auto group = svg.find("<g class=\"" + className + "\">");
    if (group == std::string::npos)
        return {};
    auto text = svg.find("<text", group);
    auto start = text == std::string::npos ? std::string::npos : svg.find('>', text);
    auto end = start == std::string::npos ? std::string::npos : svg.find("</text>", start);
    if (end == std::string::npos)
        return {};
    return svg.substr(start + 1, end - start - 1);
}

inline size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

inline bool shows(const std::string& svg, const std::string& text)
{
    return svg.find(">" + text + "</text>") != std::string::npos;
}

} // namespace ScreenViews
