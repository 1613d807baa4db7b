#include "UIControl.h"

#include <algorithm>

void UIControl::addTarget(const void* target, std::function<void(UIControl* sender)> action, UIControlEvents events)
{
    if (!action || events == 0)
        return;
    targetActions.push_back({ target, std::move(action), events });
}

void UIControl::removeTarget(const void* target, UIControlEvents events)
{
    // A null target stands for every target, as on the platform.
    for (auto& entry : targetActions) {
        if (!target || entry.target == target)
            entry.events &= ~events;
    }
    std::erase_if(targetActions, [](const TargetAction& entry) { return entry.events == 0; });
}

void UIControl::sendActionsForControlEvents(UIControlEvents events)
{
    // A copy: an action may add or remove targets while the others wait their turn.
    auto actions = targetActions;
    for (const auto& entry : actions) {
        if (entry.events & events)
            entry.action(this);
    }
}
