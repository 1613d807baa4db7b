#include "TDNS_SBStartPasslockAlertViewDelegate.h"

#include "CFNotificationCenter.h"
#include "PasslockAnswer.h"
#include "TarvikDNSShared.h"

void TDNS_SBStartPasslockAlertViewDelegate::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    if (!PasslockAnswer::isOK(alertView, buttonIndex))
        return;
    if (PasslockAnswer::matchesPasslock(PasslockAnswer::typedText(alertView)))
        notify_post(kNotificationSBStartOK);
    else
        notify_post(kNotificationSBStart);
}
