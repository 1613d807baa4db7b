#pragma once

#include "UITextField.h"

#include <memory>
#include <string>
#include <vector>

class UIAlertView;

class UIAlertViewDelegate {
public:
    virtual ~UIAlertViewDelegate() = default;
    virtual void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex) = 0;
};

// An alert: title, message, buttons (the cancel button first when there is one) and text fields.
// Shown, it is held by the application until it is answered: the delegate is called once with the
// tapped button, then the alert is dismissed.
class UIAlertView : public std::enable_shared_from_this<UIAlertView> {
public:
    static std::shared_ptr<UIAlertView> create(const std::string& title, const std::string& message,
                                               UIAlertViewDelegate* delegate, const std::string* cancelButtonTitle,
                                               const std::vector<std::string>& otherButtonTitles);
    virtual ~UIAlertView();

    const std::string& title() const { return alertTitle; }
    const std::string& message() const { return alertMessage; }
    UIAlertViewDelegate* delegate() const { return alertDelegate; }
    // A delegate that goes away before the alert is answered lets go of it here.
    void setDelegate(UIAlertViewDelegate* delegate) { alertDelegate = delegate; }

    long numberOfButtons() const { return static_cast<long>(buttonTitles.size()); }
    // -1 when the alert has no cancel button.
    long cancelButtonIndex() const { return cancelIndex; }
    // The title of a button; empty for an index out of range.
    std::string buttonTitleAtIndex(long long buttonIndex) const;

    // addTextFieldWithValue:label: — the label is the field's placeholder.
    void addTextFieldWithValue(const std::string& value, const std::string& label);
    // The text field at the index, or null.
    UITextField* textFieldAtIndex(long index) const;
    long numberOfTextFields() const { return static_cast<long>(textFields.size()); }

    void show();
    bool isVisible() const { return visible; }

    // What a tap on a button does: the delegate is called with the index, then the alert is dismissed.
    void dismissWithClickedButtonIndex(long long buttonIndex);

protected:
    UIAlertView(const std::string& title, const std::string& message, UIAlertViewDelegate* delegate,
                const std::string* cancelButtonTitle, const std::vector<std::string>& otherButtonTitles);

private:
    std::string alertTitle;
    std::string alertMessage;
    UIAlertViewDelegate* alertDelegate;
    std::vector<std::string> buttonTitles;
    long cancelIndex { -1 };
    std::vector<std::shared_ptr<UITextField>> textFields;
    bool visible { false };
    // While the delegate hears of a tap, a second tap does nothing.
    bool answering { false };
};
