#include "TDNS_PasslockRemoveAlertViewDelegate.h"

#include "CFNotificationCenter.h"
#include "PasslockAnswer.h"
#include "TDNS_Tools.h"
#include "TarvikDNSShared.h"

void TDNS_PasslockRemoveAlertViewDelegate::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    if (!PasslockAnswer::isOK(alertView, buttonIndex)) {
        notify_post(kNotificationPasslockCancel);
        return;
    }
    if (PasslockAnswer::matchesPasslock(PasslockAnswer::typedText(alertView)))
        TDNS_Tools::WritePrefs(kPrefPasslock, "");
    else
        notify_post(kNotificationPasslockRemoveNOK);
}
