#pragma once

class UIAlertView;

// Answers the dialog that sets a new Passlock: whatever is typed becomes the Passlock, unannounced.
class TDNS_PasslockCreateAlertViewDelegate {
public:
    TDNS_PasslockCreateAlertViewDelegate() = delete;

    static void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex);
};
