#include "UISwitch.h"

#include "UIDevice.h"

namespace {

CGSize platformSwitchSize()
{
    if (UIDevice::currentDevice().majorSystemVersion() >= 7)
        return { 51, 31 };
    return { 79, 27 };
}

} // namespace

UISwitch::UISwitch(CGRect frame)
    : UIControl(frame)
{
    UIControl::setFrame({ frame.origin, platformSwitchSize() });
}

void UISwitch::setFrame(CGRect frame)
{
    UIControl::setFrame({ frame.origin, platformSwitchSize() });
}

void UISwitch::setOn(bool isOn, bool)
{
    on = isOn;
}
