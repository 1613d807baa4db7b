#pragma once

#include "UIAlertView.h"

#include <memory>
#include <string>
#include <vector>

// The dialog of every Passlock kind; an alert view and nothing more.
class TDNS_PasslockAlertView : public UIAlertView {
public:
    static std::shared_ptr<TDNS_PasslockAlertView> create(const std::string& title, const std::string& message,
                                                          UIAlertViewDelegate* delegate, const std::string& cancelButtonTitle,
                                                          const std::vector<std::string>& otherButtonTitles);

private:
    using UIAlertView::UIAlertView;
};
