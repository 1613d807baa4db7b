#pragma once

#include "UIFont.h"
#include "UIView.h"

#include <string>

// A multi-line text view; the pane uses it, not editable, for its section labels.
class UITextView : public UIView {
public:
    explicit UITextView(CGRect frame = {});

    const std::string& text() const { return viewText; }
    void setText(const std::string& text) { viewText = text; }
    UIColor textColor() const { return color; }
    void setTextColor(UIColor textColor) { color = textColor; }
    UIFont font() const { return viewFont; }
    void setFont(UIFont font) { viewFont = font; }
    bool isEditable() const { return editable; }
    void setEditable(bool isEditable) { editable = isEditable; }

private:
    std::string viewText;
    UIColor color { UIColor::blackColor() };
    UIFont viewFont { UIFont::systemFontOfSize(12) };
    bool editable { true };
};
