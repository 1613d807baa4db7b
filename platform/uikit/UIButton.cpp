#include "UIButton.h"

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type)
{
    return UIView::create<UIButton>(type);
}

UIButton::UIButton(UIButtonType buttonType)
    : type(buttonType)
{
}

std::string UIButton::titleForState(UIControlState state) const
{
    if (auto found = titles.find(state); found != titles.end())
        return found->second;
    if (auto normal = titles.find(UIControlStateNormal); normal != titles.end())
        return normal->second;
    return {};
}
