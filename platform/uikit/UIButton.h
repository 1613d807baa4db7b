#pragma once

#include "UIControl.h"
#include "UILabel.h"

#include <map>
#include <memory>
#include <string>

using UIButtonType = long;
inline constexpr UIButtonType UIButtonTypeCustom = 0;
inline constexpr UIButtonType UIButtonTypeRoundedRect = 1;

class UIButton : public UIControl {
public:
    static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);
    explicit UIButton(UIButtonType type = UIButtonTypeCustom);

    UIButtonType buttonType() const { return type; }
    void setTitle(const std::string& title, UIControlState state) { titles[state] = title; }
    // The title for the state, falling back to the normal state's.
    std::string titleForState(UIControlState state) const;

private:
    UIButtonType type;
    std::map<UIControlState, std::string> titles;
};
