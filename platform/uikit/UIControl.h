#pragma once

#include "UIView.h"

#include <functional>
#include <vector>

using UIControlEvents = unsigned long;
inline constexpr UIControlEvents UIControlEventTouchUpInside = 1 << 6;   // 64
inline constexpr UIControlEvents UIControlEventValueChanged = 1 << 12;   // 4096

using UIControlState = unsigned long;
inline constexpr UIControlState UIControlStateNormal = 0;

// A control sends its actions to targets on the events they were added for. Setting a control's value
// from code sends nothing; a user's touch (the automation API) does.
class UIControl : public UIView {
public:
    using UIView::UIView;

    // target-action: `action` is the target's method bound to it, called with the control as sender.
    void addTarget(const void* target, std::function<void(UIControl* sender)> action, UIControlEvents events);
    void removeTarget(const void* target, UIControlEvents events);
    void sendActionsForControlEvents(UIControlEvents events);

    bool isEnabled() const { return enabled; }
    void setEnabled(bool isEnabled) { enabled = isEnabled; }

private:
    struct TargetAction {
        const void* target;
        std::function<void(UIControl*)> action;
        UIControlEvents events;
    };
    std::vector<TargetAction> targetActions;
    bool enabled { true };
};
