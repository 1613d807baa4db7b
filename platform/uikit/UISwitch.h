#pragma once

#include "UIControl.h"

// A switch keeps the platform's size whatever frame it is given: 51 by 31 points on system version 7
// and later, 79 by 27 before; only the origin of the frame counts.
class UISwitch : public UIControl {
public:
    explicit UISwitch(CGRect frame = {});

    void setFrame(CGRect frame) override;

    bool isOn() const { return on; }
    // Sets the state from code: no action is sent.
    void setOn(bool isOn, bool animated = false);

private:
    bool on { false };
};
