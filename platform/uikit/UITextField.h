#pragma once

#include "UIColor.h"
#include "UIControl.h"
#include "UIFont.h"
#include "UIResponder.h"

#include <string>

class UITextField;

class UITextFieldDelegate {
public:
    virtual ~UITextFieldDelegate() = default;
    virtual bool textFieldShouldReturn(UITextField* textField) = 0;
};

using UIKeyboardType = long;           // 2 numbers and punctuation, 3 URL
using UITextAutocorrectionType = long; // 1 no
using UITextAutocapitalizationType = long; // 0 none
using UIReturnKeyType = long;          // 9 done
using NSTextAlignment = long;          // 2 right
using UITextFieldViewMode = long;      // 1 while editing
using UIKeyboardAppearance = long;     // 1 alert

class UITextField : public UIControl, public UIResponder {
public:
    explicit UITextField(CGRect frame = {});

    const std::string& text() const { return fieldText; }
    void setText(const std::string& text) { fieldText = text; }
    const std::string& placeholder() const { return placeholderText; }
    void setPlaceholder(const std::string& placeholder) { placeholderText = placeholder; }

    UITextFieldDelegate* delegate() const { return fieldDelegate; }
    void setDelegate(UITextFieldDelegate* delegate) { fieldDelegate = delegate; }

    UIColor textColor() const { return color; }
    void setTextColor(UIColor textColor) { color = textColor; }
    UIFont font() const { return fieldFont; }
    void setFont(UIFont font) { fieldFont = font; }

    UIKeyboardType keyboardType() const { return keyboard; }
    void setKeyboardType(UIKeyboardType type) { keyboard = type; }
    UITextAutocorrectionType autocorrectionType() const { return autocorrection; }
    void setAutocorrectionType(UITextAutocorrectionType type) { autocorrection = type; }
    UITextAutocapitalizationType autocapitalizationType() const { return autocapitalization; }
    void setAutocapitalizationType(UITextAutocapitalizationType type) { autocapitalization = type; }
    UIReturnKeyType returnKeyType() const { return returnKey; }
    void setReturnKeyType(UIReturnKeyType type) { returnKey = type; }
    NSTextAlignment textAlignment() const { return alignment; }
    void setTextAlignment(NSTextAlignment textAlignment) { alignment = textAlignment; }
    UITextFieldViewMode clearButtonMode() const { return clearButton; }
    void setClearButtonMode(UITextFieldViewMode mode) { clearButton = mode; }
    UIKeyboardAppearance keyboardAppearance() const { return appearance; }
    void setKeyboardAppearance(UIKeyboardAppearance keyboardAppearance) { appearance = keyboardAppearance; }
    bool isSecureTextEntry() const { return secure; }
    void setSecureTextEntry(bool secureTextEntry) { secure = secureTextEntry; }

    bool canBecomeFirstResponder() const override { return isUserInteractionEnabled(); }

private:
    std::string fieldText;
    std::string placeholderText;
    UITextFieldDelegate* fieldDelegate { nullptr };
    UIColor color { UIColor::blackColor() };
    UIFont fieldFont { UIFont::systemFontOfSize(17) };
    UIKeyboardType keyboard { 0 };
    UITextAutocorrectionType autocorrection { 0 };
    UITextAutocapitalizationType autocapitalization { 2 };
    UIReturnKeyType returnKey { 0 };
    NSTextAlignment alignment { 0 };
    UITextFieldViewMode clearButton { 0 };
    UIKeyboardAppearance appearance { 0 };
    bool secure { false };
};
