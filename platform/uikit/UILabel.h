#pragma once

#include "UIFont.h"
#include "UIView.h"

#include <string>

class UILabel : public UIView {
public:
    using UIView::UIView;

    const std::string& text() const { return labelText; }
    void setText(const std::string& text) { labelText = text; }
    UIColor textColor() const { return color; }
    void setTextColor(UIColor textColor) { color = textColor; }
    UIFont font() const { return labelFont; }
    void setFont(UIFont font) { labelFont = font; }

private:
    std::string labelText;
    UIColor color { UIColor::blackColor() };
    UIFont labelFont { UIFont::systemFontOfSize(17) };
};
