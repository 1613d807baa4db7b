#include "UIAlertView.h"

#include "NSLog.h"
#include "UIApplication.h"

std::shared_ptr<UIAlertView> UIAlertView::create(const std::string& title, const std::string& message,
                                                 UIAlertViewDelegate* delegate, const std::string* cancelButtonTitle,
                                                 const std::vector<std::string>& otherButtonTitles)
{
    return std::shared_ptr<UIAlertView>(new UIAlertView(title, message, delegate, cancelButtonTitle, otherButtonTitles));
}

UIAlertView::UIAlertView(const std::string& title, const std::string& message, UIAlertViewDelegate* delegate,
                         const std::string* cancelButtonTitle, const std::vector<std::string>& otherButtonTitles)
    : alertTitle(title)
    , alertMessage(message)
    , alertDelegate(delegate)
{
    if (cancelButtonTitle) {
        cancelIndex = 0;
        buttonTitles.push_back(*cancelButtonTitle);
    }
    buttonTitles.insert(buttonTitles.end(), otherButtonTitles.begin(), otherButtonTitles.end());
}

UIAlertView::~UIAlertView() = default;

std::string UIAlertView::buttonTitleAtIndex(long long buttonIndex) const
{
    if (buttonIndex < 0 || buttonIndex >= numberOfButtons())
        return {};
    return buttonTitles[static_cast<size_t>(buttonIndex)];
}

void UIAlertView::addTextFieldWithValue(const std::string& value, const std::string& label)
{
    auto field = UIView::create<UITextField>();
    field->setText(value);
    field->setPlaceholder(label);
    textFields.push_back(std::move(field));
}

UITextField* UIAlertView::textFieldAtIndex(long index) const
{
    if (index < 0 || index >= numberOfTextFields())
        return nullptr;
    return textFields[static_cast<size_t>(index)].get();
}

void UIAlertView::show()
{
    if (visible)
        return;
    auto self = weak_from_this().lock();
    if (!self) {
        NSLog("UIAlertView: only an alert made by create can be shown");
        return;
    }
    visible = true;
    // The keyboard comes up for the first field.
    if (!textFields.empty())
        textFields.front()->becomeFirstResponder();
    UIApplication::sharedApplication().alertWasShown(self);
}

void UIAlertView::dismissWithClickedButtonIndex(long long buttonIndex)
{
    if (!visible || answering)
        return;
    // The application may hold the last reference; the alert must outlive its delegate's answer.
    auto self = weak_from_this().lock();
    answering = true;
    if (alertDelegate)
        alertDelegate->alertView_clickedButtonAtIndex(this, buttonIndex);
    answering = false;
    visible = false;
    for (const auto& field : textFields)
        field->resignFirstResponder();
    UIApplication::sharedApplication().alertWasDismissed(this);
}
