#include "ScreenText.h"

#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIButton.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"
#include "UITextView.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace {

// A piece of the screen at its place: a caption, a control, or a table's rows kept together.
struct ScreenLine {
    double y;
    double x;
    std::string text;
};

std::string accessoryText(const UIView* accessory)
{
    if (!accessory)
        return "";
    for (const auto& view : accessory->subviews()) {
        if (auto* control = dynamic_cast<UISwitch*>(view.get()))
            return control->isOn() ? "[on]" : "[off]";
        if (auto* field = dynamic_cast<UITextField*>(view.get()))
            return "[" + (field->isSecureTextEntry() ? std::string(field->text().size(), '*') : field->text()) + "]";
    }
    return "";
}

void collectTable(UITableView& table, double x, double y, std::vector<ScreenLine>& lines)
{
    std::string rows;
    double top = table.contentOffset().y;
    double bottom = top + table.frame().size.height;
    long hidden = 0;
    long row = 0;
    for (long section = 0; section < table.numberOfSections(); ++section) {
        for (long index = 0; index < table.numberOfRowsInSection(section); ++index, ++row) {
            UITableViewCell* cell = table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(index, section));
            double rowTop = row * UITableView::rowHeight;
            if (!cell || rowTop + UITableView::rowHeight <= top || rowTop >= bottom) {
                ++hidden;
                continue;
            }
            rows += (cell->isSelected() ? "  > " : "    ") + cell->textLabel()->text();
            if (std::string accessory = accessoryText(cell->accessoryView().get()); !accessory.empty())
                rows += "  " + accessory;
            rows += "\n";
        }
    }
    if (hidden)
        rows += "    (" + std::to_string(hidden) + " more rows out of view)\n";
    if (!rows.empty())
        lines.push_back({ y, x, rows });
}

void collect(UIView& view, double x, double y, std::vector<ScreenLine>& lines)
{
    if (view.isHidden())
        return;
    x += view.frame().origin.x;
    y += view.frame().origin.y;
    if (auto* label = dynamic_cast<UITextView*>(&view)) {
        if (!label->text().empty())
            lines.push_back({ y, x, label->text() });
        return;
    }
    if (auto* selection = dynamic_cast<UISegmentedControl*>(&view)) {
        std::string text;
        for (long segment = 0; segment < selection->numberOfSegments(); ++segment) {
            std::string title = selection->titleForSegmentAtIndex(segment);
            text += (segment ? " | " : "( ") + (segment == selection->selectedSegmentIndex() ? "[" + title + "]" : title);
        }
        lines.push_back({ y, x, text + " )" });
        return;
    }
    if (auto* button = dynamic_cast<UIButton*>(&view)) {
        lines.push_back({ y, x, "< " + button->titleForState(UIControlStateNormal) + " >" });
        return;
    }
    if (auto* table = dynamic_cast<UITableView*>(&view)) {
        collectTable(*table, x, y, lines);
        return;
    }
    if (auto* scrollView = dynamic_cast<UIScrollView*>(&view)) {
        x -= scrollView->contentOffset().x;
        y -= scrollView->contentOffset().y;
    }
    for (const auto& child : view.subviews())
        collect(*child, x, y, lines);
}

} // namespace

std::string ScreenText(UIView& screen)
{
    std::vector<ScreenLine> lines;
    for (const auto& child : screen.subviews())
        collect(*child, 0, 0, lines);
    std::stable_sort(lines.begin(), lines.end(), [](const ScreenLine& a, const ScreenLine& b) { return a.y < b.y; });
    std::ostringstream text;
    for (const auto& line : lines)
        text << line.text << (line.text.ends_with("\n") ? "" : "\n");
    for (const auto& alert : UIApplication::sharedApplication().visibleAlerts()) {
        text << "+-- alert: " << alert->title() << "\n";
        std::istringstream message(alert->message());
        for (std::string line; std::getline(message, line);)
            text << "|   " << line << "\n";
        for (long field = 0; field < alert->numberOfTextFields(); ++field) {
            UITextField* textField = alert->textFieldAtIndex(field);
            text << "|   " << textField->placeholder() << ": [" << std::string(textField->text().size(), '*') << "]\n";
        }
        text << "+-- buttons:";
        for (long button = 0; button < alert->numberOfButtons(); ++button)
            text << " <" << alert->buttonTitleAtIndex(button) << ">";
        text << "\n";
    }
    return text.str();
}
