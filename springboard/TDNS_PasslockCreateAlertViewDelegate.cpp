#include "TDNS_PasslockCreateAlertViewDelegate.h"

#include "CFNotificationCenter.h"
#include "PasslockAnswer.h"
#include "TDNS_Tools.h"
#include "TarvikDNSShared.h"

void TDNS_PasslockCreateAlertViewDelegate::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    if (!PasslockAnswer::isOK(alertView, buttonIndex)) {
        notify_post(kNotificationPasslockCancel);
        return;
    }
    TDNS_Tools::WritePrefs(kPrefPasslock, PasslockAnswer::typedText(alertView));
}
