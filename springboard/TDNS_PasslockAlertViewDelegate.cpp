#include "TDNS_PasslockAlertViewDelegate.h"

#include "CFNotificationCenter.h"
#include "PasslockAnswer.h"
#include "TarvikDNSShared.h"

void TDNS_PasslockAlertViewDelegate::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    if (!PasslockAnswer::isOK(alertView, buttonIndex)) {
        notify_post(kNotificationPasslockCancel);
        return;
    }
    if (PasslockAnswer::matchesPasslock(PasslockAnswer::typedText(alertView)))
        notify_post(kNotificationPasslockOK);
    else
        notify_post(kNotificationPasslockNOK);
}
