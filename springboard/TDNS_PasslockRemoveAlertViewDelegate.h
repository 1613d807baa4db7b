#pragma once

class UIAlertView;

// Answers the dialog that removes the Passlock: the right password empties it, unannounced.
class TDNS_PasslockRemoveAlertViewDelegate {
public:
    TDNS_PasslockRemoveAlertViewDelegate() = delete;

    static void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex);
};
