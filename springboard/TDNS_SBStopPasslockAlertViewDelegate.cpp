#include "TDNS_SBStopPasslockAlertViewDelegate.h"

#include "CFNotificationCenter.h"
#include "PasslockAnswer.h"
#include "TarvikDNSShared.h"

void TDNS_SBStopPasslockAlertViewDelegate::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    if (!PasslockAnswer::isOK(alertView, buttonIndex))
        return;
    if (PasslockAnswer::matchesPasslock(PasslockAnswer::typedText(alertView)))
        notify_post(kNotificationSBStopOK);
    else
        notify_post(kNotificationSBStop);
}
