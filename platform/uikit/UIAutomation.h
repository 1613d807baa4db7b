#pragma once

#include "NSIndexPath.h"

#include <string>

class UIAlertView;
class UIButton;
class UISegmentedControl;
class UISwitch;
class UITableView;
class UITextField;

// Does what a finger does, so that tests and the device program drive a screen the way a person would.
// Each returns false, doing nothing, when a person could not do it (a control that is disabled or not
// interactive, a row or button that does not exist, an alert that is not shown).
namespace UIAutomation {

// Selects the segment and sends the value-changed actions.
bool tapSegment(UISegmentedControl& control, long segment);
// Turns the switch over and sends the value-changed actions.
bool flipSwitch(UISwitch& control);
// Sends the touch-up-inside actions.
bool tapButton(UIButton& button);
// Selects the row and tells the table's delegate.
bool tapRow(UITableView& table, NSIndexPath indexPath);
// Makes the field first responder (the keyboard comes up) and replaces its text.
bool typeText(UITextField& field, const std::string& text);
// The return key: asks the field's delegate.
bool pressReturn(UITextField& field);
// Taps the alert's button with that index, or that title.
bool tapAlertButton(UIAlertView& alert, long long buttonIndex);
bool tapAlertButton(UIAlertView& alert, const std::string& title);
// Posts UIKeyboardDidShowNotification or UIKeyboardWillHideNotification.
void showKeyboard();
void hideKeyboard();

} // namespace UIAutomation
