#pragma once

class UIAlertView;

// Answers the Passlock asked for by an outside stop. A wrong password asks for the stop again,
// which brings this dialog back; "Cancel" ends the stop.
class TDNS_SBStopPasslockAlertViewDelegate {
public:
    TDNS_SBStopPasslockAlertViewDelegate() = delete;

    static void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex);
};
