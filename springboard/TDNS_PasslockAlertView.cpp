#include "TDNS_PasslockAlertView.h"

std::shared_ptr<TDNS_PasslockAlertView> TDNS_PasslockAlertView::create(const std::string& title, const std::string& message,
                                                                       UIAlertViewDelegate* delegate,
                                                                       const std::string& cancelButtonTitle,
                                                                       const std::vector<std::string>& otherButtonTitles)
{
    return std::shared_ptr<TDNS_PasslockAlertView>(
        new TDNS_PasslockAlertView(title, message, delegate, &cancelButtonTitle, otherButtonTitles));
}
