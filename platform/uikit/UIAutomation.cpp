#include "UIAutomation.h"

#include "NSNotificationCenter.h"
#include "UIAlertView.h"
#include "UIButton.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"

namespace {

bool canTouch(const UIControl& control)
{
    return control.isEnabled() && control.isUserInteractionEnabled();
}

} // namespace

namespace UIAutomation {

bool tapSegment(UISegmentedControl& control, long segment)
{
    if (!canTouch(control) || segment < 0 || segment >= control.numberOfSegments())
        return false;
    // A tap on the segment already selected changes nothing and sends nothing.
    if (control.selectedSegmentIndex() == segment)
        return true;
    control.setSelectedSegmentIndex(segment);
    control.sendActionsForControlEvents(UIControlEventValueChanged);
    return true;
}

bool flipSwitch(UISwitch& control)
{
    if (!canTouch(control))
        return false;
    control.setOn(!control.isOn(), true);
    control.sendActionsForControlEvents(UIControlEventValueChanged);
    return true;
}

bool tapButton(UIButton& button)
{
    if (!canTouch(button))
        return false;
    button.sendActionsForControlEvents(UIControlEventTouchUpInside);
    return true;
}

bool tapRow(UITableView& table, NSIndexPath indexPath)
{
    if (!table.isUserInteractionEnabled() || !table.cellForRowAtIndexPath(indexPath))
        return false;
    table.selectRowAtIndexPath(indexPath, false, 0);
    if (auto* delegate = table.delegate())
        delegate->tableView_didSelectRowAtIndexPath(&table, indexPath);
    return true;
}

bool typeText(UITextField& field, const std::string& text)
{
    if (!canTouch(field) || !field.becomeFirstResponder())
        return false;
    field.setText(text);
    return true;
}

bool pressReturn(UITextField& field)
{
    if (!canTouch(field))
        return false;
    if (auto* delegate = field.delegate())
        delegate->textFieldShouldReturn(&field);
    return true;
}

bool tapAlertButton(UIAlertView& alert, long long buttonIndex)
{
    if (!alert.isVisible() || buttonIndex < 0 || buttonIndex >= alert.numberOfButtons())
        return false;
    alert.dismissWithClickedButtonIndex(buttonIndex);
    return true;
}

bool tapAlertButton(UIAlertView& alert, const std::string& title)
{
    for (long index = 0; index < alert.numberOfButtons(); ++index) {
        if (alert.buttonTitleAtIndex(index) == title)
            return tapAlertButton(alert, index);
    }
    return false;
}

void showKeyboard()
{
    NSNotificationCenter::defaultCenter().postNotificationName(UIKeyboardDidShowNotification, nullptr);
}

void hideKeyboard()
{
    NSNotificationCenter::defaultCenter().postNotificationName(UIKeyboardWillHideNotification, nullptr);
}

} // namespace UIAutomation
