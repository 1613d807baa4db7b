#include "PasslockAnswer.h"

#include "TDNS_Tools.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"

namespace PasslockAnswer {

bool isOK(UIAlertView* alertView, long long buttonIndex)
{
    return alertView && alertView->buttonTitleAtIndex(buttonIndex) == "OK";
}

std::optional<std::string> typedText(UIAlertView* alertView)
{
    UITextField* field = alertView ? alertView->textFieldAtIndex(0) : nullptr;
    if (!field)
        return std::nullopt;
    return field->text();
}

bool matchesPasslock(const std::optional<std::string>& text)
{
    auto passlock = TDNS_Tools::ReadPrefs(kPrefPasslock);
    return passlock && text && *text == *passlock;
}

} // namespace PasslockAnswer
